#include <sys/socket.h>

#include "tools/demo_service/socket_options.h"

namespace zvq::demo {

void SetListenSocketOptions(socket_t ASocket) {
  // Failure leaves the system's defaults, which are stricter still; bind() reports what matters.
  const int yes = 1;
  setsockopt(ASocket, SOL_SOCKET, SO_REUSEADDR, &yes, sizeof yes);
}

}  // namespace zvq::demo

#pragma once

#include <httplib.h>

namespace zvq::demo {

// The listening socket's options (socket_t: the library's name for the system's socket handle): a restart may reuse the port at once, but a second service can never
// share it with a running one (the library's default would let both listen and split the connections).
void SetListenSocketOptions(socket_t ASocket);

}  // namespace zvq::demo

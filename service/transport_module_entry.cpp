// The module's side: the directly linked transport and HMAC, behind the table the program looks up.
#include "service/signing.h"
#include "service/transport_module.h"

namespace zvq::http::module {
namespace {

const Entry kEntry{
    sizeof(Entry),
    ZVQ_TRANSPORT_BUILD,
    [](const Settings& ASettings) -> void* { return new HttpClient(ASettings); },
    [](void* AClient) noexcept { delete static_cast<HttpClient*>(AClient); },
    [](void* AClient, const Request& ARequest, BodySink& ABody) {
      return static_cast<HttpClient*>(AClient)->Execute(ARequest, ABody);
    },
    &http::ParseUri,
    &zvq::HmacSha256,
    &http::PrepareTransport,
};

}  // namespace
}  // namespace zvq::http::module

extern "C" __attribute__((visibility("default"))) const zvq::http::module::Entry* zvq_transport_entry() {
  return &zvq::http::module::kEntry;
}

// The program's side of the transport module: http_client.h, uri.h and HmacSha256 as forwarders, and the
// module loaded on first use. The module stays loaded for the rest of the process, as a linked library would.
#include <cstring>
#include <string>

#include "errors/errors.h"
#include "platform/program_module.h"
#include "service/hmac.h"
#include "service/signing.h"
#include "service/transport_module.h"

namespace zvq::http {

namespace {

// The module and its table, looked up and checked once.
struct LoadedTransport {
  LoadedTransport()
      // Beside the executable in the build tree; in its own folder under the library folder once installed.
      : Module(module::kFileName, {".", ZVQ_TRANSPORT_MODULE_FOLDER}),
        Entry(reinterpret_cast<module::EntryFunction>(Module.Symbol(module::kEntryName))()) {
    if (Entry == nullptr || Entry->Size != sizeof(module::Entry) || Entry->Build != ZVQ_TRANSPORT_BUILD)
      throw ENetHTTPClientException("Error obtaining session handle: " + Module.Path() + " is of another build");
    Entry->PrepareTransport();
  }
  platform::ProgramModule Module;
  const module::Entry* Entry;
};

const module::Entry& Transport() {
  try {
    // Made by whichever thread asks first while the others wait; a failed load is tried again by the next
    // call, so a request reports it even when an early preparation met it first.
    static const LoadedTransport loaded;
    return *loaded.Entry;
  } catch (const EOSError& error) {
    throw ENetHTTPClientException(std::string("Error obtaining session handle: ") + error.what());
  }
}

}  // namespace

struct HttpClient::Impl {
  const module::Entry& Module;
  void* Client;
  ~Impl() { Module.DeleteClient(Client); }
};

HttpClient::HttpClient(Settings ASettings) {
  const module::Entry& transport = Transport();
  FImpl.reset(new Impl{transport, transport.NewClient(ASettings)});
}
HttpClient::~HttpClient() = default;
HttpClient::HttpClient(HttpClient&&) noexcept = default;
HttpClient& HttpClient::operator=(HttpClient&&) noexcept = default;

Response HttpClient::Execute(const Request& ARequest, BodySink& ABody) {
  return FImpl->Module.Execute(FImpl->Client, ARequest, ABody);
}

Uri ParseUri(std::string_view AUrl) { return Transport().ParseUri(AUrl); }

void PrepareTransport() { (void)Transport(); }

}  // namespace zvq::http

namespace zvq {

std::array<std::uint8_t, 32> HmacSha256(std::string_view AKeyUtf8, std::string_view AMessageUtf8) {
  return http::Transport().HmacSha256(AKeyUtf8, AMessageUtf8);
}

// The C library's wipe: signing wipes the key's pieces before any HMAC, and that must not load the module.
void WipeSecret(void* AData, std::size_t ASize) noexcept { explicit_bzero(AData, ASize); }

}  // namespace zvq

// zvq-demo-service: a local stand-in for the support service, so the launcher can be seen working end to end.
#include <charconv>
#include <chrono>
#include <cstdlib>
#include <iostream>
#include <string>
#include <string_view>

#include "errors/errors.h"
#include "tools/demo_service/demo_service.h"
#include "tools/demo_service/stop_signal.h"

namespace {

constexpr std::string_view kUsage =
    "usage: zvq-demo-service [--port N] [--state-dir DIR] [--key-file FILE] [--applet FILE] [--redirect]\n"
    "                        [--tamper] [--idle-timeout SECONDS]\n"
    "  --port N         port on 127.0.0.1 (default 47443; 0 picks a free one)\n"
    "  --state-dir DIR  where the CA and the server certificate are made once and reused\n"
    "                   (default " ZVQ_DEMO_DEFAULT_STATE_DIR ")\n"
    "  --key-file FILE  the signing key the launcher was built with (default " ZVQ_DEMO_DEFAULT_KEY_FILE ")\n"
    "  --applet FILE    the bytes served as the applet (default: " ZVQ_DEMO_DEFAULT_APPLET ")\n"
    "  --redirect       the applet URL in the reply answers with one 302 redirect first\n"
    "  --tamper         the applet is served with its middle byte changed, as a compromised download would be\n"
    "  --idle-timeout SECONDS  how long a connection may wait for its next request (default 1)\n";

struct Options {
  int Port = 47443;
  std::string StateDir = ZVQ_DEMO_DEFAULT_STATE_DIR;
  std::string KeyFile = ZVQ_DEMO_DEFAULT_KEY_FILE;
  std::string Applet = ZVQ_DEMO_DEFAULT_APPLET;
  bool Redirect = false;
  bool Tamper = false;
  int IdleTimeout = 1;
};

[[noreturn]] void UsageError(const std::string& AProblem) {
  std::cerr << "zvq-demo-service: " << AProblem << "\n" << kUsage;
  std::exit(2);
}

Options ParseOptions(int AArgc, char** AArgv) {
  Options options;
  for (int i = 1; i < AArgc; ++i) {
    const std::string_view option = AArgv[i];
    const auto value = [&]() -> std::string {
      if (i + 1 >= AArgc) UsageError(std::string(option) + " needs a value");
      return AArgv[++i];
    };
    if (option == "--port") {
      const std::string text = value();
      const auto [end, error] = std::from_chars(text.data(), text.data() + text.size(), options.Port);
      if (error != std::errc() || end != text.data() + text.size() || options.Port < 0 || options.Port > 65535) {
        UsageError("not a port: " + text);
      }
    } else if (option == "--state-dir") {
      options.StateDir = value();
    } else if (option == "--key-file") {
      options.KeyFile = value();
    } else if (option == "--applet") {
      options.Applet = value();
    } else if (option == "--idle-timeout") {
      const std::string text = value();
      const auto [end, error] = std::from_chars(text.data(), text.data() + text.size(), options.IdleTimeout);
      if (error != std::errc() || end != text.data() + text.size() || options.IdleTimeout < 1) {
        UsageError("not a number of seconds: " + text);
      }
    } else if (option == "--redirect") {
      options.Redirect = true;
    } else if (option == "--tamper") {
      options.Tamper = true;
    } else if (option == "--help" || option == "-h") {
      std::cout << kUsage;
      std::exit(0);
    } else {
      UsageError("unknown option " + std::string(option));
    }
  }
  if (options.Applet.empty()) UsageError("no applet file: give --applet FILE");
  return options;
}

}  // namespace

int main(int AArgc, char** AArgv) {
  const Options options = ParseOptions(AArgc, AArgv);
  try {
    zvq::demo::StopSignal stopSignal;  // before the service's threads exist, so they inherit the blocked signals

    zvq::demo::ServiceSettings settings;
    settings.Port = options.Port;
    settings.StateFolder = options.StateDir;
    settings.SigningKey = zvq::demo::LoadSigningKey(options.KeyFile);
    settings.Applet = zvq::demo::ReadWholeFile(options.Applet);
    // A signed program's middle lies in what its signature covers; the bit flipped there breaks the signature.
    if (options.Tamper && !settings.Applet.empty()) settings.Applet[settings.Applet.size() / 2] ^= 0x01;
    settings.RedirectDownload = options.Redirect;
    settings.IdleTimeout = std::chrono::seconds(options.IdleTimeout);
    settings.OnRequestLine = [](const std::string& ALine) { std::cout << ALine << std::endl; };
    const std::size_t appletSize = settings.Applet.size();

    zvq::demo::DemoService service(std::move(settings));
    std::cout << "zvq-demo-service: listening on " << service.BaseUrl() << "\n"
              << "  validation endpoint: " << service.BaseUrl() << "/validate\n"
              << "  CA certificate (build the launcher with ZVQ_CA_BUNDLE set to it): "
              << service.CaCertificatePath().string() << "\n"
              << "  signing key: " << options.KeyFile << "\n"
              << "  applet: " << options.Applet << " (" << appletSize << " bytes)"
              << (options.Redirect ? ", its URL answers with one 302 redirect first" : "")
              << (options.Tamper ? ", served with its middle byte changed" : "") << "\n"
              << "  demo codes:\n"
              << "    123 456 789    accepted: the reply names the applet\n"
              << "    111 222 333    expired\n"
              << "    anything else  not valid\n"
              << "  one line per request follows: method, path, status, outcome; Ctrl-C stops\n"
              << std::flush;

    const std::string signal = stopSignal.Wait();
    service.Stop();
    std::cout << "zvq-demo-service: stopped (" << signal << ")" << std::endl;
    return 0;
  } catch (const zvq::Exception& error) {
    std::cerr << "zvq-demo-service: " << error.Message() << std::endl;
    return 1;
  }
}

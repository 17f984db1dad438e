#include <dlfcn.h>
#include <unistd.h>

#include <array>
#include <cerrno>

#include "errors/errors.h"
#include "platform/files.h"
#include "platform/program_module.h"
#include "platform/system_error.h"

namespace zvq::platform {

namespace {

// dlerror's text is the only account of a failed load (which file, and why); errno says nothing then.
[[noreturn]] void RaiseLoadError(std::string_view AFallback) {
  const char* text = dlerror();
  throw EOSError(ELIBACC, text != nullptr ? std::string_view(text) : AFallback);
}

}  // namespace

std::string ExecutableFolder() {
  std::array<char, 4096> path{};
  const ssize_t length = readlink("/proc/self/exe", path.data(), path.size());
  if (length < 0) RaiseOSError(LastErrorCode());
  if (static_cast<std::size_t>(length) >= path.size()) RaiseOSError(ENAMETOOLONG);
  return ExtractFileDirectory(std::string_view(path.data(), static_cast<std::size_t>(length)));
}

ProgramModule::ProgramModule(std::string_view AFileName, std::initializer_list<std::string_view> AFolders) {
  const std::string base = ExecutableFolder();
  for (std::string_view folder : AFolders) {
    std::string candidate = base;
    if (folder != ".") (candidate += '/') += folder;
    (candidate += '/') += AFileName;
    // An absolute path: dlopen then takes this file and searches nothing.
    if (access(candidate.c_str(), F_OK) != 0) continue;
    FHandle = dlopen(candidate.c_str(), RTLD_NOW | RTLD_LOCAL);
    if (FHandle == nullptr) RaiseLoadError(candidate);
    FPath = std::move(candidate);
    return;
  }
  throw EOSError(kErrorFileNotFound, std::string(AFileName) + " is not installed beside " + base);
}

ProgramModule::~ProgramModule() {
  if (FHandle != nullptr) dlclose(FHandle);
}

void* ProgramModule::Symbol(const char* AName) const {
  dlerror();
  void* address = dlsym(FHandle, AName);
  if (address == nullptr) RaiseLoadError(AName);
  return address;
}

}  // namespace zvq::platform

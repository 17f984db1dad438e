#pragma once

#include <initializer_list>
#include <string>
#include <string_view>

namespace zvq::platform {

// A shared module that ships with this program, loaded from a folder fixed relative to the running
// executable and never through the loader's search path, which the environment (and so an attacker) can
// steer. Unloaded when the owner goes.
class ProgramModule {
 public:
  // Loads AFileName from the first of AFolders that holds it; each folder is relative to the executable's
  // own folder ("." for that folder). EOSError when none holds it or it cannot be loaded.
  ProgramModule(std::string_view AFileName, std::initializer_list<std::string_view> AFolders);
  ~ProgramModule();
  ProgramModule(const ProgramModule&) = delete;
  ProgramModule& operator=(const ProgramModule&) = delete;

  // The address the module exports under AName; EOSError when it exports none.
  void* Symbol(const char* AName) const;
  const std::string& Path() const { return FPath; }

 private:
  std::string FPath;
  void* FHandle = nullptr;
};

// The folder of the running executable, as the kernel names it (links resolved); EOSError when unknown.
std::string ExecutableFolder();

}  // namespace zvq::platform

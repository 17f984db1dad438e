#include "launch/staging.h"

#include <algorithm>

#include "errors/errors.h"
#include "platform/system_error.h"

namespace zvq {

namespace {

// Creates APath with every missing parent. Only absolute paths are created: a relative one would land
// wherever the working directory happens to be.
bool ForceDirectories(const std::string& APath) {
  std::string path = platform::ExcludeTrailingSeparator(APath);
  if (!platform::IsPathRooted(path)) return false;
  if (platform::DirectoryExists(path)) return true;
  std::string parent = platform::ExtractFileDirectory(path);
  if (path.size() < 3 || parent.empty() || parent == path) return platform::CreateOneDirectory(path);
  return ForceDirectories(parent) && platform::CreateOneDirectory(path);
}

// Without a known temporary directory the staging path is relative; nothing is written, run or deleted then.
bool IsUsable(const std::string& AStagingFolder) { return platform::IsPathRooted(AStagingFolder); }

std::string AppletWorkingDirectory(const std::string& AAppletPath) {
  return platform::ExtractFileDirectory(AAppletPath);
}

}  // namespace

std::string JoinPath(std::string_view AFirst, std::string_view ASecond) {
  if (platform::HasInvalidPathCharacters(AFirst) || platform::HasInvalidPathCharacters(ASecond)) {
    throw ESupportLauncherException("Invalid characters in path");
  }
  if (AFirst.empty()) return std::string(ASecond);
  if (ASecond.empty() || platform::IsPathRooted(ASecond)) {
    return std::string(ASecond.empty() ? AFirst : ASecond);
  }
  std::string result(AFirst);
  if (!platform::EndsWithPathDelimiter(AFirst)) result += platform::PathSeparator();
  result.append(ASecond);
  return result;
}

std::string GetStagingFolder() { return JoinPath(platform::TemporaryDirectory(), kStagingFolderName); }

std::string GetAppletPath() { return JoinPath(GetStagingFolder(), kAppletFileName); }

void PrepareStagingFolder() {
  try {
    ForceDirectories(GetStagingFolder());
  } catch (...) {
    // Not reported here: the save reports a missing folder.
  }
}

void CleanStagingFolder() noexcept {
  try {
    const std::string folderPath = GetStagingFolder();
    if (!IsUsable(folderPath) || !platform::DirectoryExists(folderPath)) return;
    // A folder someone else could have prepared is left alone: deleting in it could delete their choice.
    platform::PrivateFolder folder(folderPath);
    if (!folder.IsOpen()) return;
    for (const std::string& name : folder.ListFileNames()) {
      if (folder.FileExists(name)) folder.DeleteFile(name);
    }
  } catch (...) {
    // The next start cleans again; nothing here is worth a message.
  }
}

namespace {

platform::PrivateFolder OpenStagingFolderForSaving() {
  const std::string folderPath = GetStagingFolder();
  if (!IsUsable(folderPath)) {
    throw EFCreateError::ForFile(JoinPath(folderPath, kAppletFileName),
                                 "The user's temporary directory is unknown");
  }
  return platform::PrivateFolder(folderPath);
}

}  // namespace

StagedApplet::StagedApplet(std::uint64_t ALimit)
    : FFolder(OpenStagingFolderForSaving()),
      FFile(FFolder.CreateStagedFile(std::string(kAppletFileName))),
      FLimit(ALimit) {}

void StagedApplet::Write(std::span<const std::uint8_t> ABytes) {
  if (ABytes.size() > FLimit - std::min(FLimit, FFile.Size()))
    throw http::EResponseTooLarge("The reply is larger than " + std::to_string(FLimit) + " bytes");
  FFile.Write(ABytes);
}

platform::ProcessInformation LaunchApplet(const StagedApplet& AApplet) {
  const platform::PrivateFolder& folder = AApplet.Folder();
  const std::string& folderPath = folder.Path();
  const std::string appletPath = JoinPath(folderPath, kAppletFileName);
  // Only what this run committed is started; anything else there is not what the service named.
  if (!AApplet.IsCommitted()) platform::RaiseOSError(platform::kErrorFileNotFound);
  // Whatever may have taken its place since the save (a link, a pipe) is refused before anything runs.
  if (std::string why = folder.WhyNotRunnable(std::string(kAppletFileName)); !why.empty()) {
    throw ESupportLauncherException("Unable to launch applet. " + why);
  }

  // The program is started by its path: only this user can change the entries of the checked folder, which
  // the applet holds open, and in a sticky temporary directory nobody else can move the folder itself.
  platform::ProcessInformation info;
  try {
    info = platform::CreateAppletProcess(appletPath, AppletWorkingDirectory(appletPath));
  } catch (const EOSError& error) {
    if (!platform::ForbidsExecution(folderPath)) throw;
    throw EOSError(error.ErrorCode(), platform::SystemErrorText(error.ErrorCode()) +
                                          ". The staging folder \"" + folderPath +
                                          "\" does not allow programs to run (mounted noexec?)");
  }
  if (!info.Process.IsSet()) throw ESupportLauncherException("Unable to launch applet");
  return info;
}

}  // namespace zvq

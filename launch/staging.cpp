#include "launch/staging.h"

#include "errors/errors.h"
#include "platform/files.h"
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

void SaveApplet(const ByteStream& AStream) {
  const std::string folderPath = GetStagingFolder();
  const std::string appletPath = JoinPath(folderPath, kAppletFileName);
  if (!IsUsable(folderPath)) {
    throw EFCreateError::ForFile(appletPath, "The user's temporary directory is unknown");
  }
  platform::PrivateFolder folder(folderPath);
  folder.WriteExecutable(std::string(kAppletFileName), AStream.Bytes());
}

platform::ProcessInformation LaunchApplet() {
  const std::string folderPath = GetStagingFolder();
  const std::string appletPath = JoinPath(folderPath, kAppletFileName);
  if (!IsUsable(folderPath)) {
    throw ESupportLauncherException("Unable to launch applet. The user's temporary directory is unknown");
  }
  platform::PrivateFolder folder(folderPath);
  // A missing folder fails as starting the program would; an untrusted one is refused before anything runs.
  if (!folder.IsOpen() && folder.ErrorCode() != 0) platform::RaiseOSError(folder.ErrorCode());
  if (std::string why = folder.WhyNotRunnable(std::string(kAppletFileName)); !why.empty()) {
    throw ESupportLauncherException("Unable to launch applet. " + why);
  }

  // The program is started by its path: only this user can change the entries of the checked folder, and
  // in a sticky temporary directory nobody else can move the folder itself.
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

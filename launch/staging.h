#pragma once

#include <cstdint>
#include <span>
#include <string>
#include <string_view>

#include "platform/files.h"
#include "platform/process.h"
#include "service/body_sink.h"

namespace zvq {

inline constexpr std::string_view kStagingFolderName = ".zvq-support.tmp";
inline constexpr std::string_view kAppletFileName = "QuintrelSupport.exe";

// The one join rule for every path: an empty part gives the other; a rooted second part replaces the first;
// otherwise the system's separator goes between them unless the first already ends with one. Raises
// ESupportLauncherException "Invalid characters in path" when either part holds a character no path may hold.
std::string JoinPath(std::string_view AFirst, std::string_view ASecond);

// The user's temporary directory joined with ".zvq-support.tmp"; does not create it.
std::string GetStagingFolder();
// The staging folder joined with "QuintrelSupport.exe".
std::string GetAppletPath();

// Creates the staging folder and every missing parent, once at start. The outcome is not reported: a folder
// that could not be made makes the save fail later.
void PrepareStagingFolder();
// Deletes the top-level entries of the staging folder that are not folders (files, and also links, pipes and
// sockets) in listing order; the first that cannot be deleted stops it. The folder and its subfolders stay.
// Never raises.
void CleanStagingFolder() noexcept;

// The applet as it arrives, written straight into a file in the checked staging folder, so that memory stays
// flat whatever its size. Nothing of it is at GetAppletPath() until Commit; destroyed uncommitted it leaves
// nothing behind. The folder (and on Windows the committed file) stays held until it is destroyed.
class StagedApplet final : public http::BodySink {
 public:
  // Checks the staging folder and starts the file in it. Raises EFCreateError ("Cannot create file" with
  // GetAppletPath()) when the folder is missing or untrusted or the file cannot be made.
  explicit StagedApplet(std::uint64_t ALimit);

  // Raises http::EResponseTooLarge past the limit, EFCreateError when the file cannot take the bytes.
  void Write(std::span<const std::uint8_t> ABytes) override;
  void Discard() override { FFile.Truncate(); }
  std::uint64_t Size() const noexcept override { return FFile.Size(); }

  // Makes the bytes the applet file, replacing whatever is there (a folder excepted). Raises EFCreateError.
  void Commit() { FFile.Commit(); }
  bool IsCommitted() const noexcept { return FFile.IsCommitted(); }
  // The committed file as it is held open until this object goes (see platform::StagedFile::HeldHandle).
  long long HeldHandle() const noexcept { return FFile.HeldHandle(); }
  const platform::PrivateFolder& Folder() const noexcept { return FFolder; }

 private:
  platform::PrivateFolder FFolder;
  platform::StagedFile FFile;
  std::uint64_t FLimit;
};

// Starts the committed applet with its folder as working directory. Raises EOSError when the system cannot
// start it, ESupportLauncherException when the staging folder or file is not safe to run (a link, not a plain
// file, not private) or no handle came back.
platform::ProcessInformation LaunchApplet(const StagedApplet& AApplet);

}  // namespace zvq

#pragma once

#include <string>
#include <string_view>

#include "platform/process.h"
#include "service/byte_stream.h"

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
// Deletes the top-level files of the staging folder in listing order; the first that cannot be deleted stops
// it. The folder and its subfolders stay. Never raises.
void CleanStagingFolder() noexcept;
// Writes the stream's bytes to GetAppletPath(), replacing any file there. Raises EFCreateError.
void SaveApplet(const ByteStream& AStream);
// Starts the staged applet with its folder as working directory. Raises EOSError when the system cannot start
// it, ESupportLauncherException when the staging folder or file is not safe to run or no handle came back.
platform::ProcessInformation LaunchApplet();

}  // namespace zvq

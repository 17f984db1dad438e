#pragma once

#include <cstdint>
#include <span>
#include <string>
#include <string_view>
#include <vector>

namespace zvq::platform {

// Path rules of this system.
char PathSeparator() noexcept;
// True when a join needs no separator after APath (POSIX: it ends with '/'; Windows: '\\', '/' or ':').
bool EndsWithPathDelimiter(std::string_view APath) noexcept;
bool IsPathRooted(std::string_view APath) noexcept;
// POSIX forbids only NUL in a path.
bool HasInvalidPathCharacters(std::string_view APath) noexcept;
// APath without its trailing separators; a root keeps its separator.
std::string ExcludeTrailingSeparator(std::string_view APath);
// The folder part of APath without a trailing separator ("/a/b" -> "/a", "/a" -> "/"); empty when APath has
// no folder part.
std::string ExtractFileDirectory(std::string_view APath);

// The user's temporary directory; empty when it cannot be determined. On POSIX: $TMPDIR when it is set and
// absolute, else the private runtime directory, else /tmp.
std::string TemporaryDirectory();
// POSIX: $XDG_RUNTIME_DIR when it is a directory of the effective user's own that nobody else may enter (a
// real directory, not a link); empty otherwise, and always on Windows, whose temporary directory is the
// user's already.
std::string PrivateRuntimeDirectory();
// True only for an existing directory (a link to one counts).
bool DirectoryExists(const std::string& APath);
// Creates one folder, private to the user, whose parent exists.
bool CreateOneDirectory(const std::string& APath);
// True when programs cannot be started from files in ADirectory (a noexec mount).
bool ForbidsExecution(const std::string& ADirectory);

// What the user reads when the staging folder (the one PrivateFolder guards) is refused because someone else
// has it, the same on every system.
std::string FolderOfAnotherUserText(std::string_view APath);
std::string FolderOpenToOthersText(std::string_view APath);

// A folder that only the effective user can change: a real directory (not a symbolic link), owned by that
// user, writable by nobody else. It is held open, and the work below goes through what was checked, so
// replacing the path afterwards cannot redirect it. File names are single components inside the folder.
class PrivateFolder {
 public:
  // Never raises: a folder that is missing, unreadable or not private is simply not open (see Refusal).
  explicit PrivateFolder(std::string APath);
  ~PrivateFolder();
  PrivateFolder(const PrivateFolder&) = delete;
  PrivateFolder& operator=(const PrivateFolder&) = delete;
  PrivateFolder(PrivateFolder&& AOther) noexcept;
  PrivateFolder& operator=(PrivateFolder&& AOther) noexcept;

  bool IsOpen() const noexcept { return FHandle != kNone; }
  const std::string& Path() const noexcept { return FPath; }
  // When not open: the system's error code, or 0 when the folder exists but is not private.
  int ErrorCode() const noexcept { return FErrorCode; }
  // When not open: the system's text for ErrorCode, or a sentence saying why the folder is not trusted.
  const std::string& Refusal() const noexcept { return FRefusal; }

  // The plain files at the top level, in listing order (subfolders and links excluded); raises EOSError.
  std::vector<std::string> ListFileNames() const;
  // True only for an existing plain file (not a link).
  bool FileExists(const std::string& AName) const;
  // Raises EOSError with the system's text when the file cannot be deleted.
  void DeleteFile(const std::string& AName) const;
  // Creates or truncates the file, executable by the user only, and writes every byte. A link at that name is
  // never followed. Raises EFCreateError ("Cannot create file ..."); a write that fails removes the partial
  // file.
  void WriteExecutable(const std::string& AName, std::span<const std::uint8_t> ABytes) const;
  // Why the file must not be started (a link, not a plain file, owned or writable by someone else); empty
  // when it is fine to start or absent (starting it then fails with the system's own error).
  std::string WhyNotRunnable(const std::string& AName) const;

 private:
  static constexpr long long kNone = -1;
  std::string FPath;
  long long FHandle = kNone;
  int FErrorCode = 0;
  std::string FRefusal;
};

}  // namespace zvq::platform

#pragma once

#include <cstdint>
#include <memory>
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

// A file on its way into a PrivateFolder, made by PrivateFolder::CreateStagedFile. Until Commit it has no
// name (or a unique one nobody else uses), is not executable and is not shared, so nothing can start or take
// a half-written program; destroyed uncommitted it leaves nothing behind. Commit makes it, whole and
// executable by the user, the folder's entry of its name in one step. On Windows it is then held open (read
// only, shared for reading only) until destroyed, so that nobody can replace, rename or write it meanwhile.
class StagedFile {
 public:
  StagedFile() noexcept;
  ~StagedFile();
  StagedFile(const StagedFile&) = delete;
  StagedFile& operator=(const StagedFile&) = delete;
  StagedFile(StagedFile&& AOther) noexcept;
  StagedFile& operator=(StagedFile&& AOther) noexcept;

  bool IsOpen() const noexcept { return FState != nullptr; }
  bool IsCommitted() const noexcept;
  std::uint64_t Size() const noexcept;
  // The committed file's own open handle (Windows: a HANDLE, POSIX: a descriptor), so that a check of its
  // contents reads exactly what will be started; -1 before Commit. It stays owned by this object.
  long long HeldHandle() const noexcept;

  // Appends every byte. Raises EFCreateError ("Cannot create file" with the path it is to have).
  void Write(std::span<const std::uint8_t> ABytes);
  // Empties it. Never raises: a failure is raised by the next Write or by Commit.
  void Truncate() noexcept;
  // Replaces whatever is not a folder at its name (a link is replaced, never followed). Raises EFCreateError.
  void Commit();

 private:
  friend class PrivateFolder;
  struct State;
  explicit StagedFile(std::unique_ptr<State> AState) noexcept;
  std::unique_ptr<State> FState;
};

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

  // The top-level entries that are not folders, in listing order: plain files, and also links, pipes and
  // sockets, so that nothing planted or left behind survives a clean-up. Raises EOSError.
  std::vector<std::string> ListFileNames() const;
  // True for an existing entry that is not a folder; a link counts as itself, never as its target.
  bool FileExists(const std::string& AName) const;
  // Removes the entry itself (a link, never its target). Raises EOSError with the system's text when it
  // cannot be deleted.
  void DeleteFile(const std::string& AName) const;
  // Starts a file that StagedFile::Commit makes the entry AName. Raises EFCreateError ("Cannot create file"
  // with the path of AName) when the folder is not open or the file cannot be made.
  StagedFile CreateStagedFile(const std::string& AName) const;
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

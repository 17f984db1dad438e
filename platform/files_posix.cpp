#include <dirent.h>
#include <fcntl.h>
#include <sys/stat.h>
#include <sys/statvfs.h>
#include <unistd.h>

#include <cerrno>
#include <cstdlib>
#include <memory>
#include <utility>

#include "errors/errors.h"
#include "platform/files.h"
#include "platform/guid.h"
#include "platform/system_error.h"

namespace zvq::platform {

namespace {

class FileDescriptor {
 public:
  explicit FileDescriptor(int AValue) noexcept : FValue(AValue) {}
  ~FileDescriptor() {
    if (FValue >= 0) ::close(FValue);
  }
  FileDescriptor(const FileDescriptor&) = delete;
  FileDescriptor& operator=(const FileDescriptor&) = delete;
  FileDescriptor(FileDescriptor&& AOther) noexcept : FValue(AOther.Release()) {}
  FileDescriptor& operator=(FileDescriptor&&) = delete;

  int Get() const noexcept { return FValue; }
  int Release() noexcept { return std::exchange(FValue, -1); }
  bool IsValid() const noexcept { return FValue >= 0; }
  // Closes now so that a failing close (a late write error) is seen; returns the errno or 0.
  int CloseChecked() noexcept {
    int value = std::exchange(FValue, -1);
    return value >= 0 && ::close(value) != 0 ? errno : 0;
  }

 private:
  int FValue;
};

struct DirCloser {
  void operator()(DIR* ADir) const noexcept { ::closedir(ADir); }
};

// Every entry we act on must be ours and changeable by nobody else.
std::string WhyNotPrivate(const struct stat& AInfo) {
  if (AInfo.st_uid != ::geteuid()) return "is owned by another user";
  if ((AInfo.st_mode & (S_IWGRP | S_IWOTH)) != 0) return "can be changed by other users";
  return {};
}

bool IsOwnedByOtherUser(const struct stat& AInfo) { return AInfo.st_uid != ::geteuid(); }

std::string Quoted(const std::string& AText) { return "\"" + AText + "\""; }

}  // namespace

char PathSeparator() noexcept { return '/'; }

bool EndsWithPathDelimiter(std::string_view APath) noexcept { return !APath.empty() && APath.back() == '/'; }

bool IsPathRooted(std::string_view APath) noexcept { return !APath.empty() && APath.front() == '/'; }

bool HasInvalidPathCharacters(std::string_view APath) noexcept {
  return APath.find('\0') != std::string_view::npos;
}

std::string ExcludeTrailingSeparator(std::string_view APath) {
  while (APath.size() > 1 && APath.back() == '/') APath.remove_suffix(1);
  return std::string(APath);
}

std::string ExtractFileDirectory(std::string_view APath) {
  auto slash = APath.find_last_of('/');
  if (slash == std::string_view::npos) return {};
  return ExcludeTrailingSeparator(APath.substr(0, slash + 1));
}

// $TMPDIR is the user's choice where it is set; a relative value is ignored, since acting on a path relative
// to whatever the working directory happens to be is never what the user meant. Next comes the session's
// private runtime directory: in a /tmp shared with other users, any of them could take our folder's name
// first. /tmp always exists otherwise.
std::string TemporaryDirectory() {
  const char* value = std::getenv("TMPDIR");
  if (value != nullptr && value[0] == '/') return value;
  if (std::string runtime = PrivateRuntimeDirectory(); !runtime.empty()) return runtime;
  return "/tmp";
}

std::string PrivateRuntimeDirectory() {
  const char* value = std::getenv("XDG_RUNTIME_DIR");
  if (value == nullptr || value[0] != '/') return {};
  struct stat info {};
  if (::lstat(value, &info) != 0 || !S_ISDIR(info.st_mode) || IsOwnedByOtherUser(info) ||
      (info.st_mode & (S_IRWXG | S_IRWXO)) != 0) {
    return {};
  }
  return value;
}

bool DirectoryExists(const std::string& APath) {
  struct stat info {};
  return ::stat(APath.c_str(), &info) == 0 && S_ISDIR(info.st_mode);
}

bool CreateOneDirectory(const std::string& APath) { return ::mkdir(APath.c_str(), 0700) == 0; }

bool ForbidsExecution(const std::string& ADirectory) {
  struct statvfs info {};
  return ::statvfs(ADirectory.c_str(), &info) == 0 && (info.f_flag & ST_NOEXEC) != 0;
}

PrivateFolder::PrivateFolder(std::string APath) : FPath(std::move(APath)) {
  FileDescriptor folder(::open(FPath.c_str(), O_RDONLY | O_DIRECTORY | O_NOFOLLOW | O_CLOEXEC));
  if (!folder.IsValid()) {
    int code = errno;
    struct stat info {};
    if ((code == ELOOP || code == ENOTDIR) && ::lstat(FPath.c_str(), &info) == 0) {
      // What another user put at our folder's name is theirs, whatever it is.
      if (IsOwnedByOtherUser(info)) {
        FRefusal = FolderOfAnotherUserText(FPath);
      } else {
        FRefusal = "The folder " + Quoted(FPath) +
                   (S_ISLNK(info.st_mode) ? " is a symbolic link" : " is not a folder");
      }
      return;
    }
    FErrorCode = code;
    FRefusal = SystemErrorText(code);
    return;
  }
  struct stat info {};
  if (::fstat(folder.Get(), &info) != 0) {
    FErrorCode = errno;
    FRefusal = SystemErrorText(FErrorCode);
    return;
  }
  if (IsOwnedByOtherUser(info)) {
    FRefusal = FolderOfAnotherUserText(FPath);
    return;
  }
  if (!WhyNotPrivate(info).empty()) {
    FRefusal = FolderOpenToOthersText(FPath);
    return;
  }
  FHandle = folder.Release();
}

PrivateFolder::~PrivateFolder() {
  if (FHandle != kNone) ::close(static_cast<int>(FHandle));
}

PrivateFolder::PrivateFolder(PrivateFolder&& AOther) noexcept
    : FPath(std::move(AOther.FPath)),
      FHandle(std::exchange(AOther.FHandle, kNone)),
      FErrorCode(AOther.FErrorCode),
      FRefusal(std::move(AOther.FRefusal)) {}

PrivateFolder& PrivateFolder::operator=(PrivateFolder&& AOther) noexcept {
  if (this != &AOther) {
    if (FHandle != kNone) ::close(static_cast<int>(FHandle));
    FPath = std::move(AOther.FPath);
    FHandle = std::exchange(AOther.FHandle, kNone);
    FErrorCode = AOther.FErrorCode;
    FRefusal = std::move(AOther.FRefusal);
  }
  return *this;
}

std::vector<std::string> PrivateFolder::ListFileNames() const {
  if (!IsOpen()) RaiseOSError(FErrorCode != 0 ? FErrorCode : EACCES);
  // A descriptor of its own for the stream, so that reading it leaves ours untouched.
  int listing = ::openat(static_cast<int>(FHandle), ".", O_RDONLY | O_DIRECTORY | O_CLOEXEC);
  if (listing < 0) RaiseOSError(errno);
  std::unique_ptr<DIR, DirCloser> dir(::fdopendir(listing));
  if (!dir) {
    int code = errno;
    ::close(listing);
    RaiseOSError(code);
  }
  std::vector<std::string> names;
  for (;;) {
    errno = 0;
    const dirent* entry = ::readdir(dir.get());
    if (entry == nullptr) {
      if (errno != 0) RaiseOSError(errno);
      break;
    }
    std::string name = entry->d_name;
    if (name == "." || name == "..") continue;
    if (FileExists(name)) names.push_back(std::move(name));
  }
  return names;
}

bool PrivateFolder::FileExists(const std::string& AName) const {
  struct stat info {};
  return IsOpen() && ::fstatat(static_cast<int>(FHandle), AName.c_str(), &info, AT_SYMLINK_NOFOLLOW) == 0 &&
         !S_ISDIR(info.st_mode);
}

void PrivateFolder::DeleteFile(const std::string& AName) const {
  if (!IsOpen()) RaiseOSError(FErrorCode != 0 ? FErrorCode : EACCES);
  if (::unlinkat(static_cast<int>(FHandle), AName.c_str(), 0) != 0) RaiseOSError(errno);
}

namespace {

// A name in the folder that nobody else uses.
std::string UniqueName(const std::string& AName) {
  return "." + AName + "." + FormatGuidBraced(NewRandomGuid());
}

// How often a unique name is tried again when it is taken after all.
constexpr int kNameAttempts = 8;

}  // namespace

struct StagedFile::State {
  State(FileDescriptor AFolder, FileDescriptor AFile, std::string APath, std::string AName,
        std::string ATemporaryName)
      : Folder(std::move(AFolder)),
        File(std::move(AFile)),
        Path(std::move(APath)),
        Name(std::move(AName)),
        TemporaryName(std::move(ATemporaryName)) {}
  ~State() {
    if (!TemporaryName.empty()) ::unlinkat(Folder.Get(), TemporaryName.c_str(), 0);
  }

  [[noreturn]] void Fail(int ACode) const { throw EFCreateError::ForFile(Path, SystemErrorText(ACode)); }
  // Gives the unnamed file a unique name, since only a rename can replace what is at its final name.
  void Link() {
    const std::string descriptorPath = "/proc/self/fd/" + std::to_string(File.Get());
    for (int attempt = 0; attempt < kNameAttempts; ++attempt) {
      std::string name = UniqueName(Name);
      // Linking the descriptor itself needs a capability; its /proc entry does not.
      if (::linkat(File.Get(), "", Folder.Get(), name.c_str(), AT_EMPTY_PATH) == 0 ||
          (errno != EEXIST &&
           ::linkat(AT_FDCWD, descriptorPath.c_str(), Folder.Get(), name.c_str(), AT_SYMLINK_FOLLOW) == 0)) {
        TemporaryName = std::move(name);
        return;
      }
      if (errno != EEXIST) Fail(errno);
    }
    Fail(EEXIST);
  }

  FileDescriptor Folder;  // our own descriptor of the checked folder
  FileDescriptor File;
  std::string Path;  // what it becomes, named in every message
  std::string Name;
  std::string TemporaryName;  // its name in the folder until Commit; empty while it has none
  std::uint64_t Size = 0;
  int Failure = 0;  // an emptying that failed, raised by the next write or the commit
  bool Committed = false;
};

StagedFile::StagedFile() noexcept = default;
StagedFile::StagedFile(std::unique_ptr<State> AState) noexcept : FState(std::move(AState)) {}
StagedFile::~StagedFile() = default;
StagedFile::StagedFile(StagedFile&& AOther) noexcept = default;
StagedFile& StagedFile::operator=(StagedFile&& AOther) noexcept = default;

bool StagedFile::IsCommitted() const noexcept { return FState != nullptr && FState->Committed; }

std::uint64_t StagedFile::Size() const noexcept { return FState != nullptr ? FState->Size : 0; }

long long StagedFile::HeldHandle() const noexcept { return IsCommitted() ? FState->File.Get() : -1; }

void StagedFile::Write(std::span<const std::uint8_t> ABytes) {
  if (FState == nullptr || !FState->File.IsValid()) RaiseOSError(EBADF);
  State& state = *FState;
  if (state.Failure != 0) state.Fail(state.Failure);
  std::size_t done = 0;
  while (done < ABytes.size()) {
    const ssize_t written = ::write(state.File.Get(), ABytes.data() + done, ABytes.size() - done);
    if (written < 0 && errno == EINTR) continue;
    if (written <= 0) state.Fail(written < 0 ? errno : EIO);
    done += static_cast<std::size_t>(written);
    state.Size += static_cast<std::uint64_t>(written);
  }
}

void StagedFile::Truncate() noexcept {
  if (FState == nullptr || !FState->File.IsValid()) return;
  State& state = *FState;
  if (::ftruncate(state.File.Get(), 0) != 0 || ::lseek(state.File.Get(), 0, SEEK_SET) != 0) {
    if (state.Failure == 0) state.Failure = errno;
  }
  state.Size = 0;
}

void StagedFile::Commit() {
  if (FState == nullptr || !FState->File.IsValid()) RaiseOSError(EBADF);
  State& state = *FState;
  if (state.Failure != 0) state.Fail(state.Failure);
  if (::fchmod(state.File.Get(), 0700) != 0) state.Fail(errno);
  if (state.TemporaryName.empty()) state.Link();
  // A program cannot start while a writer holds it open; a late write error also shows only here.
  if (int closing = state.File.CloseChecked(); closing != 0) state.Fail(closing);
  const int folder = state.Folder.Get();
  if (::renameat(folder, state.TemporaryName.c_str(), folder, state.Name.c_str()) != 0) state.Fail(errno);
  state.TemporaryName.clear();
  state.Committed = true;
}

StagedFile PrivateFolder::CreateStagedFile(const std::string& AName) const {
  const std::string path = FPath + "/" + AName;
  if (!IsOpen()) throw EFCreateError::ForFile(path, FRefusal);
  FileDescriptor folder(::fcntl(static_cast<int>(FHandle), F_DUPFD_CLOEXEC, 0));
  if (!folder.IsValid()) throw EFCreateError::ForFile(path, SystemErrorText(errno));

  // Unnamed until complete, so a crash cannot leave part of it behind.
  int opened = -1;
#ifdef O_TMPFILE
  opened = ::openat(folder.Get(), ".", O_TMPFILE | O_WRONLY | O_CLOEXEC, 0600);
#endif
  std::string temporaryName;
  // A file system without unnamed files: a unique name, made exclusively, removed again unless committed.
  for (int attempt = 0; opened < 0 && attempt < kNameAttempts; ++attempt) {
    temporaryName = UniqueName(AName);
    opened = ::openat(folder.Get(), temporaryName.c_str(),
                      O_WRONLY | O_CREAT | O_EXCL | O_NOFOLLOW | O_CLOEXEC, 0600);
    if (opened < 0 && errno != EEXIST) break;
  }
  if (opened < 0) throw EFCreateError::ForFile(path, SystemErrorText(errno));
  FileDescriptor file(opened);
  return StagedFile(std::make_unique<StagedFile::State>(std::move(folder), std::move(file), path, AName,
                                                        std::move(temporaryName)));
}

std::string PrivateFolder::WhyNotRunnable(const std::string& AName) const {
  const std::string path = FPath + "/" + AName;
  if (!IsOpen()) return FRefusal;
  struct stat info {};
  if (::fstatat(static_cast<int>(FHandle), AName.c_str(), &info, AT_SYMLINK_NOFOLLOW) != 0) return {};
  if (S_ISLNK(info.st_mode)) return "The file " + Quoted(path) + " is a symbolic link";
  if (!S_ISREG(info.st_mode)) return "The file " + Quoted(path) + " is not a plain file";
  if (std::string why = WhyNotPrivate(info); !why.empty()) return "The file " + Quoted(path) + " " + why;
  return {};
}

}  // namespace zvq::platform

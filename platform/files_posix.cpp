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
         S_ISREG(info.st_mode);
}

void PrivateFolder::DeleteFile(const std::string& AName) const {
  if (!IsOpen()) RaiseOSError(FErrorCode != 0 ? FErrorCode : EACCES);
  if (::unlinkat(static_cast<int>(FHandle), AName.c_str(), 0) != 0) RaiseOSError(errno);
}

void PrivateFolder::WriteExecutable(const std::string& AName, std::span<const std::uint8_t> ABytes) const {
  const std::string path = FPath + "/" + AName;
  if (!IsOpen()) throw EFCreateError::ForFile(path, FRefusal);
  const int folder = static_cast<int>(FHandle);

  FileDescriptor file(
      ::openat(folder, AName.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_NOFOLLOW | O_CLOEXEC, 0700));
  if (!file.IsValid()) {
    int code = errno;
    throw EFCreateError::ForFile(path, code == ELOOP ? "The file is a symbolic link" : SystemErrorText(code));
  }
  struct stat info {};
  if (::fstat(file.Get(), &info) != 0) throw EFCreateError::ForFile(path, SystemErrorText(errno));
  // A pipe or device planted under that name would take the bytes and never be a program.
  if (!S_ISREG(info.st_mode)) throw EFCreateError::ForFile(path, "The file is not a plain file");
  // The file may have existed with other permissions; it must end up executable by us and changeable by no
  // one else.
  if (::fchmod(file.Get(), 0700) != 0) throw EFCreateError::ForFile(path, SystemErrorText(errno));

  int failure = 0;
  std::size_t done = 0;
  while (done < ABytes.size() && failure == 0) {
    ssize_t written = ::write(file.Get(), ABytes.data() + done, ABytes.size() - done);
    if (written > 0) {
      done += static_cast<std::size_t>(written);
    } else if (written < 0 && errno != EINTR) {
      failure = errno;
    } else if (written == 0) {
      failure = EIO;
    }
  }
  if (int closing = file.CloseChecked(); failure == 0) failure = closing;
  if (failure != 0) {
    // A partial applet must never be started.
    ::unlinkat(folder, AName.c_str(), 0);
    throw EFCreateError::ForFile(path, SystemErrorText(failure));
  }
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

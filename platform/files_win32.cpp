#include <windows.h>
// The system header maps DeleteFile to DeleteFileW, which would rename our member of that name.
#undef DeleteFile

#include <algorithm>
#include <cstdint>
#include <memory>
#include <utility>
#include <vector>

#include "errors/errors.h"
#include "platform/files.h"
#include "platform/guid.h"
#include "platform/owner_win32.h"
#include "platform/system_error.h"
#include "platform/text_win32.h"

namespace zvq::platform {

namespace {

constexpr DWORD kNoAttributes = INVALID_FILE_ATTRIBUTES;

bool IsSeparator(char AChar) noexcept { return AChar == '\\' || AChar == '/'; }

bool HasDrive(std::string_view APath) noexcept {
  return APath.size() >= 2 && APath[1] == ':' &&
         ((APath[0] >= 'A' && APath[0] <= 'Z') || (APath[0] >= 'a' && APath[0] <= 'z'));
}

// How much of APath is its root and so keeps its separator: "C:\" or a leading "\".
std::size_t RootLength(std::string_view APath) noexcept {
  if (HasDrive(APath)) return APath.size() >= 3 && IsSeparator(APath[2]) ? 3 : 2;
  return !APath.empty() && IsSeparator(APath[0]) ? 1 : 0;
}

DWORD Attributes(const std::string& APath) { return GetFileAttributesW(WidenUtf8(APath).c_str()); }

// A link to a file counts as itself: deleting it removes the link, never its target.
bool IsNotFolder(DWORD AAttributes) noexcept {
  return AAttributes != kNoAttributes && (AAttributes & FILE_ATTRIBUTE_DIRECTORY) == 0;
}

std::string Quoted(const std::string& AText) { return "\"" + AText + "\""; }

struct HandleCloser {
  void operator()(HANDLE AHandle) const noexcept { CloseHandle(AHandle); }
};
using FileHandle = std::unique_ptr<void, HandleCloser>;

struct FindCloser {
  void operator()(HANDLE AHandle) const noexcept { FindClose(AHandle); }
};
using FindHandle = std::unique_ptr<void, FindCloser>;

HANDLE ToHandle(long long AValue) noexcept {
  return reinterpret_cast<HANDLE>(static_cast<std::intptr_t>(AValue));
}

}  // namespace

char PathSeparator() noexcept { return '\\'; }

bool EndsWithPathDelimiter(std::string_view APath) noexcept {
  return !APath.empty() && (IsSeparator(APath.back()) || APath.back() == ':');
}

// "\dir" (the current drive's root) and "C:dir" (drive-relative) count as rooted: joined to anything they
// would not name a place below it.
bool IsPathRooted(std::string_view APath) noexcept { return RootLength(APath) > 0; }

// What the system forbids anywhere in a path; '*' and '?' are wildcards, and "\\?\" prefixes use '?'.
bool HasInvalidPathCharacters(std::string_view APath) noexcept {
  return std::any_of(APath.begin(), APath.end(), [](char AChar) {
    return static_cast<unsigned char>(AChar) < 0x20 || AChar == '"' || AChar == '<' || AChar == '>' ||
           AChar == '|';
  });
}

std::string ExcludeTrailingSeparator(std::string_view APath) {
  const std::size_t root = RootLength(APath);
  while (APath.size() > std::max<std::size_t>(root, 1) && IsSeparator(APath.back())) APath.remove_suffix(1);
  return std::string(APath);
}

std::string ExtractFileDirectory(std::string_view APath) {
  const auto delimiter = APath.find_last_of("\\/:");
  if (delimiter == std::string_view::npos) return {};
  return ExcludeTrailingSeparator(APath.substr(0, delimiter + 1));
}

// The system's answer carries a trailing backslash and may hold short (8.3) names; the long form is what
// the user sees in messages. A directory that does not exist fails the conversion: then there is none.
std::string TemporaryDirectory() {
  const DWORD shortSize = GetTempPathW(0, nullptr);
  if (shortSize == 0) return {};
  std::wstring shortPath(shortSize, L'\0');
  const DWORD shortLength = GetTempPathW(shortSize, shortPath.data());
  if (shortLength == 0 || shortLength >= shortSize) return {};
  shortPath.resize(shortLength);

  const DWORD longSize = GetLongPathNameW(shortPath.c_str(), nullptr, 0);
  if (longSize == 0) return {};
  std::wstring longPath(longSize, L'\0');
  const DWORD longLength = GetLongPathNameW(shortPath.c_str(), longPath.data(), longSize);
  if (longLength == 0 || longLength >= longSize) return {};
  longPath.resize(longLength);
  return NarrowToUtf8(longPath);
}

bool DirectoryExists(const std::string& APath) {
  const DWORD attributes = Attributes(APath);
  return attributes != kNoAttributes && (attributes & FILE_ATTRIBUTE_DIRECTORY) != 0;
}

// The new folder takes the access rules of its parent, the user's own temporary directory.
bool CreateOneDirectory(const std::string& APath) {
  return CreateDirectoryW(WidenUtf8(APath).c_str(), nullptr);
}

std::string PrivateRuntimeDirectory() { return {}; }

// Windows has no mount option against running programs; a policy that forbids it answers through
// CreateProcessW's own error.
bool ForbidsExecution(const std::string&) { return false; }

// The folder is held open without delete sharing, so while this object lives nobody can rename it, remove it
// or put a link in its place; the checks on the handle therefore hold for the paths used below. Its owner
// must be the user: a folder someone else made under our name (in a temporary directory shared with others)
// carries their access rules, not ours.
PrivateFolder::PrivateFolder(std::string APath) : FPath(std::move(APath)) {
  HANDLE opened = CreateFileW(WidenUtf8(FPath).c_str(), FILE_READ_ATTRIBUTES | READ_CONTROL,
                              FILE_SHARE_READ | FILE_SHARE_WRITE, nullptr, OPEN_EXISTING,
                              FILE_FLAG_BACKUP_SEMANTICS | FILE_FLAG_OPEN_REPARSE_POINT, nullptr);
  if (opened == INVALID_HANDLE_VALUE) {
    FErrorCode = LastErrorCode();
    // A missing folder is a missing path for the files in it, as the system would say when creating one
    // there.
    if (FErrorCode == ERROR_FILE_NOT_FOUND) FErrorCode = ERROR_PATH_NOT_FOUND;
    FRefusal = SystemErrorText(FErrorCode);
    return;
  }
  FileHandle folder(opened);
  BY_HANDLE_FILE_INFORMATION info{};
  if (!GetFileInformationByHandle(folder.get(), &info)) {
    FErrorCode = LastErrorCode();
    FRefusal = SystemErrorText(FErrorCode);
    return;
  }
  if ((info.dwFileAttributes & FILE_ATTRIBUTE_REPARSE_POINT) != 0) {
    FRefusal = "The folder " + Quoted(FPath) + " is a link";
    return;
  }
  if ((info.dwFileAttributes & FILE_ATTRIBUTE_DIRECTORY) == 0) {
    FRefusal = "The folder " + Quoted(FPath) + " is not a folder";
    return;
  }
  bool owned = false;
  if (const DWORD code = QueryOwnedByUser(folder.get(), SE_FILE_OBJECT, owned); code != ERROR_SUCCESS) {
    FErrorCode = static_cast<int>(code);
    FRefusal = SystemErrorText(FErrorCode);
    return;
  }
  if (!owned) {
    FRefusal = FolderOfAnotherUserText(FPath);
    return;
  }
  FHandle = static_cast<long long>(reinterpret_cast<std::intptr_t>(folder.release()));
}

PrivateFolder::~PrivateFolder() {
  if (FHandle != kNone) CloseHandle(ToHandle(FHandle));
}

PrivateFolder::PrivateFolder(PrivateFolder&& AOther) noexcept
    : FPath(std::move(AOther.FPath)),
      FHandle(std::exchange(AOther.FHandle, kNone)),
      FErrorCode(AOther.FErrorCode),
      FRefusal(std::move(AOther.FRefusal)) {}

PrivateFolder& PrivateFolder::operator=(PrivateFolder&& AOther) noexcept {
  if (this != &AOther) {
    if (FHandle != kNone) CloseHandle(ToHandle(FHandle));
    FPath = std::move(AOther.FPath);
    FHandle = std::exchange(AOther.FHandle, kNone);
    FErrorCode = AOther.FErrorCode;
    FRefusal = std::move(AOther.FRefusal);
  }
  return *this;
}

namespace {

std::string ChildPath(const std::string& AFolder, const std::string& AName) {
  return EndsWithPathDelimiter(AFolder) ? AFolder + AName : AFolder + PathSeparator() + AName;
}

}  // namespace

std::vector<std::string> PrivateFolder::ListFileNames() const {
  if (!IsOpen()) RaiseOSError(FErrorCode != 0 ? FErrorCode : ERROR_ACCESS_DENIED);
  WIN32_FIND_DATAW found{};
  HANDLE first = FindFirstFileW(WidenUtf8(ChildPath(FPath, "*")).c_str(), &found);
  if (first == INVALID_HANDLE_VALUE) {
    const int code = LastErrorCode();
    if (code == ERROR_FILE_NOT_FOUND) return {};
    RaiseOSError(code);
  }
  FindHandle search(first);
  std::vector<std::string> names;
  do {
    if (IsNotFolder(found.dwFileAttributes)) names.push_back(NarrowToUtf8(found.cFileName));
  } while (FindNextFileW(search.get(), &found));
  if (const int code = LastErrorCode(); code != ERROR_NO_MORE_FILES) RaiseOSError(code);
  return names;
}

bool PrivateFolder::FileExists(const std::string& AName) const {
  return IsOpen() && IsNotFolder(Attributes(ChildPath(FPath, AName)));
}

void PrivateFolder::DeleteFile(const std::string& AName) const {
  if (!IsOpen()) RaiseOSError(FErrorCode != 0 ? FErrorCode : ERROR_ACCESS_DENIED);
  if (!DeleteFileW(WidenUtf8(ChildPath(FPath, AName)).c_str())) RaiseOSError(LastErrorCode());
}

namespace {

// How often a unique name is tried again when it is taken after all.
constexpr int kNameAttempts = 8;

bool SameFile(const BY_HANDLE_FILE_INFORMATION& AOne, const BY_HANDLE_FILE_INFORMATION& AOther) noexcept {
  return AOne.dwVolumeSerialNumber == AOther.dwVolumeSerialNumber &&
         AOne.nFileIndexHigh == AOther.nFileIndexHigh && AOne.nFileIndexLow == AOther.nFileIndexLow;
}

}  // namespace

struct StagedFile::State {
  State(FileHandle AFile, std::string APath, std::wstring ATemporaryPath)
      : File(std::move(AFile)),
        Path(std::move(APath)),
        WidePath(WidenUtf8(Path)),
        TemporaryPath(std::move(ATemporaryPath)) {}
  ~State() {
    if (Committed || !File) return;
    // Deleted through our handle, so that only our own file can go.
    FILE_DISPOSITION_INFO disposition{TRUE};
    if (!SetFileInformationByHandle(File.get(), FileDispositionInfo, &disposition, sizeof disposition)) {
      File.reset();
      DeleteFileW(TemporaryPath.c_str());
    }
  }

  [[noreturn]] void Fail(int ACode) const { throw EFCreateError::ForFile(Path, SystemErrorText(ACode)); }

  FileHandle File;   // writing until Commit, holding afterwards
  std::string Path;  // what it becomes, named in every message
  std::wstring WidePath;
  std::wstring TemporaryPath;
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

long long StagedFile::HeldHandle() const noexcept {
  if (!IsCommitted() || !FState->File) return -1;
  return static_cast<long long>(reinterpret_cast<std::intptr_t>(FState->File.get()));
}

void StagedFile::Write(std::span<const std::uint8_t> ABytes) {
  if (FState == nullptr || !FState->File || FState->Committed) RaiseOSError(ERROR_INVALID_HANDLE);
  State& state = *FState;
  if (state.Failure != 0) state.Fail(state.Failure);
  std::size_t done = 0;
  while (done < ABytes.size()) {
    const DWORD chunk = static_cast<DWORD>(std::min<std::size_t>(ABytes.size() - done, 1U << 20));
    DWORD written = 0;
    if (!WriteFile(state.File.get(), ABytes.data() + done, chunk, &written, nullptr))
      state.Fail(LastErrorCode());
    if (written == 0) state.Fail(ERROR_WRITE_FAULT);
    done += written;
    state.Size += written;
  }
}

void StagedFile::Truncate() noexcept {
  if (FState == nullptr || !FState->File || FState->Committed) return;
  State& state = *FState;
  if (!SetFilePointerEx(state.File.get(), LARGE_INTEGER{}, nullptr, FILE_BEGIN) ||
      !SetEndOfFile(state.File.get())) {
    if (state.Failure == 0) state.Failure = LastErrorCode();
  }
  state.Size = 0;
}

void StagedFile::Commit() {
  if (FState == nullptr || !FState->File || FState->Committed) RaiseOSError(ERROR_INVALID_HANDLE);
  State& state = *FState;
  if (state.Failure != 0) state.Fail(state.Failure);
  BY_HANDLE_FILE_INFORMATION written{};
  if (!GetFileInformationByHandle(state.File.get(), &written)) state.Fail(LastErrorCode());

  // Renamed through the unshared handle: nothing can get between the last byte and the new name.
  std::vector<std::uint8_t> buffer(sizeof(FILE_RENAME_INFO) + state.WidePath.size() * sizeof(wchar_t));
  auto* rename = reinterpret_cast<FILE_RENAME_INFO*>(buffer.data());
  rename->ReplaceIfExists = TRUE;
  rename->RootDirectory = nullptr;
  rename->FileNameLength = static_cast<DWORD>(state.WidePath.size() * sizeof(wchar_t));
  std::copy(state.WidePath.begin(), state.WidePath.end(), rename->FileName);
  if (!SetFileInformationByHandle(state.File.get(), FileRenameInfo, rename,
                                  static_cast<DWORD>(buffer.size())))
    state.Fail(LastErrorCode());

  // The loader cannot map a file that a writer holds open, so a handle that may only read, and lets others
  // only read, takes the writing one's place. Only this user could change the file in between, and a file
  // that is not the one written is refused.
  if (!CloseHandle(state.File.release())) state.Fail(LastErrorCode());
  HANDLE opened = CreateFileW(state.WidePath.c_str(), GENERIC_READ, FILE_SHARE_READ, nullptr, OPEN_EXISTING,
                              FILE_FLAG_OPEN_REPARSE_POINT, nullptr);
  if (opened == INVALID_HANDLE_VALUE) state.Fail(LastErrorCode());
  FileHandle held(opened);
  BY_HANDLE_FILE_INFORMATION found{};
  if (!GetFileInformationByHandle(held.get(), &found)) state.Fail(LastErrorCode());
  if (!SameFile(found, written))
    throw EFCreateError::ForFile(state.Path, "The file was replaced while it was saved");
  state.File = std::move(held);
  state.Committed = true;
}

StagedFile PrivateFolder::CreateStagedFile(const std::string& AName) const {
  const std::string path = ChildPath(FPath, AName);
  if (!IsOpen()) throw EFCreateError::ForFile(path, FRefusal);
  // A new name of its own, not shared while it is written, so nothing can start or read a half-written
  // applet.
  int code = ERROR_FILE_EXISTS;
  for (int attempt = 0; attempt < kNameAttempts && code == ERROR_FILE_EXISTS; ++attempt) {
    std::wstring temporaryPath =
        WidenUtf8(ChildPath(FPath, "." + AName + "." + FormatGuidBraced(NewRandomGuid())));
    HANDLE created = CreateFileW(temporaryPath.c_str(), GENERIC_WRITE | DELETE, 0, nullptr, CREATE_NEW,
                                 FILE_ATTRIBUTE_NORMAL, nullptr);
    if (created != INVALID_HANDLE_VALUE)
      return StagedFile(
          std::make_unique<StagedFile::State>(FileHandle(created), path, std::move(temporaryPath)));
    code = LastErrorCode();
  }
  throw EFCreateError::ForFile(path, SystemErrorText(code));
}

std::string PrivateFolder::WhyNotRunnable(const std::string& AName) const {
  const std::string path = ChildPath(FPath, AName);
  if (!IsOpen()) return FRefusal;
  const DWORD attributes = Attributes(path);
  if (attributes == kNoAttributes) return {};
  if ((attributes & FILE_ATTRIBUTE_REPARSE_POINT) != 0) return "The file " + Quoted(path) + " is a link";
  if ((attributes & FILE_ATTRIBUTE_DIRECTORY) != 0)
    return "The file " + Quoted(path) + " is not a plain file";
  return {};
}

}  // namespace zvq::platform

// Files and folders on Windows.
#include "system/win32/file_system.h"

#include <windows.h>
// <aclapi.h> needs <windows.h> first.
#include <aclapi.h>

#include <condition_variable>
#include <deque>
#include <map>
#include <mutex>
#include <thread>

#include "system/win32/system_error.h"
#include "system/win32/wide_text.h"

namespace updater {

// Flushes closed files to the disk on a thread of its own. Making a file
// durable costs the time the disk takes to write it; started when the file is
// closed, that time passes while the program decodes the next file, instead
// of after the last one.
class BackgroundFlusher {
 public:
  BackgroundFlusher() : thread_([this] { Run(); }) {}
  ~BackgroundFlusher() {
    {
      std::lock_guard<std::mutex> lock(mutex_);
      stopping_ = true;
    }
    changed_.notify_all();
    thread_.join();
  }

  // Queues a flush of the closed file at `path`.
  void Flush(const std::wstring& path) {
    {
      std::lock_guard<std::mutex> lock(mutex_);
      queue_.push_back(path);
      outcomes_.erase(path);
      queued_[path] += 1;
    }
    changed_.notify_all();
  }

  // Waits until no flush of `path` is queued or running, so that the file can
  // be deleted or renamed without a handle of the flusher's in the way.
  void Settle(const std::wstring& path) {
    std::unique_lock<std::mutex> lock(mutex_);
    changed_.wait(lock, [&] { return queued_.count(path) == 0; });
    outcomes_.erase(path);  // the file is about to go or move
  }

  // Waits for the queued flushes of `path`: true when the last of them
  // succeeded; false, with the error in `*error`, when it failed or none was
  // queued.
  bool Wait(const std::wstring& path, DWORD* error) {
    std::unique_lock<std::mutex> lock(mutex_);
    if (queued_.count(path) == 0 && outcomes_.count(path) == 0) {
      *error = ERROR_NOT_FOUND;
      return false;
    }
    changed_.wait(lock, [&] { return queued_.count(path) == 0; });
    *error = outcomes_[path];
    outcomes_.erase(path);
    return *error == ERROR_SUCCESS;
  }

  // Flushes the file at `path` through a handle of its own; the error, or
  // ERROR_SUCCESS.
  static DWORD FlushByName(const std::wstring& path) {
    HANDLE handle = CreateFileW(path.c_str(), GENERIC_WRITE,
                                FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE, nullptr,
                                OPEN_EXISTING, FILE_ATTRIBUTE_NORMAL, nullptr);
    if (handle == INVALID_HANDLE_VALUE) return GetLastError();
    const DWORD error = FlushFileBuffers(handle) ? ERROR_SUCCESS : GetLastError();
    CloseHandle(handle);
    return error;
  }

 private:
  void Run() {
    std::unique_lock<std::mutex> lock(mutex_);
    for (;;) {
      changed_.wait(lock, [&] { return stopping_ || !queue_.empty(); });
      if (queue_.empty()) return;
      std::wstring path = queue_.front();
      queue_.pop_front();
      lock.unlock();
      const DWORD error = FlushByName(path);
      lock.lock();
      outcomes_[path] = error;
      if (--queued_[path] == 0) queued_.erase(path);
      changed_.notify_all();
    }
  }

  std::mutex mutex_;
  std::condition_variable changed_;
  std::deque<std::wstring> queue_;
  std::map<std::wstring, int> queued_;  // flushes queued or running, by path
  std::map<std::wstring, DWORD> outcomes_;
  bool stopping_ = false;
  std::thread thread_;
};

namespace {

// Gives `*cause` (when there is one) the cause of the failed `call` on
// `subject` with the error it left; always false.
bool Fail(std::string_view call, const std::string& subject, std::string* cause) {
  if (cause) *cause = Win32Cause(call, subject, GetLastError());
  return false;
}

// Gives `*cause` (when there is one) `text`; always false.
bool Fail(std::string text, std::string* cause) {
  if (cause) *cause = std::move(text);
  return false;
}

class Win32File : public File {
 public:
  Win32File(HANDLE handle, std::string path, std::shared_ptr<BackgroundFlusher> flusher = nullptr)
      : handle_(handle), path_(std::move(path)), flusher_(std::move(flusher)) {}
  ~Win32File() override {
    // A close at destruction has no caller left to tell; a caller that needs
    // the outcome closes the file itself first.
    static_cast<void>(Close(nullptr));
  }

  bool Seek(int64_t offset, std::string* cause) override {
    LARGE_INTEGER position;
    position.QuadPart = offset;
    if (offset < 0) {
      SetLastError(ERROR_NEGATIVE_SEEK);
      return Failed("SetFilePointerEx", cause);
    }
    return SetFilePointerEx(handle_, position, nullptr, FILE_BEGIN) ||
           Failed("SetFilePointerEx", cause);
  }

  int64_t Read(void* buffer, int64_t size, std::string* cause) override {
    char* out = static_cast<char*>(buffer);
    int64_t done = 0;
    while (done < size) {
      DWORD ask = static_cast<DWORD>(size - done > 0x40000000 ? 0x40000000 : size - done);
      DWORD count = 0;
      if (!ReadFile(handle_, out + done, ask, &count, nullptr)) {
        Failed("ReadFile", cause);
        return -1;
      }
      if (count == 0) break;
      done += count;
    }
    return done;
  }

  bool Write(const void* buffer, int64_t size, std::string* cause) override {
    const char* in = static_cast<const char*>(buffer);
    int64_t done = 0;
    while (done < size) {
      DWORD ask = static_cast<DWORD>(size - done > 0x40000000 ? 0x40000000 : size - done);
      DWORD count = 0;
      if (!WriteFile(handle_, in + done, ask, &count, nullptr)) return Failed("WriteFile", cause);
      if (count == 0) {
        SetLastError(ERROR_DISK_FULL);  // a write that takes nothing is a full disk
        return Failed("WriteFile", cause);
      }
      done += count;
    }
    return true;
  }

  bool Flush(std::string* cause) override {
    return FlushFileBuffers(handle_) || Failed("FlushFileBuffers", cause);
  }

  bool Sync(std::string* cause) override {
    return FlushFileBuffers(handle_) || Failed("FlushFileBuffers", cause);
  }

  int64_t Size(std::string* cause) override {
    LARGE_INTEGER size;
    if (GetFileSizeEx(handle_, &size)) return size.QuadPart;
    Failed("GetFileSizeEx", cause);
    return -1;
  }

  bool Close(std::string* cause) override {
    if (handle_ == INVALID_HANDLE_VALUE) return true;
    BOOL closed = CloseHandle(handle_);
    handle_ = INVALID_HANDLE_VALUE;
    if (closed && flusher_) flusher_->Flush(Utf8ToWide(path_));
    return closed || Failed("CloseHandle", cause);
  }

 private:
  // Gives `*cause` the cause of the failed call; always false.
  bool Failed(std::string_view call, std::string* cause) { return Fail(call, path_, cause); }

  HANDLE handle_;
  std::string path_;
  std::shared_ptr<BackgroundFlusher> flusher_;  // for a durable file
};

// A mapped view of a file, with the file's mapping and handle.
class Win32MappedFile : public MappedFile {
 public:
  Win32MappedFile(HANDLE file, HANDLE mapping, void* view, int64_t size, std::string path,
                  std::shared_ptr<BackgroundFlusher> flusher)
      : file_(file),
        mapping_(mapping),
        view_(view),
        size_(size),
        path_(std::move(path)),
        flusher_(std::move(flusher)) {}
  ~Win32MappedFile() override {
    static_cast<void>(Close(nullptr));  // as Win32File: a caller that needs it closes first
  }

  uint8_t* Data() override { return static_cast<uint8_t*>(view_); }
  int64_t Size() const override { return size_; }

  bool Close(std::string* cause) override {
    if (file_ == INVALID_HANDLE_VALUE) return true;
    bool done = true;
    // A written view hands its pages to the file's cache before it goes; the
    // disk gets them when the file is flushed (SyncFiles).
    if (view_ && flusher_ && !FlushViewOfFile(view_, 0)) done = Failed("FlushViewOfFile", cause);
    if (view_ && !UnmapViewOfFile(view_) && done) done = Failed("UnmapViewOfFile", cause);
    if (mapping_ && !CloseHandle(mapping_) && done) done = Failed("CloseHandle", cause);
    const BOOL closed = CloseHandle(file_);
    if (!closed && done) done = Failed("CloseHandle", cause);
    if (closed && flusher_) flusher_->Flush(Utf8ToWide(path_));
    view_ = nullptr;
    mapping_ = nullptr;
    file_ = INVALID_HANDLE_VALUE;
    return done;
  }

 private:
  // Gives `*cause` the cause of the failed call; always false.
  bool Failed(std::string_view call, std::string* cause) { return Fail(call, path_, cause); }

  HANDLE file_;
  HANDLE mapping_;  // null for an empty file
  void* view_;
  int64_t size_;
  std::string path_;
  std::shared_ptr<BackgroundFlusher> flusher_;  // for a created file
};

std::wstring WithoutTrailingSeparators(std::string path) {
  while (path.size() > 1 && (path.back() == '\\' || path.back() == '/')) path.pop_back();
  return Utf8ToWide(path);
}

// The attributes a file keeps when another file takes its place.
constexpr DWORD kKeptAttributes = FILE_ATTRIBUTE_READONLY | FILE_ATTRIBUTE_HIDDEN |
                                  FILE_ATTRIBUTE_SYSTEM | FILE_ATTRIBUTE_ARCHIVE |
                                  FILE_ATTRIBUTE_NOT_CONTENT_INDEXED;

enum class Restore { OnFailure, Always };

// Runs `action` with the read-only attribute of `path` cleared, since
// Windows refuses to delete, replace or write to a read-only file. The
// attribute comes back when the action failed, and with Restore::Always also
// after it succeeded.
template <typename Action>
bool WithoutReadOnly(const std::wstring& path, Restore restore, Action action) {
  DWORD attributes = GetFileAttributesW(path.c_str());
  if (attributes == INVALID_FILE_ATTRIBUTES || !(attributes & FILE_ATTRIBUTE_READONLY))
    return action();
  if (!SetFileAttributesW(path.c_str(), attributes & ~FILE_ATTRIBUTE_READONLY)) return false;
  bool done = action();
  if (!done || restore == Restore::Always) {
    DWORD error = GetLastError();
    SetFileAttributesW(path.c_str(), attributes);
    SetLastError(error);
  }
  return done;
}

}  // namespace

void* Win32FileSystem::OpenRegular(const std::string& path, unsigned long access,
                                   unsigned long share, unsigned long disposition, Links links,
                                   std::string* cause, unsigned long* openError) {
  const std::wstring wide = Utf8ToWide(path);
  // With FILE_FLAG_OPEN_REPARSE_POINT a link is opened itself, not the file
  // it names, so that it can be told apart and refused; reading its tag
  // needs FILE_READ_ATTRIBUTES, which no sharing mode refuses.
  const bool refuseLinks = links == Links::Refuse;
  const DWORD flags = FILE_ATTRIBUTE_NORMAL | (refuseLinks ? FILE_FLAG_OPEN_REPARSE_POINT : 0);
  const DWORD rights = access | (refuseLinks ? FILE_READ_ATTRIBUTES : 0);
  HANDLE handle = CreateFileW(wide.c_str(), rights, share, nullptr, disposition, flags, nullptr);
  if (handle == INVALID_HANDLE_VALUE) {
    if (openError) *openError = GetLastError();
    Fail("CreateFileW", path, cause);
    return nullptr;
  }
  // A pipe or a device is no file on a disk (Wine shows a FIFO as a pipe).
  const DWORD type = GetFileType(handle);
  if (type != FILE_TYPE_DISK) {
    CloseHandle(handle);
    Fail("CreateFileW " + path + ": " +
             (type == FILE_TYPE_PIPE   ? "a pipe or FIFO, not a regular file"
              : type == FILE_TYPE_CHAR ? "a device, not a regular file"
                                       : "not a regular file"),
         cause);
    return nullptr;
  }
  if (refuseLinks) {
    FILE_ATTRIBUTE_TAG_INFO tag{};
    if (!GetFileInformationByHandleEx(handle, FileAttributeTagInfo, &tag, sizeof tag)) {
      Fail("GetFileInformationByHandleEx", path, cause);
      CloseHandle(handle);
      return nullptr;
    }
    if (tag.FileAttributes & FILE_ATTRIBUTE_REPARSE_POINT) {
      CloseHandle(handle);
      if (IsReparseTagNameSurrogate(tag.ReparseTag)) {
        Fail("CreateFileW " + path + ": a link, which is not followed here", cause);
        return nullptr;
      }
      // Another kind of reparse point (a file of a cloud store or of data
      // deduplication) is the file itself: it opens the usual way.
      handle = CreateFileW(wide.c_str(), access, share, nullptr, disposition, FILE_ATTRIBUTE_NORMAL,
                           nullptr);
      if (handle == INVALID_HANDLE_VALUE) {
        Fail("CreateFileW", path, cause);
        return nullptr;
      }
    }
  }
  return handle;
}

std::unique_ptr<File> Win32FileSystem::OpenFile(const std::string& path, bool exclusive,
                                                Links links, std::string* cause) {
  HANDLE handle =
      OpenRegular(path, GENERIC_READ, exclusive ? 0 : FILE_SHARE_READ, OPEN_EXISTING, links, cause);
  if (!handle) return nullptr;
  return std::make_unique<Win32File>(handle, path);
}

std::unique_ptr<File> Win32FileSystem::OpenRead(const std::string& path, bool exclusive,
                                                std::string* cause) {
  return OpenFile(path, exclusive, Links::Follow, cause);
}

void* Win32FileSystem::CreateHandle(const std::string& path, std::string* cause) {
  // Opened as it is and emptied only once it is known to be a regular file
  // and no link: CREATE_ALWAYS would empty whatever a link names.
  HANDLE handle = OpenRegular(path, GENERIC_WRITE, 0, OPEN_ALWAYS, Links::Refuse, cause);
  if (!handle) return nullptr;
  if (!SetEndOfFile(handle)) {  // at offset 0: the file becomes empty
    Fail("SetEndOfFile", path, cause);
    CloseHandle(handle);
    return nullptr;
  }
  return handle;
}

std::unique_ptr<File> Win32FileSystem::OpenReadAppend(const std::string& path, std::string* cause) {
  // Appending access only: every write goes to the end. The link itself is
  // opened, not what it leads to, so that a link can be refused.
  HANDLE handle =
      CreateFileW(Utf8ToWide(path).c_str(), GENERIC_READ | FILE_APPEND_DATA, 0, nullptr,
                  OPEN_EXISTING, FILE_ATTRIBUTE_NORMAL | FILE_FLAG_OPEN_REPARSE_POINT, nullptr);
  if (handle == INVALID_HANDLE_VALUE) {
    Fail("CreateFileW", path, cause);
    return nullptr;
  }
  BY_HANDLE_FILE_INFORMATION information;
  bool usable = GetFileInformationByHandle(handle, &information) ||
                Fail("GetFileInformationByHandle", path, cause);
  if (usable && (GetFileType(handle) != FILE_TYPE_DISK ||
                 (information.dwFileAttributes &
                  (FILE_ATTRIBUTE_REPARSE_POINT | FILE_ATTRIBUTE_DIRECTORY)))) {
    SetLastError(ERROR_CANT_ACCESS_FILE);
    usable = Fail("CreateFileW", path, cause);
  }
  if (!usable) {
    CloseHandle(handle);
    return nullptr;
  }
  return std::make_unique<Win32File>(handle, path);
}

std::unique_ptr<File> Win32FileSystem::Create(const std::string& path, std::string* cause) {
  HANDLE handle = CreateHandle(path, cause);
  if (!handle) return nullptr;
  return std::make_unique<Win32File>(handle, path);
}

std::unique_ptr<File> Win32FileSystem::CreateDurable(const std::string& path, std::string* cause) {
  HANDLE handle = CreateHandle(path, cause);
  if (!handle) return nullptr;
  if (!flusher_) flusher_ = std::make_shared<BackgroundFlusher>();
  return std::make_unique<Win32File>(handle, path, flusher_);
}

std::unique_ptr<File> Win32FileSystem::OpenAppend(const std::string& path, std::string* cause) {
  // Appending access only: every write goes to the end, also when another
  // process appends to the same file meanwhile.
  HANDLE handle =
      OpenRegular(path, FILE_APPEND_DATA, FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE,
                  OPEN_ALWAYS, Links::Refuse, cause);
  if (!handle) return nullptr;
  return std::make_unique<Win32File>(handle, path);
}

bool Win32FileSystem::Exists(const std::string& path) {
  return GetFileAttributesW(WithoutTrailingSeparators(path).c_str()) != INVALID_FILE_ATTRIBUTES;
}

bool Win32FileSystem::IsFolder(const std::string& path) {
  DWORD attributes = GetFileAttributesW(WithoutTrailingSeparators(path).c_str());
  return attributes != INVALID_FILE_ATTRIBUTES && (attributes & FILE_ATTRIBUTE_DIRECTORY);
}

void Win32FileSystem::Settle(const std::string& path) {
  if (flusher_) flusher_->Settle(Utf8ToWide(path));
}

bool Win32FileSystem::Delete(const std::string& path, std::string* cause) {
  Settle(path);
  std::wstring wide = Utf8ToWide(path);
  if (DeleteFileW(wide.c_str())) return true;
  if (GetLastError() != ERROR_ACCESS_DENIED) return Fail("DeleteFileW", path, cause);
  return WithoutReadOnly(wide, Restore::OnFailure,
                         [&] { return DeleteFileW(wide.c_str()) != 0; }) ||
         Fail("DeleteFileW", path, cause);
}

bool Win32FileSystem::Copy(const std::string& from, const std::string& to, std::string* cause) {
  return CopyFileW(Utf8ToWide(from).c_str(), Utf8ToWide(to).c_str(), FALSE) ||
         Fail("CopyFileW", from + " -> " + to, cause);
}

bool Win32FileSystem::Replace(const std::string& from, const std::string& to, std::string* cause) {
  Settle(from);
  Settle(to);
  std::wstring source = Utf8ToWide(from), target = Utf8ToWide(to);
  auto move = [&] {
    return MoveFileExW(source.c_str(), target.c_str(),
                       MOVEFILE_REPLACE_EXISTING | MOVEFILE_WRITE_THROUGH) != 0;
  };
  if (move()) return true;
  if (GetLastError() == ERROR_ACCESS_DENIED && WithoutReadOnly(target, Restore::OnFailure, move))
    return true;
  return Fail("MoveFileExW", from + " -> " + to, cause);
}

bool Win32FileSystem::KeepAside(const std::string& path, const std::string& aside,
                                std::string* cause) {
  Settle(path);
  std::wstring source = Utf8ToWide(path), second = Utf8ToWide(aside);
  // A hard link would share the read-only attribute that replacing the file
  // must clear, so a read-only file moves instead and keeps it.
  DWORD attributes = GetFileAttributesW(source.c_str());
  if (attributes == INVALID_FILE_ATTRIBUTES) return Fail("GetFileAttributesW", path, cause);
  if (!(attributes & FILE_ATTRIBUTE_READONLY)) {
    if (CreateHardLinkW(second.c_str(), source.c_str(), nullptr)) return true;
    if (GetLastError() == ERROR_ALREADY_EXISTS) return Fail("CreateHardLinkW", aside, cause);
  }
  return MoveFileExW(source.c_str(), second.c_str(), MOVEFILE_WRITE_THROUGH) ||
         Fail("MoveFileExW", path + " -> " + aside, cause);
}

bool Win32FileSystem::CreateFolder(const std::string& path, std::string* cause) {
  return CreateDirectoryW(WithoutTrailingSeparators(path).c_str(), nullptr) ||
         Fail("CreateDirectoryW", path, cause);
}

bool Win32FileSystem::RemoveFolder(const std::string& path, std::string* cause) {
  return RemoveDirectoryW(WithoutTrailingSeparators(path).c_str()) ||
         Fail("RemoveDirectoryW", path, cause);
}

bool Win32FileSystem::SyncFiles(const std::vector<std::string>& paths, std::string* cause) {
  // Windows has no call that flushes one volume's files without
  // administrator rights, so each file is flushed through a handle of its own.
  // A file that CreateDurable made was flushed when it was closed; its flush
  // is waited for, and done again here when it did not succeed.
  for (const std::string& path : paths) {
    std::wstring wide = Utf8ToWide(path);
    DWORD error = ERROR_SUCCESS;
    if (flusher_ && flusher_->Wait(wide, &error)) continue;
    bool flushed = WithoutReadOnly(wide, Restore::Always, [&] {
      DWORD failure = BackgroundFlusher::FlushByName(wide);
      SetLastError(failure);
      return failure == ERROR_SUCCESS;
    });
    if (!flushed) return Fail("FlushFileBuffers", path, cause);
  }
  return true;
}

bool Win32FileSystem::SyncFolders(const std::vector<std::string>&, std::string*) { return true; }

namespace {

// The path the system reaches for `path`, every link resolved ("\\?\C:\...").
bool FinalPath(const std::wstring& path, std::wstring* final) {
  HANDLE handle =
      CreateFileW(path.c_str(), 0, FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE, nullptr,
                  OPEN_EXISTING, FILE_FLAG_BACKUP_SEMANTICS, nullptr);
  if (handle == INVALID_HANDLE_VALUE) return false;
  std::wstring text(MAX_PATH, L'\0');
  DWORD length = GetFinalPathNameByHandleW(handle, text.data(), static_cast<DWORD>(text.size()),
                                           FILE_NAME_NORMALIZED);
  if (length >= text.size()) {
    text.resize(length + 1);
    length = GetFinalPathNameByHandleW(handle, text.data(), static_cast<DWORD>(text.size()),
                                       FILE_NAME_NORMALIZED);
  }
  const DWORD error = GetLastError();
  CloseHandle(handle);
  if (length == 0 || length >= text.size()) {
    SetLastError(length == 0 ? error : ERROR_BUFFER_OVERFLOW);
    return false;
  }
  text.resize(length);
  *final = std::move(text);
  return true;
}

// True when `path` is `folder` or lies below it, letter case ignored.
bool IsWithin(const std::wstring& path, const std::wstring& folder) {
  if (path.size() < folder.size()) return false;
  if (CompareStringOrdinal(path.data(), static_cast<int>(folder.size()), folder.data(),
                           static_cast<int>(folder.size()), TRUE) != CSTR_EQUAL)
    return false;
  return path.size() == folder.size() || path[folder.size()] == L'\\' ||
         (!folder.empty() && folder.back() == L'\\');
}

}  // namespace

bool Win32FileSystem::StaysInside(const std::string& folder, const std::string& path,
                                  std::string* cause) {
  std::wstring root = WithoutTrailingSeparators(folder);
  std::wstring wide = WithoutTrailingSeparators(path);
  for (wchar_t& c : wide)
    if (c == L'/') c = L'\\';
  for (wchar_t& c : root)
    if (c == L'/') c = L'\\';
  if (!IsWithin(wide, root)) {
    return Fail(path + " is not below " + folder, cause);
  }
  std::wstring rootFinal;  // the folder with its own links resolved, once needed
  // Each part below the folder in turn: a reparse point (symbolic link,
  // junction, mount point) must resolve to a place inside the folder; the
  // first part that does not exist ends the walk. (Wine shows a symbolic
  // link to a folder as a reparse point, and one to a file as a plain file.)
  for (size_t end = root.size(); end < wide.size();) {
    end = wide.find(L'\\', end + 1);
    if (end == std::wstring::npos) end = wide.size();
    const std::wstring part = wide.substr(0, end);
    if (part.back() == L'\\') continue;
    const DWORD attributes = GetFileAttributesW(part.c_str());
    if (attributes == INVALID_FILE_ATTRIBUTES) {
      const DWORD error = GetLastError();
      if (error == ERROR_FILE_NOT_FOUND || error == ERROR_PATH_NOT_FOUND) return true;
      return Fail("GetFileAttributesW", WideToUtf8(part), cause);
    }
    if (!(attributes & FILE_ATTRIBUTE_REPARSE_POINT)) continue;
    if (rootFinal.empty() && !FinalPath(root, &rootFinal))
      return Fail("GetFinalPathNameByHandleW", folder, cause);
    std::wstring reached;
    if (!FinalPath(part, &reached))
      return Fail("GetFinalPathNameByHandleW", WideToUtf8(part), cause);
    if (!IsWithin(reached, rootFinal)) {
      return Fail(WideToUtf8(part) + " is a link to " + WideToUtf8(reached) + ", outside " +
                      WideToUtf8(rootFinal),
                  cause);
    }
  }
  return true;
}

bool Win32FileSystem::ListFolder(const std::string& folder, const std::string& pattern,
                                 std::vector<FolderEntry>* entries, std::string* cause) {
  std::string prefix = folder;
  if (!prefix.empty() && prefix.back() != '\\' && prefix.back() != '/') prefix += '\\';
  WIN32_FIND_DATAW found;
  HANDLE search = FindFirstFileW(Utf8ToWide(prefix + pattern).c_str(), &found);
  if (search == INVALID_HANDLE_VALUE) {
    DWORD error = GetLastError();
    // No match in an existing folder is an empty listing, not a failure.
    if (error == ERROR_FILE_NOT_FOUND && IsFolder(folder)) return true;
    SetLastError(error);
    return Fail("FindFirstFileW", prefix + pattern, cause);
  }
  do {
    std::string name = WideToUtf8(found.cFileName);
    if (name == "." || name == "..") continue;
    entries->push_back({name, (found.dwFileAttributes & FILE_ATTRIBUTE_DIRECTORY) != 0});
  } while (FindNextFileW(search, &found));
  FindClose(search);
  return true;
}

bool Win32FileSystem::CopyPermissions(const std::string& from, const std::string& to,
                                      std::string* cause) {
  std::wstring source = Utf8ToWide(from), target = Utf8ToWide(to);
  DWORD attributes = GetFileAttributesW(source.c_str());
  if (attributes == INVALID_FILE_ATTRIBUTES) return Fail("GetFileAttributesW", from, cause);
  // The access control list before the attributes, which may make the file
  // read-only.
  PACL dacl = nullptr;
  PSECURITY_DESCRIPTOR descriptor = nullptr;
  DWORD error = GetNamedSecurityInfoW(source.c_str(), SE_FILE_OBJECT, DACL_SECURITY_INFORMATION,
                                      nullptr, nullptr, &dacl, nullptr, &descriptor);
  if (error == ERROR_SUCCESS) {
    SECURITY_DESCRIPTOR_CONTROL control = 0;
    DWORD revision = 0;
    GetSecurityDescriptorControl(descriptor, &control, &revision);
    // A protected list stays protected; otherwise the file inherits from its
    // folder as the old one did, and only the old file's own entries are set.
    SECURITY_INFORMATION what =
        DACL_SECURITY_INFORMATION |
        ((control & SE_DACL_PROTECTED) ? PROTECTED_DACL_SECURITY_INFORMATION
                                       : UNPROTECTED_DACL_SECURITY_INFORMATION);
    error =
        SetNamedSecurityInfoW(target.data(), SE_FILE_OBJECT, what, nullptr, nullptr, dacl, nullptr);
    LocalFree(descriptor);
  }
  bool securityKept = error == ERROR_SUCCESS;
  if (!securityKept) {
    SetLastError(error);
    Fail("SetNamedSecurityInfoW", from + " -> " + to, cause);
  }
  DWORD kept = attributes & kKeptAttributes;
  if (!SetFileAttributesW(target.c_str(), kept ? kept : FILE_ATTRIBUTE_NORMAL))
    return Fail("SetFileAttributesW", to, cause);
  return securityKept;
}

bool Win32FileSystem::MakeExecutable(const std::string&, std::string*) { return true; }

std::unique_ptr<File> Win32FileSystem::OpenStateFile(const std::string& path, bool exclusive,
                                                     std::string* cause) {
  return OpenFile(path, exclusive, Links::Refuse, cause);
}

LockOutcome Win32FileSystem::TryLock(const std::string& path, std::unique_ptr<File>* lock,
                                     std::string* cause) {
  // No sharing: while this handle is open no other process can open the
  // file. Reading is all it needs, so a lock file that another user's run
  // made still locks. Handles are made not inheritable, so a started program
  // does not hold the lock on.
  DWORD error = ERROR_SUCCESS;
  HANDLE handle = OpenRegular(path, GENERIC_READ, 0, OPEN_ALWAYS, Links::Refuse, cause, &error);
  if (!handle)
    return error == ERROR_SHARING_VIOLATION ? LockOutcome::HeldByAnother : LockOutcome::Failed;
  *lock = std::make_unique<Win32File>(handle, path);
  return LockOutcome::Taken;
}

std::unique_ptr<MappedFile> Win32FileSystem::MapRead(const std::string& path, std::string* cause) {
  HANDLE file = CreateFileW(Utf8ToWide(path).c_str(), GENERIC_READ, FILE_SHARE_READ, nullptr,
                            OPEN_EXISTING, FILE_ATTRIBUTE_NORMAL, nullptr);
  if (file == INVALID_HANDLE_VALUE) {
    Fail("CreateFileW", path, cause);
    return nullptr;
  }
  LARGE_INTEGER size;
  HANDLE mapping = nullptr;
  void* view = nullptr;
  bool usable = GetFileSizeEx(file, &size) || Fail("GetFileSizeEx", path, cause);
  // An empty file cannot be mapped, and needs no memory.
  if (usable && size.QuadPart > 0) {
    mapping = CreateFileMappingW(file, nullptr, PAGE_READONLY, 0, 0, nullptr);
    usable = mapping != nullptr || Fail("CreateFileMappingW", path, cause);
  }
  if (usable && mapping) {
    view = MapViewOfFile(mapping, FILE_MAP_READ, 0, 0, 0);
    usable = view != nullptr || Fail("MapViewOfFile", path, cause);
  }
  if (!usable) {
    if (mapping) CloseHandle(mapping);
    CloseHandle(file);
    return nullptr;
  }
  return std::make_unique<Win32MappedFile>(file, mapping, view, size.QuadPart, path, nullptr);
}

std::unique_ptr<MappedFile> Win32FileSystem::CreateMapped(const std::string& path, int64_t size,
                                                          std::string* cause) {
  if (size < 0) {
    SetLastError(ERROR_INVALID_PARAMETER);
    Fail("CreateFileW", path, cause);
    return nullptr;
  }
  std::wstring wide = Utf8ToWide(path);
  HANDLE file = CreateFileW(wide.c_str(), GENERIC_READ | GENERIC_WRITE, 0, nullptr, CREATE_ALWAYS,
                            FILE_ATTRIBUTE_NORMAL, nullptr);
  if (file == INVALID_HANDLE_VALUE) {
    Fail("CreateFileW", path, cause);
    return nullptr;
  }
  HANDLE mapping = nullptr;
  void* view = nullptr;
  bool usable = true;
  if (size > 0) {
    // Setting the end takes the file's space on the disk, so that a full
    // disk fails here rather than when a page of the view is written.
    LARGE_INTEGER end;
    end.QuadPart = size;
    usable = (SetFilePointerEx(file, end, nullptr, FILE_BEGIN) && SetEndOfFile(file)) ||
             Fail("SetEndOfFile", path, cause);
    if (usable) {
      mapping = CreateFileMappingW(file, nullptr, PAGE_READWRITE, 0, 0, nullptr);
      usable = mapping != nullptr || Fail("CreateFileMappingW", path, cause);
    }
    if (usable) {
      view = MapViewOfFile(mapping, FILE_MAP_WRITE, 0, 0, 0);
      usable = view != nullptr || Fail("MapViewOfFile", path, cause);
    }
  }
  if (!usable) {
    if (mapping) CloseHandle(mapping);
    CloseHandle(file);
    DeleteFileW(wide.c_str());
    return nullptr;
  }
  if (!flusher_) flusher_ = std::make_shared<BackgroundFlusher>();
  return std::make_unique<Win32MappedFile>(file, mapping, view, size, path, flusher_);
}

bool Win32FileSystem::HeldOpenElsewhere(const std::string& path) {
  // A flush of this program's own is no other opener.
  Settle(path);
  const std::wstring wide = Utf8ToWide(path);
  // Reading without sharing is refused while anyone else has the file open
  // for its data; writing also while it runs as a program, whose loader
  // shares reading. Neither open changes the file.
  for (const DWORD access : {DWORD{GENERIC_READ}, DWORD{GENERIC_READ | GENERIC_WRITE}}) {
    HANDLE handle = CreateFileW(wide.c_str(), access, 0, nullptr, OPEN_EXISTING,
                                FILE_ATTRIBUTE_NORMAL, nullptr);
    if (handle == INVALID_HANDLE_VALUE) {
      const DWORD error = GetLastError();
      return error == ERROR_SHARING_VIOLATION || error == ERROR_LOCK_VIOLATION;
    }
    CloseHandle(handle);
  }
  return false;
}

}  // namespace updater

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

class Win32File : public File {
 public:
  Win32File(HANDLE handle, std::string path, CauseRecord cause,
            std::shared_ptr<BackgroundFlusher> flusher = nullptr)
      : handle_(handle),
        path_(std::move(path)),
        cause_(std::move(cause)),
        flusher_(std::move(flusher)) {}
  ~Win32File() override { Close(); }

  bool Seek(int64_t offset) override {
    LARGE_INTEGER position;
    position.QuadPart = offset;
    if (offset < 0) {
      SetLastError(ERROR_NEGATIVE_SEEK);
      return Failed("SetFilePointerEx");
    }
    return SetFilePointerEx(handle_, position, nullptr, FILE_BEGIN) || Failed("SetFilePointerEx");
  }

  int64_t Read(void* buffer, int64_t size) override {
    char* out = static_cast<char*>(buffer);
    int64_t done = 0;
    while (done < size) {
      DWORD ask = static_cast<DWORD>(size - done > 0x40000000 ? 0x40000000 : size - done);
      DWORD count = 0;
      if (!ReadFile(handle_, out + done, ask, &count, nullptr)) {
        Failed("ReadFile");
        return -1;
      }
      if (count == 0) break;
      done += count;
    }
    return done;
  }

  bool Write(const void* buffer, int64_t size) override {
    const char* in = static_cast<const char*>(buffer);
    int64_t done = 0;
    while (done < size) {
      DWORD ask = static_cast<DWORD>(size - done > 0x40000000 ? 0x40000000 : size - done);
      DWORD count = 0;
      if (!WriteFile(handle_, in + done, ask, &count, nullptr)) return Failed("WriteFile");
      if (count == 0) {
        SetLastError(ERROR_DISK_FULL);  // a write that takes nothing is a full disk
        return Failed("WriteFile");
      }
      done += count;
    }
    return true;
  }

  bool Flush() override { return FlushFileBuffers(handle_) || Failed("FlushFileBuffers"); }

  bool Sync() override { return FlushFileBuffers(handle_) || Failed("FlushFileBuffers"); }

  int64_t Size() override {
    LARGE_INTEGER size;
    if (GetFileSizeEx(handle_, &size)) return size.QuadPart;
    Failed("GetFileSizeEx");
    return -1;
  }

  bool Close() override {
    if (handle_ == INVALID_HANDLE_VALUE) return true;
    BOOL closed = CloseHandle(handle_);
    handle_ = INVALID_HANDLE_VALUE;
    if (closed && flusher_) flusher_->Flush(Utf8ToWide(path_));
    return closed || Failed("CloseHandle");
  }

 private:
  bool Failed(std::string_view call) {
    *cause_ = Win32Cause(call, path_, GetLastError());
    return false;
  }

  HANDLE handle_;
  std::string path_;
  CauseRecord cause_;
  std::shared_ptr<BackgroundFlusher> flusher_;  // for a durable file
};

// A mapped view of a file, with the file's mapping and handle.
class Win32MappedFile : public MappedFile {
 public:
  Win32MappedFile(HANDLE file, HANDLE mapping, void* view, int64_t size, std::string path,
                  CauseRecord cause, std::shared_ptr<BackgroundFlusher> flusher)
      : file_(file),
        mapping_(mapping),
        view_(view),
        size_(size),
        path_(std::move(path)),
        cause_(std::move(cause)),
        flusher_(std::move(flusher)) {}
  ~Win32MappedFile() override { Close(); }

  uint8_t* Data() override { return static_cast<uint8_t*>(view_); }
  int64_t Size() const override { return size_; }

  bool Close() override {
    if (file_ == INVALID_HANDLE_VALUE) return true;
    bool done = true;
    // A written view hands its pages to the file's cache before it goes; the
    // disk gets them when the file is flushed (SyncFiles).
    if (view_ && flusher_ && !FlushViewOfFile(view_, 0)) done = Failed("FlushViewOfFile");
    if (view_ && !UnmapViewOfFile(view_) && done) done = Failed("UnmapViewOfFile");
    if (mapping_ && !CloseHandle(mapping_) && done) done = Failed("CloseHandle");
    const BOOL closed = CloseHandle(file_);
    if (!closed && done) done = Failed("CloseHandle");
    if (closed && flusher_) flusher_->Flush(Utf8ToWide(path_));
    view_ = nullptr;
    mapping_ = nullptr;
    file_ = INVALID_HANDLE_VALUE;
    return done;
  }

 private:
  bool Failed(std::string_view call) {
    *cause_ = Win32Cause(call, path_, GetLastError());
    return false;
  }

  HANDLE file_;
  HANDLE mapping_;  // null for an empty file
  void* view_;
  int64_t size_;
  std::string path_;
  CauseRecord cause_;
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

bool Win32FileSystem::Failed(std::string_view call, const std::string& path) {
  *cause_ = Win32Cause(call, path, GetLastError());
  return false;
}

void* Win32FileSystem::OpenRegular(const std::string& path, unsigned long access,
                                   unsigned long share, unsigned long disposition, Links links,
                                   unsigned long* openError) {
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
    Failed("CreateFileW", path);
    return nullptr;
  }
  // A pipe or a device is no file on a disk (Wine shows a FIFO as a pipe).
  const DWORD type = GetFileType(handle);
  if (type != FILE_TYPE_DISK) {
    CloseHandle(handle);
    *cause_ = "CreateFileW " + path + ": " +
              (type == FILE_TYPE_PIPE   ? "a pipe or FIFO, not a regular file"
               : type == FILE_TYPE_CHAR ? "a device, not a regular file"
                                        : "not a regular file");
    return nullptr;
  }
  if (refuseLinks) {
    FILE_ATTRIBUTE_TAG_INFO tag{};
    if (!GetFileInformationByHandleEx(handle, FileAttributeTagInfo, &tag, sizeof tag)) {
      Failed("GetFileInformationByHandleEx", path);
      CloseHandle(handle);
      return nullptr;
    }
    if (tag.FileAttributes & FILE_ATTRIBUTE_REPARSE_POINT) {
      CloseHandle(handle);
      if (IsReparseTagNameSurrogate(tag.ReparseTag)) {
        *cause_ = "CreateFileW " + path + ": a link, which is not followed here";
        return nullptr;
      }
      // Another kind of reparse point (a file of a cloud store or of data
      // deduplication) is the file itself: it opens the usual way.
      handle = CreateFileW(wide.c_str(), access, share, nullptr, disposition, FILE_ATTRIBUTE_NORMAL,
                           nullptr);
      if (handle == INVALID_HANDLE_VALUE) {
        Failed("CreateFileW", path);
        return nullptr;
      }
    }
  }
  return handle;
}

std::unique_ptr<File> Win32FileSystem::OpenFile(const std::string& path, bool exclusive,
                                                Links links) {
  HANDLE handle =
      OpenRegular(path, GENERIC_READ, exclusive ? 0 : FILE_SHARE_READ, OPEN_EXISTING, links);
  if (!handle) return nullptr;
  return std::make_unique<Win32File>(handle, path, cause_);
}

std::unique_ptr<File> Win32FileSystem::OpenRead(const std::string& path, bool exclusive) {
  return OpenFile(path, exclusive, Links::Follow);
}

void* Win32FileSystem::CreateHandle(const std::string& path) {
  // Opened as it is and emptied only once it is known to be a regular file
  // and no link: CREATE_ALWAYS would empty whatever a link names.
  HANDLE handle = OpenRegular(path, GENERIC_WRITE, 0, OPEN_ALWAYS, Links::Refuse);
  if (!handle) return nullptr;
  if (!SetEndOfFile(handle)) {  // at offset 0: the file becomes empty
    Failed("SetEndOfFile", path);
    CloseHandle(handle);
    return nullptr;
  }
  return handle;
}

std::unique_ptr<File> Win32FileSystem::OpenReadAppend(const std::string& path) {
  // Appending access only: every write goes to the end. The link itself is
  // opened, not what it leads to, so that a link can be refused.
  HANDLE handle =
      CreateFileW(Utf8ToWide(path).c_str(), GENERIC_READ | FILE_APPEND_DATA, 0, nullptr,
                  OPEN_EXISTING, FILE_ATTRIBUTE_NORMAL | FILE_FLAG_OPEN_REPARSE_POINT, nullptr);
  if (handle == INVALID_HANDLE_VALUE) {
    Failed("CreateFileW", path);
    return nullptr;
  }
  BY_HANDLE_FILE_INFORMATION information;
  bool usable = GetFileInformationByHandle(handle, &information) ||
                Failed("GetFileInformationByHandle", path);
  if (usable && (GetFileType(handle) != FILE_TYPE_DISK ||
                 (information.dwFileAttributes &
                  (FILE_ATTRIBUTE_REPARSE_POINT | FILE_ATTRIBUTE_DIRECTORY)))) {
    SetLastError(ERROR_CANT_ACCESS_FILE);
    usable = Failed("CreateFileW", path);
  }
  if (!usable) {
    CloseHandle(handle);
    return nullptr;
  }
  return std::make_unique<Win32File>(handle, path, cause_);
}

std::unique_ptr<File> Win32FileSystem::Create(const std::string& path) {
  HANDLE handle = CreateHandle(path);
  if (!handle) return nullptr;
  return std::make_unique<Win32File>(handle, path, cause_);
}

std::unique_ptr<File> Win32FileSystem::CreateDurable(const std::string& path) {
  HANDLE handle = CreateHandle(path);
  if (!handle) return nullptr;
  if (!flusher_) flusher_ = std::make_shared<BackgroundFlusher>();
  return std::make_unique<Win32File>(handle, path, cause_, flusher_);
}

std::unique_ptr<File> Win32FileSystem::OpenAppend(const std::string& path) {
  // Appending access only: every write goes to the end, also when another
  // process appends to the same file meanwhile.
  HANDLE handle =
      OpenRegular(path, FILE_APPEND_DATA, FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE,
                  OPEN_ALWAYS, Links::Refuse);
  if (!handle) return nullptr;
  return std::make_unique<Win32File>(handle, path, cause_);
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

bool Win32FileSystem::Delete(const std::string& path) {
  Settle(path);
  std::wstring wide = Utf8ToWide(path);
  if (DeleteFileW(wide.c_str())) return true;
  if (GetLastError() != ERROR_ACCESS_DENIED) return Failed("DeleteFileW", path);
  return WithoutReadOnly(wide, Restore::OnFailure,
                         [&] { return DeleteFileW(wide.c_str()) != 0; }) ||
         Failed("DeleteFileW", path);
}

bool Win32FileSystem::Copy(const std::string& from, const std::string& to) {
  return CopyFileW(Utf8ToWide(from).c_str(), Utf8ToWide(to).c_str(), FALSE) ||
         Failed("CopyFileW", from + " -> " + to);
}

bool Win32FileSystem::Replace(const std::string& from, const std::string& to) {
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
  return Failed("MoveFileExW", from + " -> " + to);
}

bool Win32FileSystem::KeepAside(const std::string& path, const std::string& aside) {
  Settle(path);
  std::wstring source = Utf8ToWide(path), second = Utf8ToWide(aside);
  // A hard link would share the read-only attribute that replacing the file
  // must clear, so a read-only file moves instead and keeps it.
  DWORD attributes = GetFileAttributesW(source.c_str());
  if (attributes == INVALID_FILE_ATTRIBUTES) return Failed("GetFileAttributesW", path);
  if (!(attributes & FILE_ATTRIBUTE_READONLY)) {
    if (CreateHardLinkW(second.c_str(), source.c_str(), nullptr)) return true;
    if (GetLastError() == ERROR_ALREADY_EXISTS) return Failed("CreateHardLinkW", aside);
  }
  return MoveFileExW(source.c_str(), second.c_str(), MOVEFILE_WRITE_THROUGH) ||
         Failed("MoveFileExW", path + " -> " + aside);
}

bool Win32FileSystem::CreateFolder(const std::string& path) {
  return CreateDirectoryW(WithoutTrailingSeparators(path).c_str(), nullptr) ||
         Failed("CreateDirectoryW", path);
}

bool Win32FileSystem::RemoveFolder(const std::string& path) {
  return RemoveDirectoryW(WithoutTrailingSeparators(path).c_str()) ||
         Failed("RemoveDirectoryW", path);
}

bool Win32FileSystem::SyncFiles(const std::vector<std::string>& paths) {
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
    if (!flushed) return Failed("FlushFileBuffers", path);
  }
  return true;
}

bool Win32FileSystem::SyncFolders(const std::vector<std::string>&) { return true; }

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

bool Win32FileSystem::StaysInside(const std::string& folder, const std::string& path) {
  std::wstring root = WithoutTrailingSeparators(folder);
  std::wstring wide = WithoutTrailingSeparators(path);
  for (wchar_t& c : wide)
    if (c == L'/') c = L'\\';
  for (wchar_t& c : root)
    if (c == L'/') c = L'\\';
  if (!IsWithin(wide, root)) {
    *cause_ = path + " is not below " + folder;
    return false;
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
      return Failed("GetFileAttributesW", WideToUtf8(part));
    }
    if (!(attributes & FILE_ATTRIBUTE_REPARSE_POINT)) continue;
    if (rootFinal.empty() && !FinalPath(root, &rootFinal))
      return Failed("GetFinalPathNameByHandleW", folder);
    std::wstring reached;
    if (!FinalPath(part, &reached)) return Failed("GetFinalPathNameByHandleW", WideToUtf8(part));
    if (!IsWithin(reached, rootFinal)) {
      *cause_ = WideToUtf8(part) + " is a link to " + WideToUtf8(reached) + ", outside " +
                WideToUtf8(rootFinal);
      return false;
    }
  }
  return true;
}

bool Win32FileSystem::ListFolder(const std::string& folder, const std::string& pattern,
                                 std::vector<FolderEntry>* entries) {
  std::string prefix = folder;
  if (!prefix.empty() && prefix.back() != '\\' && prefix.back() != '/') prefix += '\\';
  WIN32_FIND_DATAW found;
  HANDLE search = FindFirstFileW(Utf8ToWide(prefix + pattern).c_str(), &found);
  if (search == INVALID_HANDLE_VALUE) {
    DWORD error = GetLastError();
    // No match in an existing folder is an empty listing, not a failure.
    if (error == ERROR_FILE_NOT_FOUND && IsFolder(folder)) return true;
    SetLastError(error);
    return Failed("FindFirstFileW", prefix + pattern);
  }
  do {
    std::string name = WideToUtf8(found.cFileName);
    if (name == "." || name == "..") continue;
    entries->push_back({name, (found.dwFileAttributes & FILE_ATTRIBUTE_DIRECTORY) != 0});
  } while (FindNextFileW(search, &found));
  FindClose(search);
  return true;
}

bool Win32FileSystem::CopyPermissions(const std::string& from, const std::string& to) {
  std::wstring source = Utf8ToWide(from), target = Utf8ToWide(to);
  DWORD attributes = GetFileAttributesW(source.c_str());
  if (attributes == INVALID_FILE_ATTRIBUTES) return Failed("GetFileAttributesW", from);
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
    Failed("SetNamedSecurityInfoW", from + " -> " + to);
  }
  DWORD kept = attributes & kKeptAttributes;
  if (!SetFileAttributesW(target.c_str(), kept ? kept : FILE_ATTRIBUTE_NORMAL))
    return Failed("SetFileAttributesW", to);
  return securityKept;
}

bool Win32FileSystem::MakeExecutable(const std::string&) { return true; }

std::unique_ptr<File> Win32FileSystem::OpenStateFile(const std::string& path, bool exclusive) {
  return OpenFile(path, exclusive, Links::Refuse);
}

LockOutcome Win32FileSystem::TryLock(const std::string& path, std::unique_ptr<File>* lock) {
  // No sharing: while this handle is open no other process can open the
  // file. Reading is all it needs, so a lock file that another user's run
  // made still locks. Handles are made not inheritable, so a started program
  // does not hold the lock on.
  DWORD error = ERROR_SUCCESS;
  HANDLE handle = OpenRegular(path, GENERIC_READ, 0, OPEN_ALWAYS, Links::Refuse, &error);
  if (!handle)
    return error == ERROR_SHARING_VIOLATION ? LockOutcome::HeldByAnother : LockOutcome::Failed;
  *lock = std::make_unique<Win32File>(handle, path, cause_);
  return LockOutcome::Taken;
}

std::unique_ptr<MappedFile> Win32FileSystem::MapRead(const std::string& path) {
  HANDLE file = CreateFileW(Utf8ToWide(path).c_str(), GENERIC_READ, FILE_SHARE_READ, nullptr,
                            OPEN_EXISTING, FILE_ATTRIBUTE_NORMAL, nullptr);
  if (file == INVALID_HANDLE_VALUE) {
    Failed("CreateFileW", path);
    return nullptr;
  }
  LARGE_INTEGER size;
  HANDLE mapping = nullptr;
  void* view = nullptr;
  bool usable = GetFileSizeEx(file, &size) || Failed("GetFileSizeEx", path);
  // An empty file cannot be mapped, and needs no memory.
  if (usable && size.QuadPart > 0) {
    mapping = CreateFileMappingW(file, nullptr, PAGE_READONLY, 0, 0, nullptr);
    usable = mapping != nullptr || Failed("CreateFileMappingW", path);
  }
  if (usable && mapping) {
    view = MapViewOfFile(mapping, FILE_MAP_READ, 0, 0, 0);
    usable = view != nullptr || Failed("MapViewOfFile", path);
  }
  if (!usable) {
    if (mapping) CloseHandle(mapping);
    CloseHandle(file);
    return nullptr;
  }
  return std::make_unique<Win32MappedFile>(file, mapping, view, size.QuadPart, path, cause_,
                                           nullptr);
}

std::unique_ptr<MappedFile> Win32FileSystem::CreateMapped(const std::string& path, int64_t size) {
  if (size < 0) {
    SetLastError(ERROR_INVALID_PARAMETER);
    Failed("CreateFileW", path);
    return nullptr;
  }
  std::wstring wide = Utf8ToWide(path);
  HANDLE file = CreateFileW(wide.c_str(), GENERIC_READ | GENERIC_WRITE, 0, nullptr, CREATE_ALWAYS,
                            FILE_ATTRIBUTE_NORMAL, nullptr);
  if (file == INVALID_HANDLE_VALUE) {
    Failed("CreateFileW", path);
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
             Failed("SetEndOfFile", path);
    if (usable) {
      mapping = CreateFileMappingW(file, nullptr, PAGE_READWRITE, 0, 0, nullptr);
      usable = mapping != nullptr || Failed("CreateFileMappingW", path);
    }
    if (usable) {
      view = MapViewOfFile(mapping, FILE_MAP_WRITE, 0, 0, 0);
      usable = view != nullptr || Failed("MapViewOfFile", path);
    }
  }
  if (!usable) {
    if (mapping) CloseHandle(mapping);
    CloseHandle(file);
    DeleteFileW(wide.c_str());
    return nullptr;
  }
  if (!flusher_) flusher_ = std::make_shared<BackgroundFlusher>();
  return std::make_unique<Win32MappedFile>(file, mapping, view, size, path, cause_, flusher_);
}

}  // namespace updater

// Files and folders on Windows.
#include "system/win32/file_system.h"

#include <windows.h>

#include "system/win32/wide_text.h"

namespace updater {

namespace {

class Win32File : public File {
 public:
  Win32File(HANDLE handle, std::string path, CauseRecord cause)
      : handle_(handle), path_(std::move(path)), cause_(std::move(cause)) {}
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
};

std::wstring WithoutTrailingSeparators(std::string path) {
  while (path.size() > 1 && (path.back() == '\\' || path.back() == '/')) path.pop_back();
  return Utf8ToWide(path);
}

}  // namespace

bool Win32FileSystem::Failed(std::string_view call, const std::string& path) {
  *cause_ = Win32Cause(call, path, GetLastError());
  return false;
}

std::unique_ptr<File> Win32FileSystem::OpenHandle(const char* call, const std::string& path,
                                                  unsigned long access, unsigned long share,
                                                  unsigned long disposition) {
  HANDLE handle = CreateFileW(Utf8ToWide(path).c_str(), access, share, nullptr, disposition,
                              FILE_ATTRIBUTE_NORMAL, nullptr);
  if (handle == INVALID_HANDLE_VALUE) {
    Failed(call, path);
    return nullptr;
  }
  return std::make_unique<Win32File>(handle, path, cause_);
}

std::unique_ptr<File> Win32FileSystem::OpenRead(const std::string& path, bool exclusive) {
  return OpenHandle("CreateFileW", path, GENERIC_READ, exclusive ? 0 : FILE_SHARE_READ,
                    OPEN_EXISTING);
}

std::unique_ptr<File> Win32FileSystem::Create(const std::string& path) {
  return OpenHandle("CreateFileW", path, GENERIC_WRITE, 0, CREATE_ALWAYS);
}

std::unique_ptr<File> Win32FileSystem::OpenAppend(const std::string& path) {
  // Appending access only: every write goes to the end, also when another
  // process appends to the same file meanwhile.
  return OpenHandle("CreateFileW", path, FILE_APPEND_DATA,
                    FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE, OPEN_ALWAYS);
}

bool Win32FileSystem::Exists(const std::string& path) {
  return GetFileAttributesW(WithoutTrailingSeparators(path).c_str()) != INVALID_FILE_ATTRIBUTES;
}

bool Win32FileSystem::IsFolder(const std::string& path) {
  DWORD attributes = GetFileAttributesW(WithoutTrailingSeparators(path).c_str());
  return attributes != INVALID_FILE_ATTRIBUTES && (attributes & FILE_ATTRIBUTE_DIRECTORY);
}

bool Win32FileSystem::Delete(const std::string& path) {
  return DeleteFileW(Utf8ToWide(path).c_str()) || Failed("DeleteFileW", path);
}

bool Win32FileSystem::Copy(const std::string& from, const std::string& to) {
  return CopyFileW(Utf8ToWide(from).c_str(), Utf8ToWide(to).c_str(), FALSE) ||
         Failed("CopyFileW", from + " -> " + to);
}

bool Win32FileSystem::Replace(const std::string& from, const std::string& to) {
  return MoveFileExW(Utf8ToWide(from).c_str(), Utf8ToWide(to).c_str(),
                     MOVEFILE_REPLACE_EXISTING | MOVEFILE_WRITE_THROUGH) ||
         Failed("MoveFileExW", from + " -> " + to);
}

bool Win32FileSystem::CreateFolder(const std::string& path) {
  return CreateDirectoryW(WithoutTrailingSeparators(path).c_str(), nullptr) ||
         Failed("CreateDirectoryW", path);
}

bool Win32FileSystem::RemoveFolder(const std::string& path) {
  return RemoveDirectoryW(WithoutTrailingSeparators(path).c_str()) ||
         Failed("RemoveDirectoryW", path);
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

bool Win32FileSystem::CopyPermissions(const std::string&, const std::string&) { return true; }

bool Win32FileSystem::MakeExecutable(const std::string&) { return true; }

}  // namespace updater

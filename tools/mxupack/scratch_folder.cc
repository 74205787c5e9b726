// Folders of mxupack's own below the system's folder for temporary files.
#include "mxupack/scratch_folder.h"

#include <signal.h>
#include <unistd.h>

#include <cerrno>
#include <filesystem>
#include <random>

namespace updater::mxupack {

namespace fs = std::filesystem;

namespace {

constexpr char kPrefix[] = "mxupack-";

// The process id in a scratch folder's name "mxupack-PID-N", or 0.
pid_t OwnerOf(const std::string& name) {
  if (name.rfind(kPrefix, 0) != 0) return 0;
  const size_t dash = name.find('-', sizeof(kPrefix) - 1);
  if (dash == std::string::npos || dash == sizeof(kPrefix) - 1) return 0;
  pid_t pid = 0;
  for (size_t i = sizeof(kPrefix) - 1; i < dash; ++i) {
    if (name[i] < '0' || name[i] > '9' || pid > 100000000) return 0;
    pid = pid * 10 + (name[i] - '0');
  }
  return pid;
}

// Removes the scratch folders in `base` whose process no longer runs: what
// an mxupack that was killed (unpacking old releases for deltas, say) left.
// Folders of running processes, and anything else, stay.
void RemoveOrphans(const fs::path& base) {
  std::error_code code;
  for (const auto& entry : fs::directory_iterator(base, code)) {
    const pid_t owner = OwnerOf(entry.path().filename().string());
    if (owner <= 0 || owner == getpid() || !entry.is_directory(code)) continue;
    if (kill(owner, 0) == 0 || errno != ESRCH) continue;  // running, or not ours to ask
    std::error_code ignored;
    fs::remove_all(entry.path(), ignored);
  }
}

bool Fail(std::string* error, std::string message) {
  *error = std::move(message);
  return false;
}

}  // namespace

ScratchFolder::~ScratchFolder() {
  std::error_code ignored;
  if (!path_.empty()) fs::remove_all(fs::u8path(path_), ignored);
}

bool ScratchFolder::Create(std::string* error) {
  std::error_code code;
  const fs::path base = fs::temp_directory_path(code);
  if (code) return Fail(error, "no folder for temporary files: " + code.message());
  RemoveOrphans(base);
  std::random_device random;
  for (int attempt = 0; attempt < 100; ++attempt) {
    const fs::path path =
        base / (kPrefix + std::to_string(getpid()) + "-" + std::to_string(random() % 100000000));
    if (fs::create_directory(path, code)) {
      path_ = path.u8string() + "/";
      return true;
    }
    if (code) break;
  }
  return Fail(error, "cannot create a temporary folder in " + base.u8string() +
                         (code ? ": " + code.message() : std::string()));
}

}  // namespace updater::mxupack

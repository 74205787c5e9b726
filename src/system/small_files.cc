// The program's own files, read and written whole.
#include "system/small_files.h"

#include <algorithm>
#include <memory>

#include "system/update_folder.h"

namespace updater {

SmallFileRead ReadSmallFile(FileSystem& files, const std::string& path, int64_t limit,
                            std::string* bytes, std::string* cause) {
  bytes->clear();
  if (!files.Exists(path)) return SmallFileRead::Missing;
  std::unique_ptr<File> file = files.OpenStateFile(path, false, cause);
  if (!file) return SmallFileRead::Failed;
  // The size the file claims is not trusted (a sparse file claims anything):
  // reading stops one byte past the limit.
  constexpr int64_t kChunk = 64 << 10;
  while (static_cast<int64_t>(bytes->size()) <= limit) {
    const size_t had = bytes->size();
    const int64_t want = std::min<int64_t>(kChunk, limit + 1 - static_cast<int64_t>(had));
    bytes->resize(had + static_cast<size_t>(want));
    const int64_t count = file->Read(bytes->data() + had, want, cause);
    if (count < 0) {
      bytes->clear();
      return SmallFileRead::Failed;
    }
    bytes->resize(had + static_cast<size_t>(count));
    if (count == 0) return SmallFileRead::Done;
  }
  bytes->clear();
  return SmallFileRead::TooLarge;
}

bool WriteFileWhole(FileSystem& files, const std::string& path, std::string_view bytes,
                    std::string* cause) {
  const std::string part = PartPath(path);
  std::unique_ptr<File> file = files.Create(part, cause);
  bool written = file && file->Write(bytes.data(), static_cast<int64_t>(bytes.size()), cause) &&
                 file->Flush(cause);
  // Closed before anything else: a file still open (and locked) cannot be
  // moved or deleted. The first failure's cause is the one kept.
  if (file) {
    std::string closeCause;
    const bool closed = file->Close(&closeCause);
    if (written && !closed) *cause = closeCause;
    written = written && closed;
  }
  if (written && files.Replace(part, path, cause)) return true;
  file.reset();
  // The ".part" file left behind does no harm: the next write replaces it,
  // and the next run's start removes it; the write's own cause matters more.
  if (files.Exists(part)) static_cast<void>(files.Delete(part, nullptr));
  return false;
}

}  // namespace updater

// Folders of mxupack's own below the system's folder for temporary files.
#pragma once

#include <string>

namespace updater::mxupack {

// A new folder in the system's folder for temporary files, removed with
// everything in it when this goes. Its name carries the process id
// ("mxupack-PID-N"), so that the folders of an mxupack that was killed are
// removed by the next one that makes a folder here.
class ScratchFolder {
 public:
  ScratchFolder() = default;
  ~ScratchFolder();
  ScratchFolder(const ScratchFolder&) = delete;
  ScratchFolder& operator=(const ScratchFolder&) = delete;

  // Removes the folders of mxupack processes that no longer run, then
  // creates this one; false with a message.
  bool Create(std::string* error);
  // The folder's path, ending with "/".
  const std::string& Path() const { return path_; }

 private:
  std::string path_;
};

}  // namespace updater::mxupack

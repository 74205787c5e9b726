// The files of a release or an installation for the end-to-end tests.
#include "e2e/installation_files.h"

#include <filesystem>

#include "support/temp_folder.h"

namespace updater::testing {

namespace fs = std::filesystem;

std::string NoiseBytes(size_t size, uint32_t seed) {
  std::string bytes(size, '\0');
  uint64_t state = seed * 0x9E3779B97F4A7C15ull + 1;
  for (char& byte : bytes) {  // xorshift64
    state ^= state << 13;
    state ^= state >> 7;
    state ^= state << 17;
    byte = static_cast<char>(state);
  }
  return bytes;
}

void WriteFileTree(const std::string& folder, const FileTree& tree) {
  for (const auto& [name, content] : tree) {
    fs::create_directories(fs::path(folder + name).parent_path());
    WriteWholeFile(folder + name, content);
  }
}

FileTree InstalledFiles(const std::string& folder) {
  FileTree tree;
  for (const auto& item : fs::recursive_directory_iterator(folder)) {
    const std::string name = fs::relative(item.path(), folder).generic_string();
    if (!item.is_regular_file() || name.rfind("Update/", 0) == 0 || name == "Updater.exe" ||
        name == "UpdateServer.lst")
      continue;
    tree[name] = ReadWholeFile(item.path().string());
  }
  return tree;
}

}  // namespace updater::testing

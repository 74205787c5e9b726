// The files of a folder tree as a package names them.
#include "mxupack/file_tree.h"

#include <filesystem>

namespace updater::mxupack {

namespace fs = std::filesystem;

bool ToEntryName(const std::string& utf8, std::string* name) {
  name->clear();
  for (size_t i = 0; i < utf8.size(); ++i) {
    unsigned char lead = static_cast<unsigned char>(utf8[i]);
    if (lead < 0x80) {
      name->push_back(lead == '/' ? '\\' : static_cast<char>(lead));
      continue;
    }
    if ((lead & 0xe0) != 0xc0 || i + 1 >= utf8.size()) return false;
    unsigned value = (lead & 0x1fu) << 6 | (static_cast<unsigned char>(utf8[i + 1]) & 0x3fu);
    if (value < 0xa0 || value > 0xff) return false;
    name->push_back(static_cast<char>(value));
    ++i;
  }
  return true;
}

bool ListFiles(const std::string& folder, std::map<std::string, std::string>* files,
               std::string* error) {
  std::error_code code;
  fs::path root = fs::u8path(folder);
  if (!fs::is_directory(root, code)) {
    *error = "not a folder: " + folder;
    return false;
  }
  for (auto it = fs::recursive_directory_iterator(root, code);
       !code && it != fs::recursive_directory_iterator(); it.increment(code)) {
    if (it->is_directory(code)) continue;
    if (!it->is_regular_file(code)) {
      *error = "not a regular file: " + it->path().u8string();
      return false;
    }
    std::string name;
    std::string relative = it->path().lexically_relative(root).generic_u8string();
    if (!ToEntryName(relative, &name)) {
      *error = "name not representable in a package: " + relative;
      return false;
    }
    (*files)[name] = it->path().u8string();
  }
  if (code) {
    *error = "cannot list " + folder + ": " + code.message();
    return false;
  }
  return true;
}

}  // namespace updater::mxupack

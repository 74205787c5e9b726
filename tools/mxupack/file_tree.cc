// The files of a folder tree as a package names them, read safely.
#include "mxupack/file_tree.h"

#include <filesystem>
#include <set>

#include "packages/apply_updates.h"
#include "packages/entry_names.h"

namespace updater::mxupack {

namespace {

namespace fs = std::filesystem;

// Windows and the updater take a folder path this deep at most.
constexpr int kDeepestFolder = 64;

char FoldCase(char c) {
  // ASCII, and the Latin-1 letters the entry names can hold, as NTFS folds
  // them (the multiplication sign is no letter).
  const unsigned char byte = static_cast<unsigned char>(c);
  if ((byte >= 'A' && byte <= 'Z') || (byte >= 0xc0 && byte <= 0xde && byte != 0xd7))
    return static_cast<char>(byte + 0x20);
  return c;
}

std::string Folded(std::string_view text) {
  std::string folded(text);
  for (char& c : folded) c = FoldCase(c);
  return folded;
}

// Why Windows cannot take `name` as one name in a path, or empty.
std::string NamePartProblem(std::string_view name) {
  if (name.empty()) return "an empty name";
  if (name == "." || name == "..") return "the name \"" + std::string(name) + "\"";
  for (char c : name) {
    const unsigned char byte = static_cast<unsigned char>(c);
    if (byte < 0x20 || byte == 0x7f) return "a control character";
    if (std::string_view("<>:\"|?*\\").find(c) != std::string_view::npos)
      return std::string("the character ") + c + ", which Windows does not allow in a name";
  }
  if (name.back() == '.' || name.back() == ' ')
    return "a name that ends with a dot or a space, which Windows drops";
  // A device name stays one with any extension and spaces before it; the
  // digits include the superscripts Windows counts as digits (UTF-8 here).
  std::string_view shown = name.substr(0, name.find('.'));
  while (!shown.empty() && shown.back() == ' ') shown.remove_suffix(1);
  std::string stem(shown);
  for (char& c : stem)
    if (c >= 'A' && c <= 'Z') c = static_cast<char>(c - 'A' + 'a');
  static const std::set<std::string> kDevices = {"con", "prn", "aux", "nul"};
  bool device = kDevices.count(stem) > 0;
  if (stem.size() >= 4 && (stem.compare(0, 3, "com") == 0 || stem.compare(0, 3, "lpt") == 0)) {
    const std::string digit = stem.substr(3);
    device = device || (digit.size() == 1 && digit[0] >= '1' && digit[0] <= '9') ||
             digit == "\xc2\xb9" || digit == "\xc2\xb2" || digit == "\xc2\xb3";
  }
  if (device) return "the device name " + std::string(shown) + ", which Windows keeps";
  return std::string();
}

// `pattern` from `p` matches `path` from `s`; `memo` holds the answers known
// (0 unknown, 1 no, 2 yes) so that stars cost no more than a table.
bool Match(std::string_view pattern, size_t p, std::string_view path, size_t s,
           std::vector<char>& memo) {
  char& known = memo[p * (path.size() + 1) + s];
  if (known) return known == 2;
  bool result;
  if (p == pattern.size()) {
    result = s == path.size();
  } else if (pattern.compare(p, 3, "**/") == 0) {
    result = Match(pattern, p + 3, path, s, memo);
    for (size_t at = s; !result && at < path.size(); ++at)
      result = path[at] == '/' && Match(pattern, p + 3, path, at + 1, memo);
  } else if (pattern.compare(p, 2, "**") == 0) {
    result = false;
    for (size_t at = s; !result && at <= path.size(); ++at)
      result = Match(pattern, p + 2, path, at, memo);
  } else if (pattern[p] == '*') {
    result = false;
    for (size_t at = s; !result && at <= path.size(); ++at) {
      result = Match(pattern, p + 1, path, at, memo);
      if (at < path.size() && path[at] == '/') break;
    }
  } else if (pattern[p] == '?') {
    result = s < path.size() && path[s] != '/' && Match(pattern, p + 1, path, s + 1, memo);
  } else {
    result = s < path.size() && FoldCase(pattern[p]) == FoldCase(path[s]) &&
             Match(pattern, p + 1, path, s + 1, memo);
  }
  known = result ? 2 : 1;
  return result;
}

class TreeWalker {
 public:
  TreeWalker(const TreeOptions& options, std::map<std::string, std::string>* files,
             std::string* error)
      : options_(options), files_(files), error_(error) {}

  bool Walk(const fs::path& folder, const std::string& relative, int depth) {
    if (depth > kDeepestFolder) return Fail("folders nested too deep at " + relative);
    std::error_code code;
    // The folders being walked, so that a linked folder cannot lead back
    // into one of them.
    const fs::path real = fs::canonical(folder, code);
    if (code) return Fail("cannot read " + folder.u8string() + ": " + code.message());
    if (!walking_.insert(real.u8string()).second)
      return Fail("a link leads back into its own folders: " + relative);
    for (auto it = fs::directory_iterator(folder, code); !code && it != fs::directory_iterator();
         it.increment(code)) {
      const std::string name = it->path().filename().u8string();
      const std::string path = relative.empty() ? name : relative + "/" + name;
      if (Excluded(path)) {
        ++ExcludedCount;
        continue;
      }
      const fs::file_status own = it->symlink_status(code);
      if (code) break;
      fs::file_status status = own;
      if (fs::is_symlink(own)) {
        if (!options_.FollowLinks)
          return Fail("a link in the release: " + path +
                      " (--follow-links takes what it points to)");
        status = fs::status(it->path(), code);
        if (code) return Fail("a link that leads nowhere: " + path);
      }
      if (fs::is_directory(status)) {
        if (!Walk(it->path(), path, depth + 1)) return false;
      } else if (fs::is_regular_file(status)) {
        if (!AddFile(it->path(), path)) return false;
      } else {
        return Fail("not a regular file: " + it->path().u8string());
      }
    }
    if (code) return Fail("cannot list " + folder.u8string() + ": " + code.message());
    walking_.erase(real.u8string());
    return true;
  }

  // Two names Windows takes for one file, or a file where another one's
  // folder is.
  bool CheckClashes() {
    std::map<std::string, std::string> folded, folders;
    for (const auto& [name, path] : *files_) {
      auto [at, added] = folded.emplace(Folded(name), name);
      if (!added) return Fail("two files that Windows names alike: " + at->second + ", " + name);
      for (size_t slash = name.find('\\'); slash != std::string::npos;
           slash = name.find('\\', slash + 1))
        folders.emplace(Folded(name.substr(0, slash)), name);
    }
    for (const auto& [folder, name] : folders) {
      auto file = folded.find(folder);
      if (file != folded.end())
        return Fail("a file where Windows needs a folder: " + file->second + ", " + name);
    }
    return true;
  }

  size_t ExcludedCount = 0;  // files and folders left out by a pattern

 private:
  bool Excluded(const std::string& path) const {
    for (const std::string& pattern : options_.Excludes)
      if (MatchesPattern(pattern, path)) return true;
    return false;
  }

  bool AddFile(const fs::path& file, const std::string& path) {
    const std::string problem = NameProblem(path);
    if (!problem.empty())
      return Fail("a name the updater cannot install (" + problem + "): " + path);
    std::string name;
    if (!ToEntryName(path, &name) || name.size() > 255)
      return Fail("name not representable in a package: " + path);
    (*files_)[name] = file.u8string();
    return true;
  }

  bool Fail(std::string message) {
    *error_ = std::move(message);
    return false;
  }

  const TreeOptions& options_;
  std::map<std::string, std::string>* files_;
  std::string* error_;
  std::set<std::string> walking_;
};

}  // namespace

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

std::string NameProblem(std::string_view path) {
  size_t start = 0;
  while (true) {
    const size_t slash = path.find('/', start);
    const std::string problem = NamePartProblem(path.substr(start, slash - start));
    if (!problem.empty()) return problem;
    if (slash == std::string_view::npos) break;
    start = slash + 1;
  }
  if (!IsSafeEntryName(path)) return "a path that leaves the program folder";
  return std::string();
}

bool MatchesPattern(std::string_view pattern, std::string_view path) {
  if (pattern.find('/') == std::string_view::npos) {
    const size_t slash = path.rfind('/');
    if (slash != std::string_view::npos) path.remove_prefix(slash + 1);
  }
  std::vector<char> memo((pattern.size() + 1) * (path.size() + 1), 0);
  return Match(pattern, 0, path, 0, memo);
}

bool ListFiles(const std::string& folder, const TreeOptions& options,
               std::map<std::string, std::string>* files, std::string* error, size_t* excluded) {
  std::error_code code;
  fs::path root = fs::u8path(folder);
  if (!fs::is_directory(root, code)) {
    *error = "not a folder: " + folder;
    return false;
  }
  TreeWalker walker(options, files, error);
  if (!walker.Walk(root, std::string(), 0) || !walker.CheckClashes()) return false;
  if (excluded) *excluded = walker.ExcludedCount;
  return true;
}

}  // namespace updater::mxupack

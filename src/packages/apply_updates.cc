// Applying downloaded update packages.
#include "packages/apply_updates.h"

#include <vector>

#include "packages/package_reader.h"

namespace updater {

namespace {

// A file a package has written so far, and where its old content waits
// (empty when the package created the file).
struct WrittenFile {
  std::string target;
  std::string backup;
};

// Puts the installation back as it was before the package: newest first, so
// a file written twice ends with its oldest content.
void UndoPackage(FileSystem& files, const std::vector<WrittenFile>& written) {
  for (auto it = written.rbegin(); it != written.rend(); ++it) {
    if (it->backup.empty())
      files.Delete(it->target);
    else
      files.Replace(it->backup, it->target);
  }
}

// Writes every entry of the open package. On failure the package's changes
// are undone and false is returned.
bool WritePackageEntries(PackageReader& reader, const std::string& programFolder) {
  Report& report = reader.report;
  std::vector<WrittenFile> written;
  for (std::string name = NextEntryName(reader); !name.empty(); name = NextEntryName(reader)) {
    if (!IsSafeEntryName(name)) {
      // Nothing outside the program folder is touched, not even a folder.
      report.Line("Decompressing... : " + name);
      report.Failure("Error: Failed to write file to disk!",
                     "the entry name leaves the program folder: " + name);
      UndoPackage(reader.files, written);
      return false;
    }
    if (!CreateFolders(reader.files, report, programFolder, FolderPart(name))) {
      UndoPackage(reader.files, written);
      return false;
    }
    report.Line("Decompressing... : " + name);
    WrittenFile file{programFolder + name, std::string()};
    if (!ExtractEntryKeepingOld(reader, name, file.target, &file.backup)) {
      UndoPackage(reader.files, written);
      return false;
    }
    written.push_back(std::move(file));
  }
  for (const WrittenFile& file : written)
    if (!file.backup.empty()) reader.files.Delete(file.backup);
  return true;
}

// Splits `text` at every character of `separators`.
std::vector<std::string_view> Split(std::string_view text, std::string_view separators) {
  std::vector<std::string_view> parts;
  size_t start = 0;
  while (true) {
    size_t end = text.find_first_of(separators, start);
    parts.push_back(text.substr(start, end == std::string_view::npos ? end : end - start));
    if (end == std::string_view::npos) return parts;
    start = end + 1;
  }
}

}  // namespace

bool ApplyUpdates(PackageReader& reader, const std::string& programFolder) {
  Report& report = reader.report;
  report.Line("");
  report.Line("Applying updates...");
  FileSystem& files = reader.files;
  const std::string updateFolder = programFolder + "Update\\";
  std::vector<FolderEntry> listing;
  if (!files.ListFolder(updateFolder, "*.mxu", &listing)) {
    report.Log("Cannot list the update folder: " + files.LastError());
    return false;
  }
  for (const FolderEntry& entry : listing) {
    if (entry.isFolder) continue;
    if (!OpenPackage(reader, updateFolder + entry.name)) {
      report.Line("Error: Failed to read update file: " + entry.name);
      continue;
    }
    if (!WritePackageEntries(reader, programFolder)) {
      // The package stays for a later run, but closed: its rows must not
      // reach a package opened later in this process, and its file must not
      // stay locked against the next download of the same name.
      ClosePackages(reader);
      return false;
    }
    ClosePackages(reader);
    files.Delete(updateFolder + entry.name);  // a failure changes nothing
  }
  return true;
}

bool CreateFolders(FileSystem& files, Report& report, const std::string& programFolder,
                   const std::string& folderPart) {
  std::string path = folderPart;
  if (path.empty() || path.back() != '\\') path += '\\';
  if (path == "\\") return true;
  std::vector<std::string_view> names = Split(path, "\\");
  names.pop_back();  // the empty text after the final "\"
  std::string folder = programFolder;
  for (std::string_view name : names) {
    folder += name;
    folder += '\\';
    if (files.IsFolder(folder)) continue;
    report.Line("Creating directory... : " + folder);
    if (!files.CreateFolder(folder)) {
      report.Log("Cannot create the folder " + folder + ": " + files.LastError());
      return false;
    }
  }
  return true;
}

std::string FolderPart(std::string_view entryName) {
  size_t last = entryName.find_last_of("\\/");
  return last == std::string_view::npos ? std::string()
                                        : std::string(entryName.substr(0, last + 1));
}

bool IsSafeEntryName(std::string_view entryName) {
  if (entryName.empty() || entryName[0] == '\\' || entryName[0] == '/') return false;
  if (entryName.find(':') != std::string_view::npos) return false;
  for (std::string_view part : Split(entryName, "\\/")) {
    // Windows drops trailing dots and spaces from a name, so ". ." and "..."
    // can reach the parent folder as ".." does.
    bool dotsOnly = part.size() >= 2 && part.find_first_not_of(". ") == std::string_view::npos &&
                    part.find('.') != std::string_view::npos;
    if (dotsOnly) return false;
  }
  return true;
}

}  // namespace updater

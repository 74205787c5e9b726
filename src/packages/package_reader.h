// The package reader: opens update packages, keeps the table of the entries
// they hold, and decodes one entry into a target file.
#pragma once

#include <cstdint>
#include <memory>
#include <string>
#include <unordered_map>
#include <vector>

#include "packages/held_files.h"
#include "packages/package_format.h"
#include "system/file_system.h"
#include "system/report.h"

namespace updater {

// One row of the entry table: the chosen variant of one entry name.
struct EntryRecord {
  std::string Name;  // UTF-8, converted from the package's ANSI code page
  uint16_t Version = 0;
  uint8_t Key = 0;
  std::shared_ptr<File> Package;  // stays open while the row exists
  int64_t Offset = 0;
  PackageMethod Method = PackageMethod::Stored;  // may be a code without a codec
  int64_t PackedSize = 0;
  int64_t Size = 0;
};

// The reader's state: the files it reads and where it reports, and the table
// of the packages opened since the last ClosePackages.
struct PackageReader {
  PackageReader(FileSystem& files, updater::Report& report)
      : Files(files), Report(report), HeldFiles(files, report) {}
  PackageReader(const PackageReader&) = delete;
  PackageReader& operator=(const PackageReader&) = delete;

  FileSystem& Files;
  // ExtractEntry's failure lines.
  updater::Report& Report;
  // How long a step on a target that another program holds open is tried
  // again (StageEntry's check of the target, and an apply's commit); it
  // never waits unless allowed.
  HeldFileWait HeldFiles;
  // Rows in the order their names were first seen; position N is
  // EntryTable[N - 1], and position 0 means no entry.
  std::vector<EntryRecord> EntryTable;
  // Entry name (exact, case-sensitive) to position.
  std::unordered_map<std::string, size_t> EntryIndex;
  // Position of the last name handed out by NextEntryName; 0 before the first.
  size_t IterationCursor = 0;
  int PreferredKey = 0;
  // The progress of the work the staged entries are part of (a package being
  // applied): every decoded byte counts into Done, reported against Total to
  // the report while Total is above 0.
  struct {
    int64_t Done = 0;
    int64_t Total = 0;
  } Progress;
  // Every package opened since the last ClosePackages, also those that gave
  // no row.
  std::vector<std::shared_ptr<File>> OpenFiles;
};

// Sets the variant key the reader prefers.
void InitPackageReader(PackageReader& reader, int preferredKey);

// Reads and checks the header of an open package file and decodes and parses
// its directory. False when the package is refused, with the reason in
// `*why` (for example "wrong magic" or "directory records run past its end").
bool ReadPackageDirectory(File& file, PackageHeader* header, std::vector<DirectoryEntry>* entries,
                          std::string* why);

// Opens a package, locked against other openers until ClosePackages, and
// merges its directory into the entry table. False, with the reader unchanged
// and the file closed, when the file cannot be opened or its header or
// directory is bad (also when a directory record runs past its end).
[[nodiscard]] bool OpenPackage(PackageReader& reader, const std::string& path);

// Opens the packages of one transaction (a release split into several
// packages), in order, each as OpenPackage does, and merges them into the
// entry table so that an entry of a later package replaces the row of the
// same name (exactly) that an earlier one gave, whatever their versions and
// keys: the later part of a release has the last word. Within one package
// the merge rules of OpenPackage choose. False, with the reader as it was and
// `*failed` the path that could not be opened or was refused, when any
// fails; the packages this call opened are closed again then.
[[nodiscard]] bool OpenPackages(PackageReader& reader, const std::vector<std::string>& paths,
                                std::string* failed);

// Position of the row named `name`, or 0.
size_t FindEntry(const PackageReader& reader, const std::string& name);

// The next name in table order, or an empty name after the last one (the
// following call starts a new pass).
std::string NextEntryName(PackageReader& reader);

// True when the row deletes its target rather than writing it: a method
// whose codec removes its target (a remove entry, without data).
bool RemovesTarget(const EntryRecord& row);

// Decodes the entry `name` in chunks into a new file at `stagedPath`, ready
// to take the place of `targetPath`: it gets the permissions of an existing
// target, or is made executable when it is new and its content starts like
// a program. The file is made when the first decoded bytes come, and a
// patch's as a mapped file of the whole content; a patch decodes against the
// present content of `targetPath`. Its content is written for a later sync
// (SyncFiles). On failure prints "Error: Failed to decompress file!" when
// the entry cannot be found, read or decoded (a patch also when the target
// is not the file it was made from, and a remove entry, which has no
// content), whatever the state of its files, and
// otherwise "Error: Failed to write file to disk!" when the staged file
// cannot be created or written, or the target is a folder or held by
// another opener (after the wait that `reader.HeldFiles` allows, for one
// held by another program); no staged file is left then. The target is not
// touched.
[[nodiscard]] bool StageEntry(PackageReader& reader, const std::string& name,
                              const std::string& targetPath, const std::string& stagedPath);

// (clang-format 14 cannot lay out an enum with an attribute.)
// clang-format off
enum class [[nodiscard]] ReferenceCheck {
  Matches,  // the target is the file the patch was made from
  Differs,  // the target is another file, missing or unreadable
  Failed,   // no patch entry of that name, or its block cannot be read
};
// clang-format on

// Tells, without decoding, whether the patch entry `name` applies to the
// present content of `targetPath`: compares the reference hash at the start
// of its data block with the hash of the file. `*cause` says why for
// anything but Matches. StageEntry's decoder makes the same check, and fails
// such an entry with "Error: Failed to decompress file!".
ReferenceCheck CheckPatchReference(PackageReader& reader, const std::string& name,
                                   const std::string& targetPath, std::string* cause);

// Writes the entry `name` to `targetPath`: stages it in a temporary file
// beside the target, which then replaces the target in one step. Fails as
// StageEntry does, and with "Error: Failed to write file to disk!" when the
// target cannot be replaced; the target is then as it was and no temporary
// file is left.
[[nodiscard]] bool ExtractEntry(PackageReader& reader, const std::string& name,
                                const std::string& targetPath);

// Removes the temporary files ("~mx" and a number) in `folder` (ending with
// its separator) that an ExtractEntry into it leaves when the process is
// killed while it writes. Only for a folder where no apply is under way: an
// unfinished apply's files are its journal's to complete or remove.
void RemoveStagedCopies(FileSystem& files, const std::string& folder);

// Closes every open package and empties the table. The preferred key stays.
void ClosePackages(PackageReader& reader);

}  // namespace updater

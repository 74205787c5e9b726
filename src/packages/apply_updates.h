// Applying every downloaded update package to the installation.
#pragma once

#include <string>
#include <vector>

#include "packages/package_reader.h"
#include "system/report.h"

namespace updater {

// What ApplyUpdates tells its caller beyond whether it walked the listing.
struct [[nodiscard]] ApplyResult {
  // The packages, in their order, of the transaction that stopped the call
  // because a patch in it was not made from the file installed now (its
  // reference differs): nothing of that transaction was written, and its
  // packages wait, so that the caller can fetch a full package instead.
  // Empty when no patch reference stopped the call.
  std::vector<std::string> ReferenceMismatch;
  // The packages, in their order, of the first transaction that could not
  // be read (a package that cannot be opened, or is damaged) or failed
  // before its commit and was undone whole (an entry that does not decode):
  // nothing of it stayed written, and its packages wait. Empty when none.
  std::vector<std::string> NotApplied;
};

// Applies every "*.mxu" file in the update folder (`programFolder` followed
// by "Update\"), in the transactions and order of ApplyGroups over the
// update folder's kPackageOrderFile, each transaction (the packages of one
// version, or a package on its own) whole or not at all: every patch's
// reference is checked first; then every entry is decoded into a temporary
// file beside its target (creating missing folders), the temporary files are
// made durable, and then, recorded in the journal (Update\Apply.journal and
// its copy), they take their targets' places and the files the transaction
// removes are deleted; its packages are deleted once all of that is done.
// Where packages of one transaction name the same entry, the later
// package's entry counts; a transaction that removes a name it also writes
// (letter case ignored) is damaged. A failure before the commit removes the
// temporary files and the folders the transaction created; a failure while
// the files move rolls the transaction back; the call then stops, and the
// packages stay (a rollback that cannot finish is left to the next run's
// recovery, as the journal says). A step on a target that another program
// holds open (the check that nothing else has it open, moving it aside,
// placing or deleting it) is first tried again in short waits, for the time
// that `reader.HeldFiles` allows each transaction in all (a line names the
// file); only then does it fail. A patch whose reference differs stops the
// call before anything of its transaction is written, with "Error: Failed to
// decompress file!", and `result->ReferenceMismatch` names the transaction's
// packages. A journal that an earlier run left and that cannot be recovered
// stops the call before any package, with "Error: Cannot recover
// Update\Apply.journal" (the cause goes to the log); one that names anything outside the
// program folder is refused with "Error: Refused Update\Apply.journal: " and
// the reason. A package that cannot be opened, whose directory holds an
// entry without a name, or that is missing from its recorded transaction, is
// reported by name ("Error: Failed to read update file: "), and its
// transaction is kept and passed over. True when the whole listing was
// walked; false when the update folder cannot be listed, an entry's folder
// or file could not be written, a patch reference differs, or a journal
// stopped it. Afterwards the order file names only the transactions still
// waiting (it goes when none is). Lines go to the reader's report.
[[nodiscard]] bool ApplyUpdates(PackageReader& reader, const std::string& programFolder,
                                ApplyResult* result = nullptr);

// Package file names in groups, each group one transaction, in the order to
// apply them.
using PackageGroups = std::vector<std::vector<std::string>>;

// The text of the order file for `groups`: one package file name a line,
// each ended by CR LF, and an empty line after each group. When every group
// is a single package no empty line is written: the file is then the one
// that updaters before transactions wrote and read (they skip empty lines,
// and apply every package on its own). Empty groups are left out.
std::string EncodePackageOrder(const PackageGroups& groups);

// The groups an order file's text holds: its lines (LF or CR LF ended) that
// are package file names, in order; an empty line ends a group. A text
// without any empty line makes every package a group of its own. Lines that
// are not package file names are passed over and go to `*passedOver` when
// given.
PackageGroups DecodePackageOrder(std::string_view text,
                                 std::vector<std::string>* passedOver = nullptr);

// One transaction of the update folder's packages.
struct ApplyGroup {
  std::vector<std::string> Packages;  // as the listing spells them, in order
  // Recorded in the group but not in the listing: the group cannot apply.
  std::vector<std::string> Missing;
};

// The transactions to apply for `listed` (a listing of the update folder's
// package file names): the recorded groups, in their order, each with the
// listed names it records (letter case ignored, as the file system compares
// names, and a name recorded twice counting in its first place only), and
// the names it records that are not listed; a group none of whose names is
// listed is left out. Then every listed name that no group records, by name,
// each on its own.
std::vector<ApplyGroup> ApplyGroups(std::vector<std::string> listed, const PackageGroups& recorded);

// The package file names of `listed` in the order to apply them when every
// package is a transaction of its own: the names that `recorded` holds, in
// its order (letter case ignored), then the others by name.
std::vector<std::string> ApplyOrder(std::vector<std::string> listed,
                                    const std::vector<std::string>& recorded);

// Creates, below `programFolder` and from the top down, each folder of the
// relative `folderPart` ("Data\Maps\") that does not exist yet, printing
// "Creating directory... : " with the full path first. True when all exist.
[[nodiscard]] bool CreateFolders(FileSystem& files, Report& report,
                                 const std::string& programFolder, const std::string& folderPart);

}  // namespace updater

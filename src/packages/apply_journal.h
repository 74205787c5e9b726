// The journal of one package's apply, kept in Update\ while the package's
// files are staged beside their targets and then moved into place, so that a
// run that is killed or loses power is completed or undone by the next run:
// the format, the commit, the rollback and the recovery at start.
#pragma once

#include <memory>
#include <string>
#include <string_view>
#include <vector>

#include "system/file_system.h"
#include "system/report.h"

namespace updater {

inline constexpr char kApplyJournalName[] = "Apply.journal";

// One file of a package. Paths are relative to the program folder; the
// staged and the aside file lie in the target's folder.
struct JournalFile {
  std::string target;  // the entry's name
  std::string staged;  // the new content until it moves into place
  std::string aside;   // a second name of the old content during the commit
};

struct ApplyJournal {
  std::string package;               // the package's file name in Update\ .
  std::vector<std::string> folders;  // created by the apply, top down, each ending with "\"
  std::vector<JournalFile> files;    // in the order they are committed
  // The staged files are complete and durable, and the commit may have
  // begun: a target may hold its new content.
  bool committed = false;
};

// The journal as it is written before staging; the commit is recorded by
// appending one more record. Every name is stored with its length, so any
// byte of a name is safe, and the records end with their count and CRC-32.
std::string EncodeJournal(const ApplyJournal& journal);
// False when the bytes are not a complete journal (a write cut short).
// Anything after the records other than the commit record leaves it
// uncommitted.
bool DecodeJournal(std::string_view bytes, ApplyJournal* journal);

// The journal's path below `programFolder`.
std::string JournalPath(const std::string& programFolder);

// The journal file of the apply that is running, held open and locked
// against other openers until Close or destruction, so that the recovery of
// another updater started meanwhile leaves it alone.
class JournalWriter {
 public:
  // Writes the journal (uncommitted) and makes it and its name durable.
  // False, with the cause in `*cause`, when it could not be written; no
  // journal is left then.
  bool Begin(FileSystem& files, const std::string& programFolder, const ApplyJournal& journal,
             std::string* cause);
  // Appends the commit record and makes it durable.
  bool MarkCommitted(std::string* cause);
  // Closes the file (it stays on disk).
  void Close() { file_.reset(); }

 private:
  FileSystem* files_ = nullptr;
  std::string path_;
  std::unique_ptr<File> file_;
};

enum class CommitResult {
  Done,        // every staged file is in place and the moves are durable
  MoveFailed,  // a move failed; the installation can be rolled back
  SyncFailed,  // all moved, but not known to be durable; keep the journal
};

// Moves every staged file into its target's place, in journal order: an
// existing target is first kept aside under its aside name, so that a target
// always holds either its old or its new content. With `resume`, the commit
// continues one that was interrupted: a file whose staged copy is gone was
// placed already and is passed over, and an aside name that exists was made
// for its target. Then the moves are made durable. The cause of a failure
// goes to `*cause`.
CommitResult CommitFiles(FileSystem& files, const std::string& programFolder,
                         const ApplyJournal& journal, bool resume, std::string* cause);

// Puts the installation back as it was before the package: after a commit
// began, each target that holds its new content gets its old content back,
// or is removed when it had none (last file first); then the staged files
// are removed, and the folders the apply created when they are empty,
// deepest first. False, with the cause, when a file could not be put back
// or removed; the journal is then to stay for the next run.
bool RollBack(FileSystem& files, const std::string& programFolder, const ApplyJournal& journal,
              std::string* cause);

// Ends a completed commit: removes the aside files, makes that durable and
// removes the journal. False, with the cause, when any of it failed (the
// journal stays, and the next recovery finishes the job).
bool FinishCommit(FileSystem& files, const std::string& programFolder, const ApplyJournal& journal,
                  std::string* cause);

enum class RecoveryOutcome {
  NothingToDo,  // no journal
  Completed,    // the commit was finished and the package deleted
  RolledBack,   // the installation is as it was before the package
  Failed,       // the journal stays for the next run
};

// Finishes an apply that an earlier run left unfinished, before anything
// else touches the program folder: a committed journal whose files all
// still have their new content (staged, or already in place) is completed
// and its package deleted, as a successful apply deletes it; any other
// journal is rolled back and its package kept. Afterwards no staged or
// aside file of that package is left. Records what it did in the log.
RecoveryOutcome RecoverUnfinishedApply(FileSystem& files, Report& report,
                                       const std::string& programFolder);

}  // namespace updater

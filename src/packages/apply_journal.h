// The journal of one apply transaction (the packages of one version, or a
// package on its own), kept in Update\ while the transaction's files are
// staged beside their targets and then moved into place, and its removed
// files put aside, so that a run that is killed, loses power or meets a
// failing disk is completed or undone by the next run: the format, the
// commit, the rollback and the recovery at start.
//
// The journal is kept twice, in Update\Apply.journal and Update\Apply.journal2,
// each written and synced on its own, so that either copy alone tells what
// the apply moved. Each copy is one body record followed by marks, only ever
// appended:
//
//   VOXA apply journal 3\n
//   package <n>:<file name>\n                  one per package, in their order
//   folder <n>:<folder>\n                      one per folder the apply creates
//   file <0|1> <size> <n>:<target> <n>:<staged> <n>:<aside>\n   one per entry
//   remove <n>:<target> <n>:<aside>\n          one per file the apply deletes
//   end <records> <crc>\n
//   commit <crc>\n  placed <crc>\n  rollback <crc>\n  restored <crc>\n
//
// <n>:<bytes> is a name of n bytes (any bytes); names are relative to the
// program folder, and the staged and aside names are file names ("~mx" and a
// number) in the target's folder. "file" records whether the target existed
// when the apply was planned (1) and the new content's size; "remove" names a
// file that existed then and goes in the commit, first kept aside like a
// replaced target (a remove of a file that was not there is not recorded).
// "file" and "remove" records come in the order of the commit. The body's crc
// is the CRC-32 of every byte before it; a mark's crc is the CRC-32 of its
// word continued from the body's, so a mark belongs to its body. A mark
// counts when it appears after the body in either copy; it is written to
// both copies and synced before anything it allows is done, so a single
// copy that is cut short or has a byte changed never hides a mark that was
// acted on. The marks in order: commit (every staged file is durable; the
// targets may now change), placed (every target has its new content or is
// gone, durably), rollback (the commit is being undone), restored (every
// target has its old content again).
//
// Version 2 (one package, no removes) is read as well, so that a journal that
// an older updater left is still ended; an updater that knows only version 2
// refuses a version 3 journal whole.
#pragma once

#include <memory>
#include <string>
#include <string_view>
#include <vector>

#include "packages/held_files.h"
#include "system/file_system.h"
#include "system/report.h"

namespace updater {

// One file of a transaction: written, or removed. Paths are relative to the
// program folder; the staged and the aside file lie in the target's folder.
struct JournalFile {
  std::string Target;    // the entry's name
  std::string Staged;    // the new content until it moves into place; empty for a remove
  std::string Aside;     // a second name of the old content during the commit
  bool Existed = false;  // the target existed when the apply was planned (always for a remove)
  int64_t Size = 0;      // the new content's size in bytes; 0 for a remove
  bool Removes = false;  // the commit deletes the target rather than writing it
};

// How far an apply got, by the last mark its journal holds.
enum class ApplyStage {
  Staging,      // no mark: no target has been touched
  Committed,    // the staged files are durable; targets may have changed
  Placed,       // every target has its new content; the asides remain
  RollingBack,  // the commit is being undone
  Restored,     // every target has its old content again
};

struct ApplyJournal {
  std::vector<std::string> Packages;  // the packages' file names in Update\ , at least one
  std::vector<std::string> Folders;   // created by the apply, top down, each ending with "\"
  std::vector<JournalFile> Files;     // in the order they are committed
  ApplyStage Stage = ApplyStage::Staging;
};

// One copy of the journal: the body, then the marks that lead to
// `journal.stage`.
std::string EncodeJournal(const ApplyJournal& journal);

// (clang-format 14 cannot lay out an enum with an attribute.)
// clang-format off
enum class [[nodiscard]] JournalRead {
  Journal,     // a journal; its stage is the furthest mark found in either copy
  Incomplete,  // no copy holds a whole body: it was being written, nothing was staged
  Refused,     // the copies contradict each other, or the journal is of another version
};
// clang-format on

// Reads a journal from the bytes of its two copies (an empty text for a
// missing one). A body that is whole in either copy counts, and so does each
// mark found after the body in either copy. The names are not judged here
// (see ConfineJournal). `*reason` says why a journal is refused.
JournalRead DecodeJournal(std::string_view first, std::string_view second, ApplyJournal* journal,
                          std::string* reason);

// True when every path of the journal is one the updater could have written
// there and stays in the program folder: the packages plain "*.mxu" file
// names, the targets and folders safe relative names, a removed target named
// by no other file of the journal (letter case ignored), the staged and aside
// names "~mx" and a number in their target's folder and each given once, and
// nothing of it through a link that leads out of the program folder. False,
// with the reason, otherwise.
bool ConfineJournal(FileSystem& files, const std::string& programFolder,
                    const ApplyJournal& journal, std::string* reason);

// The journal's first copy below `programFolder`, and its second.
std::string JournalPath(const std::string& programFolder);
std::string JournalCopyPath(const std::string& programFolder);

// The two copies of the journal of one apply, held open and locked against
// other openers until Close, so that the recovery of another updater started
// meanwhile leaves the apply alone.
class JournalFiles {
 public:
  // Writes both copies with the body of `journal` (which must be at
  // Staging) and makes them and their names durable. False, with the cause,
  // when they could not be written or would be larger than a recovery reads;
  // no copy is left then.
  [[nodiscard]] bool Create(FileSystem& files, const std::string& programFolder,
                            const ApplyJournal& journal, std::string* cause);

  // (clang-format 14 cannot lay out an enum with an attribute.)
  // clang-format off
  enum class [[nodiscard]] Opened {
    None,        // there is no journal
    Journal,     // `*journal` holds it
    Incomplete,  // no copy holds a whole body
    Refused,     // against the rules; `*cause` says why, and nothing was changed
    Failed,      // a copy cannot be opened or read (also: locked by a running apply)
  };
  // clang-format on
  // Opens and reads the copies that exist, for a recovery, and judges them
  // with DecodeJournal and ConfineJournal.
  Opened Open(FileSystem& files, const std::string& programFolder, ApplyJournal* journal,
              std::string* cause);

  // Appends the mark of `stage` to both copies and makes it durable. False,
  // with the cause, when either copy did not take it; the stage must then be
  // taken as unknown between the old and the new one.
  [[nodiscard]] bool Mark(ApplyStage stage, std::string* cause);

  // Closes the copies (they stay on disk).
  void Close();
  // Closes and deletes both copies. False, with the cause, when one stays.
  [[nodiscard]] bool Remove(std::string* cause);

 private:
  FileSystem* files_ = nullptr;
  std::string paths_[2];
  std::unique_ptr<File> copies_[2];
  uint32_t bodyChecksum_ = 0;
};

// (clang-format 14 cannot lay out an enum with an attribute.)
// clang-format off
enum class [[nodiscard]] CommitResult {
  Done,        // every staged file is in place and the moves are durable
  MoveFailed,  // a move failed or the disk is not as the journal says; roll back
  SyncFailed,  // all moved, but not known to be durable; keep the journal
};
// clang-format on

// Moves every staged file into its target's place and deletes every removed
// target, in journal order: an existing target is first kept aside under its
// aside name, so that a target always holds either its old or its new
// content (or, removed, is gone with its content aside). With `resume`, the
// commit goes on from wherever an earlier commit of the same journal
// stopped: a file whose staged copy is gone was placed already (its target
// must have the new size), a removed target that is gone was removed, and an
// aside name that exists was made for its target; without it, every staged
// file is there and no aside is made yet. A written target that appeared or
// vanished since the apply was planned stops the commit; a removed one that
// vanished is simply gone. A move or deletion that fails on a file another
// program holds open is tried again as `wait` allows, when given, before it
// counts as failed. Then the moves are made durable. The cause of a failure
// goes to `*cause`.
CommitResult CommitFiles(FileSystem& files, const std::string& programFolder,
                         const ApplyJournal& journal, bool resume, std::string* cause,
                         HeldFileWait* wait = nullptr);

// Undoes a commit, last file first, from what is on disk, so that it can be
// run again after any interruption: a target whose old content is aside gets
// it back (a removed one too), and a target the transaction created is
// removed once its staged copy is gone (it was placed). Staged copies stay.
// False, with the cause, when any file could not be put back or removed.
[[nodiscard]] bool RestoreFiles(FileSystem& files, const std::string& programFolder,
                                const ApplyJournal& journal, std::string* cause);

// (clang-format 14 cannot lay out an enum with an attribute.)
// clang-format off
enum class [[nodiscard]] ApplyEnd {
  Placed,      // the stage is Placed: the packages and the asides are to go
  RolledBack,  // the installation is as before; nothing of the apply is left
  Stopped,     // something failed; the journal says where things are
};
// clang-format on

// Takes an apply from `journal.stage` as far as it goes, recording each
// step in `journalFiles` before it acts on it: a commit is completed (and
// rolled back when that fails), a rollback is completed, and an apply that
// is undone loses its staged files, the empty folders it created and its
// journal. `resume` and `wait` as for CommitFiles. Updates `journal.stage`;
// the cause of the first failure goes to `*cause`.
ApplyEnd ContinueApply(FileSystem& files, JournalFiles& journalFiles,
                       const std::string& programFolder, ApplyJournal& journal, bool resume,
                       std::string* cause, HeldFileWait* wait = nullptr);

// Ends an apply at Placed: deletes every package of the transaction, removes
// the aside files, makes that durable and removes the journal. False, with
// the cause, when any of it failed (the journal stays, and the next recovery
// finishes the job; until then no package of it can apply again, not even
// one that is left).
[[nodiscard]] bool FinishCommit(FileSystem& files, JournalFiles& journalFiles,
                                const std::string& programFolder, const ApplyJournal& journal,
                                std::string* cause);

// (clang-format 14 cannot lay out an enum with an attribute.)
// clang-format off
enum class [[nodiscard]] RecoveryOutcome {
  NothingToDo,  // no journal
  Completed,    // the commit was finished and the packages deleted
  RolledBack,   // the installation is as it was before the transaction
  Failed,       // the journal stays for the next run
  Refused,      // the journal breaks the rules; nothing was touched and it stays
};
// clang-format on

// Finishes an apply that an earlier run left unfinished, before anything
// else touches the program folder: a committed journal whose files all
// still have their new content (staged, or in place with the new size) is
// completed and its packages deleted, as a successful apply deletes them;
// any other journal is rolled back and its packages kept. Afterwards no
// staged or aside file of that transaction is left. Records what it did in
// the log; the reason of a refusal, or the cause of a failure, also goes to
// `*reason` when given.
RecoveryOutcome RecoverUnfinishedApply(FileSystem& files, Report& report,
                                       const std::string& programFolder,
                                       std::string* reason = nullptr);

}  // namespace updater

// The apply journal: names of any bytes survive, a journal cut anywhere is
// refused or read as uncommitted, and a committed journal whose new content
// is incomplete is rolled back.
#include "packages/apply_journal.h"

#include <gtest/gtest.h>

#include "packages/package_test_util.h"

namespace updater {
namespace {

ApplyJournal Sample() {
  ApplyJournal journal;
  journal.package = "VOXA 1.05..final.mxu";
  journal.folders = {"Data\\", "Data\\Maps 2\\"};
  journal.files = {{"Data\\Maps 2\\a b:c", "Data\\Maps 2\\~mx1", "Data\\Maps 2\\~mx2"},
                   {std::string("new\nline 12:x\0y", 15), "~mx3", "~mx4"},
                   {std::string(255, 'L'), "~mx5", "~mx6"}};
  return journal;
}

TEST(ApplyJournalTest, RoundTripsAndRefusesEveryCutOrChange) {
  ApplyJournal journal = Sample();
  const std::string plain = EncodeJournal(journal);
  journal.committed = true;
  const std::string committed = EncodeJournal(journal);
  ASSERT_EQ(committed.substr(0, plain.size()), plain);

  ApplyJournal read;
  ASSERT_TRUE(DecodeJournal(committed, &read));
  EXPECT_TRUE(read.committed);
  EXPECT_EQ(EncodeJournal(read), committed);
  // Cut before the end record is whole: not a journal. Cut inside the commit
  // record, or anything else after the records: uncommitted.
  for (size_t length = 0; length < committed.size(); ++length) {
    bool decoded = DecodeJournal(committed.substr(0, length), &read);
    EXPECT_EQ(decoded, length >= plain.size()) << length;
    EXPECT_FALSE(decoded && read.committed) << length;
  }
  for (const std::string& tail :
       {std::string(7, '\0'), std::string("commit\ncommit\n"), std::string("Commit\n")}) {
    ASSERT_TRUE(DecodeJournal(plain + tail, &read));
    EXPECT_FALSE(read.committed);
  }
  // Any byte of the records changed: refused.
  for (size_t at = 0; at < plain.size(); ++at) {
    std::string changed = plain;
    changed[at] ^= 0x20;
    EXPECT_FALSE(DecodeJournal(changed, &read)) << at;
  }
}

// A committed journal whose second file lost its staged copy before it was
// placed cannot be completed: the first file, already placed, gets its old
// content back, and nothing of the apply is left.
TEST(ApplyJournalTest, IncompleteNewContentIsRolledBack) {
  testing::Installation t;
  ASSERT_TRUE(t.files.CreateFolder(t.At("Update\\")));
  ASSERT_TRUE(t.files.CreateFolder(t.At("New\\")));
  ApplyJournal journal;
  journal.package = "P.mxu";
  journal.folders = {"New\\"};
  journal.files = {{"A.txt", "~mx1", "~mx2"}, {"New\\B.txt", "New\\~mx3", "New\\~mx4"}};
  journal.committed = true;
  t.Write("Update\\P.mxu", "package");
  t.Write("Update\\Apply.journal", EncodeJournal(journal));
  t.Write("A.txt", "new a");  // placed
  t.Write("~mx2", "old a");   // its old content, aside
  EXPECT_EQ(RecoverUnfinishedApply(t.files, t.report, t.programFolder),
            RecoveryOutcome::RolledBack);
  EXPECT_EQ(t.Read("A.txt"), "old a");
  EXPECT_EQ(t.Tree(), (std::vector<std::string>{"A.txt", "Update/", "Update/P.mxu"}));
  ASSERT_EQ(t.report.logged.size(), 1u);
  EXPECT_EQ(t.report.logged[0],
            "Rolled back the unfinished apply of P.mxu (2 files); the package stays");
  EXPECT_EQ(RecoverUnfinishedApply(t.files, t.report, t.programFolder),
            RecoveryOutcome::NothingToDo);
}

}  // namespace
}  // namespace updater

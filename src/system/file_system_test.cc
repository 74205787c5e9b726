// The file system backend of the platform the tests run on, on a real
// temporary folder. Paths are written with "\" as the program writes them.
#include <gtest/gtest.h>

#include <algorithm>
#include <chrono>
#include <condition_variable>
#include <filesystem>
#include <functional>
#include <mutex>
#include <thread>

#ifdef _WIN32
#include <windows.h>
#else
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>
#endif

#include "support/temp_folder.h"
#include "system/platform.h"

namespace updater {
namespace {

using testing::FileExists;
using testing::ReadWholeFile;
using testing::TempFolder;
using testing::WriteWholeFile;

class FileSystemTest : public ::testing::Test {
 protected:
  // A path below the temporary folder, in the program's "\" form.
  std::string At(const std::string& relative) { return folder_.Path() + relative; }
  // The same path in the form the test's own file helpers understand.
  std::string Native(const std::string& relative) {
    std::string path = At(relative);
#ifndef _WIN32
    std::replace(path.begin(), path.end(), '\\', '/');
#endif
    return path;
  }

  FileSystem& files_ = RealPlatform().Files;
  TempFolder folder_;
};

TEST_F(FileSystemTest, CreateWriteReadSeekAndSize) {
  std::unique_ptr<File> out = files_.Create(At("a.bin"), nullptr);
  ASSERT_TRUE(out);
  ASSERT_TRUE(out->Write("hello world", 11, nullptr));
  EXPECT_EQ(out->Size(nullptr), 11);
  ASSERT_TRUE(out->Close(nullptr));

  std::unique_ptr<File> in = files_.OpenRead(At("a.bin"), false, nullptr);
  ASSERT_TRUE(in);
  char buffer[16] = {};
  ASSERT_TRUE(in->Seek(6, nullptr));
  EXPECT_EQ(in->Read(buffer, sizeof buffer, nullptr), 5);
  EXPECT_EQ(std::string(buffer, 5), "world");
  EXPECT_EQ(in->Read(buffer, sizeof buffer, nullptr), 0);
}

TEST_F(FileSystemTest, CreateReplacesTheWholeOldContent) {
  WriteWholeFile(Native("a.txt"), "a much longer old content");
  std::unique_ptr<File> out = files_.Create(At("a.txt"), nullptr);
  ASSERT_TRUE(out);
  ASSERT_TRUE(out->Write("new", 3, nullptr));
  out.reset();
  EXPECT_EQ(ReadWholeFile(Native("a.txt")), "new");
}

TEST_F(FileSystemTest, BackslashesSeparateFolders) {
  ASSERT_TRUE(files_.CreateFolder(At("Data\\"), nullptr));
  ASSERT_TRUE(files_.CreateFolder(At("Data\\Maps"), nullptr));
  EXPECT_TRUE(files_.IsFolder(At("Data\\Maps\\")));
  ASSERT_TRUE(files_.Create(At("Data\\Maps\\Forest.dat"), nullptr));
  EXPECT_TRUE(FileExists(Native("Data\\Maps\\Forest.dat")));
  EXPECT_FALSE(files_.CreateFolder(At("Missing\\Child"), nullptr));
}

TEST_F(FileSystemTest, ExclusiveOpenLocksOutOtherOpenersUntilClosed) {
  WriteWholeFile(Native("p.mxu"), "package");
  std::unique_ptr<File> held = files_.OpenRead(At("p.mxu"), true, nullptr);
  ASSERT_TRUE(held);
  EXPECT_FALSE(files_.OpenRead(At("p.mxu"), true, nullptr));
  EXPECT_FALSE(files_.Create(At("p.mxu"), nullptr));
  EXPECT_FALSE(files_.Delete(At("p.mxu"), nullptr));
  held.reset();
  EXPECT_EQ(ReadWholeFile(Native("p.mxu")), "package");
  EXPECT_TRUE(files_.Delete(At("p.mxu"), nullptr));
  EXPECT_FALSE(FileExists(Native("p.mxu")));
}

// Held open elsewhere: on Windows while any other handle has the file open
// for its data (shared or not), and no longer once it is closed; the
// question itself changes nothing. POSIX never holds a file so.
TEST_F(FileSystemTest, HeldOpenElsewhereOnlyWhileAnotherOpenerHasTheFile) {
#ifdef _WIN32
  const bool windows = true;
#else
  const bool windows = false;
#endif
  WriteWholeFile(Native("data.dat"), "data");
  ASSERT_TRUE(files_.CreateFolder(At("Folder"), nullptr));
  for (const char* free : {"data.dat", "missing.dat", "Folder"})
    EXPECT_FALSE(files_.HeldOpenElsewhere(At(free))) << free;
  for (const bool exclusive : {true, false}) {
    std::unique_ptr<File> held = files_.OpenRead(At("data.dat"), exclusive, nullptr);
    ASSERT_TRUE(held);
    EXPECT_EQ(files_.HeldOpenElsewhere(At("data.dat")), windows) << exclusive;
    held.reset();
    EXPECT_FALSE(files_.HeldOpenElsewhere(At("data.dat")));
  }
  std::unique_ptr<MappedFile> mapped = files_.MapRead(At("data.dat"), nullptr);
  ASSERT_TRUE(mapped);
  EXPECT_EQ(files_.HeldOpenElsewhere(At("data.dat")), windows);
  mapped.reset();
  EXPECT_EQ(ReadWholeFile(Native("data.dat")), "data");
  EXPECT_TRUE(files_.Delete(At("data.dat"), nullptr));
}

TEST_F(FileSystemTest, DeleteRefusesFoldersAndMissingFiles) {
  ASSERT_TRUE(files_.CreateFolder(At("Updater.tmp"), nullptr));
  EXPECT_TRUE(files_.Exists(At("Updater.tmp")));
  EXPECT_FALSE(files_.Delete(At("Updater.tmp"), nullptr));
  EXPECT_FALSE(files_.Delete(At("missing"), nullptr));
}

TEST_F(FileSystemTest, CopyOverwritesAndReplaceMovesOverTheTarget) {
  WriteWholeFile(Native("new.exe"), "new program");
  WriteWholeFile(Native("old.exe"), "old program, longer");
  ASSERT_TRUE(files_.Copy(At("new.exe"), At("old.exe"), nullptr));
  EXPECT_EQ(ReadWholeFile(Native("old.exe")), "new program");

  WriteWholeFile(Native("next.tmp"), "next");
  ASSERT_TRUE(files_.Replace(At("next.tmp"), At("old.exe"), nullptr));
  EXPECT_EQ(ReadWholeFile(Native("old.exe")), "next");
  EXPECT_FALSE(FileExists(Native("next.tmp")));
}

TEST_F(FileSystemTest, ListFolderMatchesThePatternIgnoringLetterCase) {
  ASSERT_TRUE(files_.CreateFolder(At("Update"), nullptr));
  WriteWholeFile(Native("Update\\a.mxu"), "");
  WriteWholeFile(Native("Update\\B.MXU"), "");
  WriteWholeFile(Native("Update\\Updater.tmp"), "");
  ASSERT_TRUE(files_.CreateFolder(At("Update\\dir.mxu"), nullptr));

  std::vector<FolderEntry> entries;
  ASSERT_TRUE(files_.ListFolder(At("Update\\"), "*.mxu", &entries, nullptr));
  std::sort(entries.begin(), entries.end(),
            [](const FolderEntry& a, const FolderEntry& b) { return a.Name < b.Name; });
  ASSERT_EQ(entries.size(), 3u);
  EXPECT_EQ(entries[0].Name, "B.MXU");
  EXPECT_FALSE(entries[0].IsFolder);
  EXPECT_EQ(entries[1].Name, "a.mxu");
  EXPECT_EQ(entries[2].Name, "dir.mxu");
  EXPECT_TRUE(entries[2].IsFolder);
}

TEST_F(FileSystemTest, ListFolderTellsAnEmptyFolderFromAMissingOne) {
  ASSERT_TRUE(files_.CreateFolder(At("Empty"), nullptr));
  std::vector<FolderEntry> entries;
  EXPECT_TRUE(files_.ListFolder(At("Empty\\"), "*.mxu", &entries, nullptr));
  EXPECT_TRUE(entries.empty());
  EXPECT_FALSE(files_.ListFolder(At("Missing\\"), "*.mxu", &entries, nullptr));
}

TEST_F(FileSystemTest, RemoveFolderTakesOnlyEmptyFolders) {
  ASSERT_TRUE(files_.CreateFolder(At("Full"), nullptr));
  ASSERT_TRUE(files_.CreateFolder(At("Empty"), nullptr));
  WriteWholeFile(Native("Full\\a"), "a");
  for (const char* refused : {"Full\\", "Full\\a", "Missing"})
    EXPECT_FALSE(files_.RemoveFolder(At(refused), nullptr)) << refused;
  EXPECT_TRUE(files_.RemoveFolder(At("Empty\\"), nullptr));
  EXPECT_FALSE(files_.Exists(At("Empty")));
  EXPECT_EQ(ReadWholeFile(Native("Full\\a")), "a");
}

TEST_F(FileSystemTest, OpenReadAppendReadsFromTheStartAndWritesAtTheEnd) {
  WriteWholeFile(Native("journal"), "body\n");
  std::unique_ptr<File> file = files_.OpenReadAppend(At("journal"), nullptr);
  ASSERT_TRUE(file);
  char buffer[2];
  ASSERT_EQ(file->Read(buffer, 2, nullptr), 2);
  EXPECT_EQ(std::string(buffer, 2), "bo");
  ASSERT_TRUE(file->Write("mark\n", 5, nullptr));
  ASSERT_TRUE(file->Sync(nullptr));
  // Held exclusively, as an exclusive OpenRead holds a file.
  EXPECT_FALSE(files_.OpenRead(At("journal"), true, nullptr));
  EXPECT_FALSE(files_.OpenReadAppend(At("journal"), nullptr));
  file.reset();
  EXPECT_EQ(ReadWholeFile(Native("journal")), "body\nmark\n");

  ASSERT_TRUE(files_.CreateFolder(At("folder"), nullptr));
  std::vector<std::string> refused = {"missing", "folder"};
#ifndef _WIN32
  namespace fs = std::filesystem;
  fs::create_symlink(Native("journal"), Native("link"));
  ASSERT_EQ(mkfifo(Native("fifo").c_str(), 0600), 0);  // no writer: must not wait for one
  refused.insert(refused.end(), {"link", "fifo"});
#endif
  for (const std::string& name : refused)
    EXPECT_FALSE(files_.OpenReadAppend(At(name), nullptr)) << name;
}

// Whether a path below a folder stays inside it on the disk: parts that do
// not exist yet do, links only when they lead to a place inside.
TEST_F(FileSystemTest, StaysInsideOnlyThroughLinksThatStayInside) {
  for (const char* folder : {"App", "App\\Data", "Outside"})
    ASSERT_TRUE(files_.CreateFolder(At(folder), nullptr));
  WriteWholeFile(Native("Outside\\victim"), "victim");
  struct Case {
    const char* Path;
    bool Inside;
  } cases[] = {
      {"App", true},
      {"App\\Data", true},
      {"App\\Data\\", true},
      {"App\\Data\\New\\Deeper\\x", true},
      {"App2\\x", false},  // beside the folder, not below it
      {"Outside\\victim", false},
#ifndef _WIN32
      {"App\\In\\x", true},
      {"App\\Out", false},
      {"App\\Out\\victim", false},
      {"App\\Out\\missing\\x", false},
      {"App\\File", false},
      {"App\\Dangling", false},
      {"App\\Data\\Up\\x", true},
#endif
  };
#ifndef _WIN32
  // (Wine's CreateSymbolicLinkW makes nothing; the end-to-end tests show the
  // Windows program links that Linux made.)
  namespace fs = std::filesystem;
  fs::create_directory_symlink(Native("App\\Data"), Native("App\\In"));
  fs::create_directory_symlink(Native("Outside"), Native("App\\Out"));
  fs::create_symlink(Native("Outside\\victim"), Native("App\\File"));
  fs::create_symlink(Native("Nowhere"), Native("App\\Dangling"));
  fs::create_directory_symlink("..", Native("App\\Data\\Up"));  // to App itself
#endif
  for (const Case& c : cases) {
    SCOPED_TRACE(c.Path);
    std::string cause;
    EXPECT_EQ(files_.StaysInside(At("App\\"), At(c.Path), &cause), c.Inside);
    EXPECT_EQ(cause.empty(), c.Inside) << cause;
  }
}

#ifdef _WIN32
// A file that takes another's place gets its attributes; read-only files can
// still be flushed, replaced and deleted.
TEST_F(FileSystemTest, AttributesCanBeCopiedAndReadOnlyFilesReplaced) {
  WriteWholeFile(Native("old"), "old");
  WriteWholeFile(Native("new"), "new");
  WriteWholeFile(Native("next"), "next");
  auto attributes = [&](const char* name) {
    return GetFileAttributesW(std::filesystem::u8path(Native(name)).wstring().c_str()) &
           (FILE_ATTRIBUTE_READONLY | FILE_ATTRIBUTE_HIDDEN | FILE_ATTRIBUTE_SYSTEM);
  };
  const DWORD kept = FILE_ATTRIBUTE_READONLY | FILE_ATTRIBUTE_HIDDEN;
  ASSERT_TRUE(SetFileAttributesW(std::filesystem::u8path(Native("old")).wstring().c_str(), kept));
  ASSERT_TRUE(files_.CopyPermissions(At("old"), At("new"), nullptr));
  EXPECT_EQ(attributes("new"), kept);
  EXPECT_TRUE(files_.SyncFiles({At("new")}, nullptr));
  EXPECT_EQ(attributes("new"), kept);
  EXPECT_TRUE(files_.Replace(At("next"), At("new"), nullptr));
  EXPECT_EQ(ReadWholeFile(Native("new")), "next");
  EXPECT_TRUE(files_.KeepAside(At("old"), At("~mx1"), nullptr));
  EXPECT_EQ(attributes("~mx1"), kept);
  EXPECT_TRUE(files_.Delete(At("~mx1"), nullptr));
  EXPECT_FALSE(FileExists(Native("~mx1")));
}
#endif

#ifndef _WIN32
TEST_F(FileSystemTest, PermissionBitsCanBeCopiedAndExecuteAdded) {
  namespace fs = std::filesystem;
  WriteWholeFile(Native("old"), "");
  WriteWholeFile(Native("new"), "");
  fs::permissions(Native("old"),
                  fs::perms::owner_read | fs::perms::owner_write | fs::perms::owner_exec);
  fs::permissions(Native("new"), fs::perms::owner_read | fs::perms::group_read);
  ASSERT_TRUE(files_.CopyPermissions(At("old"), At("new"), nullptr));
  EXPECT_EQ(fs::status(Native("new")).permissions(),
            fs::perms::owner_read | fs::perms::owner_write | fs::perms::owner_exec);

  fs::permissions(Native("new"),
                  fs::perms::owner_read | fs::perms::owner_write | fs::perms::group_read);
  ASSERT_TRUE(files_.MakeExecutable(At("new"), nullptr));
  EXPECT_EQ(fs::status(Native("new")).permissions(),
            fs::perms::owner_all | fs::perms::group_read | fs::perms::group_exec);
}
#endif

// One opener at a time holds a lock file, whose content the lock leaves as
// it is; the lock goes with its holder.
TEST_F(FileSystemTest, ALockIsHeldByOneOpenerAtATime) {
  WriteWholeFile(Native("Updater.lock"), "kept");
  std::unique_ptr<File> first, second;
  ASSERT_EQ(files_.TryLock(At("Updater.lock"), &first, nullptr), LockOutcome::Taken);
  EXPECT_EQ(files_.TryLock(At("Updater.lock"), &second, nullptr), LockOutcome::HeldByAnother);
  EXPECT_FALSE(second);
  EXPECT_FALSE(files_.Delete(At("Updater.lock"), nullptr));
  first.reset();
  EXPECT_EQ(files_.TryLock(At("Updater.lock"), &second, nullptr), LockOutcome::Taken);
  second.reset();  // on Windows no other opener can read it meanwhile
  EXPECT_EQ(ReadWholeFile(Native("Updater.lock")), "kept");
  std::string cause;
  EXPECT_EQ(files_.TryLock(At("Missing\\Updater.lock"), &first, &cause), LockOutcome::Failed);
  EXPECT_NE(cause.find("Updater.lock"), std::string::npos) << cause;
}

#ifndef _WIN32
// A program started while the lock is held does not hold it on. (Windows
// starts programs without inheriting any handle.)
TEST_F(FileSystemTest, AStartedProgramDoesNotInheritTheLock) {
  std::unique_ptr<File> lock;
  ASSERT_EQ(files_.TryLock(At("Updater.lock"), &lock, nullptr), LockOutcome::Taken);
  ASSERT_TRUE(RealPlatform().Processes.Start("\"/bin/sleep\" 3", "/bin/sleep", "3", "", nullptr));
  lock.reset();
  EXPECT_EQ(files_.TryLock(At("Updater.lock"), &lock, nullptr), LockOutcome::Taken);
}

// Opens the far end of a FIFO when an open of it has not returned within a
// few seconds, so that an open that blocks fails the test instead of hanging
// it.
class FifoWatchdog {
 public:
  explicit FifoWatchdog(const std::string& fifo)
      : thread_([this, fifo] {
          std::unique_lock<std::mutex> lock(mutex_);
          if (changed_.wait_for(lock, std::chrono::seconds(5), [this] { return done_; })) return;
          fired_ = true;
          farEnd_ = open(fifo.c_str(), O_RDWR | O_NONBLOCK);  // both ends at once
        }) {}
  ~FifoWatchdog() {
    Stop();
    if (farEnd_ >= 0) close(farEnd_);
  }
  // True when the open had to be released.
  bool Stop() {
    {
      std::lock_guard<std::mutex> lock(mutex_);
      done_ = true;
    }
    changed_.notify_all();
    if (thread_.joinable()) thread_.join();
    return fired_;
  }

 private:
  std::mutex mutex_;
  std::condition_variable changed_;
  bool done_ = false;
  bool fired_ = false;
  int farEnd_ = -1;
  std::thread thread_;
};

using Open =
    std::function<std::unique_ptr<File>(FileSystem&, const std::string&, std::string* cause)>;
struct NamedOpen {
  const char* Name;
  updater::Open Open;
};

const NamedOpen kEveryOpen[] = {
    {"OpenRead",
     [](FileSystem& f, const std::string& p, std::string* c) { return f.OpenRead(p, false, c); }},
    {"OpenRead exclusive",
     [](FileSystem& f, const std::string& p, std::string* c) { return f.OpenRead(p, true, c); }},
    {"Create", [](FileSystem& f, const std::string& p, std::string* c) { return f.Create(p, c); }},
    {"CreateDurable",
     [](FileSystem& f, const std::string& p, std::string* c) { return f.CreateDurable(p, c); }},
    {"OpenAppend",
     [](FileSystem& f, const std::string& p, std::string* c) { return f.OpenAppend(p, c); }},
    {"OpenStateFile", [](FileSystem& f, const std::string& p,
                         std::string* c) { return f.OpenStateFile(p, false, c); }},
    {"TryLock",
     [](FileSystem& f, const std::string& p, std::string* c) {
       std::unique_ptr<File> lock;
       return f.TryLock(p, &lock, c) == LockOutcome::Taken ? std::move(lock) : nullptr;
     }},
};

// A FIFO (nobody at its other end) or a device is refused at once by every
// open, with a cause that says what it is; a FIFO would otherwise hold the
// run until someone opened its other end.
TEST_F(FileSystemTest, EveryOpenRefusesAFifoOrADeviceWithoutWaiting) {
  ASSERT_EQ(mkfifo(Native("fifo").c_str(), 0666), 0);
  for (const NamedOpen& kind : kEveryOpen) {
    SCOPED_TRACE(kind.Name);
    FifoWatchdog watchdog(Native("fifo"));
    std::string cause;
    std::unique_ptr<File> file = kind.Open(files_, At("fifo"), &cause);
    EXPECT_FALSE(watchdog.Stop()) << "the open waited for the FIFO's other end";
    EXPECT_FALSE(file);
    EXPECT_NE(cause.find("FIFO"), std::string::npos) << cause;
    struct stat info {};
    ASSERT_EQ(lstat(Native("fifo").c_str(), &info), 0);
    EXPECT_TRUE(S_ISFIFO(info.st_mode));
  }
  for (const NamedOpen& kind : kEveryOpen) {
    SCOPED_TRACE(kind.Name);
    std::string cause;
    EXPECT_FALSE(kind.Open(files_, "/dev/null", &cause));
    EXPECT_NE(cause.find("device"), std::string::npos) << cause;
  }
}

// A link at a path that a file is created at, the log appends to, a lock or
// a state file is taken from is refused, and its target stays as it was;
// reading a file follows a link, since an installation may hold links among
// its files.
TEST_F(FileSystemTest, OnlyReadingFollowsALink) {
  WriteWholeFile(Native("target"), "target");
  ASSERT_EQ(symlink(Native("target").c_str(), Native("link").c_str()), 0);
  for (const NamedOpen& kind : kEveryOpen) {
    SCOPED_TRACE(kind.Name);
    std::string cause;
    std::unique_ptr<File> file = kind.Open(files_, At("link"), &cause);
    const bool reads = std::string(kind.Name).rfind("OpenRead", 0) == 0;
    EXPECT_EQ(file != nullptr, reads);
    // Opened wrongly already; the write shows whether it reaches the target.
    if (file && !reads) static_cast<void>(file->Write("written through", 15, nullptr));
    if (!reads) {
      EXPECT_NE(cause.find("link"), std::string::npos) << cause;
    }
    file.reset();
    EXPECT_EQ(ReadWholeFile(Native("target")), "target");
  }
}
#endif
// A file read through its map, and the files that cannot be mapped; an empty
// file is mapped without memory.
TEST_F(FileSystemTest, MapReadShowsTheWholeFile) {
  WriteWholeFile(Native("a.bin"), "mapped content");
  WriteWholeFile(Native("empty"), "");
  ASSERT_TRUE(files_.CreateFolder(At("folder"), nullptr));
  struct Case {
    const char* Name;
    bool Maps;
    std::string Content;
  } cases[] = {
      {"a.bin", true, "mapped content"},
      {"empty", true, ""},
      {"missing", false, ""},
      {"folder", false, ""},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.Name);
    std::string cause;
    std::unique_ptr<MappedFile> map = files_.MapRead(At(c.Name), &cause);
    ASSERT_EQ(map != nullptr, c.Maps);
    if (!map) {
      EXPECT_NE(cause.find(c.Name), std::string::npos) << cause;
      continue;
    }
    ASSERT_EQ(map->Size(), static_cast<int64_t>(c.Content.size()));
    EXPECT_EQ(map->Data() == nullptr, c.Content.empty());
    if (map->Data()) {
      EXPECT_EQ(std::string(reinterpret_cast<const char*>(map->Data()), c.Content.size()),
                c.Content);
    }
    EXPECT_TRUE(map->Close(nullptr));
    EXPECT_TRUE(map->Close(nullptr));
  }
}

// A mapped file of each size replaces what was there with the bytes written
// to its memory; a file another opener holds, or a missing folder, fails
// and keeps what there was.
TEST_F(FileSystemTest, CreateMappedWritesItsMemoryToANewFile) {
  for (int64_t size : {int64_t{0}, int64_t{5}, int64_t{3} << 20}) {
    SCOPED_TRACE(size);
    WriteWholeFile(Native("new"), "an older, longer content");
    std::string cause;
    std::unique_ptr<MappedFile> out = files_.CreateMapped(At("new"), size, &cause);
    ASSERT_TRUE(out) << cause;
    ASSERT_EQ(out->Size(), size);
    std::string expected(static_cast<size_t>(size), '\0');
    for (size_t i = 0; i < expected.size(); ++i) expected[i] = static_cast<char>('a' + i % 26);
    if (size > 0) std::copy(expected.begin(), expected.end(), out->Data());
    EXPECT_TRUE(out->Close(nullptr));
    out.reset();
    ASSERT_TRUE(files_.SyncFiles({At("new")}, nullptr));
    EXPECT_TRUE(ReadWholeFile(Native("new")) == expected);
  }
  WriteWholeFile(Native("held"), "held");
  std::unique_ptr<File> held = files_.OpenRead(At("held"), true, nullptr);
  ASSERT_TRUE(held);
  std::string cause;
  EXPECT_FALSE(files_.CreateMapped(At("held"), 10, &cause));
  EXPECT_FALSE(cause.empty());
  held.reset();
  EXPECT_EQ(ReadWholeFile(Native("held")), "held");
  EXPECT_FALSE(files_.CreateMapped(At("missing\\new"), 10, nullptr));
  EXPECT_FALSE(FileExists(Native("missing")));
}

}  // namespace
}  // namespace updater

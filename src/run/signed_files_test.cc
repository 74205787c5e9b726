// Signed updates over a fake web and a real program folder: a keyed updater
// takes nothing that the built-in key did not sign for that name, goes on to
// the next server after each refusal, and refuses a catalogue older than one
// it accepted. The keys are fixed test keys (made with minisign -G -W); the
// signatures are made here by the signer that the signature tests check
// against the minisign tool.
#include "run/signed_files.h"

#include <gtest/gtest.h>

#include <algorithm>

#include "packages/package_test_util.h"
#include "protocol/built_in_keys.h"
#include "run/check_test_util.h"
#include "run/run_main.h"
#include "run/self_update.h"

namespace updater {
namespace {

using testing::FileExists;
using testing::InListOrder;
using testing::PackageBytes;
using testing::ReadWholeFile;
using testing::TempFolder;
using testing::WriteWholeFile;
using Lines = std::vector<std::string>;

// The publisher's key pair, and another one.
constexpr char kPublicKey[] = "RWRn+O2hyn3+4BL3URsgft4MLs6qrNJ7CP0XRi3grfZ75SJYsO9YKCYw";
constexpr char kSecretKey[] =
    "untrusted comment: minisign encrypted secret key\n"
    "RWQAAEIyAAAAAAAAAAAAAAAAAAAAAAAAAAAAAAAAAAAAAAAAAAAAAAAAAAAAAAAAAAAAAAAAZ/jtocp9/uB8/lAKwu"
    "tPMS0eUvrfxAmtqfyxH6DwGGI9D/wc5KpldBL3URsgft4MLs6qrNJ7CP0XRi3grfZ75SJYsO9YKCYwAAAAAAAAAAAA"
    "AAAAAAAAAAAAAAAAAAAAAAAAAAAAAAA=\n";

constexpr char kOtherSecretKey[] =
    "untrusted comment: minisign encrypted secret key\n"
    "RWQAAEIyAAAAAAAAAAAAAAAAAAAAAAAAAAAAAAAAAAAAAAAAAAAAAAAAAAAAAAAAAAAAAAAAsK4WhyQ9e2kn/4uqvY"
    "KXr86BtbfCDOBL4OZawz1DbaNCtG7zMKTA83wBmyPQ0OI/5SbT+AkaWKOISdPyE7ZPQd9+7sLzGVbkAAAAAAAAAAAA"
    "AAAAAAAAAAAAAAAAAAAAAAAAAAAAAAA=\n";

std::string Signature(const char* secretKey, const std::string& bytes, const std::string& name,
                      uint64_t timestamp = 1700000000, uint64_t expires = 0) {
  MinisignSecretKey key;
  std::string error, signature;
  EXPECT_TRUE(LoadSecretKey(secretKey, &key, &error)) << error;
  EXPECT_TRUE(SignBytes(key, bytes, name, {timestamp, expires}, &signature, &error)) << error;
  return signature;
}

std::string PublicKeyLineOf(const char* secretKey) {
  MinisignSecretKey key;
  std::string error;
  EXPECT_TRUE(LoadSecretKey(secretKey, &key, &error)) << error;
  return PublicKeyLine(PublicKeyOf(key));
}

class SignedUpdateTest : public testing::CheckFixture {
 protected:
  void SetUp() override {
    CheckFixture::SetUp();
    settings_.AskMode = AskModeSetting::DontAsk;
    services_.PublicKeyLines = {kPublicKey};
    ASSERT_TRUE(LoadPublicKey(services_));
    WriteWholeFile(At("VOXA.exe"), "old program");
  }

  // Serves `content` as `name` below `base`, signed for `signedName` (when
  // not empty) with `secretKey` at `timestamp`.
  void Put(const std::string& base, const std::string& name, const std::string& content,
           const std::string& signedName, const char* secretKey = kSecretKey,
           uint64_t timestamp = 1700000000, uint64_t expires = 0) {
    web_.Serve(base + name, content);
    if (!signedName.empty())
      web_.Serve(base + name + ".minisig",
                 Signature(secretKey, content, signedName, timestamp, expires));
  }

  // A server whose every file is signed, offering VOXA 1.05.
  void ServeSigned(const std::string& base, uint64_t catalogueTime = 1700000000,
                   uint64_t listTime = 1700000000) {
    Put(base, "UpdateInfo.txt", "ok", "UpdateInfo.txt");
    Put(base, "UpdateServer.lst", "http://fresh.test/\r\n", "UpdateServer.lst", kSecretKey,
        listTime);
    Put(base, "VersionInfo.txt", "VOXA v.mxu 105\r\n", "VersionInfo.txt", kSecretKey,
        catalogueTime);
    Put(base, "v.mxu", PackageBytes({{"VOXA.exe", "new program"}}), "v.mxu");
  }

  CheckOutcome RunCheck() {
    session_.Choice = InListOrder();
    return RunUpdateCheck(settings_, services_, session_);
  }

  Lines Errors() const {
    Lines errors;
    for (const std::string& line : fake_.Console.Lines)
      if (line.rfind("Error: ", 0) == 0) errors.push_back(line);
    return errors;
  }
};

TEST_F(SignedUpdateTest, EveryKindOfBadSignatureSendsTheCheckToTheNextServer) {
  const std::string unsignedServer = "http://unsigned.test/", tampered = "http://tampered.test/",
                    otherKey = "http://otherkey.test/", renamed = "http://renamed.test/",
                    badPackage = "http://badpackage.test/", good = "http://good.test/";
  ServeSigned(good);
  // Unsigned: the files of a good server without any signature.
  web_.Serve(unsignedServer + "UpdateInfo.txt", "ok");
  // Tampered: UpdateInfo.txt changed after signing.
  ServeSigned(tampered);
  web_.Serve(tampered + "UpdateInfo.txt", "OK");
  // Signed by another key.
  ServeSigned(otherKey);
  Put(otherKey, "UpdateServer.lst", "http://evil.test/\r\n", "UpdateServer.lst", kOtherSecretKey);
  // A catalogue signed for another file, served under this name.
  ServeSigned(renamed);
  Put(renamed, "VersionInfo.txt", "VOXA v.mxu 105\r\n", "OldVersionInfo.txt");
  // A package with one byte flipped after signing.
  ServeSigned(badPackage);
  std::string package = PackageBytes({{"VOXA.exe", "new program"}});
  const std::string packageSignature = Signature(kSecretKey, package, "v.mxu");
  package[package.size() / 2] ^= 0x20;
  web_.Serve(badPackage + "v.mxu", package);
  web_.Serve(badPackage + "v.mxu.minisig", packageSignature);
  WriteWholeFile(At("UpdateServer.lst"), "the old list\r\n");
  session_.ServerList = {unsignedServer, tampered, otherKey, renamed, badPackage, good};

  EXPECT_EQ(RunCheck(), CheckOutcome::Completed);
  EXPECT_EQ(
      Errors(),
      (Lines{"Error: Bad signature of UpdateInfo.txt: no signature file",
             "Error: Bad signature of UpdateInfo.txt: the signature does not match the file",
             "Error: Bad signature of UpdateServer.lst: signed by another key (697B3D248716AEB0)",
             "Error: Bad signature of VersionInfo.txt: signed for another file "
             "(OldVersionInfo.txt)",
             "Error: Bad signature of v.mxu: the signature does not match the file"}));
  EXPECT_EQ(session_.Server, good);
  EXPECT_EQ(ReadWholeFile(At("VOXA.exe")), "new program");
  // Only signed lists ever replaced the list on disk.
  EXPECT_EQ(ReadWholeFile(At("UpdateServer.lst")), "http://fresh.test/\r\n");
  EXPECT_FALSE(FileExists(At("Update\\v.mxu")));
  EXPECT_FALSE(FileExists(At("Update\\v.mxu.minisig")));
}

// Each package is checked as soon as it has arrived: a bad one ends the
// downloads before the next package is asked for, and goes at once.
TEST_F(SignedUpdateTest, ABadPackageStopsTheDownloadsBeforeTheNextOne) {
  const std::string base = "http://a.test/";
  ServeSigned(base);
  Put(base, "VersionInfo.txt", "VOXA a.mxu 103\r\nVOXA b.mxu 104\r\nVOXA c.mxu 105\r\n",
      "VersionInfo.txt");
  Put(base, "a.mxu", PackageBytes({{"A.txt", "a"}}), "a.mxu");
  std::string flipped = PackageBytes({{"B.txt", "b"}});
  web_.Serve(base + "b.mxu.minisig", Signature(kSecretKey, flipped, "b.mxu"));
  flipped[flipped.size() / 2] ^= 0x20;
  web_.Serve(base + "b.mxu", flipped);
  Put(base, "c.mxu", PackageBytes({{"C.txt", "c"}}), "c.mxu");
  session_.ServerList = {base};

  EXPECT_EQ(RunCheck(), CheckOutcome::ServersExhausted);
  Lines packages;
  for (const std::string& request : web_.Requested)
    if (request.find(".mxu") != std::string::npos) packages.push_back(request);
  EXPECT_EQ(packages, (Lines{"a.test/a.mxu", "a.test/a.mxu.minisig", "a.test/b.mxu",
                             "a.test/b.mxu.minisig"}));
  ASSERT_FALSE(Errors().empty());
  EXPECT_EQ(Errors().front(),
            "Error: Bad signature of b.mxu: the signature does not match the file");
  for (const char* absent : {"Update\\b.mxu", "Update\\b.mxu.minisig", "Update\\c.mxu", "A.txt"})
    EXPECT_FALSE(FileExists(At(absent))) << absent;
}

TEST_F(SignedUpdateTest, ACatalogueOlderThanOneAcceptedIsRefused) {
  const std::string replayed = "http://replayed.test/", current = "http://current.test/";
  ServeSigned(current, 1700000500);
  ServeSigned(replayed, 1700000100);
  session_.ServerList = {current};
  EXPECT_EQ(RunCheck(), CheckOutcome::Completed);
  EXPECT_EQ(ReadWholeFile(At("Update\\VersionInfo.timestamp")), "1700000500");

  // The next run meets a server that replays an older signed catalogue.
  WriteWholeFile(At("VOXA.exe"), "old program");
  fake_.Console.Lines.clear();
  session_.Server.clear();
  session_.ServerList = {replayed, current};
  EXPECT_EQ(RunCheck(), CheckOutcome::Completed);
  EXPECT_EQ(Errors(), (Lines{"Error: Refused VersionInfo.txt: signed 2023-11-14 22:15:00 UTC, "
                             "before the catalogue accepted earlier (signed 2023-11-14 "
                             "22:21:40 UTC)."}));
  EXPECT_EQ(session_.Server, current);
  EXPECT_EQ(ReadWholeFile(At("Update\\VersionInfo.timestamp")), "1700000500");
}

// A signed list may not go back either: one signed before the list taken
// earlier fails the attempt like a refused catalogue, and the list on disk
// stays.
TEST_F(SignedUpdateTest, AServerListOlderThanOneTakenIsRefused) {
  const std::string replayed = "http://replayed.test/", current = "http://current.test/";
  ServeSigned(current, 1700000000, 1700000500);
  ServeSigned(replayed, 1700000000, 1700000100);
  Put(replayed, "UpdateServer.lst", "http://stale.test/\r\n", "UpdateServer.lst", kSecretKey,
      1700000100);
  session_.ServerList = {current};
  EXPECT_EQ(RunCheck(), CheckOutcome::Completed);
  EXPECT_EQ(ReadWholeFile(At("Update\\UpdateServer.timestamp")), "1700000500");

  WriteWholeFile(At("VOXA.exe"), "old program");
  fake_.Console.Lines.clear();
  session_.Server.clear();
  session_.ServerList = {replayed, current};
  EXPECT_EQ(RunCheck(), CheckOutcome::Completed);
  EXPECT_EQ(Errors(), (Lines{"Error: Refused UpdateServer.lst: signed 2023-11-14 22:15:00 UTC, "
                             "before the list accepted earlier (signed 2023-11-14 22:21:40 "
                             "UTC)."}));
  EXPECT_EQ(session_.Server, current);
  EXPECT_EQ(ReadWholeFile(At("UpdateServer.lst")), "http://fresh.test/\r\n");
  EXPECT_EQ(ReadWholeFile(At("Update\\UpdateServer.timestamp")), "1700000500");
  EXPECT_EQ(ReadWholeFile(At("VOXA.exe")), "new program");
}

// A kept signing time that cannot be read refuses the file it guards, with
// a console line and the cause in the log, and stays as it was; it never
// counts as no time. Only a missing one does.
TEST_F(SignedUpdateTest, AKeptTimeThatCannotBeReadRefusesItsFile) {
  const std::string server = "http://a.test/";
  ServeSigned(server);
  services_.Log.Open(services_.UpdateFolder());
  const struct {
    const char* Name;
    std::string Content;  // "<folder>" makes a folder
    const char* Cause;    // in the log
  } kinds[] = {
      {"a folder in its place", "<folder>", "is a folder"},
      {"junk", "17OO000000", "holds no signing time: \"17OO000000\""},
      {"empty", "", "holds no signing time: \"\""},
      {"a number beyond 64 bits", "18446744073709551616", "holds no signing time"},
      {"oversized", std::string(1 << 20, '1'), "holds more than 32 bytes"},
  };
  for (const char* file : {"VersionInfo.timestamp", "UpdateServer.timestamp"}) {
    for (const auto& kind : kinds) {
      SCOPED_TRACE(std::string(file) + ": " + kind.Name);
      const std::string path = At("Update\\" + std::string(file));
      for (const char* kept : {"VersionInfo.timestamp", "UpdateServer.timestamp"}) {
        const std::string keptPath = At("Update\\" + std::string(kept));
        if (RealPlatform().Files.Exists(keptPath)) {
          EXPECT_TRUE(RealPlatform().Files.Delete(keptPath, nullptr));
        }
      }
      if (kind.Content == "<folder>") {
        ASSERT_TRUE(RealPlatform().Files.CreateFolder(path, nullptr));
      } else {
        WriteWholeFile(path, kind.Content);
      }
      fake_.Console.Lines.clear();
      session_.Server.clear();
      session_.ServerList = {server};
      // The lines tell how the check went.
      static_cast<void>(RunCheck());
      const Lines errors = Errors();
      ASSERT_FALSE(errors.empty());
      EXPECT_EQ(errors[0], "Error: Cannot read Update\\" + std::string(file));
      EXPECT_EQ(ReadWholeFile(At("VOXA.exe")), "old program");
      const std::string log = ReadWholeFile(At("Update\\Updater.log"));
      EXPECT_NE(log.find("Error: Cannot read Update\\" + std::string(file) + " ("),
                std::string::npos);
      EXPECT_NE(log.find(kind.Cause), std::string::npos) << log;
      if (kind.Content == "<folder>") {
        EXPECT_TRUE(RealPlatform().Files.IsFolder(path));
        EXPECT_TRUE(RealPlatform().Files.RemoveFolder(path, nullptr));
      } else {
        EXPECT_EQ(ReadWholeFile(path), kind.Content);
        EXPECT_TRUE(RealPlatform().Files.Delete(path, nullptr));
      }
    }
  }
  // Without the files, the same server is taken.
  fake_.Console.Lines.clear();
  session_.Server.clear();
  session_.ServerList = {server};
  EXPECT_EQ(RunCheck(), CheckOutcome::Completed);
  EXPECT_EQ(Errors(), Lines{});
  EXPECT_EQ(ReadWholeFile(At("VOXA.exe")), "new program");
}

// A server file whose signed end the run's clock has reached fails its
// server like a bad signature; one whose end is still to come is taken.
TEST_F(SignedUpdateTest, AnExpiredServerFileSendsTheCheckToTheNextServer) {
  // The fake clock's 2025-12-06 05:46:40 UTC, in seconds.
  const uint64_t now = static_cast<uint64_t>(fake_.Clock.UnixMilliseconds() / 1000);
  const struct {
    const char* File;
    std::string Content;
    uint64_t Expires;  // of the stale server's file
    const char* Error;
  } cases[] = {
      {"UpdateInfo.txt", "ok", now - 86400, "Error: Refused UpdateInfo.txt: expired on 2025-12-05"},
      {"UpdateServer.lst", "http://stale.test/\r\n", now,
       "Error: Refused UpdateServer.lst: expired on 2025-12-06"},
      {"VersionInfo.txt", "VOXA v.mxu 105\r\n", now - 20000,
       "Error: Refused VersionInfo.txt: expired on 2025-12-06"},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.File);
    const std::string stale = "http://stale.test/", fresh = "http://fresh.test/";
    ServeSigned(stale);
    Put(stale, c.File, c.Content, c.File, kSecretKey, 1700000000, c.Expires);
    // The next server's files end one second from now.
    ServeSigned(fresh);
    for (const auto& [file, content] : {std::pair{"UpdateInfo.txt", "ok"},
                                        std::pair{"UpdateServer.lst", "http://fresh.test/\r\n"},
                                        std::pair{"VersionInfo.txt", "VOXA v.mxu 105\r\n"}})
      Put(fresh, file, content, file, kSecretKey, 1700000000, now + 1);
    WriteWholeFile(At("VOXA.exe"), "old program");
    WriteWholeFile(At("UpdateServer.lst"), "the old list\r\n");
    fake_.Console.Lines.clear();
    session_.Server.clear();
    session_.ServerList = {stale, fresh};
    EXPECT_EQ(RunCheck(), CheckOutcome::Completed);
    EXPECT_EQ(Errors(), Lines{c.Error});
    EXPECT_EQ(session_.Server, fresh);
    EXPECT_EQ(ReadWholeFile(At("VOXA.exe")), "new program");
    EXPECT_EQ(ReadWholeFile(At("UpdateServer.lst")), "http://fresh.test/\r\n");
  }
}

// An updater built with two keys takes files signed by either, each file by
// the key its signature names.
TEST_F(SignedUpdateTest, AnUpdaterWithTwoKeysTakesWhatEitherSigned) {
  const std::string base = "http://a.test/";
  ServeSigned(base);
  Put(base, "UpdateServer.lst", "http://fresh.test/\r\n", "UpdateServer.lst", kOtherSecretKey);
  Put(base, "v.mxu", PackageBytes({{"VOXA.exe", "new program"}}), "v.mxu", kOtherSecretKey);
  services_.PublicKeyLines = {kPublicKey, PublicKeyLineOf(kOtherSecretKey)};
  ASSERT_TRUE(LoadPublicKey(services_));
  session_.ServerList = {base};
  EXPECT_EQ(RunCheck(), CheckOutcome::Completed);
  EXPECT_EQ(Errors(), Lines{});
  EXPECT_EQ(ReadWholeFile(At("VOXA.exe")), "new program");

  // Either key malformed makes the program unusable, not one key the less.
  services_.PublicKeyLines = {kPublicKey, "RWQ not a key"};
  EXPECT_FALSE(LoadPublicKey(services_));
}

TEST_F(SignedUpdateTest, OnlyApplyOpensOnlyPackagesWithAGoodSignature) {
  const std::string good = PackageBytes({{"Good.txt", "good"}});
  const std::string bad = PackageBytes({{"Bad.txt", "bad"}});
  WriteWholeFile(At("Update\\good.mxu"), good);
  WriteWholeFile(At("Update\\good.mxu.minisig"), Signature(kSecretKey, good, "good.mxu"));
  WriteWholeFile(At("Update\\unsigned.mxu"), bad);
  WriteWholeFile(At("Update\\renamed.mxu"), good);
  WriteWholeFile(At("Update\\renamed.mxu.minisig"), Signature(kSecretKey, good, "good.mxu"));
  fake_.Processes.GivenCommandLine = "\"" + folder_.Path() + "Updater.exe\" -dontask -onlyapply";
  fake_.Processes.GivenExecutablePath = folder_.Path() + "Updater.exe";
  services_.PublicKeyLines = {kPublicKey};
  EXPECT_EQ(RunUpdater(program_).Ending, RunEnding::ClosingPrompt);
  Lines errors = Errors();
  std::sort(errors.begin(), errors.end());
  // A package alone is a download that did not finish, not a bad signature.
  EXPECT_EQ(errors, (Lines{"Error: Bad signature of renamed.mxu: signed for another file "
                           "(good.mxu)"}));
  EXPECT_EQ(std::count(fake_.Console.Lines.begin(), fake_.Console.Lines.end(),
                       "Removed unfinished download: unsigned.mxu"),
            1);
  EXPECT_EQ(ReadWholeFile(At("Good.txt")), "good");
  EXPECT_FALSE(FileExists(At("Bad.txt")));
  for (const char* gone : {"Update\\unsigned.mxu", "Update\\renamed.mxu",
                           "Update\\renamed.mxu.minisig", "Update\\good.mxu"})
    EXPECT_FALSE(FileExists(At(gone))) << gone;
}

// A refused package that stays in the update folder (it cannot be deleted)
// would be applied with the good ones, since the apply takes every package
// it finds: the -onlyapply run applies nothing and ends as a failed apply.
TEST_F(SignedUpdateTest, OnlyApplyAppliesNothingWhileARefusedPackageStays) {
  struct KeepsOne : testing::ForwardingFileSystem {
    std::string Kept;
    bool Delete(const std::string& path, std::string* cause) override {
      if (path.size() < Kept.size() || path.compare(path.size() - Kept.size(), Kept.size(), Kept))
        return ForwardingFileSystem::Delete(path, cause);
      *cause = "Access is denied (the test)";
      return false;
    }
  };
  const std::string good = PackageBytes({{"Good.txt", "good"}});
  const std::string bad = PackageBytes({{"Bad.txt", "bad"}});
  for (const char* kept : {"unsigned.mxu", "forged.mxu"}) {
    SCOPED_TRACE(kept);
    TempFolder folder;
    const std::string at = folder.Path();
    KeepsOne files;
    files.Kept = kept;
    Platform platform{fake_.Console, files, fake_.Processes, fake_.Clock, fake_.Versions, web_};
    Program program(platform);
    ASSERT_TRUE(files.CreateFolder(at + "Update", nullptr));
    WriteWholeFile(at + "Update/a-good.mxu", good);
    WriteWholeFile(at + "Update/a-good.mxu.minisig", Signature(kSecretKey, good, "a-good.mxu"));
    WriteWholeFile(at + "Update/" + kept, bad);
    if (std::string(kept) == "forged.mxu")
      WriteWholeFile(at + "Update/forged.mxu.minisig", Signature(kSecretKey, good, "forged.mxu"));
    fake_.Console.Lines.clear();
    fake_.Processes.GivenCommandLine = "\"" + at + "Updater.exe\" -dontask -onlyapply";
    fake_.Processes.GivenExecutablePath = at + "Updater.exe";
    program.Services.PublicKeyLines = {kPublicKey};
    const RunEnd end = RunUpdater(program);
    EXPECT_EQ(end.Outcome, RunOutcome::ApplyFailed);
    EXPECT_EQ(Lines(fake_.Console.Lines.end() - 2, fake_.Console.Lines.end()),
              (Lines{"", "Update failed!"}));
    EXPECT_FALSE(FileExists(at + "Bad.txt"));
    EXPECT_FALSE(FileExists(at + "Good.txt"));
    EXPECT_NE(ReadWholeFile(at + "Update/Updater.log").find("Access is denied (the test)"),
              std::string::npos);
  }
}

TEST_F(SignedUpdateTest, TheUpdatersOwnPackageNeedsItsSignature) {
  const std::string unsignedUpdater = "http://a.test/", good = "http://b.test/";
  const std::string program = "#!new updater " + KeysMark({kPublicKey});
  for (const std::string& base : {unsignedUpdater, good}) {
    ServeSigned(base);
    Put(base, "VersionInfo.txt", "updater files/u.mxu 101\r\nVOXA v.mxu 100\r\n",
        "VersionInfo.txt");
    web_.Serve(base + "files/u.mxu", PackageBytes({{"Updater.exe", program}}));
  }
  web_.Serve(good + "files/u.mxu.minisig",
             Signature(kSecretKey, PackageBytes({{"Updater.exe", program}}), "u.mxu"));
  session_.ServerList = {unsignedUpdater, good};
  EXPECT_EQ(RunCheck(), CheckOutcome::HandedOver);
  EXPECT_EQ(Errors(), (Lines{"Error: Bad signature of u.mxu: no signature file"}));
  ASSERT_EQ(fake_.Processes.Starts.size(), 1u);
  EXPECT_EQ(ReadWholeFile(At("Update\\Updater.tmp")), program);
  EXPECT_FALSE(FileExists(At("Update\\Updater.mxu")));
  EXPECT_FALSE(FileExists(At("Update\\Updater.mxu.minisig")));
}

// A keyed updater hands over only to a program that carries its key (among
// others, too); any other is deleted, and the run goes on with this updater
// as if no updater had been offered: the main program's update applies.
TEST_F(SignedUpdateTest, AKeyedUpdaterHandsOverOnlyToAProgramThatCarriesItsKey) {
  const std::string otherKey = "RWTgtydfC7kQrj7I6TSsINZxgj76udUrWAT+txY5jPJtcBHjfnVN5gYN";
  const struct {
    const char* What;
    std::string Program;
    bool HandedOver;
  } cases[] = {
      {"its key", "MZ " + KeysMark({kPublicKey}) + " rest", true},
      {"its key after another", KeysMark({otherKey, kPublicKey}), true},
      {"another key", "MZ " + KeysMark({otherKey}), false},
      {"no key", "MZ " + KeysMark({}), false},
      {"no mark", "MZ plain program", false},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.What);
    const std::string base = "http://" + std::to_string(&c - cases) + ".test/";
    ServeSigned(base);
    Put(base, "VersionInfo.txt", "updater u.mxu 101\r\nVOXA v.mxu 105\r\n", "VersionInfo.txt");
    Put(base, "u.mxu", PackageBytes({{"Updater.exe", c.Program}}), "u.mxu");
    WriteWholeFile(At("VOXA.exe"), "old program");
    fake_.Console.Lines.clear();
    fake_.Processes.Starts.clear();
    session_.ServerList = {base};
    session_.Server.clear();
    EXPECT_EQ(RunCheck(), c.HandedOver ? CheckOutcome::HandedOver : CheckOutcome::Completed);
    EXPECT_EQ(fake_.Processes.Starts.size(), c.HandedOver ? 1u : 0u);
    EXPECT_EQ(FileExists(At("Update\\Updater.tmp")), c.HandedOver);
    EXPECT_EQ(ReadWholeFile(At("VOXA.exe")), c.HandedOver ? "old program" : "new program");
    EXPECT_EQ(Errors(), c.HandedOver ? Lines{} : Lines{std::string(kRefusedUpdaterLine)});
    if (c.HandedOver) {
      EXPECT_TRUE(fake_.Platform.Files.Delete(At("Update\\Updater.tmp"), nullptr));
    }
  }
}

TEST(SignedNameTest, IsThePartAfterTheLastSlash) {
  EXPECT_EQ(SignedName("VersionInfo.txt"), "VersionInfo.txt");
  EXPECT_EQ(SignedName("files/updaters/Updater-1.10.mxu"), "Updater-1.10.mxu");
  EXPECT_EQ(SignedName("http://host/base/v.mxu"), "v.mxu");
}

}  // namespace
}  // namespace updater

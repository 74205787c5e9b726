// The publisher's side of fresh signatures and of a move to a new key, with
// the real mxupack and minisign: refresh renews only the signatures of the
// three server files; a move to a new key is refused, folder untouched,
// until the release's updater and the one the catalogue offers carry the new
// key, and then leaves a folder of the new key alone; a staged release is
// halted and resumed in the signed catalogue.
#include <gtest/gtest.h>

#include <filesystem>
#include <functional>
#include <map>

#include "e2e/builds.h"
#include "e2e/process_runner.h"
#include "support/temp_folder.h"

namespace updater::testing {
namespace {

namespace fs = std::filesystem;
using Lines = std::vector<std::string>;
using Files = std::map<std::string, std::string>;  // name -> content

// The files of a server folder (it has no subfolders).
Files Snapshot(const std::string& folder) {
  Files files;
  for (const auto& entry : fs::directory_iterator(folder))
    files[entry.path().filename().string()] = ReadWholeFile(entry.path().string());
  return files;
}

// The trusted comment of a signature file.
std::string TrustedComment(const std::string& signature) {
  const std::string prefix = "\ntrusted comment: ";
  const size_t start = signature.find(prefix);
  if (start == std::string::npos) return std::string();
  const size_t from = start + prefix.size();
  return signature.substr(from, signature.find('\n', from) - from);
}

// The number after `field` in a trusted comment, or 0.
uint64_t CommentNumber(const std::string& comment, const std::string& field) {
  const size_t at = comment.find(field);
  return at == std::string::npos ? 0 : std::stoull(comment.substr(at + field.size()));
}

class PublishKeysTest : public ::testing::Test {
 protected:
  void SetUp() override {
    build_ = PosixBuild();
    site_ = temp_.Path() + "site";
    fs::create_directories(site_);
  }

  std::string PublicKeyOf(const std::string& secretKey) {
    return fs::path(secretKey).replace_extension(".pub").string();
  }

  // A release of VOXA 1.05 with `updater` as its Updater.exe (none when
  // empty), in a folder of its own.
  std::string Release(const std::string& name, const std::string& updater) {
    const std::string folder = temp_.Path() + name + "/";
    fs::create_directories(folder);
    WriteWholeFile(folder + "VOXA.exe", ReadWholeFile(build_.Voxa105));
    WriteWholeFile(folder + "Readme.txt", "1.05");
    if (!updater.empty()) WriteWholeFile(folder + "Updater.exe", ReadWholeFile(updater));
    return folder;
  }

  ProcessResult Mxupack(const Lines& arguments) {
    Lines command = {MXUPACK};
    command.insert(command.end(), arguments.begin(), arguments.end());
    return RunProcess(command, temp_.Path());
  }

  // minisign's own check of `file` in the site against `publicKey`.
  bool MinisignAccepts(const std::string& file, const std::string& publicKey) {
    return RunProcess({MINISIGN, "-V", "-q", "-p", publicKey, "-m", site_ + "/" + file},
                      temp_.Path())
               .ExitCode == 0;
  }

  Build build_;
  TempFolder temp_;
  std::string site_;
};

TEST_F(PublishKeysTest, RefreshRenewsOnlyTheSignaturesOfTheServerFiles) {
  const std::string key = build_.SecretKey;
  ProcessResult published =
      Mxupack({"publish", site_, Release("r105", build_.SignedUpdater), "--servers",
               "http://127.0.0.1/site/", "--sign", key, "--expires", "30"});
  ASSERT_EQ(published.ExitCode, 0) << published.Errors;
  const Files before = Snapshot(site_);
  const char* serverFiles[] = {"UpdateInfo.txt", "UpdateServer.lst", "VersionInfo.txt"};
  for (const char* file : serverFiles) {
    const std::string comment = TrustedComment(before.at(std::string(file) + ".minisig"));
    EXPECT_EQ(CommentNumber(comment, "expires:"), CommentNumber(comment, "timestamp:") + 30 * 86400)
        << comment;
  }
  EXPECT_EQ(TrustedComment(before.at("VOXA-1.05.mxu.minisig")).find("expires:"), std::string::npos);

  // Refused, the folder as it was: another key, and a catalogue changed by
  // hand since it was signed (refresh vouches only for what the key signed).
  const std::string other = temp_.Path() + "other.key";
  ASSERT_EQ(RunProcess({MINISIGN, "-G", "-W", "-p", temp_.Path() + "other.pub", "-s", other},
                       temp_.Path())
                .ExitCode,
            0);
  ProcessResult refused = Mxupack({"refresh", site_, "--sign", other, "--expires", "7"});
  EXPECT_EQ(refused.ExitCode, 1);
  EXPECT_NE(refused.Errors.find("the server's key is"), std::string::npos) << refused.Errors;
  EXPECT_TRUE(Snapshot(site_) == before);
  WriteWholeFile(site_ + "/VersionInfo.txt",
                 before.at("VersionInfo.txt") + "VOXA evil.mxu 999\r\n");
  const Files changed = Snapshot(site_);
  refused = Mxupack({"refresh", site_, "--sign", key, "--expires", "7"});
  EXPECT_EQ(refused.ExitCode, 1);
  EXPECT_NE(refused.Errors.find("the signature of VersionInfo.txt does not check"),
            std::string::npos)
      << refused.Errors;
  EXPECT_TRUE(Snapshot(site_) == changed);
  WriteWholeFile(site_ + "/VersionInfo.txt", before.at("VersionInfo.txt"));

  for (const char* expires : {"7", ""}) {
    SCOPED_TRACE(expires);
    const Files earlier = Snapshot(site_);
    Lines arguments = {"refresh", site_, "--sign", key};
    if (*expires) arguments.insert(arguments.end(), {"--expires", expires});
    ProcessResult refreshed = Mxupack(arguments);
    ASSERT_EQ(refreshed.ExitCode, 0) << refreshed.Errors;
    const Files after = Snapshot(site_);
    Lines names, namesBefore;
    for (const auto& [name, content] : after) names.push_back(name);
    for (const auto& [name, content] : before) namesBefore.push_back(name);
    EXPECT_EQ(names, namesBefore);  // nothing pending or planned is left
    for (const auto& [name, content] : after) {
      const bool renewed = name == "UpdateInfo.txt.minisig" || name == "UpdateServer.lst.minisig" ||
                           name == "VersionInfo.txt.minisig";
      if (!renewed) {
        EXPECT_TRUE(content == before.at(name)) << name << " changed";
        continue;
      }
      const std::string comment = TrustedComment(content);
      const uint64_t timestamp = CommentNumber(comment, "timestamp:");
      EXPECT_NE(content, earlier.at(name));
      EXPECT_GE(timestamp, CommentNumber(TrustedComment(earlier.at(name)), "timestamp:"));
      EXPECT_EQ(CommentNumber(comment, "expires:"), *expires ? timestamp + 7 * 86400 : 0)
          << comment;
    }
    for (const char* file : serverFiles)
      EXPECT_TRUE(MinisignAccepts(file, PublicKeyOf(key))) << file;
  }
}

TEST_F(PublishKeysTest, AStagedReleaseIsHaltedAndResumedInTheSignedCatalogue) {
  const std::string key = build_.SecretKey;
  ProcessResult published =
      Mxupack({"publish", site_, Release("r105", build_.SignedUpdater), "--servers",
               "http://127.0.0.1/site/", "--sign", key, "--rollout", "10"});
  ASSERT_EQ(published.ExitCode, 0) << published.Errors;
  const Files staged = Snapshot(site_);
  const std::string catalogue = staged.at("VersionInfo.txt");
  // The rollout starts at the signing time; the updater's own line has none.
  const std::string start = std::to_string(
      CommentNumber(TrustedComment(staged.at("VersionInfo.txt.minisig")), "timestamp:"));
  const std::string voxaLine = catalogue.substr(catalogue.find("VOXA "));
  EXPECT_NE(voxaLine.find(" rollout=" + start + "/10\r\n"), std::string::npos) << catalogue;
  const std::string updaterLine = catalogue.substr(0, catalogue.find("\r\n") + 2);
  EXPECT_EQ(updaterLine.find("rollout="), std::string::npos) << catalogue;

  ProcessResult halted = Mxupack({"rollout", site_, "--sign", key, "--halt", "1.05"});
  ASSERT_EQ(halted.ExitCode, 0) << halted.Errors;
  const Files after = Snapshot(site_);
  const std::string haltedCatalogue = after.at("VersionInfo.txt");
  EXPECT_EQ(haltedCatalogue.substr(0, updaterLine.size()), updaterLine);
  EXPECT_NE(haltedCatalogue.find(" rollout=halted resume=" + start + "/10\r\n"), std::string::npos)
      << haltedCatalogue;
  EXPECT_TRUE(MinisignAccepts("VersionInfo.txt", PublicKeyOf(key)));
  for (const auto& [name, content] : after) {
    if (name == "VersionInfo.txt" || name == "VersionInfo.txt.minisig") continue;
    EXPECT_TRUE(content == staged.at(name)) << name << " changed";
  }

  // Resumed, the catalogue is the one published, signed anew; resumed once
  // more, it is refused and the folder stays as it is.
  ProcessResult resumed = Mxupack({"rollout", site_, "--sign", key, "--resume", "1.05"});
  ASSERT_EQ(resumed.ExitCode, 0) << resumed.Errors;
  EXPECT_EQ(ReadWholeFile(site_ + "/VersionInfo.txt"), catalogue);
  EXPECT_TRUE(MinisignAccepts("VersionInfo.txt", PublicKeyOf(key)));
  const Files resumedFiles = Snapshot(site_);
  ProcessResult again = Mxupack({"rollout", site_, "--sign", key, "--resume", "1.05"});
  EXPECT_EQ(again.ExitCode, 1);
  EXPECT_NE(again.Errors.find("no halted rollout to resume"), std::string::npos) << again.Errors;
  EXPECT_TRUE(Snapshot(site_) == resumedFiles);
}

TEST_F(PublishKeysTest, AMoveToANewKeyWaitsForTheUpdatersThatCarryIt) {
  const std::string oldKey = build_.SecretKey, newKey = build_.SecondSecretKey;
  const std::string oldPub = PublicKeyOf(oldKey), newPub = PublicKeyOf(newKey);
  const std::string fresh = temp_.Path() + "fresh";
  fs::create_directories(fresh);
  // The server offers the updater of the old key alone.
  ProcessResult first = Mxupack({"publish", site_, Release("r100", build_.SignedUpdater),
                                 "--servers", "http://127.0.0.1/site/", "--sign", oldKey});
  ASSERT_EQ(first.ExitCode, 0) << first.Errors;
  const std::string bothKeys = Release("both", build_.TwoKeyUpdater);
  const std::string oldKeyOnly = Release("old", build_.SignedUpdater);
  const std::string noUpdater = Release("none", "");

  const struct {
    const char* Mistake;
    Lines Arguments;
    const char* Cause;
  } cases[] = {
      {"the catalogue's updater lacks the new key",
       {site_, bothKeys, "--force", "--sign", newKey, "--new-key", newPub},
       "the updater the catalogue offers (Updater-1.00.mxu) takes key"},
      {"the release's updater lacks the new key",
       {site_, oldKeyOnly, "--force", "--sign", newKey, "--new-key", newPub},
       "does not carry this key"},
      {"no updater in the release",
       {site_, noUpdater, "--force", "--sign", newKey, "--new-key", newPub},
       "--new-key needs the release's Updater.exe"},
      {"a public key that is not the signing key's",
       {site_, bothKeys, "--force", "--sign", oldKey, "--new-key", newPub},
       "is not the public half of --sign"},
      {"the server's own key",
       {site_, bothKeys, "--force", "--sign", oldKey, "--new-key", oldPub},
       "is the server's key already"},
      {"no signing key",
       {site_, bothKeys, "--force", "--new-key", newPub},
       "the server folder is signed"},
      {"the new key without --new-key",
       {site_, bothKeys, "--force", "--sign", newKey},
       "the server's key is"},
      {"a server not signed yet",
       {fresh, bothKeys, "--servers", "http://127.0.0.1/fresh/", "--sign", newKey, "--new-key",
        newPub},
       "not signed yet"},
  };
  const Files siteBefore = Snapshot(site_);
  for (const auto& c : cases) {
    SCOPED_TRACE(c.Mistake);
    Lines arguments = {"publish"};
    arguments.insert(arguments.end(), c.Arguments.begin(), c.Arguments.end());
    ProcessResult result = Mxupack(arguments);
    EXPECT_EQ(result.ExitCode, 1) << result.Errors;
    EXPECT_NE(result.Errors.find(c.Cause), std::string::npos) << result.Errors;
    EXPECT_TRUE(Snapshot(site_) == siteBefore) << "the server folder changed";
    EXPECT_TRUE(fs::is_empty(fresh)) << "the new folder changed";
  }

  // Step one: with the old key, the updater of both keys; step two, the move.
  ProcessResult prepared = Mxupack({"publish", site_, bothKeys, "--force", "--sign", oldKey});
  ASSERT_EQ(prepared.ExitCode, 0) << prepared.Errors;
  ASSERT_TRUE(fs::exists(site_ + "/Updater-1.01.mxu"));
  ProcessResult moved =
      Mxupack({"publish", site_, bothKeys, "--force", "--sign", newKey, "--new-key", newPub});
  ASSERT_EQ(moved.ExitCode, 0) << moved.Errors;
  EXPECT_EQ(ReadWholeFile(site_ + "/publisher.pub")
                .substr(ReadWholeFile(site_ + "/publisher.pub").find('\n')),
            ReadWholeFile(newPub).substr(ReadWholeFile(newPub).find('\n')));
  // Every signed file is the new key's now, the old updater's package too.
  size_t signatures = 0;
  for (const auto& [name, content] : Snapshot(site_)) {
    if (fs::path(name).extension() != ".minisig") continue;
    const std::string file = name.substr(0, name.size() - 8);
    EXPECT_TRUE(MinisignAccepts(file, newPub)) << file;
    EXPECT_FALSE(MinisignAccepts(file, oldPub)) << file;
    ++signatures;
  }
  EXPECT_EQ(signatures, 7u);  // two updaters, VOXA, the key, the three server files
  // The old key is the server's no more; the new one goes on.
  ProcessResult oldAgain = Mxupack({"publish", site_, bothKeys, "--force", "--sign", oldKey});
  EXPECT_EQ(oldAgain.ExitCode, 1);
  EXPECT_NE(oldAgain.Errors.find("the server's key is"), std::string::npos) << oldAgain.Errors;
  ProcessResult again = Mxupack({"publish", site_, bothKeys, "--force", "--sign", newKey});
  EXPECT_EQ(again.ExitCode, 0) << again.Errors;
}

}  // namespace
}  // namespace updater::testing

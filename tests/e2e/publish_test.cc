// The publisher's side, running the real mxupack: every publisher mistake is
// refused and leaves the server folder as it was, byte for byte; a publish
// killed at each of its renames is finished (or undone) by the next run or
// by repair, into a folder that the keyed updater takes from nginx; and a
// release too large for one package is published as several of one version.
#include <gtest/gtest.h>

#include <algorithm>
#include <filesystem>
#include <functional>
#include <map>
#include <sstream>

#include "e2e/builds.h"
#include "e2e/process_runner.h"
#include "e2e/web_server.h"
#include "support/temp_folder.h"

namespace updater::testing {
namespace {

namespace fs = std::filesystem;
using Lines = std::vector<std::string>;
using Files = std::map<std::string, std::string>;  // relative path -> content

// Every file and link below `folder`: relative path to content, a link as
// "-> " and its target.
Files Snapshot(const std::string& folder) {
  Files files;
  for (const auto& entry : fs::recursive_directory_iterator(folder)) {
    const std::string relative = fs::relative(entry.path(), folder).generic_string();
    if (entry.is_symlink())
      files[relative] = "-> " + fs::read_symlink(entry.path()).string();
    else if (entry.is_regular_file())
      files[relative] = ReadWholeFile(entry.path().string());
  }
  return files;
}

// A catalogue's text with every line cut to its first three fields: name,
// package and version, without the facts about the package.
std::string WithoutFacts(const std::string& catalogue) {
  std::istringstream lines(catalogue);
  std::string text;
  for (std::string line; std::getline(lines, line);) {
    size_t end = 0;
    for (int field = 0; field < 3 && end != std::string::npos; ++field)
      end = line.find(' ', line.find_first_not_of(' ', end));
    text += line.substr(0, end == std::string::npos ? line.find('\r') : end) + "\r\n";
  }
  return text;
}

bool HasLine(const std::string& output, const std::string& line) {
  std::istringstream lines(output);
  for (std::string each; std::getline(lines, each);)
    if (each == line) return true;
  return false;
}

class PublishTest : public ::testing::Test {
 protected:
  void SetUp() override {
    build_ = PosixBuild();
    www_ = temp_.Path() + "www/";
    for (const char* folder : {"site", "fresh", "posix", "windows"})
      fs::create_directories(www_ + folder);
  }

  // A release folder `name` with `files` (a content of "->TARGET" makes a
  // link to TARGET).
  std::string Release(const std::string& name, const Files& files) {
    const std::string folder = temp_.Path() + name + "/";
    fs::remove_all(folder);
    fs::create_directories(folder);
    for (const auto& [file, content] : files) {
      const fs::path path = folder + file;
      fs::create_directories(path.parent_path());
      if (content.rfind("->", 0) == 0)
        fs::create_symlink(content.substr(2), path);
      else
        WriteWholeFile(path.string(), content);
    }
    return folder;
  }

  Files Voxa105() {
    return {{"VOXA.exe", ReadWholeFile(build_.Voxa105)},
            {"Readme.txt", "1.05"},
            {"Data/Maps/Forest.dat", std::string(50000, 't')}};
  }

  ProcessResult Mxupack(const Lines& arguments) {
    Lines command = {MXUPACK};
    command.insert(command.end(), arguments.begin(), arguments.end());
    return RunProcess(command, temp_.Path());
  }

  // A key pair of its own, which no build carries.
  std::string OtherKey() {
    const std::string key = temp_.Path() + "other.key";
    if (!fs::exists(key)) {
      ProcessResult made = RunProcess(
          {MINISIGN, "-G", "-W", "-p", temp_.Path() + "other.pub", "-s", key}, temp_.Path());
      EXPECT_EQ(made.ExitCode, 0) << made.Errors;
    }
    return key;
  }

  Build build_;
  TempFolder temp_;
  std::string www_;
};

TEST_F(PublishTest, PublisherMistakesAreRefusedAndLeaveTheFolderAsItWas) {
  // A signed server with 1.05, and a new folder.
  const std::string site = www_ + "site", fresh = www_ + "fresh";
  const std::string key = build_.SecretKey;
  ProcessResult first =
      Mxupack({"publish", site, Release("first", Voxa105()), "--servers", "http://127.0.0.1/site/",
               "https://mirror.example/voxa/", "--sign", key});
  ASSERT_EQ(first.ExitCode, 0) << first.Errors;
  ASSERT_EQ(ReadWholeFile(site + "/UpdateServer.lst"),
            "http://127.0.0.1/site/\r\nhttps://mirror.example/voxa/\r\n");
  fs::create_directories(temp_.Path() + "outside");
  WriteWholeFile(temp_.Path() + "outside/secret.txt", "the publisher's secret");
  const Build windows = WindowsBuild();

  struct Case {
    const char* Mistake;
    std::function<Files(Files)> Change;  // of the release of 1.05
    Lines Options;                       // after SERVER_DIR RELEASE_DIR
    const char* Cause;                   // in the message
    bool Fresh = false;                  // into the new folder
  } cases[] = {
      {"no --sign on a signed server", nullptr, {"--force"}, "the server folder is signed"},
      {"another key", nullptr, {"--force", "--sign", OtherKey()}, "the server's key is"},
      {"--new-key of the server's own key",
       nullptr,
       {"--force", "--sign", key, "--new-key",
        fs::path(key).replace_filename("minisign.pub").string()},
       "is the server's key already"},
      {"an Updater.exe built without a key",
       [&](Files f) {
         f["Updater.exe"] = ReadWholeFile(build_.Updater);
         return f;
       },
       {"--force", "--sign", key},
       "does not carry this key"},
      {"a newer Updater.exe built without a key",
       [&](Files f) {
         f["Updater.exe"] = ReadWholeFile(build_.NextUpdater);
         return f;
       },
       {"--force", "--sign", key},
       "built without -DUPDATER_PUBLIC_KEY"},
      {"an Updater.exe that is no updater",
       [&](Files f) {
         f["Updater.exe"] = ReadWholeFile(build_.Voxa105);
         return f;
       },
       {"--force", "--sign", key},
       "does not say which key it takes"},
      {"a keyed Updater.exe published unsigned",
       [&](Files f) {
         f["Updater.exe"] = ReadWholeFile(build_.SignedUpdater);
         return f;
       },
       {},
       "publish with --sign",
       true},
      {"an older version",
       [&](Files f) {
         f["VOXA.exe"] = ReadWholeFile(build_.Voxa100);
         return f;
       },
       {"--sign", key},
       "below the catalogue's newest VOXA line (1.05)"},
      {"the same version without --force", nullptr, {"--sign", key}, "--force replaces"},
      {"no VOXA.exe",
       [](Files f) {
         f.erase("VOXA.exe");
         return f;
       },
       {"--force", "--sign", key},
       "has no VOXA.exe"},
      {"no UpdateServer.lst and no --servers", nullptr, {}, "has no UpdateServer.lst", true},
      {"an expiry without a signature",
       nullptr,
       {"--servers", "http://127.0.0.1/fresh/", "--expires", "30"},
       "--expires needs --sign",
       true},
      {"a server URL the updater does not take",
       nullptr,
       {"--force", "--sign", key, "--servers", "ftp://127.0.0.1/site/"},
       "not a server URL"},
  };
  std::vector<Case> all(std::begin(cases), std::end(cases));
  // Names that installations could not take, and links.
  const std::pair<const char*, const char*> names[] = {
      {"a:b.txt", "the character :"},      {"x\\..\\..\\evil.txt", "the character \\"},
      {"...", "ends with a dot"},          {"Data/trailing ", "ends with a dot or a space"},
      {"Data/con.txt", "device name con"}, {"tab\there", "control character"},
      {"readme.TXT", "names alike"},
  };
  for (const auto& [name, cause] : names) {
    const std::string file = name;
    all.push_back({name,
                   [file](Files f) {
                     f[file] = "x";
                     return f;
                   },
                   {"--force", "--sign", key},
                   cause});
  }
  const std::string outside = temp_.Path() + "outside";
  all.push_back({"a link to a secret outside the release",
                 [&](Files f) {
                   f["Data/notes.txt"] = "->" + outside + "/secret.txt";
                   return f;
                 },
                 {"--force", "--sign", key},
                 "a link in the release: Data/notes.txt"});
  all.push_back({"a linked folder",
                 [&](Files f) {
                   f["Extra"] = "->" + outside;
                   return f;
                 },
                 {"--force", "--sign", key},
                 "a link in the release: Extra"});
  if (BuildAvailable(windows)) {
    // The Windows tree's keyed updater, a PE file, carries that tree's key.
    all.push_back({"a Windows Updater.exe of another key",
                   [&](Files f) {
                     f["Updater.exe"] = ReadWholeFile(windows.SignedUpdater);
                     return f;
                   },
                   {"--force", "--sign", key},
                   "does not carry this key"});
  }

  const Files siteBefore = Snapshot(site), freshBefore = Snapshot(fresh);
  for (const Case& c : all) {
    SCOPED_TRACE(c.Mistake);
    const std::string release = Release("mistake", c.Change ? c.Change(Voxa105()) : Voxa105());
    Lines arguments = {"publish", c.Fresh ? fresh : site, release};
    arguments.insert(arguments.end(), c.Options.begin(), c.Options.end());
    ProcessResult result = Mxupack(arguments);
    EXPECT_EQ(result.ExitCode, 1) << result.Output << result.Errors;
    EXPECT_NE(result.Errors.find(c.Cause), std::string::npos) << result.Errors;
    EXPECT_TRUE(Snapshot(site) == siteBefore) << "the server folder changed";
    EXPECT_TRUE(Snapshot(fresh) == freshBefore) << "the new folder changed";
  }

  // Each build's keyed updater, PE or ELF, is taken with its own key; and a
  // link is taken on purpose with --follow-links.
  std::vector<Build> builds = {build_};
  if (BuildAvailable(windows)) builds.push_back(windows);
  for (const Build& build : builds) {
    SCOPED_TRACE(build.Name);
    Files release = Voxa105();
    release["Updater.exe"] = ReadWholeFile(build.SignedUpdater);
    release["Data/notes.txt"] = "->" + outside + "/secret.txt";
    const std::string folder = www_ + build.Name;
    ProcessResult published =
        Mxupack({"publish", folder, Release("keyed", release), "--sign", build.SecretKey,
                 "--servers", "http://127.0.0.1/", "--follow-links"});
    EXPECT_EQ(published.ExitCode, 0) << published.Errors;
    EXPECT_EQ(WithoutFacts(ReadWholeFile(folder + "/VersionInfo.txt")),
              "updater Updater-1.00.mxu 100\r\nVOXA VOXA-1.05.mxu 105\r\n");
  }
}

// The keyed updater of the POSIX build, installed at 1.00, runs against the
// server folder `site` served at `base`: it updates to what the catalogue
// offers, or finds nothing new, and reports no error.
void ExpectTheKeyedUpdaterTakesIt(const Build& build, const std::string& program,
                                  const std::string& site, const std::string& base) {
  fs::remove_all(program);
  fs::create_directories(program + "Update");
  fs::copy_file(build.SignedUpdater, program + "Updater.exe");
  fs::copy_file(build.Voxa100, program + "VOXA.exe");
  WriteWholeFile(program + "UpdateServer.lst", base + "\r\n");
  ProcessResult run = RunProcess({program + "Updater.exe", "-dontask"}, program, "", 120);
  EXPECT_EQ(run.ExitCode, 0);
  EXPECT_EQ(run.Output.find("Error"), std::string::npos) << run.Output;
  const bool offered =
      ReadWholeFile(site + "VersionInfo.txt").find("VOXA-1.05.mxu 105") != std::string::npos;
  EXPECT_TRUE(HasLine(run.Output, offered ? "Update finished." : "0 updates available."))
      << run.Output;
  EXPECT_TRUE(ReadWholeFile(program + "VOXA.exe") ==
              ReadWholeFile(offered ? build.Voxa105 : build.Voxa100));
}

TEST_F(PublishTest, APublishKilledAtEachRenameIsFinishedByTheNextRun) {
  if (!fs::exists(STRACE)) GTEST_SKIP() << "no strace";
  WebServer server(www_);
  ASSERT_TRUE(server.Running()) << "nginx did not start";
  const std::string site = www_ + "site/", base = server.BaseURL() + "site/";
  const std::string program = temp_.Path() + "VOXA app/";
  const std::string r100 = Release("r100", {{"VOXA.exe", ReadWholeFile(build_.Voxa100)}});
  const std::string r105 = Release("r105", Voxa105());
  const Lines publish105 = {"publish", site, r105, "--servers", base, "--sign", build_.SecretKey};
  ProcessResult first =
      Mxupack({"publish", site, r100, "--servers", base, "--sign", build_.SecretKey});
  ASSERT_EQ(first.ExitCode, 0) << first.Errors;
  fs::copy(site, temp_.Path() + "site-1.00", fs::copy_options::recursive);

  int renames = 0;
  for (int n = 1; n < 30; ++n) {
    SCOPED_TRACE("killed at rename " + std::to_string(n));
    fs::remove_all(site);
    fs::copy(temp_.Path() + "site-1.00", site, fs::copy_options::recursive);
    // (The leak check of a sanitizer build cannot run under ptrace.)
    Lines command = {"/usr/bin/env",
                     "ASAN_OPTIONS=detect_leaks=0",
                     STRACE,
                     "-f",
                     "-qq",
                     "-o",
                     "/dev/null",
                     "-e",
                     "inject=rename:signal=KILL:when=" + std::to_string(n),
                     MXUPACK};
    command.insert(command.end(), publish105.begin(), publish105.end());
    ProcessResult killed = RunProcess(command, temp_.Path());
    if (killed.ExitCode == 0) break;  // past the last rename
    ASSERT_EQ(killed.ExitCode, -1) << killed.Output << killed.Errors;
    renames = n;
    // Then the next publish (of the same release again) or a repair, which
    // finish the publish once its plan is in place (the first rename), and
    // undo it before.
    const bool repair = n % 2 == 1;
    ProcessResult next = repair ? Mxupack({"repair", site}) : [&] {
      Lines again = publish105;
      again.push_back("--force");
      return Mxupack(again);
    }();
    ASSERT_EQ(next.ExitCode, 0) << next.Errors;
    for (const auto& [name, content] : Snapshot(site))
      EXPECT_EQ(name.find(".~publish"), std::string::npos) << name;
    EXPECT_FALSE(fs::exists(site + "Publish.plan"));
    EXPECT_EQ(
        WithoutFacts(ReadWholeFile(site + "VersionInfo.txt")),
        std::string("VOXA VOXA-1.00.mxu 100\r\n") +
            (repair && n == 1 ? ""
                              : "VOXA VOXA-1.05-from-1.00.mxu 105\r\nVOXA VOXA-1.05.mxu 105\r\n"));
    ExpectTheKeyedUpdaterTakesIt(build_, program, site, base);
  }
  // The file of 1.00 unpacked to make the delta from it, the plan, the
  // package and its signature, the delta and its signature, the list and its
  // signature, the catalogue and its signature.
  EXPECT_EQ(renames, 10);
}

TEST_F(PublishTest, FiveThousandFilesArePublishedAsSeveralPackagesOfOneVersion) {
  Files release = Voxa105();
  for (int i = 0; i < 5000; ++i)
    release["Data/Folder " + std::to_string(i % 40) + "/a file with a longer name " +
            std::to_string(i) + ".dat"] = i == 1234 ? "" : "content " + std::to_string(i);
  WebServer server(www_);
  ASSERT_TRUE(server.Running()) << "nginx did not start";
  const std::string site = www_ + "site/", base = server.BaseURL() + "site/";
  ProcessResult published = Mxupack(
      {"publish", site, Release("many", release), "--servers", base, "--sign", build_.SecretKey});
  ASSERT_EQ(published.ExitCode, 0) << published.Errors;

  std::istringstream catalogue(WithoutFacts(ReadWholeFile(site + "VersionInfo.txt")));
  Lines packages;
  for (std::string line; std::getline(catalogue, line);) {
    ASSERT_EQ(line, "VOXA VOXA-1.05-" + std::to_string(packages.size() + 1) + ".mxu 105\r");
    packages.push_back(site + "VOXA-1.05-" + std::to_string(packages.size() + 1) + ".mxu");
  }
  EXPECT_GE(packages.size(), 4u);
  Files listed;
  for (const std::string& package : packages) {
    ProcessResult list = Mxupack({"list", package});
    ASSERT_EQ(list.ExitCode, 0) << list.Errors;
    std::istringstream lines(list.Output);
    for (std::string line; std::getline(lines, line);) {
      if (line.find('\t') == std::string::npos || line.rfind("name\t", 0) == 0) continue;
      std::string name = line.substr(0, line.find('\t'));
      std::replace(name.begin(), name.end(), '\\', '/');
      EXPECT_TRUE(listed.emplace(name, line.substr(line.find('\t') + 1)).second) << name;
    }
    EXPECT_EQ(Mxupack({"verify", package}).ExitCode, 0) << package;
    ProcessResult checked = RunProcess(
        {MINISIGN, "-V", "-q", "-p",
         fs::path(build_.SecretKey).replace_filename("minisign.pub").string(), "-m", package},
        temp_.Path());
    EXPECT_EQ(checked.ExitCode, 0) << checked.Errors;
  }
  EXPECT_EQ(listed.size(), release.size());
  for (const auto& [name, content] : release) EXPECT_EQ(listed.count(name), 1u) << name;
  EXPECT_EQ(listed["Data/Folder 34/a file with a longer name 1234.dat"].rfind("stored\t0\t0\t", 0),
            0u)
      << "the empty file";

  // An installation of 1.00 takes the release, its packages as one: killed
  // at a rename early in its apply, in the middle and near the end, the next
  // run ends with the release file for file, and nothing of the apply stays.
  if (!fs::exists(STRACE)) GTEST_SKIP() << "no strace";
  const std::string program = temp_.Path() + "VOXA app/";
  for (int killAt : {1, 2500, 4990}) {
    SCOPED_TRACE("killed at rename " + std::to_string(killAt));
    fs::remove_all(program);
    fs::create_directories(program + "Update");
    fs::copy_file(build_.SignedUpdater, program + "Updater.exe");
    fs::copy_file(build_.Voxa100, program + "VOXA.exe");
    WriteWholeFile(program + "UpdateServer.lst", base + "\r\n");
    ProcessResult killed =
        RunProcess({"/usr/bin/env", "ASAN_OPTIONS=detect_leaks=0", STRACE, "-f", "-qq", "-o",
                    "/dev/null", "-e", "inject=rename:signal=KILL:when=" + std::to_string(killAt),
                    program + "Updater.exe", "-dontask"},
                   program, "", 300);
    EXPECT_EQ(killed.ExitCode, -1) << killed.Output;
    ProcessResult next = RunProcess({program + "Updater.exe", "-dontask"}, program, "", 300);
    EXPECT_EQ(next.ExitCode, 0) << next.Output;
    EXPECT_EQ(next.Output.find("Error"), std::string::npos) << next.Output;
    Files installed = Snapshot(program);
    for (const char* own : {"Updater.exe", "UpdateServer.lst"}) installed.erase(own);
    for (auto file = installed.begin(); file != installed.end();)
      file = file->first.rfind("Update/", 0) == 0 ? installed.erase(file) : std::next(file);
    EXPECT_EQ(installed.size(), release.size());
    EXPECT_TRUE(installed == release) << "the installation is not the release file for file";
    // (An order file may stay behind a transaction that a recovery finished:
    // it names packages that are gone, which an apply passes over.)
    for (const auto& [name, content] : Snapshot(program + "Update"))
      EXPECT_TRUE(name == "Updater.log" || name == "Updater.lock" || name == "Packages.order" ||
                  name.rfind("VersionInfo.", 0) == 0 || name.rfind("UpdateServer.", 0) == 0)
          << "left in Update: " << name;
  }
}

}  // namespace
}  // namespace updater::testing

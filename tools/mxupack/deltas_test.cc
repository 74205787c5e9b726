// Delta packages as publish writes them: releases 1.00, 1.05 and 1.10 of a
// program folder published one after the other, the catalogue's lines and
// facts, each delta applied by the updater's own apply over a copy of its
// old release, and the options that change which deltas there are.
#include "mxupack/deltas.h"

#include <gtest/gtest.h>

#include <sys/wait.h>
#include <unistd.h>

#include <cstdlib>
#include <filesystem>
#include <sstream>

#include "mxupack/publish.h"
#include "mxupack/scratch_folder.h"
#include "packages/apply_updates.h"
#include "packages/package_reader.h"
#include "protocol/catalogue.h"
#include "protocol/crypto.h"
#include "protocol/update_path.h"
#include "support/recording_report.h"
#include "support/temp_folder.h"
#include "system/platform.h"
#include "system/update_folder.h"

namespace updater::mxupack {
namespace {

namespace fs = std::filesystem;
using testing::ReadWholeFile;
using testing::WriteWholeFile;
using Files = std::map<std::string, std::string>;  // relative path -> content

// The demo program with its version note set to `version` (hundredths) and
// `extra` bytes of its own appended: a changed executable of each release.
std::string ProgramOf(int64_t version, const std::string& extra) {
  std::string program = ReadWholeFile(VOXA_PROGRAM);
  const std::string note("\x05\0\0\0\x08\0\0\0\x01\0\0\0VOXA\0\0\0\0", 20);
  const size_t at = program.find(note);
  EXPECT_NE(at, std::string::npos) << "no version note in " << VOXA_PROGRAM;
  if (at == std::string::npos) return program;
  const uint32_t ms = (static_cast<uint32_t>(version / 100) << 16) | (version % 100);
  for (int i = 0; i < 4; ++i) program[at + 20 + i] = static_cast<char>(ms >> (8 * i));
  return program + extra;
}

std::string Lines(const std::string& word, int count) {
  std::string text;
  for (int i = 0; i < count; ++i) text += word + " line " + std::to_string(i) + "\r\n";
  return text;
}

// Each release: a changed program, a changed text, a new file, a removed
// one, an unchanged one, and an empty one.
Files Release(int64_t version) {
  Files files = {{"VOXA.exe", ProgramOf(version, Lines("program " + std::to_string(version), 50))},
                 {"Readme.txt", Lines("readme", 3000) + "version " + std::to_string(version)},
                 {"Data/Same.dat", Lines("never changes", 2000)},
                 {"Data/Empty.txt", ""}};
  files["Data/Added-" + std::to_string(version) + ".txt"] = Lines(std::to_string(version), 500);
  return files;
}

Files Snapshot(const std::string& folder) {
  Files files;
  for (const auto& entry : fs::recursive_directory_iterator(folder))
    if (entry.is_regular_file())
      files[fs::relative(entry.path(), folder).generic_string()] =
          ReadWholeFile(entry.path().string());
  return files;
}

// The entries of a package: name -> method.
std::map<std::string, PackageMethod> Methods(const std::string& path) {
  std::map<std::string, PackageMethod> methods;
  std::unique_ptr<File> file = RealPlatform().Files.OpenRead(path, false, nullptr);
  PackageHeader header;
  std::vector<DirectoryEntry> entries;
  std::string why;
  EXPECT_TRUE(file && ReadPackageDirectory(*file, &header, &entries, &why)) << path << why;
  for (const DirectoryEntry& entry : entries) methods[entry.Name] = entry.Method;
  return methods;
}

class DeltaPublishTest : public ::testing::Test {
 protected:
  std::string Server() const { return temp_.Path() + "server/"; }

  std::string WriteRelease(int64_t version) {
    const std::string folder = temp_.Path() + "release-" + std::to_string(version) + "/";
    fs::remove_all(folder);
    for (const auto& [name, content] : Release(version)) {
      fs::create_directories(fs::path(folder + name).parent_path());
      WriteWholeFile(folder + name, content);
    }
    return folder;
  }

  // Publishes release `version`; the error, or empty.
  std::string Publish(int64_t version, int deltas, bool force = false, int64_t largest = 0,
                      int64_t since = 0) {
    PublishOptions options;
    options.ServerFolder = Server();
    options.ReleaseFolder = WriteRelease(version);
    options.Servers = {"http://127.0.0.1/"};
    options.Deltas = deltas;
    options.Force = force;
    options.LargestPackage = largest;
    if (since > 0) options.SinceFolder = WriteRelease(since);
    options.Timestamp = 1700000000;
    std::ostringstream out;
    std::string error;
    fs::create_directories(Server());
    const bool published = mxupack::Publish(options, out, &error);
    output_ = out.str();
    return published ? "" : "failed: " + error;
  }

  std::string output_;  // what the last Publish told

  // The catalogue's main-program lines, each as "package version from".
  std::vector<std::string> MainLines(Catalogue* catalogue) {
    EXPECT_GT(ParseCatalogue(ReadWholeFile(Server() + "VersionInfo.txt"), catalogue), 0);
    std::vector<std::string> lines;
    for (const UpdateEntry& entry : *catalogue) {
      lines.push_back(entry.PackageFile + " " + std::to_string(entry.Version) +
                      (entry.Facts.From ? " " + std::to_string(*entry.Facts.From) : ""));
      // Every line says its package's size and BLAKE2b-256, as written.
      const std::string content = ReadWholeFile(Server() + entry.PackageFile);
      std::array<uint8_t, 32> digest;
      std::string error;
      EXPECT_TRUE(Blake2b256(content, &digest, &error)) << error;
      EXPECT_EQ(entry.Facts.Size, static_cast<int64_t>(content.size())) << entry.PackageFile;
      EXPECT_EQ(entry.Facts.Blake2b, digest) << entry.PackageFile;
      EXPECT_EQ(entry.Facts.Malformed, 0) << entry.PackageFile;
    }
    return lines;
  }

  // Applies the packages `packages` (one transaction) with the updater's
  // apply over a copy of release `from`; the files it then holds.
  Files Apply(int64_t from, const std::vector<std::string>& packages) {
    const std::string program = temp_.Path() + "program/";
    fs::remove_all(program);
    fs::copy(WriteRelease(from), program, fs::copy_options::recursive);
    fs::create_directories(program + "Update");
    for (const std::string& package : packages)
      fs::copy_file(Server() + package, program + "Update/" + package);
    WriteWholeFile(program + "Update/" + kPackageOrderFile, EncodePackageOrder({packages}));
    testing::RecordingReport report;
    PackageReader reader(RealPlatform().Files, report);
    InitPackageReader(reader, 0);
    EXPECT_TRUE(ApplyUpdates(reader, program));
    Files files = Snapshot(program);
    for (auto it = files.begin(); it != files.end();)
      it = it->first.rfind("Update/", 0) == 0 ? files.erase(it) : std::next(it);
    return files;
  }

  testing::TempFolder temp_;
};

TEST_F(DeltaPublishTest, EachOlderReleaseGetsADeltaThatMakesTheNewTree) {
  for (int64_t version : {100, 105, 110}) ASSERT_EQ(Publish(version, 3), "") << version;
  // Each delta, which takes a while, is announced, the newest source first.
  EXPECT_NE(output_.find("making the delta from 1.05\nmaking the delta from 1.00\n"),
            std::string::npos)
      << output_;
  Catalogue catalogue;
  // The full lines last among their version's: an updater that applies a
  // version's lines together lets them win over every patch.
  EXPECT_EQ(MainLines(&catalogue),
            (std::vector<std::string>{"VOXA-1.00.mxu 100", "VOXA-1.05-from-1.00.mxu 105 100",
                                      "VOXA-1.05.mxu 105", "VOXA-1.10-from-1.05.mxu 110 105",
                                      "VOXA-1.10-from-1.00.mxu 110 100", "VOXA-1.10.mxu 110"}));

  const struct {
    int64_t From, To;
    const char* Delta;
  } deltas[] = {{100, 105, "VOXA-1.05-from-1.00.mxu"},
                {105, 110, "VOXA-1.10-from-1.05.mxu"},
                {100, 110, "VOXA-1.10-from-1.00.mxu"}};
  for (const auto& d : deltas) {
    SCOPED_TRACE(d.Delta);
    const std::string added = "Data\\Added-" + std::to_string(d.To) + ".txt";
    const std::string gone = "Data\\Added-" + std::to_string(d.From) + ".txt";
    EXPECT_EQ(Methods(Server() + d.Delta),
              (std::map<std::string, PackageMethod>{{"VOXA.exe", PackageMethod::Patch},
                                                    {"Readme.txt", PackageMethod::Patch},
                                                    {added, PackageMethod::Zlib},
                                                    {gone, PackageMethod::Remove}}));
    Files expected = Release(d.To);
    EXPECT_TRUE(Apply(d.From, {d.Delta}) == expected) << "the delta alone";
    // An updater that takes every line of the version applies them together.
    std::vector<std::string> version;
    for (const UpdateEntry& entry : catalogue)
      if (entry.Version == d.To) version.push_back(entry.PackageFile);
    EXPECT_TRUE(Apply(d.From, version) == expected) << "all lines of the version";
  }
  // The updater that reads the facts takes the one delta from where it is,
  // and the full package over nothing.
  const struct {
    int64_t Installed;
    const char* Package;
  } paths[] = {
      {100, "VOXA-1.10-from-1.00.mxu"}, {105, "VOXA-1.10-from-1.05.mxu"}, {0, "VOXA-1.10.mxu"}};
  for (const auto& p : paths) {
    const UpdatePath path = ChooseUpdatePath(catalogue, p.Installed, false);
    ASSERT_EQ(path.Steps.size(), 1u) << p.Installed;
    ASSERT_EQ(path.Steps[0].size(), 1u) << p.Installed;
    EXPECT_EQ(path.Steps[0][0].PackageFile, p.Package);
  }
}

TEST_F(DeltaPublishTest, OptionsChooseTheDeltas) {
  // A package limit that holds the largest patch and little more: deltas
  // split like full packages, their parts of one version and from=.
  const int64_t split =
      LargestPackedSize(PackageMethod::Patch,
                        static_cast<int64_t>(Release(110).at("Readme.txt").size())) +
      1000;
  const struct {
    const char* Name;
    int Deltas;
    bool Republish;                     // 1.10 first with one delta, then again with --force
    int64_t Largest;                    // package limit, 0: the format's
    int64_t Since;                      // --since that release, 0: none
    std::vector<std::string> Lines110;  // package and from of the 1.10 lines
  } cases[] = {
      {"none", 0, false, 0, 0, {"VOXA-1.10.mxu"}},
      {"only the newest", 1, false, 0, 0, {"VOXA-1.10-from-1.05.mxu 105", "VOXA-1.10.mxu"}},
      {"republished: the version's lines replaced",
       2,
       true,
       0,
       0,
       {"VOXA-1.10-from-1.05.mxu 105", "VOXA-1.10-from-1.00.mxu 100", "VOXA-1.10.mxu"}},
      {"split", 1, false, split, 0, {}},
      // The changes since 1.05 apply over 1.05 only; no deltas then.
      {"since", 3, false, 0, 105, {"VOXA-1.10-since-1.05.mxu 105"}},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.Name);
    fs::remove_all(Server());
    for (int64_t version : {100, 105}) ASSERT_EQ(Publish(version, 3, false, c.Largest), "");
    ASSERT_EQ(Publish(110, c.Republish ? 1 : c.Deltas, false, c.Largest, c.Since), "");
    if (c.Republish) {
      ASSERT_EQ(Publish(110, c.Deltas, true, c.Largest), "");
    }
    Catalogue catalogue;
    std::vector<std::string> lines110;
    size_t deltaParts = 0, fullParts = 0;
    for (const std::string& line : MainLines(&catalogue)) {
      if (line.find(" 110") == std::string::npos) continue;
      std::string shown = line;
      shown.erase(shown.find(" 110"), 4);
      lines110.push_back(shown);
      ++(shown.find("-from-") != std::string::npos ? deltaParts : fullParts);
    }
    std::vector<std::string> expected = c.Lines110;
    if (c.Largest > 0) {
      EXPECT_GE(deltaParts, 2u);
      EXPECT_GE(fullParts, 2u);
      for (size_t i = 1; i <= deltaParts; ++i)
        expected.push_back(DeltaPackageName(110, 105, i, deltaParts) + " 105");
      for (size_t i = 1; i <= fullParts; ++i)
        expected.push_back(ReleasePackageName(110, 0, i, fullParts));
    }
    EXPECT_EQ(lines110, expected);
    for (const auto& entry : fs::directory_iterator(Server()))
      EXPECT_EQ(entry.path().filename().string().find(".~publish"), std::string::npos);
    // A delta of several parts applies as one step; without deltas the full
    // package does.
    std::vector<std::string> delta;
    for (const UpdateEntry& entry : catalogue)
      if (entry.Version == 110 && entry.Facts.From.value_or(105) == 105 &&
          (!entry.Facts.From) == (c.Deltas == 0))
        delta.push_back(entry.PackageFile);
    Files files = Release(110);
    // Only a delta removes the file gone; a full package or one of the
    // changes leaves it.
    if (c.Since || c.Deltas == 0)
      files["Data/Added-105.txt"] = Release(105).at("Data/Added-105.txt");
    ASSERT_FALSE(delta.empty());
    EXPECT_TRUE(Apply(105, delta) == files);
  }
}

TEST(DeltaEntriesTest, PatchOnlyWhereItIsSmaller) {
  testing::TempFolder temp;
  const Files oldFiles = {{"Same", "same"}, {"Changed", "old"}, {"Big", "old big"},
                          {"CASE", "case"}, {"Gone", "gone"},   {"Gone2", "gone too"}};
  const Files newFiles = {
      {"Same", "same"}, {"Changed", "new"}, {"Big", "new big"}, {"case", "case"}, {"New", "new"}};
  std::map<std::string, std::string> oldPaths, newPaths;
  for (const auto& [name, content] : oldFiles) {
    WriteWholeFile(temp.Path() + "old-" + name, content);
    oldPaths[name] = temp.Path() + "old-" + name;
  }
  for (const auto& [name, content] : newFiles) {
    WriteWholeFile(temp.Path() + "new-" + name, content);
    newPaths[name] = temp.Path() + "new-" + name;
  }
  DeltaMeasures measures;
  measures.PatchSize = [](const std::string& oldPath, const std::string&) {
    return oldPath.find("Big") != std::string::npos ? int64_t{500} : int64_t{40};
  };
  measures.PackedSize = [](const std::string&) { return int64_t{100}; };
  std::vector<std::string> shown;
  for (const EntryInput& entry : DeltaEntries(oldPaths, newPaths, PackageMethod::Zlib, measures)) {
    ASSERT_EQ(entry.Variants.size(), 1u);
    const VariantInput& variant = entry.Variants[0];
    shown.push_back(entry.Name + " " + MethodName(*entry.DataMethod) + " " +
                    fs::path(variant.FilePath).filename().string() + " " +
                    fs::path(variant.ReferencePath).filename().string());
  }
  EXPECT_EQ(shown,
            (std::vector<std::string>{"Big zlib new-Big ", "Changed patch new-Changed old-Changed",
                                      "New zlib new-New ", "Gone remove  ", "Gone2 remove  "}));
}

// The scratch folders of an mxupack that was killed (its process is gone)
// are removed by the next one that makes a folder; those of running
// processes and other files stay, and a folder goes with its owner.
TEST(ScratchFolderTest, FoldersOfKilledRunsAreRemovedByTheNext) {
  testing::TempFolder temp;
  const char* saved = std::getenv("TMPDIR");
  const std::string savedValue = saved ? saved : "";
  ASSERT_EQ(setenv("TMPDIR", temp.Path().c_str(), 1), 0);
  const pid_t child = fork();
  if (child == 0) _exit(0);
  ASSERT_GT(child, 0);
  ASSERT_EQ(waitpid(child, nullptr, 0), child);  // a process id that no longer runs
  const std::string dead = temp.Path() + "mxupack-" + std::to_string(child) + "-7";
  const std::string running = temp.Path() + "mxupack-" + std::to_string(getppid()) + "-7";
  for (const std::string& folder : {dead, running, temp.Path() + "mxupack-x-1"}) {
    fs::create_directories(folder + "/old");
    WriteWholeFile(folder + "/old/file", "left");
  }
  WriteWholeFile(temp.Path() + "mxupack-1-file", "not a folder");
  std::string made;
  {
    ScratchFolder scratch;
    std::string error;
    ASSERT_TRUE(scratch.Create(&error)) << error;
    made = scratch.Path();
    EXPECT_EQ(made.rfind(temp.Path() + "mxupack-" + std::to_string(getpid()) + "-", 0), 0u) << made;
    EXPECT_TRUE(fs::is_directory(made));
  }
  EXPECT_FALSE(fs::exists(made));
  EXPECT_FALSE(fs::exists(dead));
  EXPECT_EQ(ReadWholeFile(running + "/old/file"), "left");
  EXPECT_EQ(ReadWholeFile(temp.Path() + "mxupack-x-1/old/file"), "left");
  EXPECT_EQ(ReadWholeFile(temp.Path() + "mxupack-1-file"), "not a folder");
  if (saved)
    setenv("TMPDIR", savedValue.c_str(), 1);
  else
    unsetenv("TMPDIR");
}

}  // namespace
}  // namespace updater::mxupack

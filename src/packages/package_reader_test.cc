// The package reader on real package files: round trips through the writer,
// the variant selection rule, table passes, refused packages, decode failures
// and the checked, replace-in-one-step writes of ExtractEntry.
#include "packages/package_reader.h"

#include <gtest/gtest.h>

#include <cstring>
#include <filesystem>
#include <functional>

#include "packages/package_codecs.h"
#include "packages/package_format.h"
#include "packages/package_memory_reader.h"
#include "packages/package_test_util.h"
#include "packages/package_writer.h"

namespace updater {
namespace {

using testing::PackageTest;
using testing::SampleBytes;

class ReaderTest : public PackageTest {
 protected:
  // Writes raw package bytes below the program folder; returns the path.
  std::string Put(const std::string& name, const std::string& bytes) {
    Write(name, bytes);
    return At(name);
  }

  std::vector<std::string> OnePass() {
    std::vector<std::string> names;
    for (std::string name = NextEntryName(Reader); !name.empty(); name = NextEntryName(Reader))
      names.push_back(name);
    return names;
  }

  // The entry's content decoded in memory; a patch applies to `target`.
  std::string Load(const std::string& name, const std::string& target = std::string()) {
    MemoryBlock content;
    size_t position = 0;
    DecodeContext context;
    std::string targetPath = At(target);
    if (!target.empty()) {
      context.TargetPath = targetPath;
      context.Files = &Files;
    }
    if (!LoadEntry(Reader, name, &content, &position, context)) return "<failed>";
    EXPECT_EQ(position, FindEntry(Reader, name));
    if (content.Size == 0) return std::string();
    return std::string(reinterpret_cast<const char*>(content.Data.get()),
                       static_cast<size_t>(content.Size));
  }

  // True when no other opener holds the file: it can be locked by us.
  bool Unlocked(const std::string& path) { return Files.OpenRead(path, true, nullptr) != nullptr; }
};

RawEntry Stored(const std::string& name, const std::string& content, uint16_t version = 1,
                uint8_t key = 0) {
  return {
      name, version, PackageMethod::Stored, {{key, content, static_cast<int32_t>(content.size())}}};
}

TEST_F(ReaderTest, RoundTripsEveryMethodAndDirectoryForm) {
  const std::vector<std::pair<std::string, std::string>> files = {
      {"Readme.txt", "read me\r\n"},
      {"Data\\Maps\\Forest.dat", SampleBytes(200000, 7)},
      {"Data\\one byte", "x"},
      {"Updater.exe", SampleBytes(5000, 8)},
  };
  const MethodChoice methods[] = {PackageMethod::Stored, PackageMethod::Zlib, PackageMethod::Lzma,
                                  PackageMethod::Zstd, kBestMethod};
  const MethodChoice directoryForms[] = {PackageMethod::Stored, PackageMethod::Zlib,
                                         PackageMethod::Lzma, PackageMethod::Zstd};
  int round = 0;
  for (MethodChoice method : methods) {
    for (MethodChoice directory : directoryForms) {
      SCOPED_TRACE("method " + (method ? MethodName(*method) : "best") + " directory " +
                   MethodName(*directory));
      std::vector<EntryInput> entries;
      for (const auto& [name, content] : files)
        entries.push_back({name, 3, method, {{0, std::string(), content}}});
      PackageOptions options;
      options.DirectoryMethod = directory;
      std::string package = "p" + std::to_string(round++) + ".mxu";
      std::string error;
      ASSERT_TRUE(WritePackage(Native(At(package)), entries, options, &error)) << error;

      ASSERT_TRUE(OpenPackage(Reader, At(package)));
      EXPECT_EQ(OnePass(), (std::vector<std::string>{"Readme.txt", "Data\\Maps\\Forest.dat",
                                                     "Data\\one byte", "Updater.exe"}));
      for (const auto& [name, content] : files) {
        EXPECT_TRUE(Load(name) == content) << name;
        ASSERT_TRUE(ExtractEntry(Reader, name, At("out.bin")));
        EXPECT_TRUE(Read("out.bin") == content) << name;
      }
      ClosePackages(Reader);
    }
  }
  EXPECT_TRUE(Report.Lines.empty());
}

TEST_F(ReaderTest, ManyEntriesKeepTheirOrder) {
  std::vector<EntryInput> entries;
  std::vector<std::string> names;
  for (int i = 0; i < 2500; ++i) {
    names.push_back("f\\" + std::to_string(i));
    entries.push_back(
        {names.back(), 1, PackageMethod::Stored, {{0, std::string(), std::to_string(i)}}});
  }
  std::string error;
  ASSERT_TRUE(WritePackage(Native(At("many.mxu")), entries, {}, &error)) << error;
  ASSERT_TRUE(OpenPackage(Reader, At("many.mxu")));
  EXPECT_EQ(OnePass(), names);
  EXPECT_EQ(Load("f\\2499"), "2499");
  EXPECT_EQ(FindEntry(Reader, "f\\1234"), 1235u);
}

TEST_F(ReaderTest, WriterKeepsDuplicateNamesAndVariantKeys) {
  std::vector<EntryInput> entries = {
      {"Tool.exe", 1, PackageMethod::Zlib, {{3, "", "key three"}, {0, "", "key zero, first"}}},
      {"Other", 1, PackageMethod::Lzma, {{5, "", "only key five"}}},
      {"Tool.exe", 2, PackageMethod::Stored, {{3, "", "newer, key three"}}},
      {"Tool.exe", 3, PackageMethod::Lzma, {{0, "", "newest, key zero"}}},
  };
  std::string error;
  ASSERT_TRUE(WritePackage(Native(At("dup.mxu")), entries, {}, &error)) << error;
  ASSERT_TRUE(OpenPackage(Reader, At("dup.mxu")));
  EXPECT_EQ(OnePass(), (std::vector<std::string>{"Tool.exe", "Other"}));
  EXPECT_EQ(Load("Tool.exe"), "newest, key zero");
  EXPECT_EQ(Load("Other"), "only key five");
  ClosePackages(Reader);

  InitPackageReader(Reader, 3);
  ASSERT_TRUE(OpenPackage(Reader, At("dup.mxu")));
  EXPECT_EQ(Load("Tool.exe"), "newer, key three");
}

TEST_F(ReaderTest, WriterRefusesWhatTheFormatCannotHold) {
  std::vector<EntryInput> tooMany;
  for (int i = 0; i < 5000; ++i)
    tooMany.push_back(
        {"file" + std::to_string(i), 1, PackageMethod::Stored, {{0, std::string(), "x"}}});
  struct Case {
    const char* What;
    std::vector<EntryInput> Entries;
    const char* Message;
  } cases[] = {
      {"directory over 65535 bytes", tooMany, "directory too large"},
      {"no variants", {{"a", 1, kBestMethod, {}}}, "variants"},
      {"long name", {{std::string(256, 'n'), 1, kBestMethod, {{0, "", "x"}}}}, "name"},
      {"missing file", {{"a", 1, kBestMethod, {{0, Native(At("none")), ""}}}}, "cannot read"},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.What);
    std::string error;
    EXPECT_FALSE(WritePackage(Native(At("bad.mxu")), c.Entries, {}, &error));
    EXPECT_NE(error.find(c.Message), std::string::npos) << error;
    EXPECT_FALSE(Has("bad.mxu"));
  }
}

// One directory entry D meeting a row of the same name, for each branch of
// the selection rule; the preferred key is 0.
TEST_F(ReaderTest, SelectionRule) {
  struct Variant {
    uint8_t Key;
    const char* Content;
  };
  struct Case {
    const char* What;
    uint16_t RowVersion;
    std::vector<Variant> Row;  // empty: no row before D
    uint16_t Version;
    std::vector<Variant> Offered;
    const char* Expected;  // content of the row afterwards
  } cases[] = {
      {"new name takes the last preferred variant", 0, {}, 1, {{3, "a"}, {0, "b"}, {0, "c"}}, "c"},
      {"new name without preferred key takes the first", 0, {}, 1, {{3, "a"}, {5, "b"}}, "a"},
      {"preferred row, newer preferred", 1, {{0, "old"}}, 2, {{0, "new"}}, "new"},
      {"preferred row, newer not preferred", 1, {{0, "old"}}, 2, {{3, "new"}}, "old"},
      {"preferred row, same version", 2, {{0, "old"}}, 2, {{0, "new"}}, "old"},
      {"preferred row, older", 2, {{0, "old"}}, 1, {{0, "new"}}, "old"},
      {"other row, older preferred", 5, {{3, "old"}}, 1, {{0, "new"}}, "new"},
      {"other row, newer not preferred", 1, {{3, "old"}}, 2, {{4, "x"}, {5, "y"}}, "x"},
      {"other row, same version not preferred", 2, {{3, "old"}}, 2, {{4, "new"}}, "old"},
      {"other row, older not preferred", 2, {{3, "old"}}, 1, {{4, "new"}}, "old"},
  };
  int round = 0;
  for (const Case& c : cases) {
    SCOPED_TRACE(c.What);
    std::vector<RawEntry> entries;
    auto add = [&](uint16_t version, const std::vector<Variant>& variants) {
      RawEntry entry{"Same.dll", version, PackageMethod::Stored, {}};
      for (const Variant& v : variants)
        entry.Variants.push_back({v.Key, v.Content, static_cast<int32_t>(strlen(v.Content))});
      entries.push_back(entry);
    };
    entries.push_back(Stored("First", "1"));
    if (!c.Row.empty()) add(c.RowVersion, c.Row);
    entries.push_back(Stored("Between", "2"));
    add(c.Version, c.Offered);
    std::string path = Put("s" + std::to_string(round++) + ".mxu",
                           BuildPackageBytes(entries, PackageMethod::Stored));
    ASSERT_TRUE(OpenPackage(Reader, path));
    EXPECT_EQ(Load("Same.dll"), c.Expected);
    // A replaced row keeps its place: order is that of first appearance.
    std::vector<std::string> order = c.Row.empty()
                                         ? std::vector<std::string>{"First", "Between", "Same.dll"}
                                         : std::vector<std::string>{"First", "Same.dll", "Between"};
    EXPECT_EQ(OnePass(), order);
    ClosePackages(Reader);
  }
}

TEST_F(ReaderTest, PreferredKeyAndLaterPackagesReplaceRows) {
  InitPackageReader(Reader, 7);
  std::string first = Put(
      "a.mxu",
      BuildPackageBytes({{"Tool.exe", 1, PackageMethod::Stored, {{0, "zero", 4}, {7, "seven", 5}}},
                         Stored("Only.txt", "from a")},
                        PackageMethod::Stored));
  std::string second =
      Put("b.mxu", BuildPackageBytes({Stored("Tool.exe", "newer", 2, 7), Stored("Extra", "b")},
                                     PackageMethod::Stored));
  ASSERT_TRUE(OpenPackage(Reader, first));
  EXPECT_EQ(Load("Tool.exe"), "seven");
  ASSERT_TRUE(OpenPackage(Reader, second));
  EXPECT_EQ(Load("Tool.exe"), "newer");  // read from the later package
  EXPECT_EQ(Load("Only.txt"), "from a");
  EXPECT_EQ(OnePass(), (std::vector<std::string>{"Tool.exe", "Only.txt", "Extra"}));
  ClosePackages(Reader);
  EXPECT_EQ(Reader.PreferredKey, 7);
  EXPECT_TRUE(Unlocked(first));
  EXPECT_TRUE(Unlocked(second));
}

TEST_F(ReaderTest, NamesAndPasses) {
  EXPECT_EQ(NextEntryName(Reader), "");  // empty table
  std::string path = Put("n.mxu", BuildPackageBytes({Stored("Updater.exe", "upper"),
                                                     Stored("updater.exe", "lower"),
                                                     {"NoVariants", 1, PackageMethod::Stored, {}},
                                                     Stored(std::string("Cut\0Rest", 8), "cut"),
                                                     Stored("Last", "last")},
                                                    PackageMethod::Zlib));
  ASSERT_TRUE(OpenPackage(Reader, path));
  std::vector<std::string> expected = {"Updater.exe", "updater.exe", "Cut", "Last"};
  EXPECT_EQ(OnePass(), expected);
  EXPECT_EQ(OnePass(), expected);  // a second pass starts again at the top
  EXPECT_EQ(Load("Updater.exe"), "upper");
  EXPECT_EQ(Load("updater.exe"), "lower");
  EXPECT_EQ(FindEntry(Reader, "UPDATER.EXE"), 0u);
  EXPECT_EQ(FindEntry(Reader, "NoVariants"), 0u);
  EXPECT_EQ(Load("Cut"), "cut");
  EXPECT_EQ(Load("Missing"), "<failed>");
}

TEST_F(ReaderTest, EmptyNameEndsAPass) {
  std::string path =
      Put("e.mxu", BuildPackageBytes({Stored("a", "1"), Stored("", "2"), Stored("b", "3")},
                                     PackageMethod::Stored));
  ASSERT_TRUE(OpenPackage(Reader, path));
  EXPECT_EQ(OnePass(), std::vector<std::string>{"a"});
}

TEST_F(ReaderTest, PackageStaysLockedUntilClosed) {
  std::string path = Put("l.mxu", BuildPackageBytes({Stored("a", "1")}, PackageMethod::Stored));
  std::string empty = Put(
      "empty.mxu", BuildPackageBytes({{"x", 1, PackageMethod::Stored, {}}}, PackageMethod::Stored));
  ASSERT_TRUE(OpenPackage(Reader, path));
  ASSERT_TRUE(OpenPackage(Reader, empty));  // adds no row, yet stays open
  EXPECT_FALSE(Files.Delete(path, nullptr));
  EXPECT_FALSE(Files.Delete(empty, nullptr));
  EXPECT_FALSE(OpenPackage(Reader, path));  // not even this reader opens it twice
  ClosePackages(Reader);
  EXPECT_EQ(NextEntryName(Reader), "");
  EXPECT_TRUE(Files.Delete(path, nullptr));
  EXPECT_TRUE(Files.Delete(empty, nullptr));
}

// Every refusal of OpenPackage, in the order they are checked, each on a
// package that is otherwise good. A refused package leaves the table as it
// was and its file closed.
TEST_F(ReaderTest, RefusedPackages) {
  const std::string good = BuildPackageBytes({Stored("New.txt", "new")}, PackageMethod::Stored);
  const std::string goodZlib = BuildPackageBytes({Stored("New.txt", "new")}, PackageMethod::Zlib);
  const std::string goodLzma = BuildPackageBytes({Stored("New.txt", "new")}, PackageMethod::Lzma);
  auto patched = [](std::string bytes, size_t at, std::initializer_list<uint8_t> values) {
    for (uint8_t value : values) bytes[at++] = static_cast<char>(value);
    return bytes;
  };
  auto directoryOf = [](const std::string& bytes, const std::string& directory) {
    PackageHeader header = DecodePackageHeader(reinterpret_cast<const uint8_t*>(bytes.data()));
    header.DirMethod = PackageMethod::Stored;
    header.DirSize = static_cast<uint16_t>(directory.size());
    header.DirOffset = static_cast<int32_t>(kPackageHeaderSize);
    return EncodePackageHeader(header) + directory;
  };
  std::string claimsTooMany = "\x10\x27";  // 10,000 entries, none present
  std::string variantsPastEnd = std::string("\x01\x00\x01", 3) + "a" +
                                std::string("\x01\x00\x00\x02", 4) +
                                std::string(13, '\0');  // two variants announced, one present
  std::string nameCut = std::string("\x01\x00\x09", 3) + "abc";
  const size_t dirOffsetAt = 16;
  struct Case {
    const char* What;
    std::string Bytes;  // empty: no file at all
  } cases[] = {
      {"file missing", ""},
      {"shorter than the header", good.substr(0, 20)},
      {"wrong magic", patched(good, 0, {'v'})},
      {"format version 1", patched(good, 8, {1})},
      {"format version 3", patched(good, 8, {3})},
      {"flag 4", patched(good, 9, {4})},
      {"flag 8", patched(good, 9, {8 | 1})},
      {"directory size 0", patched(good, 14, {0, 0})},
      {"packed directory size 0", patched(goodZlib, 12, {0, 0})},
      {"directory past the end", patched(good, dirOffsetAt, {0xff, 0xff, 0, 0})},
      {"directory at a negative offset", patched(good, dirOffsetAt, {0xff, 0xff, 0xff, 0xff})},
      {"directory method 3", patched(goodZlib, 20, {3})},
      {"zlib directory corrupt", patched(goodZlib, goodZlib.size() - 3, {0, 0, 0})},
      {"zlib directory of another size", patched(goodZlib, 14, {0x7f})},
      {"lzma directory with bad properties", patched(goodLzma, kPackageHeaderSize + 3, {225})},
      {"entries run past the directory", directoryOf(good, claimsTooMany)},
      {"variants run past the directory", directoryOf(good, variantsPastEnd)},
      {"name runs past the directory", directoryOf(good, nameCut)},
  };

  std::string kept =
      Put("kept.mxu", BuildPackageBytes({Stored("Kept", "k")}, PackageMethod::Stored));
  ASSERT_TRUE(OpenPackage(Reader, kept));
  int round = 0;
  for (const Case& c : cases) {
    SCOPED_TRACE(c.What);
    std::string path = At("bad" + std::to_string(round++) + ".mxu");
    if (!c.Bytes.empty()) Put("bad" + std::to_string(round - 1) + ".mxu", c.Bytes);
    EXPECT_FALSE(OpenPackage(Reader, path));
    EXPECT_EQ(OnePass(), std::vector<std::string>{"Kept"});
    EXPECT_EQ(Reader.OpenFiles.size(), 1u);
    if (!c.Bytes.empty()) {
      EXPECT_TRUE(Unlocked(path));
    }
  }

  // What the reader accepts: flags 1, 2 and the high bits; bytes after the
  // records; a packed size that a stored directory does not use.
  struct Accepted {
    const char* What;
    std::string Bytes;
  } accepted[] = {
      {"flags 1, 2 and 16-128", patched(good, 9, {0xf3})},
      {"trailing directory bytes",
       directoryOf(good, EncodeDirectory({{"New.txt", 1, PackageMethod::Stored, {{0, 3, 3, 21}}}}) +
                             "xyz")},
      {"unused packed size", patched(good, 12, {0, 0})},
  };
  for (const Accepted& c : accepted) {
    SCOPED_TRACE(c.What);
    std::string path = Put("ok" + std::to_string(round++) + ".mxu", c.Bytes);
    EXPECT_TRUE(OpenPackage(Reader, path));
  }
}

TEST_F(ReaderTest, TenThousandEntriesWithoutVariants) {
  std::vector<RawEntry> entries;
  for (int i = 0; i < 10000; ++i)
    entries.push_back({std::to_string(i % 10), 1, PackageMethod::Stored, {}});
  std::string path = Put("t.mxu", BuildPackageBytes(entries, PackageMethod::Zlib));
  ASSERT_TRUE(OpenPackage(Reader, path));
  EXPECT_EQ(NextEntryName(Reader), "");
}

// Entries that cannot be decoded fail the same way in memory and into a file;
// the file path leaves an existing target untouched and no file behind.
TEST_F(ReaderTest, DecodeFailures) {
  const std::string content = SampleBytes(100000, 11);
  const int32_t size = static_cast<int32_t>(content.size());
  const std::string zlib = EncodeZlib(content);
  EncodeSettings endMark;
  endMark.LzmaEndMark = true;
  const std::string lzmaEnding = EncodeLzma(content, endMark);
  const std::string lzma = EncodeLzma(content);
  const std::string zstd = EncodeContent(PackageMethod::Zstd, content);
  // The target's content is "old content"; a patch made from other content,
  // and one whose result is not the one it names.
  const std::string patchOfOther = EncodePatch("other content", content);
  std::string patchToOther = EncodePatch("old content", content);
  patchToOther[kPatchHashSize + 3] ^= 1;
  struct Case {
    const char* What;
    PackageMethod Method;
    std::string Stored;
    int32_t Size;
  } cases[] = {
      {"stored sizes differ", PackageMethod::Stored, content, size - 1},
      {"zlib cut short", PackageMethod::Zlib, zlib.substr(0, zlib.size() / 2), size},
      {"zlib corrupt", PackageMethod::Zlib, std::string(zlib).replace(10, 4, "\xff\x00\xff\x00", 4),
       size},
      {"zlib shorter than declared", PackageMethod::Zlib, zlib, size + 1},
      {"lzma ends before its size", PackageMethod::Lzma, lzmaEnding, size + 100},
      {"lzma cut short", PackageMethod::Lzma, lzma.substr(0, lzma.size() - 100), size},
      {"lzma block under 13 bytes", PackageMethod::Lzma, lzma.substr(0, 12), size},
      {"lzma corrupt", PackageMethod::Lzma, std::string(lzma).replace(20, 8, 8, '\xee'), size},
      {"zstd cut short", PackageMethod::Zstd, zstd.substr(0, zstd.size() / 2), size},
      {"zstd longer than declared", PackageMethod::Zstd, zstd, size - 1},
      {"zstd with bytes after its frame", PackageMethod::Zstd, zstd + "x", size},
      {"patch made from other content", PackageMethod::Patch, patchOfOther, size},
      {"patch whose result is not the one it names", PackageMethod::Patch, patchToOther, size},
      {"patch frame cut short", PackageMethod::Patch,
       EncodePatch("old content", content).substr(0, 100), size},
      {"unknown method", PackageMethod{6}, content, size},
      {"a remove entry, which has no content", PackageMethod::Remove, "", 0},
  };
  Write("Target.dat", "old content");
  int round = 0;
  for (const Case& c : cases) {
    SCOPED_TRACE(c.What);
    std::string path = Put(
        "d" + std::to_string(round++) + ".mxu",
        BuildPackageBytes({{"E", 1, c.Method, {{0, c.Stored, c.Size}}}}, PackageMethod::Stored));
    ASSERT_TRUE(OpenPackage(Reader, path));
    EXPECT_EQ(Load("E", "Target.dat"), "<failed>");
    Report.Lines.clear();
    EXPECT_FALSE(ExtractEntry(Reader, "E", At("Target.dat")));
    EXPECT_EQ(Report.Lines, std::vector<std::string>{"Error: Failed to decompress file!"});
    EXPECT_EQ(Read("Target.dat"), "old content");
    ClosePackages(Reader);
    EXPECT_TRUE(Files.Delete(path, nullptr));
    EXPECT_EQ(Tree(), std::vector<std::string>{"Target.dat"});
  }
}

TEST_F(ReaderTest, TruncatedDataBlocks) {
  const std::string content = SampleBytes(5000, 12);
  for (PackageMethod method :
       {PackageMethod::Stored, PackageMethod::Zlib, PackageMethod::Lzma, PackageMethod::Zstd}) {
    SCOPED_TRACE(static_cast<int>(method));
    std::string stored = EncodeContent(method, content);
    // The directory comes first and the data block last, so cutting the file
    // cuts the block.
    std::string directory = EncodeDirectory(
        {{"E",
          1,
          method,
          {{0, static_cast<int32_t>(stored.size()), static_cast<int32_t>(content.size()), 0}}}});
    PackageHeader header;
    std::copy(std::begin(kPackageMagic), std::end(kPackageMagic), header.Magic);
    header.FormatVersion = kPackageFormatVersion;
    header.DirSize = static_cast<uint16_t>(directory.size());
    header.DirOffset = static_cast<int32_t>(kPackageHeaderSize);
    int32_t offset = static_cast<int32_t>(kPackageHeaderSize + directory.size());
    directory = EncodeDirectory({{"E",
                                  1,
                                  method,
                                  {{0, static_cast<int32_t>(stored.size()),
                                    static_cast<int32_t>(content.size()), offset}}}});
    std::string bytes = EncodePackageHeader(header) + directory + stored;
    std::string path = Put("cut.mxu", bytes.substr(0, bytes.size() - 1));
    ASSERT_TRUE(OpenPackage(Reader, path));
    EXPECT_EQ(Load("E"), "<failed>");
    EXPECT_FALSE(ExtractEntry(Reader, "E", At("out")));
    EXPECT_FALSE(Has("out"));
    ClosePackages(Reader);
    path = Put("whole.mxu", bytes);
    ASSERT_TRUE(OpenPackage(Reader, path));
    EXPECT_TRUE(Load("E") == content);
    ClosePackages(Reader);
  }
}

// Zstandard entries of one byte and of a few MiB, past the frame's window,
// come back whole through both readers; empty content is refused, as the
// method's size rule cannot hold it.
TEST_F(ReaderTest, ZstdEntriesOfEverySize) {
  const std::string large = SampleBytes(3 << 20, 40) + SampleBytes(3 << 20, 40);
  const std::vector<std::pair<std::string, std::string>> contents = {{"one", "x"},
                                                                     {"large", large}};
  Pack("z.mxu", contents, PackageMethod::Zstd);
  ASSERT_TRUE(OpenPackage(Reader, At("z.mxu")));
  for (const auto& [name, content] : contents) {
    SCOPED_TRACE(name);
    EXPECT_EQ(Reader.EntryTable[FindEntry(Reader, name) - 1].Method, PackageMethod::Zstd);
    EXPECT_TRUE(Load(name) == content);
    ASSERT_TRUE(ExtractEntry(Reader, name, At(name)));
    EXPECT_TRUE(Read(name) == content);
  }
  ClosePackages(Reader);
  // Empty content has no zstd form: it is stored, both sizes 0.
  std::string error;
  ASSERT_TRUE(
      WritePackage(Native(At("e.mxu")), {{"e", 1, PackageMethod::Zstd, {{0, "", ""}}}}, {}, &error))
      << error;
  std::unique_ptr<File> file = Files.OpenRead(At("e.mxu"), false, nullptr);
  PackageHeader header;
  std::vector<DirectoryEntry> directory;
  ASSERT_TRUE(file && ReadPackageDirectory(*file, &header, &directory, &error)) << error;
  EXPECT_EQ(directory.at(0).Method, PackageMethod::Stored);
  EXPECT_EQ(directory.at(0).Variants.at(0).PackedSize, 0);
  EXPECT_EQ(directory.at(0).Variants.at(0).Size, 0);
}

// Patches through the writer and both readers, each applied to the file it
// was made from: an empty one, one that becomes empty, one byte, and a few
// MiB changed in places.
TEST_F(ReaderTest, PatchesApplyToTheFileTheyWereMadeFrom) {
  const std::string large = SampleBytes(5 << 20, 30);
  const std::string changed = large.substr(0, 1000000) + SampleBytes(3000, 31) +
                              large.substr(1000100, 2000000) + large.substr(3500000);
  struct Case {
    const char* What;
    std::string Reference;
    std::string Content;
  } cases[] = {
      {"from an empty file", "", SampleBytes(20000, 32)},
      {"to an empty file", SampleBytes(20000, 33), ""},
      {"one byte to another", "a", "b"},
      {"a few MiB with changes", large, changed},
  };
  int round = 0;
  for (const Case& c : cases) {
    SCOPED_TRACE(c.What);
    Write("old", c.Reference);
    const std::string package = "p" + std::to_string(round++) + ".mxu";
    std::string error;
    ASSERT_TRUE(WritePackage(
        Native(At(package)),
        {{"Target", 1, PackageMethod::Patch, {{0, "", c.Content, Native(At("old"))}}}}, {}, &error))
        << error;
    Write("Target", c.Reference);
    ASSERT_TRUE(OpenPackage(Reader, At(package)));
    std::string cause;
    EXPECT_EQ(CheckPatchReference(Reader, "Target", At("Target"), &cause), ReferenceCheck::Matches)
        << cause;
    EXPECT_TRUE(Load("Target", "Target") == c.Content);
    ASSERT_TRUE(ExtractEntry(Reader, "Target", At("Target")));
    EXPECT_TRUE(Read("Target") == c.Content);
    EXPECT_EQ(CheckPatchReference(Reader, "Target", At("Target"), &cause), ReferenceCheck::Differs);
    ClosePackages(Reader);
  }
  // The large patch holds what changed, not the file.
  EXPECT_LT(std::filesystem::file_size(std::filesystem::u8path(Native(At("p3.mxu")))), 100000u);
  EXPECT_TRUE(Report.Lines.empty());
  std::string error;
  EXPECT_FALSE(WritePackage(Native(At("n.mxu")), {{"T", 1, PackageMethod::Patch, {{0, "", "x"}}}},
                            {}, &error));
  EXPECT_NE(error.find("made from"), std::string::npos) << error;
}

// A patch for another file, or for a missing one, fails before anything is
// written and leaves the target as it is; CheckPatchReference tells the same
// without decoding. A full disk fails the mapped output as it fails files.
TEST_F(ReaderTest, PatchForAnotherFileFailsBeforeAnythingIsWritten) {
  const std::string reference = SampleBytes(400000, 34);
  const std::string content = reference.substr(0, 200000) + "changed" + reference.substr(200007);
  const std::string patch = EncodePatch(reference, content);
  const int32_t size = static_cast<int32_t>(content.size());
  std::string path = Put(
      "p.mxu", BuildPackageBytes(
                   {{"T", 1, PackageMethod::Patch, {{0, patch, size}}}, Stored("S", "not a patch")},
                   PackageMethod::Stored));
  ASSERT_TRUE(OpenPackage(Reader, path));
  std::string why;
  EXPECT_EQ(CheckPatchReference(Reader, "S", At("T"), &why), ReferenceCheck::Failed);
  EXPECT_EQ(CheckPatchReference(Reader, "none", At("T"), &why), ReferenceCheck::Failed);
  DecodeContext context;
  const std::string target = At("T");
  context.TargetPath = target;
  context.Files = &Files;
  struct Case {
    const char* What;
    std::function<void()> Prepare;
  } cases[] = {
      {"another file", [&] { Write("T", reference + "x"); }},
      {"a file that became shorter", [&] { Write("T", reference.substr(1)); }},
      {"no file", [&] { EXPECT_TRUE(Files.Delete(At("T"), nullptr)); }},
      {"a folder", [&] { EXPECT_TRUE(Files.CreateFolder(At("T"), nullptr)); }},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.What);
    c.Prepare();
    const std::vector<std::string> before = Tree();
    std::string cause;
    EXPECT_EQ(CheckPatchReference(Reader, "T", At("T"), &cause), ReferenceCheck::Differs);
    EXPECT_FALSE(cause.empty());
    testing::StringSource source(patch);
    testing::StringSink sink;
    EXPECT_EQ(DecodeStream(source, static_cast<int64_t>(patch.size()), size, PackageMethod::Patch,
                           sink, context),
              StreamResult::ReferenceMismatch);
    EXPECT_EQ(sink.Calls, 0);
    Report.Lines.clear();
    EXPECT_FALSE(ExtractEntry(Reader, "T", At("T")));
    EXPECT_EQ(Report.Lines, std::vector<std::string>{"Error: Failed to decompress file!"});
    EXPECT_EQ(Tree(), before);
  }
  EXPECT_TRUE(Files.RemoveFolder(At("T"), nullptr));

  // The right file: decoded into memory of the decoder's own when the sink
  // offers none; a full disk keeps the old file and leaves nothing behind.
  Write("T", reference);
  testing::StringSource source(patch);
  testing::StringSink sink;
  ASSERT_EQ(DecodeStream(source, static_cast<int64_t>(patch.size()), size, PackageMethod::Patch,
                         sink, context),
            StreamResult::Ok);
  EXPECT_TRUE(sink.Bytes == content);
  ClosePackages(Reader);
  testing::DiskFullFileSystem diskFull;
  PackageReader full(diskFull, Report);
  ASSERT_TRUE(OpenPackage(full, path));
  diskFull.Capacity = size - 1;
  Report.Lines.clear();
  EXPECT_FALSE(ExtractEntry(full, "T", At("T")));
  EXPECT_EQ(Report.Lines, std::vector<std::string>{"Error: Failed to write file to disk!"});
  EXPECT_TRUE(Read("T") == reference);
  EXPECT_EQ(Tree(), (std::vector<std::string>{"T", "p.mxu"}));
  diskFull.Capacity = size;
  EXPECT_TRUE(ExtractEntry(full, "T", At("T")));
  EXPECT_TRUE(Read("T") == content);
  ClosePackages(full);
}

class ExtractTest : public ReaderTest {
 protected:
  void SetUp() override {
    std::string path = Put(
        "x.mxu",
        BuildPackageBytes({{"E",
                            1,
                            PackageMethod::Zlib,
                            {{0, EncodeZlib(payload_), static_cast<int32_t>(payload_.size())}}}},
                          PackageMethod::Stored));
    ASSERT_TRUE(OpenPackage(Reader, path));
  }
  const std::string payload_ = SampleBytes(700000, 13);
};

TEST_F(ExtractTest, ReplacesWholeFileAlsoWithShorterContent) {
  Write("T", std::string(2000000, 'o'));
  ASSERT_TRUE(ExtractEntry(Reader, "E", At("T")));
  EXPECT_TRUE(Read("T") == payload_);
  EXPECT_EQ(Tree(), (std::vector<std::string>{"T", "x.mxu"}));
}

TEST_F(ExtractTest, TargetsThatCannotBeWritten) {
  struct Case {
    const char* What;
    std::function<void()> Prepare;
  } cases[] = {
      {"folder in the way", [&] { EXPECT_TRUE(Files.CreateFolder(At("T"), nullptr)); }},
      {"missing folder", [] {}},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.What);
    c.Prepare();
    Report.Lines.clear();
    std::string target = std::string(c.What) == "missing folder" ? At("no\\T") : At("T");
    EXPECT_FALSE(ExtractEntry(Reader, "E", target));
    EXPECT_EQ(Report.Lines, std::vector<std::string>{"Error: Failed to write file to disk!"});
  }
  EXPECT_EQ(Tree(), (std::vector<std::string>{"T/", "x.mxu"}));
}

TEST_F(ExtractTest, LockedTargetKeepsItsContent) {
  Write("T", "old");
  std::unique_ptr<File> holder = Files.OpenRead(At("T"), true, nullptr);
  ASSERT_TRUE(holder);
  EXPECT_FALSE(ExtractEntry(Reader, "E", At("T")));
  EXPECT_EQ(Report.Lines, std::vector<std::string>{"Error: Failed to write file to disk!"});
  holder.reset();
  EXPECT_EQ(Read("T"), "old");
  EXPECT_EQ(Tree(), (std::vector<std::string>{"T", "x.mxu"}));
}

TEST_F(ExtractTest, FullDiskKeepsTheOldFile) {
  testing::DiskFullFileSystem diskFull;
  ClosePackages(Reader);
  PackageReader full(diskFull, Report);
  ASSERT_TRUE(OpenPackage(full, At("x.mxu")));
  Write("T", "old");
  for (int64_t capacity : {int64_t{0}, int64_t{1000}, static_cast<int64_t>(payload_.size()) - 1}) {
    SCOPED_TRACE(capacity);
    diskFull.Capacity = capacity;
    Report.Lines.clear();
    EXPECT_FALSE(ExtractEntry(full, "E", At("T")));
    EXPECT_EQ(Report.Lines, std::vector<std::string>{"Error: Failed to write file to disk!"});
    EXPECT_EQ(Read("T"), "old");
    EXPECT_EQ(Tree(), (std::vector<std::string>{"T", "x.mxu"}));
  }
  diskFull.Capacity = static_cast<int64_t>(payload_.size());
  EXPECT_TRUE(ExtractEntry(full, "E", At("T")));
  EXPECT_TRUE(Read("T") == payload_);
  ClosePackages(full);
}

// Whether an entry decodes is found out whatever its target is like: a
// broken entry is a decode failure, a whole one a write failure, for every
// target that cannot be written; neither leaves a file behind.
TEST_F(ReaderTest, DecodeFailuresAreToldFromWriteFailuresWhateverTheTarget) {
  const std::string content = SampleBytes(3000000, 14);
  std::string zlib = EncodeZlib(content);
  std::string broken = zlib;
  broken[broken.size() - 6] ^= 0x55;  // late in the stream, past the first chunks
  const int32_t size = static_cast<int32_t>(content.size());
  std::string path =
      Put("b.mxu", BuildPackageBytes({{"Whole", 1, PackageMethod::Zlib, {{0, zlib, size}}},
                                      {"Broken", 1, PackageMethod::Zlib, {{0, broken, size}}}},
                                     PackageMethod::Stored));
  testing::DiskFullFileSystem diskFull;
  diskFull.Capacity = 1000;
  PackageReader full(diskFull, Report);
  ASSERT_TRUE(Files.CreateFolder(At("Folder"), nullptr));
  Write("Held", "held");
  std::unique_ptr<File> held = Files.OpenRead(At("Held"), true, nullptr);
  struct Case {
    const char* What;
    PackageReader& With;
    std::string Target;
  } cases[] = {
      {"folder in the way", Reader, At("Folder")},
      {"missing folder", Reader, At("Missing\\T")},
      {"held by another opener", Reader, At("Held")},
      {"full disk", full, At("T")},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.What);
    ASSERT_TRUE(OpenPackage(c.With, path));
    for (const char* entry : {"Broken", "Whole"}) {
      Report.Lines.clear();
      EXPECT_FALSE(ExtractEntry(c.With, entry, c.Target));
      EXPECT_EQ(Report.Lines,
                std::vector<std::string>{std::string(entry) == "Broken"
                                             ? "Error: Failed to decompress file!"
                                             : "Error: Failed to write file to disk!"});
    }
    ClosePackages(c.With);
  }
  held.reset();
  EXPECT_EQ(Read("Held"), "held");
  EXPECT_EQ(Tree(), (std::vector<std::string>{"Folder/", "Held", "b.mxu"}));
}

#ifndef _WIN32
TEST_F(ReaderTest, PosixPermissions) {
  namespace fs = std::filesystem;
  std::string path =
      Put("m.mxu", BuildPackageBytes({Stored("kept", "new"),
                                      Stored("program",
                                             "\x7f"
                                             "ELF..."),
                                      Stored("script", "#!/bin/sh\n"), Stored("text", "plain")},
                                     PackageMethod::Stored));
  ASSERT_TRUE(OpenPackage(Reader, path));
  Write("kept", "old");
  fs::permissions(Native(At("kept")), fs::perms::owner_read | fs::perms::owner_write |
                                          fs::perms::owner_exec | fs::perms::group_read);
  for (const char* name : {"kept", "program", "script", "text"})
    ASSERT_TRUE(ExtractEntry(Reader, name, At(name)));
  auto mode = [&](const char* name) { return fs::status(Native(At(name))).permissions(); };
  EXPECT_EQ(mode("kept"), fs::perms::owner_read | fs::perms::owner_write | fs::perms::owner_exec |
                              fs::perms::group_read);
  EXPECT_NE(mode("program") & fs::perms::owner_exec, fs::perms::none);
  EXPECT_NE(mode("script") & fs::perms::owner_exec, fs::perms::none);
  EXPECT_EQ(mode("text") & (fs::perms::owner_exec | fs::perms::group_exec | fs::perms::others_exec),
            fs::perms::none);
}
#endif

}  // namespace
}  // namespace updater

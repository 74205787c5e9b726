// The package writer's choice of methods: the best of an entry and of the
// directory is the smallest result of the methods with a whole-content
// encoder, stored on ties, and what it wrote reads back. Its encoding
// threads: the same package whatever their number, pieces of one zlib
// stream, stored content that does not compress, empty entries, progress,
// and a failure that stops them all.
#include "packages/package_writer.h"

#include <gtest/gtest.h>

#include <filesystem>
#include <optional>
#include <random>

#include "packages/package_format.h"
#include "packages/package_test_util.h"

namespace updater {
namespace {

using testing::PackageTest;

// The method with the smallest encoding of `content` (the lowest code of
// equal ones) among those every updater reads, and that size.
std::pair<PackageMethod, size_t> Smallest(const std::string& content) {
  std::optional<std::pair<PackageMethod, size_t>> best;
  for (const PackageCodec& codec : PackageCodecs()) {
    if (!EncodesWholeContent(codec.Method) || !codec.ReadByEveryUpdater) continue;
    size_t size = EncodeContent(codec.Method, content).size();
    if (!best || size < best->second) best = {codec.Method, size};
  }
  return best.value();
}

class WriterTest : public PackageTest {};

TEST_F(WriterTest, BestTakesTheSmallestMethodPerEntryAndForTheDirectory) {
  // Random bytes (stored wins), a short repeating text (zlib's small header
  // wins), a long text (LZMA wins) and one byte.
  std::mt19937 random(22);
  std::string noise(4000, '\0');
  for (char& byte : noise) byte = static_cast<char>(random());
  std::string text;
  for (int i = 0; i < 2000; ++i) text += "line " + std::to_string(i % 37) + "\r\n";
  const std::vector<std::pair<std::string, std::string>> kinds = {
      {"noise.bin", noise},
      {"short.txt", "abcabcabcabcabcabcabcabcabcabcabcabcabcabc"},
      {"text.txt", text},
      {"x", "x"}};
  for (int entries : {1, 4, 120}) {
    SCOPED_TRACE(entries);
    std::vector<std::pair<std::string, std::string>> packed;
    for (int i = 0; i < entries; ++i)
      packed.push_back({"Folder\\" + std::to_string(i) + kinds[i % 4].first, kinds[i % 4].second});
    Pack("p.mxu", packed);
    std::unique_ptr<File> file = Files.OpenRead(At("p.mxu"), false, nullptr);
    ASSERT_TRUE(file);
    PackageHeader header;
    std::vector<DirectoryEntry> directory;
    std::string why;
    ASSERT_TRUE(ReadPackageDirectory(*file, &header, &directory, &why)) << why;
    ASSERT_EQ(directory.size(), packed.size());
    for (size_t i = 0; i < packed.size(); ++i) {
      auto [method, size] = Smallest(packed[i].second);
      EXPECT_EQ(MethodName(directory[i].Method), MethodName(method)) << packed[i].first;
      EXPECT_EQ(directory[i].Variants.at(0).PackedSize, static_cast<int32_t>(size));
    }
    auto [method, size] = Smallest(EncodeDirectory(directory));
    EXPECT_EQ(MethodName(header.DirMethod), MethodName(method));
    EXPECT_EQ(header.DirPackedSize, size);
    file.reset();
    ASSERT_TRUE(OpenPackage(Reader, At("p.mxu")));
    for (const auto& [name, content] : packed) {
      ASSERT_TRUE(ExtractEntry(Reader, name, At("out")));
      EXPECT_TRUE(Read("out") == content) << name;
    }
    ClosePackages(Reader);
  }
}

// Bytes that do not compress.
std::string Noise(size_t size, uint32_t seed) {
  std::mt19937 random(seed);
  std::string bytes(size, '\0');
  for (char& byte : bytes) byte = static_cast<char>(random());
  return bytes;
}

std::vector<DirectoryEntry> DirectoryOf(FileSystem& files, const std::string& path) {
  std::unique_ptr<File> file = files.OpenRead(path, false, nullptr);
  PackageHeader header;
  std::vector<DirectoryEntry> directory;
  std::string why;
  EXPECT_TRUE(file && ReadPackageDirectory(*file, &header, &directory, &why)) << why;
  return directory;
}

TEST_F(WriterTest, EncodingThreadsWriteTheSamePackageThatReadsBack) {
  // Sizes around the 1 MiB pieces, content that compresses and that does not,
  // some of it on disk; and a block of noise repeated, which compresses
  // within a piece only when the piece takes the content before it as its
  // dictionary.
  const int64_t kMiB = 1 << 20;
  std::string repeated;
  const std::string block = Noise(20000, 3);
  while (repeated.size() < static_cast<size_t>(2 * kMiB + kMiB / 2)) repeated += block;
  const std::vector<std::pair<std::string, std::string>> contents = {
      {"one", "x"},
      {"text", testing::SampleBytes(300000, 1)},
      {"piece", testing::SampleBytes(kMiB, 2)},
      {"repeated", repeated},
      {"noise", Noise(static_cast<size_t>(kMiB + 1), 4)},
      {"Data\\big", testing::SampleBytes(static_cast<size_t>(3 * kMiB + kMiB / 2), 5)},
      {"Data\\big noise", Noise(static_cast<size_t>(2 * kMiB + 7), 6)},
      {"last", testing::SampleBytes(5000, 7)}};
  Write("big.bin", contents[5].second);
  struct Case {
    const char* Name;
    MethodChoice Method;
    bool StoreWhatDoesNotCompress;
  } cases[] = {{"zlib", PackageMethod::Zlib, false},
               {"zlib, storing what does not compress", PackageMethod::Zlib, true},
               {"stored", PackageMethod::Stored, false},
               {"lzma, storing what does not compress", PackageMethod::Lzma, true}};
  for (const Case& c : cases) {
    SCOPED_TRACE(c.Name);
    std::vector<EntryInput> entries;
    for (const auto& [name, content] : contents) {
      const bool onDisk = name == "Data\\big";
      entries.push_back(
          {name, 1, c.Method, {{0, onDisk ? Native(At("big.bin")) : "", onDisk ? "" : content}}});
    }
    std::string packages[2];
    for (int threads : {1, 3}) {
      PackageOptions options;
      options.Encode.ZlibLevel = 6;
      options.Encode.LzmaLevel = 1;
      options.StoreWhatDoesNotCompress = c.StoreWhatDoesNotCompress;
      options.EncodeThreads = threads;
      int64_t lastDone = 0, total = 0;
      options.Progress = [&](int64_t done, int64_t all) {
        EXPECT_GE(done, lastDone);
        lastDone = done;
        total = all;
      };
      std::string error;
      ASSERT_TRUE(WritePackage(Native(At("p.mxu")), entries, options, &error)) << error;
      int64_t contentSize = 0;
      for (const auto& content : contents) contentSize += content.second.size();
      EXPECT_EQ(lastDone, contentSize);
      EXPECT_EQ(total, contentSize);
      packages[threads == 1 ? 0 : 1] = Read("p.mxu");
    }
    EXPECT_TRUE(packages[0] == packages[1]) << "the number of threads changed the package";

    const std::vector<DirectoryEntry> directory = DirectoryOf(Files, At("p.mxu"));
    ASSERT_EQ(directory.size(), contents.size());
    for (size_t i = 0; i < contents.size(); ++i) {
      const std::string& content = contents[i].second;
      const bool noise = contents[i].first.find("noise") != std::string::npos;
      const PackageMethod expected = c.StoreWhatDoesNotCompress && (noise || content.size() == 1)
                                         ? PackageMethod::Stored
                                         : *c.Method;
      EXPECT_EQ(MethodName(directory[i].Method), MethodName(expected)) << contents[i].first;
      if (expected == PackageMethod::Zlib && !noise) {
        // Pieces cost next to nothing beside one stream of the whole.
        const double whole = static_cast<double>(EncodeZlib(content, 6).size());
        EXPECT_LE(directory[i].Variants[0].PackedSize, whole * 1.01 + 64) << contents[i].first;
      }
      EXPECT_LE(directory[i].Variants[0].PackedSize,
                LargestPackedSize(c.Method, static_cast<int64_t>(content.size())));
    }
    ASSERT_TRUE(OpenPackage(Reader, At("p.mxu")));
    for (const auto& [name, content] : contents) {
      ASSERT_TRUE(ExtractEntry(Reader, name, At("out"))) << name;
      EXPECT_TRUE(Read("out") == content) << name;
    }
    ClosePackages(Reader);
  }
}

TEST_F(WriterTest, EmptyContentIsStoredWithBothSizesZero) {
  Write("empty", "");
  for (MethodChoice method :
       {kBestMethod, MethodChoice(PackageMethod::Zlib), MethodChoice(PackageMethod::Lzma),
        MethodChoice(PackageMethod::Zstd)}) {
    SCOPED_TRACE(MethodName(method.value_or(PackageMethod::Stored)));
    std::string error;
    ASSERT_TRUE(WritePackage(Native(At("e.mxu")),
                             {{"a", 1, method, {{0, "", "content"}}},
                              {"empty", 1, method, {{0, Native(At("empty")), ""}}},
                              {"one empty variant", 1, method, {{0, "", ""}, {1, "", "abc"}}}},
                             {}, &error))
        << error;
    const std::vector<DirectoryEntry> directory = DirectoryOf(Files, At("e.mxu"));
    ASSERT_EQ(directory.size(), 3u);
    EXPECT_EQ(directory[1].Method, PackageMethod::Stored);
    EXPECT_EQ(directory[1].Variants.at(0).PackedSize, 0);
    EXPECT_EQ(directory[1].Variants.at(0).Size, 0);
    // No compressed form reads as empty: the whole entry is stored.
    EXPECT_EQ(directory[2].Method, PackageMethod::Stored);
    EXPECT_EQ(directory[2].Variants.at(0).PackedSize, 0);
    EXPECT_EQ(directory[2].Variants.at(1).PackedSize, 3);
    EXPECT_EQ(directory[2].Variants.at(1).Offset,
              directory[0].Variants.at(0).Offset + directory[0].Variants.at(0).PackedSize);
  }
}

TEST_F(WriterTest, AFailureStopsTheThreadsAndLeavesNoPackage) {
  // A file that goes once the writing has begun, further ahead than the
  // threads may read (64 MiB), and behind it more pieces: every thread is
  // busy or waiting when the writer meets the failure.
  Write("three MiB", testing::SampleBytes(3 << 20, 8));
  std::vector<EntryInput> entries;
  for (int i = 0; i < 40; ++i)
    entries.push_back(
        {"e" + std::to_string(i), 1, PackageMethod::Stored, {{0, Native(At("three MiB")), ""}}});
  entries.insert(entries.begin() + 30,
                 {"missing", 1, PackageMethod::Zlib, {{0, Native(At("gone")), ""}}});
  Write("gone", "soon gone");
  PackageOptions options;
  options.EncodeThreads = 3;
  options.StoreWhatDoesNotCompress = true;
  options.Progress = [&](int64_t, int64_t) { std::filesystem::remove(Native(At("gone"))); };
  std::string error;
  EXPECT_FALSE(WritePackage(Native(At("p.mxu")), entries, options, &error));
  EXPECT_NE(error.find("cannot read"), std::string::npos) << error;
  EXPECT_FALSE(Has("p.mxu"));
}

}  // namespace
}  // namespace updater

// The package writer's choice of methods: the best of an entry and of the
// directory is the smallest result of the methods with a whole-content
// encoder, stored on ties, and what it wrote reads back.
#include "packages/package_writer.h"

#include <gtest/gtest.h>

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
    std::unique_ptr<File> file = Files.OpenRead(At("p.mxu"), false);
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

}  // namespace
}  // namespace updater

// The codec table: every method it lists comes back whole through its
// encoder and decoder, and the block sizes each method's rule refuses never
// reach a decoder.
#include "packages/package_codecs.h"

#include <gtest/gtest.h>

#include <set>
#include <string>

#include "packages/package_test_util.h"
#include "packages/package_writer.h"

namespace updater {
namespace {

using testing::SampleBytes;
using testing::StringSink;
using testing::StringSource;

TEST(PackageCodecsTest, EveryMethodRoundTripsUnderItsNameAndCode) {
  std::set<std::string> names;
  for (const PackageCodec& codec : PackageCodecs()) {
    SCOPED_TRACE(codec.Name);
    EXPECT_TRUE(names.insert(codec.Name).second);
    EXPECT_EQ(FindCodec(codec.Method), &codec);
    EXPECT_EQ(MethodName(codec.Method), codec.Name);
    if (!EncodesWholeContent(codec.Method)) continue;
    for (const std::string& content : {std::string("x"), SampleBytes(1500000, 21)}) {
      const std::string stored = EncodeContent(codec.Method, content);
      const int64_t packedSize = static_cast<int64_t>(stored.size());
      const int64_t size = static_cast<int64_t>(content.size());
      ASSERT_TRUE(codec.SizesReadable(packedSize, size));
      EXPECT_EQ(codec.StoresContentAsIs, stored == content);
      StringSource source(stored);
      StringSink sink;
      ASSERT_EQ(DecodeStream(source, packedSize, size, codec.Method, sink), StreamResult::Ok);
      EXPECT_TRUE(sink.Bytes == content);
    }
  }
  // The names tools show for the methods of every package made so far.
  for (const char* name : {"stored", "zlib", "lzma", "zstd", "patch", "remove"})
    EXPECT_EQ(names.count(name), 1u) << name;
}

// The sizes at the edge of each rule; a refused pair fails before a single
// stored byte is read.
TEST(PackageCodecsTest, SizeRules) {
  struct Case {
    PackageMethod Method;
    int64_t PackedSize;
    int64_t Size;
    bool Readable;
  } cases[] = {
      {PackageMethod::Stored, 1, 1, true},  {PackageMethod::Stored, 3, 2, false},
      {PackageMethod::Stored, 0, 0, true},  {PackageMethod::Zlib, 1, 1, true},
      {PackageMethod::Zlib, 0, 1, false},   {PackageMethod::Zlib, 1, 0, false},
      {PackageMethod::Lzma, 18, 1, true},   {PackageMethod::Lzma, 17, 1, false},
      {PackageMethod::Lzma, 13, 1, false},  {PackageMethod::Lzma, 18, 0, false},
      {PackageMethod::Zstd, 1, 1, true},    {PackageMethod::Zstd, 0, 1, false},
      {PackageMethod::Zstd, 1, 0, false},   {PackageMethod::Patch, 73, 0, true},
      {PackageMethod::Patch, 72, 1, false}, {PackageMethod::Patch, 73, -1, false},
      {PackageMethod::Remove, 0, 0, true},  {PackageMethod::Remove, 1, 1, false},
      {PackageMethod::Remove, 0, 1, false}, {PackageMethod::Stored, 0, 1, false},
      {PackageMethod{6}, 1, 1, false},      {PackageMethod{255}, 1, 1, false},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(MethodName(c.Method) + " " + std::to_string(c.PackedSize) + " -> " +
                 std::to_string(c.Size));
    const PackageCodec* codec = FindCodec(c.Method);
    EXPECT_EQ(codec && codec->SizesReadable(c.PackedSize, c.Size), c.Readable);
    if (c.Readable) continue;
    StringSource source(std::string(64, '\0'));
    StringSink sink;
    EXPECT_EQ(DecodeStream(source, c.PackedSize, c.Size, c.Method, sink),
              StreamResult::DecodeFailed);
    EXPECT_EQ(source.Reads, 0);
  }
  EXPECT_EQ(MethodName(PackageMethod{6}), "method 6");
}

}  // namespace
}  // namespace updater

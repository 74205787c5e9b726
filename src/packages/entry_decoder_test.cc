// The data method decoders: the one-shot and the chunked forms must agree on
// every input, and both must hold to the exact-length rules.
#include "packages/entry_decoder.h"

#include <gtest/gtest.h>
#include <zstd.h>

#include <random>
#include <string>
#include <vector>

#include "packages/package_codecs.h"
#include "packages/package_memory_reader.h"
#include "packages/package_test_util.h"
#include "packages/package_writer.h"

namespace updater {
namespace {

using testing::SampleBytes;
using testing::StringSink;
using testing::StringSource;

struct Decoded {
  bool Ok;
  std::string Content;
};

Decoded OneShot(const std::string& stored, int64_t size, PackageMethod method) {
  std::vector<uint8_t> out(static_cast<size_t>(std::max<int64_t>(size, 1)));
  const uint8_t* src = reinterpret_cast<const uint8_t*>(stored.data());
  int64_t length = static_cast<int64_t>(stored.size());
  bool ok = method == PackageMethod::Zlib   ? DecodeZlib(src, length, out.data(), size)
            : method == PackageMethod::Zstd ? DecodeZstd(src, length, out.data(), size)
                                            : DecodeLzma(src, length, out.data(), size);
  return {ok, ok ? std::string(out.begin(), out.begin() + size) : std::string()};
}

Decoded Streamed(const std::string& stored, int64_t size, PackageMethod method) {
  StringSource source(stored, 7777);
  StringSink sink;
  bool ok = DecodeStream(source, static_cast<int64_t>(stored.size()), size, method, sink) ==
            StreamResult::Ok;
  return {ok, ok ? sink.Bytes : std::string()};
}

std::string WithEndMark(const std::string& content) {
  EncodeSettings settings;
  settings.LzmaEndMark = true;
  return EncodeLzma(content, settings);
}

// A zstd frame of `content` that leaves its size out and declares a window
// of 2^windowLog bytes, as a hostile package may.
std::string ZstdFrameWithWindow(const std::string& content, int windowLog) {
  ZSTD_CCtx* context = ZSTD_createCCtx();
  ZSTD_CCtx_setParameter(context, ZSTD_c_windowLog, windowLog);
  ZSTD_CCtx_setParameter(context, ZSTD_c_contentSizeFlag, 0);
  std::string frame(ZSTD_compressBound(content.size()), '\0');
  ZSTD_outBuffer out = {frame.data(), frame.size(), 0};
  // Given in two pieces, so that the encoder does not learn the size and
  // keep to a window that fits it.
  ZSTD_inBuffer in = {content.data(), content.size() / 2, 0};
  EXPECT_FALSE(ZSTD_isError(ZSTD_compressStream2(context, &out, &in, ZSTD_e_continue)));
  in.size = content.size();
  EXPECT_EQ(ZSTD_compressStream2(context, &out, &in, ZSTD_e_end), 0u);
  ZSTD_freeCCtx(context);
  frame.resize(out.pos);
  return frame;
}

TEST(EntryDecoderTest, ExactLengthRules) {
  const std::string content = SampleBytes(300000, 1);
  const int64_t size = static_cast<int64_t>(content.size());
  const std::string zlib = EncodeZlib(content);
  const std::string lzma = EncodeLzma(content);
  std::string lzmaBadProps = lzma;
  lzmaBadProps[0] = static_cast<char>(225);  // lc/lp/pb beyond their ranges
  std::string zlibFlipped = zlib;
  zlibFlipped[zlib.size() / 2] = static_cast<char>(zlibFlipped[zlib.size() / 2] ^ 0x55);
  const std::string zstd = EncodeContent(PackageMethod::Zstd, content);
  std::string zstdFlipped = zstd;
  zstdFlipped[zstd.size() / 2] = static_cast<char>(zstdFlipped[zstd.size() / 2] ^ 0x55);
  // A skippable frame of 4 bytes, then the real one.
  const std::string skippable = std::string("\x50\x2a\x4d\x18\x04\0\0\0abcd", 12) + zstd;
  struct Case {
    const char* What;
    std::string Stored;
    int64_t Size;
    PackageMethod Method;
    bool Ok;
  } cases[] = {
      {"zlib whole", zlib, size, PackageMethod::Zlib, true},
      {"zlib with bytes after the stream", zlib + "junk", size, PackageMethod::Zlib, true},
      {"zlib producing more than the size", zlib, size - 1, PackageMethod::Zlib, false},
      {"zlib producing fewer than the size", zlib, size + 1, PackageMethod::Zlib, false},
      {"zlib cut short", zlib.substr(0, zlib.size() - 10), size, PackageMethod::Zlib, false},
      {"zlib without its checksum", zlib.substr(0, zlib.size() - 4), size, PackageMethod::Zlib,
       false},
      {"zlib corrupt", zlibFlipped, size, PackageMethod::Zlib, false},
      {"zlib not a stream", "hello", 5, PackageMethod::Zlib, false},
      {"lzma whole", lzma, size, PackageMethod::Lzma, true},
      {"lzma with end mark", WithEndMark(content), size, PackageMethod::Lzma, true},
      // Decoding stops at the size; the rest of the stream is not needed.
      {"lzma asked for a prefix", lzma, size - 1000, PackageMethod::Lzma, true},
      {"lzma ending before the size", WithEndMark(content), size + 1, PackageMethod::Lzma, false},
      {"lzma cut short", lzma.substr(0, lzma.size() / 2), size, PackageMethod::Lzma, false},
      {"lzma header only", lzma.substr(0, 13), size, PackageMethod::Lzma, false},
      {"lzma shorter than its header", lzma.substr(0, 12), size, PackageMethod::Lzma, false},
      {"lzma bad properties", lzmaBadProps, size, PackageMethod::Lzma, false},
      {"zstd whole", zstd, size, PackageMethod::Zstd, true},
      {"zstd window at the limit", ZstdFrameWithWindow(content, kZstdWindowLogMax), size,
       PackageMethod::Zstd, true},
      {"zstd declaring a window over the limit", ZstdFrameWithWindow(content, 26), size,
       PackageMethod::Zstd, false},
      {"zstd with bytes after the frame", zstd + "junk", size, PackageMethod::Zstd, false},
      {"zstd two frames", zstd + zstd, size * 2, PackageMethod::Zstd, false},
      {"zstd producing more than the size", zstd, size - 1, PackageMethod::Zstd, false},
      {"zstd producing fewer than the size", zstd, size + 1, PackageMethod::Zstd, false},
      {"zstd cut short", zstd.substr(0, zstd.size() - 10), size, PackageMethod::Zstd, false},
      {"zstd without its checksum", zstd.substr(0, zstd.size() - 4), size, PackageMethod::Zstd,
       false},
      {"zstd corrupt", zstdFlipped, size, PackageMethod::Zstd, false},
      {"zstd after a skippable frame", skippable, size, PackageMethod::Zstd, false},
      {"zstd shorter than a frame", zstd.substr(0, 8), size, PackageMethod::Zstd, false},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.What);
    Decoded one = OneShot(c.Stored, c.Size, c.Method);
    Decoded streamed = Streamed(c.Stored, c.Size, c.Method);
    EXPECT_EQ(one.Ok, c.Ok);
    EXPECT_EQ(streamed.Ok, c.Ok);
    if (c.Ok) {
      EXPECT_TRUE(one.Content == content.substr(0, static_cast<size_t>(c.Size)));
      EXPECT_TRUE(streamed.Content == one.Content);
    }
  }
}

TEST(EntryDecoderTest, StoredBlocksAndBadArguments) {
  struct Case {
    const char* What;
    std::string Stored;
    int64_t PackedSize;
    int64_t Size;
    PackageMethod Method;
    StreamResult Result;
  } cases[] = {
      {"stored", "abc", 3, 3, PackageMethod::Stored, StreamResult::Ok},
      {"stored sizes differ", "abc", 3, 2, PackageMethod::Stored, StreamResult::DecodeFailed},
      {"source shorter than the packed size", "abc", 4, 4, PackageMethod::Stored,
       StreamResult::DecodeFailed},
      {"size 0", "abc", 3, 0, PackageMethod::Stored, StreamResult::DecodeFailed},
      {"packed size 0", "", 0, 3, PackageMethod::Zlib, StreamResult::DecodeFailed},
      {"unknown method", "abc", 3, 3, PackageMethod{6}, StreamResult::DecodeFailed},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.What);
    StringSource source(c.Stored, 7777);
    StringSink sink;
    StreamResult result = DecodeStream(source, c.PackedSize, c.Size, c.Method, sink);
    EXPECT_EQ(result, c.Result);
    if (result == StreamResult::Ok) {
      EXPECT_EQ(sink.Bytes, c.Stored);
    }
  }
}

TEST(EntryDecoderTest, SinkFailureIsAWriteFailure) {
  const std::string content = SampleBytes(600000, 2);
  const int64_t size = static_cast<int64_t>(content.size());
  for (PackageMethod method :
       {PackageMethod::Stored, PackageMethod::Zlib, PackageMethod::Lzma, PackageMethod::Zstd}) {
    SCOPED_TRACE(static_cast<int>(method));
    std::string stored = EncodeContent(method, content);
    StringSource source(stored, 7777);
    StringSink sink;
    sink.Capacity = size / 2;
    EXPECT_EQ(DecodeStream(source, static_cast<int64_t>(stored.size()), size, method, sink),
              StreamResult::WriteFailed);
  }
}

// Random damage to real streams: the chunked decoder succeeds exactly when
// the one-shot decoder does, with the same bytes, and neither crashes.
TEST(EntryDecoderTest, DamagedStreamsAgree) {
  const std::string content = SampleBytes(40000, 3);
  const int64_t size = static_cast<int64_t>(content.size());
  std::mt19937 random(12345);
  for (PackageMethod method : {PackageMethod::Zlib, PackageMethod::Lzma, PackageMethod::Zstd}) {
    const std::string good = EncodeContent(method, content);
    int failures = 0;
    for (int round = 0; round < 300; ++round) {
      std::string damaged = good;
      int changes = 1 + static_cast<int>(random() % 3);
      for (int i = 0; i < changes; ++i) {
        size_t at = random() % damaged.size();
        damaged[at] = static_cast<char>(random());
      }
      if (random() % 4 == 0) damaged.resize(random() % damaged.size());
      Decoded one = OneShot(damaged, size, method);
      Decoded streamed = Streamed(damaged, size, method);
      ASSERT_EQ(one.Ok, streamed.Ok) << "method " << int(method) << " round " << round;
      if (one.Ok) {
        ASSERT_TRUE(one.Content == streamed.Content);
      }
      failures += one.Ok ? 0 : 1;
    }
    EXPECT_GT(failures, 0);
  }
}

}  // namespace
}  // namespace updater

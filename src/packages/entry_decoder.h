// The three data methods of update packages: one-shot decoders into a memory
// block, and a chunked decoder that streams stored bytes into a sink with the
// same success rules while holding only small buffers.
#pragma once

#include <cstdint>

namespace updater {

enum PackageMethod : uint8_t { MethodStored = 0, MethodZlib = 1, MethodLzma = 2 };

// An LZMA block: 5 coder property bytes, 8 bytes the reader skips, then data.
inline constexpr int64_t kLzmaPropsSize = 5;
inline constexpr int64_t kLzmaHeaderSize = 13;

// Inflates one zlib stream. True only when the stream is complete and
// produces exactly `dstLen` bytes.
bool DecodeZlib(const uint8_t* src, int64_t srcLen, uint8_t* dst, int64_t dstLen);

// Decodes an LZMA block (13-byte header, then raw LZMA data) into `dst`.
// True only when exactly `dstLen` bytes come out; a stream that ends early,
// a block shorter than 13 bytes and corrupt data fail.
bool DecodeLzma(const uint8_t* src, int64_t srcLen, uint8_t* dst, int64_t dstLen);

// Stored bytes in order. Read returns the count read, 0 at the end, -1 on
// failure.
class ByteSource {
 public:
  virtual ~ByteSource() = default;
  virtual int64_t Read(uint8_t* buffer, int64_t size) = 0;
};

// Where decoded bytes go. False when they could not be taken (disk full).
class ByteSink {
 public:
  virtual ~ByteSink() = default;
  virtual bool Write(const uint8_t* data, int64_t size) = 0;
};

enum class StreamResult { Ok, DecodeFailed, WriteFailed };

// Reads `packedSize` stored bytes from `stored` and writes the `size` decoded
// bytes to `sink` in chunks. Succeeds exactly when the one-shot path
// (a stored block of equal sizes, DecodeZlib, DecodeLzma) would; a short
// source, a size of 0 or less and an unknown method are decode failures.
// Bytes already handed to the sink stay there on failure.
StreamResult DecodeStream(ByteSource& stored, int64_t packedSize, int64_t size, uint8_t method,
                          ByteSink& sink);

}  // namespace updater

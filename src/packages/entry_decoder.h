// The streaming decoders of the package data methods: each reads a stored
// block from a source and writes the decoded content to a sink in chunks,
// holding only small buffers. The codec table (package_codecs.h) says which
// decoder serves which method and which block sizes it may be given.
#pragma once

#include <cstdint>
#include <string_view>

namespace updater {

class FileSystem;

// An LZMA block: 5 coder property bytes, 8 bytes the reader skips, then data.
inline constexpr int64_t kLzmaPropsSize = 5;
inline constexpr int64_t kLzmaHeaderSize = 13;
// The range coder needs these many bytes of data before it can start.
inline constexpr int64_t kLzmaRangeCoderInitSize = 5;

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

// What a decoder may use besides its stored block: the file the content is
// for. The methods that decode from the block alone ignore it; a method that
// decodes against the target's present content would read it from here.
struct DecodeContext {
  // The file the decoded content will replace, and the file system it is
  // on; empty and null when the content goes to memory (the directory).
  std::string_view TargetPath;
  FileSystem* Files = nullptr;
};

// A decoder: reads `packedSize` stored bytes from `stored` and writes exactly
// `size` decoded bytes to `sink`. Called only with sizes its method's rule
// accepts (PackageCodec::SizesReadable). DecodeFailed for a source that ends
// early or fails, for data that does not decode to exactly `size` bytes and
// when memory is short; WriteFailed when the sink refuses. Bytes already
// handed to the sink stay there on failure.
using StreamDecoder = StreamResult (*)(ByteSource& stored, int64_t packedSize, int64_t size,
                                       ByteSink& sink, const DecodeContext& context);

// The stored block is the content: copied as it is.
StreamResult CopyStoredStream(ByteSource& stored, int64_t packedSize, int64_t size, ByteSink& sink,
                              const DecodeContext& context);

// One zlib stream that inflates to exactly `size` bytes. Bytes after the
// stream's end are ignored, as zlib's `uncompress` ignores them.
StreamResult InflateZlibStream(ByteSource& stored, int64_t packedSize, int64_t size, ByteSink& sink,
                               const DecodeContext& context);

// An LZMA block (13-byte header, then raw LZMA data) decoded up to `size`
// bytes; a stream whose end mark comes earlier fails.
StreamResult DecodeLzmaStream(ByteSource& stored, int64_t packedSize, int64_t size, ByteSink& sink,
                              const DecodeContext& context);

}  // namespace updater

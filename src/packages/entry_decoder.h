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

// A Zstandard block's frame may need a window of at most 2^25 bytes (32 MiB),
// which bounds the decoder's memory whatever a frame declares; the writer
// keeps its frames within it.
inline constexpr int kZstdWindowLogMax = 25;
// The smallest Zstandard frame: magic number, frame header, one block header.
inline constexpr int64_t kZstdMinFrameSize = 9;
// A patch block: the BLAKE2b-256 of the file it was made from (the target's
// content it applies to), that of the file it makes, then one Zstandard
// frame that uses the first file's content as its prefix.
inline constexpr int64_t kPatchHashSize = 32;
inline constexpr int64_t kPatchHeaderSize = 2 * kPatchHashSize;

// Where decoded bytes go. False when they could not be taken (disk full).
class ByteSink {
 public:
  virtual ~ByteSink() = default;
  virtual bool Write(const uint8_t* data, int64_t size) = 0;

  // For a decoder that reads back what it has decoded (a patch): memory for
  // the sink's whole content of `size` bytes, which the decoder fills in
  // order, telling each piece with ContentFilled instead of writing it. Asked at
  // most once, before anything else. Null when the sink offers none (the
  // default) or could not make it, and for `size` 0; the decoder then
  // decodes into memory of its own and writes it.
  virtual uint8_t* ContentMemory(int64_t size) {
    (void)size;
    return nullptr;
  }
  // The next `count` bytes of ContentMemory now hold content. False when the
  // sink can no longer take them.
  virtual bool ContentFilled(int64_t count) {
    (void)count;
    return true;
  }
};

// ReferenceMismatch: a patch whose target is missing, cannot be read, or is
// not the file the patch was made from; nothing was handed to the sink.
// (clang-format 14 cannot lay out an enum with an attribute.)
// clang-format off
enum class [[nodiscard]] StreamResult { Ok, DecodeFailed, WriteFailed, ReferenceMismatch };
// clang-format on

// What a decoder may use besides its stored block: the file the content is
// for. The methods that decode from the block alone ignore it; a patch reads
// the target's present content (its reference) from here.
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

// One Zstandard frame that decodes to exactly `size` bytes, in chunks, with
// a window of at most 2^kZstdWindowLogMax bytes. Bytes after the frame, a
// frame of another kind (skippable, or a format before zstd 1.0) and a
// frame that needs a larger window fail.
StreamResult DecodeZstdStream(ByteSource& stored, int64_t packedSize, int64_t size, ByteSink& sink,
                              const DecodeContext& context);

// A patch block applied to the content of `context.TargetPath`, which it maps
// read-only: ReferenceMismatch, before anything reaches the sink, when that
// file is missing, cannot be mapped or its hash is not the block's first.
// The frame is read in chunks and decoded straight into the sink's content
// memory (or memory of the decoder's own, then written), so that nothing
// but the two files grows with their size. A result that is not exactly
// `size` bytes with the block's second hash is a decode failure.
StreamResult DecodePatchStream(ByteSource& stored, int64_t packedSize, int64_t size, ByteSink& sink,
                               const DecodeContext& context);

}  // namespace updater

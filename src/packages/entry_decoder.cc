// The streaming decoders of the package data methods.
#include "packages/entry_decoder.h"

#include <LzmaDec.h>
#include <zlib.h>
// The experimental part of zstd's API (linked statically, see
// cmake/Zstd.cmake): a patch decodes straight into its output
// (ZSTD_d_stableOutBuffer) rather than into a window buffer of the file's size.
#define ZSTD_STATIC_LINKING_ONLY
#include <zstd.h>

#include <algorithm>
#include <cstdlib>
#include <cstring>
#include <memory>
#include <string>

#include "packages/content_hash.h"
#include "system/file_system.h"

namespace updater {

namespace {

constexpr int64_t kChunkSize = 1 << 20;
// The LZMA decoder never needs less than this much dictionary.
constexpr uint32_t kLzmaMinDictionary = 1 << 12;

void* LzmaAlloc(void*, size_t size) { return std::malloc(size); }
void LzmaFree(void*, void* address) { std::free(address); }
ISzAlloc g_lzmaAlloc = {LzmaAlloc, LzmaFree};

// A buffer for a stream of `bytes` bytes: one chunk, or less for a shorter
// stream, since a package of many small files would otherwise obtain and
// release megabytes for each of them. Data is null when memory is short.
struct Chunk {
  explicit Chunk(int64_t bytes)
      : Capacity(std::max<int64_t>(1, std::min(kChunkSize, bytes))),
        Data(new (std::nothrow) uint8_t[static_cast<size_t>(Capacity)]) {}
  uint8_t* get() const { return Data.get(); }
  explicit operator bool() const { return Data != nullptr; }

  int64_t Capacity;
  std::unique_ptr<uint8_t[]> Data;
};

// Reads the next piece of at most one buffer from the `remaining` stored
// bytes. False on a read failure or when the source ends early.
bool Refill(ByteSource& stored, const Chunk& buffer, int64_t* remaining, int64_t* filled) {
  int64_t want = std::min(buffer.Capacity, *remaining);
  int64_t count = stored.Read(buffer.get(), want);
  if (count <= 0 || count > want) return false;
  *remaining -= count;
  *filled = count;
  return true;
}

// The coder properties to decode with. The declared dictionary size only
// bounds how far back a match may reach, and no match reaches before the
// first of `size` bytes, so a dictionary larger than the content is cut down:
// decoding is the same and memory stays small.
void LimitedProperties(const uint8_t* header, int64_t size, uint8_t* props) {
  std::memcpy(props, header, kLzmaPropsSize);
  uint32_t dictionary = static_cast<uint32_t>(props[1]) | static_cast<uint32_t>(props[2]) << 8 |
                        static_cast<uint32_t>(props[3]) << 16 |
                        static_cast<uint32_t>(props[4]) << 24;
  if (static_cast<int64_t>(dictionary) <= size) return;
  uint32_t limited = std::max(kLzmaMinDictionary, static_cast<uint32_t>(size));
  for (int i = 0; i < 4; ++i) props[1 + i] = static_cast<uint8_t>(limited >> (8 * i));
}

// Reads exactly `size` bytes, in as many reads as the source needs.
bool ReadExactly(ByteSource& stored, uint8_t* buffer, int64_t size) {
  while (size > 0) {
    int64_t count = stored.Read(buffer, size);
    if (count <= 0 || count > size) return false;
    buffer += count;
    size -= count;
  }
  return true;
}

// Every Zstandard frame starts with these bytes (0xFD2FB528, little-endian).
constexpr uint8_t kZstdMagic[4] = {0x28, 0xB5, 0x2F, 0xFD};

// A zstd decompression context, freed when it goes.
struct ZstdContext {
  ZstdContext() : Context(ZSTD_createDCtx()) {}
  ~ZstdContext() { ZSTD_freeDCtx(Context); }
  ZstdContext(const ZstdContext&) = delete;
  ZstdContext& operator=(const ZstdContext&) = delete;
  bool Set(ZSTD_dParameter parameter, int value) {
    return Context && !ZSTD_isError(ZSTD_DCtx_setParameter(Context, parameter, value));
  }
  ZSTD_DCtx* Context;
};

// Reads the frame's magic number into `magic`: false when the block does not
// start with it. Reading it first keeps frames of other kinds (skippable
// frames, the formats before zstd 1.0, which Debian's library still decodes)
// away from the decoder.
bool ReadZstdMagic(ByteSource& stored, int64_t* remaining, uint8_t* magic) {
  if (*remaining < kZstdMinFrameSize || !ReadExactly(stored, magic, sizeof kZstdMagic))
    return false;
  *remaining -= sizeof kZstdMagic;
  return std::memcmp(magic, kZstdMagic, sizeof kZstdMagic) == 0;
}

// Feeds the rest of one frame (its magic number already read) to `decoder`,
// into `output` after `output->pos`, until the frame ends. `afterStep` is
// told the bytes each step put into the output and may take them out again
// (resetting `output->pos`); false from it is a write failure. The frame
// must end exactly where the `remaining` stored bytes do.
template <typename AfterStep>
StreamResult DecodeZstdFrame(ByteSource& stored, int64_t remaining, const uint8_t* magic,
                             ZSTD_DCtx* decoder, ZSTD_outBuffer* output, AfterStep afterStep) {
  Chunk input(remaining);
  if (!input) return StreamResult::DecodeFailed;
  ZSTD_inBuffer in = {magic, sizeof kZstdMagic, 0};
  while (true) {
    if (in.pos == in.size && remaining > 0) {
      int64_t filled = 0;
      if (!Refill(stored, input, &remaining, &filled)) return StreamResult::DecodeFailed;
      in = {input.get(), static_cast<size_t>(filled), 0};
    }
    const size_t consumedBefore = in.pos, producedBefore = output->pos;
    const size_t hint = ZSTD_decompressStream(decoder, output, &in);
    if (ZSTD_isError(hint)) return StreamResult::DecodeFailed;
    const size_t produced = output->pos - producedBefore;
    const bool outputFull = output->pos == output->size;
    if (produced > 0 && !afterStep(static_cast<int64_t>(produced)))
      return StreamResult::WriteFailed;
    if (hint == 0) {
      // The frame is complete: no byte of the block may follow it.
      return in.pos == in.size && remaining == 0 ? StreamResult::Ok : StreamResult::DecodeFailed;
    }
    const bool inputLeft = in.pos < in.size || remaining > 0;
    // The frame goes on, but its block has ended, or the decoder can make
    // no progress (its output is full, or it takes nothing).
    if (!inputLeft && !outputFull) return StreamResult::DecodeFailed;
    if (produced == 0 && in.pos == consumedBefore && (outputFull || !inputLeft))
      return StreamResult::DecodeFailed;
  }
}

}  // namespace

StreamResult CopyStoredStream(ByteSource& stored, int64_t packedSize, int64_t, ByteSink& sink,
                              const DecodeContext&) {
  Chunk buffer(packedSize);
  if (!buffer) return StreamResult::DecodeFailed;
  int64_t remaining = packedSize;
  while (remaining > 0) {
    int64_t filled = 0;
    if (!Refill(stored, buffer, &remaining, &filled)) return StreamResult::DecodeFailed;
    if (!sink.Write(buffer.get(), filled)) return StreamResult::WriteFailed;
  }
  return StreamResult::Ok;
}

// zlib's `uncompress` with a destination of `size` bytes succeeds when the
// stream ends and has produced no more than `size` bytes; trailing input after
// the stream's end is ignored. The length must also match exactly.
StreamResult InflateZlibStream(ByteSource& stored, int64_t packedSize, int64_t size, ByteSink& sink,
                               const DecodeContext&) {
  Chunk input(packedSize);
  // Any room works: a stream longer than `size` shows when it writes more.
  Chunk output(size);
  if (!input || !output) return StreamResult::DecodeFailed;
  z_stream stream{};
  if (inflateInit(&stream) != Z_OK) return StreamResult::DecodeFailed;
  struct EndInflate {
    z_stream* Stream;
    ~EndInflate() { inflateEnd(Stream); }
  } endInflate{&stream};

  int64_t remaining = packedSize;
  int64_t produced = 0;
  while (true) {
    if (stream.avail_in == 0 && remaining > 0) {
      int64_t filled = 0;
      if (!Refill(stored, input, &remaining, &filled)) return StreamResult::DecodeFailed;
      stream.next_in = input.get();
      stream.avail_in = static_cast<uInt>(filled);
    }
    stream.next_out = output.get();
    stream.avail_out = static_cast<uInt>(output.Capacity);
    int result = inflate(&stream, Z_NO_FLUSH);
    int64_t have = output.Capacity - stream.avail_out;
    if (have > 0) {
      if (produced + have > size) return StreamResult::DecodeFailed;
      if (!sink.Write(output.get(), have)) return StreamResult::WriteFailed;
      produced += have;
    }
    if (result == Z_STREAM_END) break;
    if (result == Z_BUF_ERROR) {
      // The output always has room, so zlib wants input that is not there.
      if (stream.avail_in == 0 && remaining == 0) return StreamResult::DecodeFailed;
      continue;
    }
    if (result != Z_OK) return StreamResult::DecodeFailed;
  }
  return produced == size ? StreamResult::Ok : StreamResult::DecodeFailed;
}

StreamResult DecodeLzmaStream(ByteSource& stored, int64_t packedSize, int64_t size, ByteSink& sink,
                              const DecodeContext&) {
  uint8_t header[kLzmaHeaderSize];
  int64_t headerRead = stored.Read(header, kLzmaHeaderSize);
  if (headerRead != kLzmaHeaderSize) return StreamResult::DecodeFailed;
  uint8_t props[kLzmaPropsSize];
  LimitedProperties(header, size, props);

  Chunk input(packedSize - kLzmaHeaderSize);
  Chunk output(size);
  if (!input || !output) return StreamResult::DecodeFailed;
  CLzmaDec decoder;
  LzmaDec_Construct(&decoder);
  if (LzmaDec_Allocate(&decoder, props, kLzmaPropsSize, &g_lzmaAlloc) != SZ_OK)
    return StreamResult::DecodeFailed;
  struct FreeDecoder {
    CLzmaDec* Decoder;
    ~FreeDecoder() { LzmaDec_Free(Decoder, &g_lzmaAlloc); }
  } freeDecoder{&decoder};
  LzmaDec_Init(&decoder);

  int64_t remaining = packedSize - kLzmaHeaderSize;
  int64_t inputPos = 0, inputEnd = 0;
  int64_t produced = 0;
  while (produced < size) {
    if (inputPos == inputEnd && remaining > 0) {
      if (!Refill(stored, input, &remaining, &inputEnd)) return StreamResult::DecodeFailed;
      inputPos = 0;
    }
    SizeT inCount = static_cast<SizeT>(inputEnd - inputPos);
    SizeT outCount = static_cast<SizeT>(std::min(output.Capacity, size - produced));
    ELzmaStatus status;
    SRes result = LzmaDec_DecodeToBuf(&decoder, output.get(), &outCount, input.get() + inputPos,
                                      &inCount, LZMA_FINISH_ANY, &status);
    inputPos += static_cast<int64_t>(inCount);
    if (result != SZ_OK) return StreamResult::DecodeFailed;
    if (outCount > 0) {
      if (!sink.Write(output.get(), static_cast<int64_t>(outCount)))
        return StreamResult::WriteFailed;
      produced += static_cast<int64_t>(outCount);
    }
    if (produced == size) break;
    // The stream's end marker came before `size` bytes.
    if (status == LZMA_STATUS_FINISHED_WITH_MARK) return StreamResult::DecodeFailed;
    bool inputLeft = inputPos < inputEnd || remaining > 0;
    if (!inputLeft) return StreamResult::DecodeFailed;
    if (inCount == 0 && outCount == 0 && inputPos < inputEnd) return StreamResult::DecodeFailed;
  }
  return StreamResult::Ok;
}

}  // namespace updater

namespace updater {

StreamResult DecodeZstdStream(ByteSource& stored, int64_t packedSize, int64_t size, ByteSink& sink,
                              const DecodeContext&) {
  int64_t remaining = packedSize;
  uint8_t magic[sizeof kZstdMagic];
  if (!ReadZstdMagic(stored, &remaining, magic)) return StreamResult::DecodeFailed;
  Chunk output(size);
  ZstdContext decoder;
  if (!output || !decoder.Set(ZSTD_d_windowLogMax, kZstdWindowLogMax))
    return StreamResult::DecodeFailed;
  ZSTD_outBuffer out = {output.get(), static_cast<size_t>(output.Capacity), 0};
  int64_t produced = 0;
  bool tooLong = false;
  StreamResult result =
      DecodeZstdFrame(stored, remaining, magic, decoder.Context, &out, [&](int64_t count) {
        out.pos = 0;  // the chunk is handed on and used again
        if (produced + count > size) {
          tooLong = true;
          return false;
        }
        produced += count;
        return sink.Write(output.get(), count);
      });
  if (tooLong) return StreamResult::DecodeFailed;
  if (result != StreamResult::Ok) return result;
  return produced == size ? StreamResult::Ok : StreamResult::DecodeFailed;
}

StreamResult DecodePatchStream(ByteSource& stored, int64_t packedSize, int64_t size, ByteSink& sink,
                               const DecodeContext& context) {
  uint8_t hashes[kPatchHeaderSize];
  if (!ReadExactly(stored, hashes, kPatchHeaderSize)) return StreamResult::DecodeFailed;
  if (!context.Files || context.TargetPath.empty()) return StreamResult::ReferenceMismatch;
  // A reference that cannot be mapped is a patch that does not apply here.
  std::unique_ptr<MappedFile> reference =
      context.Files->MapRead(std::string(context.TargetPath), nullptr);
  if (!reference) return StreamResult::ReferenceMismatch;
  ContentHash hash;
  std::string error;
  if (!HashContent(reference->Data(), reference->Size(), &hash, &error))
    return StreamResult::DecodeFailed;
  if (std::memcmp(hash.data(), hashes, kPatchHashSize) != 0) return StreamResult::ReferenceMismatch;

  int64_t remaining = packedSize - kPatchHeaderSize;
  uint8_t magic[sizeof kZstdMagic];
  if (!ReadZstdMagic(stored, &remaining, magic)) return StreamResult::DecodeFailed;
  // The frame's window covers the reference and the result, which lie in
  // memory already: the decoder reads both there and keeps no window of its
  // own, so the largest window the format has is allowed.
  ZstdContext decoder;
  if (!decoder.Set(ZSTD_d_windowLogMax, ZSTD_WINDOWLOG_MAX) ||
      !decoder.Set(ZSTD_d_stableOutBuffer, 1) ||
      ZSTD_isError(ZSTD_DCtx_refPrefix(decoder.Context, reference->Data(),
                                       static_cast<size_t>(reference->Size()))))
    return StreamResult::DecodeFailed;

  uint8_t* content = sink.ContentMemory(size);
  const bool ownMemory = content == nullptr;
  std::unique_ptr<uint8_t[]> own;
  uint8_t none = 0;
  if (ownMemory && size > 0) {
    own.reset(new (std::nothrow) uint8_t[static_cast<size_t>(size)]);
    if (!own) return StreamResult::DecodeFailed;
    content = own.get();
  }
  ZSTD_outBuffer out = {content ? content : &none, static_cast<size_t>(size), 0};
  StreamResult result =
      DecodeZstdFrame(stored, remaining, magic, decoder.Context, &out,
                      [&](int64_t count) { return ownMemory || sink.ContentFilled(count); });
  if (result != StreamResult::Ok) return result;
  if (static_cast<int64_t>(out.pos) != size) return StreamResult::DecodeFailed;
  if (!HashContent(content, size, &hash, &error) ||
      std::memcmp(hash.data(), hashes + kPatchHashSize, kPatchHashSize) != 0)
    return StreamResult::DecodeFailed;
  for (int64_t done = 0; ownMemory && done < size; done += kChunkSize)
    if (!sink.Write(content + done, std::min(kChunkSize, size - done)))
      return StreamResult::WriteFailed;
  return StreamResult::Ok;
}

}  // namespace updater

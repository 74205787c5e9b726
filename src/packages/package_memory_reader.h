// Test support: entries read whole into memory and decoded in one call, the
// reference the streaming reader is held against. The one-call decoders are
// the libraries' own (zlib's uncompress, the LZMA SDK's LzmaDecode, zstd's
// one-call decompression), apart from the streaming decoders, so that the
// package tests and the fuzz target can check that both ways agree.
#pragma once

#include <cstdint>
#include <memory>
#include <string>

#include "packages/package_codecs.h"
#include "packages/package_reader.h"

namespace updater {

// A zero-filled block of memory with its size.
struct MemoryBlock {
  std::unique_ptr<uint8_t[]> Data;
  int64_t Size = 0;
};

// Obtains a zero-filled block. False for a size of 0 or less and when memory
// is short.
bool ObtainBlock(int64_t size, MemoryBlock* block);

// Inflates one zlib stream. True only when the stream is complete and
// produces exactly `dstLen` bytes.
bool DecodeZlib(const uint8_t* src, int64_t srcLen, uint8_t* dst, int64_t dstLen);

// Decodes an LZMA block (13-byte header, then raw LZMA data) into `dst`.
// True only when exactly `dstLen` bytes come out; a stream that ends early,
// a block shorter than 13 bytes and corrupt data fail.
bool DecodeLzma(const uint8_t* src, int64_t srcLen, uint8_t* dst, int64_t dstLen);

// Decodes one Zstandard frame into `dst`. True only when the block is exactly
// one frame of that kind, its window is within 2^kZstdWindowLogMax bytes and
// it produces exactly `dstLen` bytes.
bool DecodeZstd(const uint8_t* src, int64_t srcLen, uint8_t* dst, int64_t dstLen);

// Applies a patch block (two hashes, one frame) to `reference` into `dst`.
// True only when the reference has the block's first hash and the result,
// exactly `dstLen` bytes, the second.
bool DecodePatch(const uint8_t* src, int64_t srcLen, const uint8_t* reference, int64_t referenceLen,
                 uint8_t* dst, int64_t dstLen);

// The row's stored bytes (an empty block for packed size 0). Fails for a
// position outside the table and when the bytes cannot all be read.
bool ReadEntryData(PackageReader& reader, size_t position, MemoryBlock* stored);

// Turns a row's stored bytes into its `size` content bytes (a stored block is
// handed on unchanged). Fails for an unknown method, a remove entry (which
// has no content), a stored block whose two sizes differ, and any decode
// failure. A patch reads its reference, the file `context` names, whole. A
// method without a one-call decoder here is decoded by its streaming
// decoder, in memory.
bool DecodeData(MemoryBlock stored, int64_t packedSize, int64_t size, PackageMethod method,
                MemoryBlock* content, const DecodeContext& context = DecodeContext());

// The whole content of the entry `name` in memory, and its row position; a
// patch applies to the file `context` names.
bool LoadEntry(PackageReader& reader, const std::string& name, MemoryBlock* content,
               size_t* position, const DecodeContext& context = DecodeContext());

}  // namespace updater

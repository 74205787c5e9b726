// Test support: entries read whole into memory and decoded in one call.
#include "packages/package_memory_reader.h"

#include <LzmaDec.h>
#include <zlib.h>
// ZSTD_getFrameHeader, to hold frames to the streaming decoder's window.
#define ZSTD_STATIC_LINKING_ONLY
#include <zstd.h>

#include <algorithm>
#include <cstdlib>
#include <cstring>
#include <new>

#include "packages/content_hash.h"
#include "system/file_system.h"

namespace updater {

namespace {

void* LzmaAlloc(void*, size_t size) { return std::malloc(size); }
void LzmaFree(void*, void* address) { std::free(address); }
ISzAlloc g_lzmaAlloc = {LzmaAlloc, LzmaFree};

// A failed read shows as an entry that cannot be decoded, which is what the
// console and the log say of it; the file system's cause is not wanted.
bool ReadAt(File& file, int64_t offset, int64_t size, uint8_t* out) {
  return file.Seek(offset, nullptr) && file.Read(out, size, nullptr) == size;
}

// A memory block as a source, and another one, filled from its start, as a
// sink that takes no more than the block holds.
class BlockSource : public ByteSource {
 public:
  explicit BlockSource(const MemoryBlock& block) : block_(block) {}
  int64_t Read(uint8_t* buffer, int64_t size) override {
    int64_t count = std::min(size, block_.Size - position_);
    if (count <= 0) return 0;
    std::memcpy(buffer, block_.Data.get() + position_, static_cast<size_t>(count));
    position_ += count;
    return count;
  }

 private:
  const MemoryBlock& block_;
  int64_t position_ = 0;
};

class BlockSink : public ByteSink {
 public:
  explicit BlockSink(MemoryBlock& block) : block_(block) {}
  bool Write(const uint8_t* data, int64_t size) override {
    if (size > block_.Size - filled_) return false;
    std::memcpy(block_.Data.get() + filled_, data, static_cast<size_t>(size));
    filled_ += size;
    return true;
  }
  int64_t Filled() const { return filled_; }

 private:
  MemoryBlock& block_;
  int64_t filled_ = 0;
};

}  // namespace

bool ObtainBlock(int64_t size, MemoryBlock* block) {
  if (size <= 0) return false;
  std::unique_ptr<uint8_t[]> data(new (std::nothrow) uint8_t[static_cast<size_t>(size)]());
  if (!data) return false;
  block->Data = std::move(data);
  block->Size = size;
  return true;
}

bool DecodeZlib(const uint8_t* src, int64_t srcLen, uint8_t* dst, int64_t dstLen) {
  if (srcLen <= 0 || dstLen <= 0) return false;
  uLongf produced = static_cast<uLongf>(dstLen);
  int result = uncompress(dst, &produced, src, static_cast<uLong>(srcLen));
  return result == Z_OK && static_cast<int64_t>(produced) == dstLen;
}

bool DecodeLzma(const uint8_t* src, int64_t srcLen, uint8_t* dst, int64_t dstLen) {
  if (srcLen < kLzmaHeaderSize || dstLen <= 0) return false;
  // The properties are copied out of the block first, as the SDK's one-call
  // decoder is handed them separately from the data.
  uint8_t props[kLzmaPropsSize];
  std::memcpy(props, src, kLzmaPropsSize);
  SizeT produced = static_cast<SizeT>(dstLen);
  SizeT consumed = static_cast<SizeT>(srcLen - kLzmaHeaderSize);
  ELzmaStatus status;
  SRes result = LzmaDecode(dst, &produced, src + kLzmaHeaderSize, &consumed, props, kLzmaPropsSize,
                           LZMA_FINISH_ANY, &status, &g_lzmaAlloc);
  return result == SZ_OK && static_cast<int64_t>(produced) == dstLen;
}

bool DecodeZstd(const uint8_t* src, int64_t srcLen, uint8_t* dst, int64_t dstLen) {
  static const uint8_t kMagic[4] = {0x28, 0xB5, 0x2F, 0xFD};
  if (srcLen < kZstdMinFrameSize || dstLen <= 0 || std::memcmp(src, kMagic, 4) != 0) return false;
  const size_t length = static_cast<size_t>(srcLen);
  ZSTD_frameHeader header;
  if (ZSTD_getFrameHeader(&header, src, length) != 0 ||
      header.windowSize > (uint64_t{1} << kZstdWindowLogMax) ||
      ZSTD_findFrameCompressedSize(src, length) != length)
    return false;
  const size_t produced = ZSTD_decompress(dst, static_cast<size_t>(dstLen), src, length);
  return !ZSTD_isError(produced) && static_cast<int64_t>(produced) == dstLen;
}

bool DecodePatch(const uint8_t* src, int64_t srcLen, const uint8_t* reference, int64_t referenceLen,
                 uint8_t* dst, int64_t dstLen) {
  static const uint8_t kMagic[4] = {0x28, 0xB5, 0x2F, 0xFD};
  if (srcLen < kPatchHeaderSize + kZstdMinFrameSize || dstLen < 0) return false;
  ContentHash hash;
  std::string error;
  if (!HashContent(reference, referenceLen, &hash, &error) ||
      std::memcmp(hash.data(), src, kPatchHashSize) != 0)
    return false;
  const uint8_t* frame = src + kPatchHeaderSize;
  const size_t length = static_cast<size_t>(srcLen - kPatchHeaderSize);
  if (std::memcmp(frame, kMagic, 4) != 0 || ZSTD_findFrameCompressedSize(frame, length) != length)
    return false;
  // The reference is the frame's prefix, raw content whatever it starts with,
  // as the streaming decoder takes it.
  ZSTD_DCtx* context = ZSTD_createDCtx();
  uint8_t none = 0;
  size_t produced = ZSTD_DCtx_refPrefix(context, reference, static_cast<size_t>(referenceLen));
  if (!ZSTD_isError(produced))
    produced = ZSTD_decompressDCtx(context, dstLen > 0 ? dst : &none, static_cast<size_t>(dstLen),
                                   frame, length);
  ZSTD_freeDCtx(context);
  if (ZSTD_isError(produced) || static_cast<int64_t>(produced) != dstLen) return false;
  return HashContent(dst, dstLen, &hash, &error) &&
         std::memcmp(hash.data(), src + kPatchHashSize, kPatchHashSize) == 0;
}

bool ReadEntryData(PackageReader& reader, size_t position, MemoryBlock* stored) {
  if (position == 0 || position > reader.EntryTable.size()) return false;
  const EntryRecord& row = reader.EntryTable[position - 1];
  // A block that lies past the end of the file cannot be read in full; this
  // is known before memory for it is obtained.
  int64_t fileSize = row.Package->Size(nullptr);  // as ReadAt: a failure is a bad row
  if (row.Offset < 0 || fileSize < 0 || row.PackedSize > fileSize - row.Offset) return false;
  if (row.PackedSize == 0) {  // an empty block: no memory, nothing to read
    *stored = MemoryBlock();
    return true;
  }
  MemoryBlock block;
  if (!ObtainBlock(row.PackedSize, &block)) return false;
  if (!ReadAt(*row.Package, row.Offset, block.Size, block.Data.get())) return false;
  *stored = std::move(block);
  return true;
}

bool DecodeData(MemoryBlock stored, int64_t packedSize, int64_t size, PackageMethod method,
                MemoryBlock* content, const DecodeContext& context) {
  if (packedSize != stored.Size) return false;
  const PackageCodec* codec = FindCodec(method);
  if (codec && codec->RemovesTarget) return false;  // no content to give
  if (method == PackageMethod::Stored) {
    if (packedSize != size) return false;
    *content = std::move(stored);
    return true;
  }
  MemoryBlock output;
  // Only a patch may make an empty file, which needs no memory.
  if (!(method == PackageMethod::Patch && size == 0) && !ObtainBlock(size, &output)) return false;
  bool decoded = false;
  if (method == PackageMethod::Zlib) {
    decoded = DecodeZlib(stored.Data.get(), stored.Size, output.Data.get(), output.Size);
  } else if (method == PackageMethod::Lzma) {
    decoded = DecodeLzma(stored.Data.get(), stored.Size, output.Data.get(), output.Size);
  } else if (method == PackageMethod::Zstd) {
    decoded = DecodeZstd(stored.Data.get(), stored.Size, output.Data.get(), output.Size);
  } else if (method == PackageMethod::Patch) {
    std::unique_ptr<MappedFile> reference;
    if (context.Files && !context.TargetPath.empty())
      // A reference that cannot be mapped is a patch that does not apply.
      reference = context.Files->MapRead(std::string(context.TargetPath), nullptr);
    decoded = reference && size >= 0 &&
              DecodePatch(stored.Data.get(), stored.Size, reference->Data(), reference->Size(),
                          output.Data.get(), size);
  } else {
    BlockSource source(stored);
    BlockSink sink(output);
    decoded = DecodeStream(source, packedSize, size, method, sink, context) == StreamResult::Ok &&
              sink.Filled() == size;
  }
  if (!decoded) return false;
  *content = std::move(output);
  return true;
}

bool LoadEntry(PackageReader& reader, const std::string& name, MemoryBlock* content,
               size_t* position, const DecodeContext& context) {
  size_t found = FindEntry(reader, name);
  if (found == 0) return false;
  MemoryBlock stored;
  if (!ReadEntryData(reader, found, &stored)) return false;
  const EntryRecord& row = reader.EntryTable[found - 1];
  if (!DecodeData(std::move(stored), row.PackedSize, row.Size, row.Method, content, context))
    return false;
  *position = found;
  return true;
}

}  // namespace updater

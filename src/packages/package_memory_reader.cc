// Test support: entries read whole into memory and decoded in one call.
#include "packages/package_memory_reader.h"

#include <LzmaDec.h>
#include <zlib.h>

#include <algorithm>
#include <cstdlib>
#include <cstring>
#include <new>

namespace updater {

namespace {

void* LzmaAlloc(void*, size_t size) { return std::malloc(size); }
void LzmaFree(void*, void* address) { std::free(address); }
ISzAlloc g_lzmaAlloc = {LzmaAlloc, LzmaFree};

bool ReadAt(File& file, int64_t offset, int64_t size, uint8_t* out) {
  return file.Seek(offset) && file.Read(out, size) == size;
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

bool ReadEntryData(PackageReader& reader, size_t position, MemoryBlock* stored) {
  if (position == 0 || position > reader.EntryTable.size()) return false;
  const EntryRecord& row = reader.EntryTable[position - 1];
  // A block that lies past the end of the file cannot be read in full; this
  // is known before memory for it is obtained.
  int64_t fileSize = row.Package->Size();
  if (row.Offset < 0 || fileSize < 0 || row.PackedSize > fileSize - row.Offset) return false;
  MemoryBlock block;
  if (!ObtainBlock(row.PackedSize, &block)) return false;
  if (!ReadAt(*row.Package, row.Offset, block.Size, block.Data.get())) return false;
  *stored = std::move(block);
  return true;
}

bool DecodeData(MemoryBlock stored, int64_t packedSize, int64_t size, PackageMethod method,
                MemoryBlock* content) {
  if (packedSize != stored.Size) return false;
  if (method == PackageMethod::Stored) {
    if (packedSize != size) return false;
    *content = std::move(stored);
    return true;
  }
  MemoryBlock output;
  if (!ObtainBlock(size, &output)) return false;
  bool decoded = false;
  if (method == PackageMethod::Zlib) {
    decoded = DecodeZlib(stored.Data.get(), stored.Size, output.Data.get(), output.Size);
  } else if (method == PackageMethod::Lzma) {
    decoded = DecodeLzma(stored.Data.get(), stored.Size, output.Data.get(), output.Size);
  } else {
    BlockSource source(stored);
    BlockSink sink(output);
    decoded = DecodeStream(source, packedSize, size, method, sink) == StreamResult::Ok &&
              sink.Filled() == size;
  }
  if (!decoded) return false;
  *content = std::move(output);
  return true;
}

bool LoadEntry(PackageReader& reader, const std::string& name, MemoryBlock* content,
               size_t* position) {
  size_t found = FindEntry(reader, name);
  if (found == 0) return false;
  MemoryBlock stored;
  if (!ReadEntryData(reader, found, &stored)) return false;
  const EntryRecord& row = reader.EntryTable[found - 1];
  if (!DecodeData(std::move(stored), row.PackedSize, row.Size, row.Method, content)) return false;
  *position = found;
  return true;
}

}  // namespace updater

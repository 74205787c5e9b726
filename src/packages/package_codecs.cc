// The codec table of the package data methods.
#include "packages/package_codecs.h"

#include <iterator>

namespace updater {

namespace {

// An empty block is an empty file.
bool StoredSizesReadable(int64_t packedSize, int64_t size) {
  return packedSize >= 0 && packedSize == size;
}

bool ZlibSizesReadable(int64_t packedSize, int64_t size) { return packedSize > 0 && size > 0; }

// The header and the start of the range coder must be there.
bool LzmaSizesReadable(int64_t packedSize, int64_t size) {
  return packedSize >= kLzmaHeaderSize + kLzmaRangeCoderInitSize && size > 0;
}

bool ZstdSizesReadable(int64_t packedSize, int64_t size) { return packedSize > 0 && size > 0; }

// The two hashes and a whole frame must be there. A patch may make an empty
// file: its target exists, and so may a file that became empty.
bool PatchSizesReadable(int64_t packedSize, int64_t size) {
  return packedSize >= kPatchHeaderSize + kZstdMinFrameSize && size >= 0;
}

// A remove entry has no data at all.
bool RemoveSizesReadable(int64_t packedSize, int64_t size) { return packedSize == 0 && size == 0; }

// One entry per method, in the order of their codes: method, name, content
// stored as is, sizes rule, decoder, read by every updater, decoded against
// the target, removes the target. A remove's empty block decodes to nothing
// through the stored copy.
constexpr PackageCodec kCodecs[] = {
    {PackageMethod::Stored, "stored", true, StoredSizesReadable, CopyStoredStream, true, false,
     false},
    {PackageMethod::Zlib, "zlib", false, ZlibSizesReadable, InflateZlibStream, true, false, false},
    {PackageMethod::Lzma, "lzma", false, LzmaSizesReadable, DecodeLzmaStream, true, false, false},
    {PackageMethod::Zstd, "zstd", false, ZstdSizesReadable, DecodeZstdStream, false, false, false},
    {PackageMethod::Patch, "patch", false, PatchSizesReadable, DecodePatchStream, false, true,
     false},
    {PackageMethod::Remove, "remove", false, RemoveSizesReadable, CopyStoredStream, false, false,
     true},
};

}  // namespace

const PackageCodec* PackageCodecList::begin() const { return std::begin(kCodecs); }
const PackageCodec* PackageCodecList::end() const { return std::end(kCodecs); }

PackageCodecList PackageCodecs() { return {}; }

const PackageCodec* FindCodec(PackageMethod method) {
  for (const PackageCodec& codec : kCodecs)
    if (codec.Method == method) return &codec;
  return nullptr;
}

std::string MethodName(PackageMethod method) {
  const PackageCodec* codec = FindCodec(method);
  if (codec) return codec->Name;
  return "method " + std::to_string(static_cast<int>(method));
}

StreamResult DecodeStream(ByteSource& stored, int64_t packedSize, int64_t size,
                          PackageMethod method, ByteSink& sink, const DecodeContext& context) {
  const PackageCodec* codec = FindCodec(method);
  if (!codec || !codec->SizesReadable(packedSize, size)) return StreamResult::DecodeFailed;
  return codec->Decode(stored, packedSize, size, sink, context);
}

}  // namespace updater

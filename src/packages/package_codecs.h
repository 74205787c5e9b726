// The codec table of the package data methods: per method its code, its
// name, the block sizes it can read and its streaming decoder. Entries and
// the directory are decoded through it; the writer's encoders are keyed by
// the same methods (package_writer.cc).
#pragma once

#include <cstdint>
#include <string>

#include "packages/entry_decoder.h"

namespace updater {

// A data method by the code a package stores for it. A package may carry a
// code that is none of these: FindCodec tells whether this reader knows it.
enum class PackageMethod : uint8_t {
  Stored = 0,
  Zlib = 1,
  Lzma = 2,
  Zstd = 3,
  Patch = 4,
  Remove = 5,
};

struct PackageCodec {
  PackageMethod Method;
  // The name tools and messages show: "stored", "zlib", "lzma", "zstd",
  // "patch", "remove".
  const char* Name;
  // The stored block is the content itself. Such a directory is read with
  // its decoded size, since the header's packed size is not used for it.
  bool StoresContentAsIs;
  // Whether a block of `packedSize` stored bytes declared to decode to
  // `size` bytes can be read at all; a row that fails it is refused before
  // anything is created.
  bool (*SizesReadable)(int64_t packedSize, int64_t size);
  StreamDecoder Decode;
  // Every updater ever released reads this method. Others refuse a package
  // that uses the newer methods, so the writer's best choice keeps to these:
  // a package made that way (the updater's own included) stays readable by
  // installations that have not been updated yet.
  bool ReadByEveryUpdater;
  // The block is decoded against the present content of its target file (a
  // patch): the decoder needs the target in its DecodeContext.
  bool DecodesAgainstTarget;
  // The entry carries no content: applying it deletes its target file (a
  // remove entry, both sizes 0). Its block decodes to nothing, and it is
  // never staged as a file.
  bool RemovesTarget;
};

// Every method this reader knows, in the order of their codes.
struct PackageCodecList {
  const PackageCodec* begin() const;
  const PackageCodec* end() const;
};
PackageCodecList PackageCodecs();

// The codec of `method`, or null for a code this reader does not know.
const PackageCodec* FindCodec(PackageMethod method);

// The name of a method as tools and messages show it, or "method N" for an
// unknown code.
std::string MethodName(PackageMethod method);

// Reads `packedSize` stored bytes from `stored` and writes the `size` decoded
// bytes to `sink` with the method's decoder. An unknown method and sizes the
// method cannot read are decode failures; otherwise as StreamDecoder says.
StreamResult DecodeStream(ByteSource& stored, int64_t packedSize, int64_t size,
                          PackageMethod method, ByteSink& sink,
                          const DecodeContext& context = DecodeContext());

}  // namespace updater

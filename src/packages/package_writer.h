// Writing update packages (*.mxu): the encoders of the data methods and the
// package writer used by the mxupack tool, the tests and the benchmarks. A
// library of its own, so that the updater does not carry the encoders.
#pragma once

#include <cstdint>
#include <functional>
#include <iosfwd>
#include <optional>
#include <string>
#include <vector>

#include "packages/package_codecs.h"

namespace updater {

// A data method to write, or kBestMethod for the smallest result among the
// methods that encode whole content (the lowest code on ties, so stored).
using MethodChoice = std::optional<PackageMethod>;
inline constexpr MethodChoice kBestMethod = std::nullopt;

struct EncodeSettings {
  int ZlibLevel = 9;  // 1-9
  int LzmaLevel = 5;  // 0-9
  // LZMA dictionary size in bytes; 0 takes the level's default. Files smaller
  // than the dictionary get a dictionary of their own size.
  uint32_t LzmaDictionarySize = 0;
  // Marks the end of an LZMA stream also when its size is known (tests use
  // it to make streams that end early).
  bool LzmaEndMark = false;
  // 1-22, for the zstd method and patches.
  int ZstdLevel = 19;
  // The zstd method's window, 2^ZstdWindowLog bytes, at most what readers
  // take (kZstdWindowLogMax); 0 takes the level's own (8 MiB at level 19),
  // cut down to that. A window of 1 MiB makes packages 1-2% larger than 8
  // MiB, and decodes 1.7 times as fast, as its matches stay in the cache.
  int ZstdWindowLog = 20;
  // Worker threads of the zstd method's encoder besides the calling one; 0
  // encodes on the calling thread. A zstd library built without threads
  // (Debian's static one) always encodes on the calling thread.
  int ZstdWorkers = 2;
};

// One variant of an entry: the content of a file on disk (FilePath set) or
// the bytes in Content. An entry written as a patch (PackageMethod::Patch)
// also names the file its patch is made from, the content the target has on
// the installations it is for. An entry written as a remove entry
// (PackageMethod::Remove) has empty variants: it deletes its target.
struct VariantInput {
  uint8_t Key = 0;
  std::string FilePath;
  std::string Content;
  // Given a default, so that variants written as {key, path, content} need
  // no fourth field.
  std::string ReferencePath = {};
};

struct EntryInput {
  std::string Name;  // relative path with "\" separators, at most 255 bytes
  uint16_t Version = 0;
  MethodChoice DataMethod = kBestMethod;
  std::vector<VariantInput> Variants;  // 1 to 255
};

struct PackageOptions {
  MethodChoice DirectoryMethod = kBestMethod;  // best: compressed only when smaller
  EncodeSettings Encode;
  // An entry written with a compressing method that names it (not the best)
  // is stored instead when its first MiB does not get at least 1/32 smaller
  // with that method, or, when it is encoded whole in memory, when all of it
  // does not: what does not compress costs no time.
  bool StoreWhatDoesNotCompress = false;
  // Threads that encode entries while the calling thread writes the package
  // in order; 0 takes one per processor core.
  int EncodeThreads = 0;
  // Called on the calling thread as content is written: the bytes of content
  // done and the total of the package.
  std::function<void(int64_t done, int64_t total)> Progress;
};

// Writes a package to `path`. Threads encode the entries ahead of the writing
// (zlib and stored content in pieces of 1 MiB, which make one zlib stream,
// so that a single large file uses every core too; other methods an entry of
// up to 32 MiB at a time) within 64 MiB of content, and the package is
// written in order as they finish; larger entries of other methods are
// encoded when their turn comes, streamed so that they need little memory (a
// patch maps its two files). Entries keep their order, duplicates included.
// The best method is chosen among those every updater reads
// (PackageCodec::ReadByEveryUpdater); the others are written only when an
// entry names them. An entry with empty content (other than a patch) is
// stored, both sizes 0; a remove entry (PackageMethod::Remove) has one
// variant without content and both sizes 0. False with a message in `error` for input the format
// cannot hold (long names, too many entries or variants, a directory over
// 65535 bytes, a package of 2 GiB or more), for a patch without a reference,
// a remove entry with content,
// and on file errors; no package file is left behind then.
bool WritePackage(const std::string& path, const std::vector<EntryInput>& entries,
                  const PackageOptions& options, std::string* error);

// The most bytes an entry of `size` bytes of content takes in a package when
// written with `method` (the best: at most its size), whatever the content:
// a bound for dividing entries among packages before they are encoded.
int64_t LargestPackedSize(MethodChoice method, int64_t size);

// True when `method` has an encoder that makes its data block from the
// content alone (EncodeStream can write it).
bool EncodesWholeContent(PackageMethod method);

// Encodes `size` bytes of `in` into `out` with a data method. The LZMA form
// is the 13-byte header (5 property bytes, 8-byte size) and the raw stream.
// Returns the number of bytes written, or -1 on failure and for a method
// without a whole-content encoder.
int64_t EncodeStream(PackageMethod method, std::istream& in, int64_t size, std::ostream& out,
                     const EncodeSettings& settings);

// In-memory forms of the encoders; empty on failure.
std::string EncodeContent(PackageMethod method, const std::string& content,
                          const EncodeSettings& settings = {});
std::string EncodeZlib(const std::string& content, int level = 9);
std::string EncodeLzma(const std::string& content, const EncodeSettings& settings = {});

// The data block of a patch (PackageMethod::Patch) that turns `reference`
// into `content`: the BLAKE2b-256 of both, then one Zstandard frame of the
// content with the reference as its prefix (long-distance matching, a
// window over both). Returns the bytes written to `out`, or -1 with `error`
// set.
int64_t EncodePatch(const uint8_t* reference, int64_t referenceSize, const uint8_t* content,
                    int64_t size, std::ostream& out, const EncodeSettings& settings,
                    std::string* error);
// The same for two files, which it maps: what the publisher's tool gives it
// (an old file taken from an earlier package, and the new one).
int64_t EncodePatchFiles(const std::string& referencePath, const std::string& contentPath,
                         std::ostream& out, const EncodeSettings& settings, std::string* error);
// The same in memory; empty on failure.
std::string EncodePatch(const std::string& reference, const std::string& content,
                        const EncodeSettings& settings = {});

// Raw package pieces for hand-made (also malformed) packages.
struct RawVariant {
  uint8_t Key = 0;
  std::string Stored;  // the data block as stored
  int32_t Size = 0;    // the declared decoded size
};

struct RawEntry {
  std::string Name;
  uint16_t Version = 0;
  PackageMethod Method = PackageMethod::Stored;  // also a code without a codec
  std::vector<RawVariant> Variants;
};

// The bytes of a package: header, the data blocks in order, then the
// directory encoded with `dirMethod` (left as it is for a method without a
// whole-content encoder).
std::string BuildPackageBytes(const std::vector<RawEntry>& entries, PackageMethod dirMethod);

}  // namespace updater

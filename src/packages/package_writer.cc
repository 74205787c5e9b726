// The package writer and the encoders of the data methods.
#include "packages/package_writer.h"

#include <LzmaEnc.h>
#include <zlib.h>
// zstd's experimental API (linked statically, see cmake/Zstd.cmake): the
// parameters of a level (ZSTD_getCParams) and an input that stays in place
// (ZSTD_c_stableInBuffer), so that a patch needs no window buffer of its own.
#define ZSTD_STATIC_LINKING_ONLY
#include <zstd.h>

#include <algorithm>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <limits>
#include <memory>
#include <optional>
#include <sstream>

#include "packages/content_hash.h"
#include "packages/package_format.h"
#include "system/platform.h"

namespace updater {

namespace {

namespace fs = std::filesystem;

constexpr int64_t kChunkSize = 1 << 18;
constexpr int64_t kMaxPackageSize = std::numeric_limits<int32_t>::max();
constexpr size_t kMaxDirectorySize = 0xffff;
constexpr size_t kMaxNameLength = 255;
constexpr size_t kMaxVariants = 255;
constexpr size_t kMaxEntries = 0xffff;

void* LzmaAlloc(void*, size_t size) { return std::malloc(size); }
void LzmaFree(void*, void* address) { std::free(address); }
ISzAlloc g_lzmaAlloc = {LzmaAlloc, LzmaFree};

// The SDK's stream interfaces over C++ streams. The SDK passes the address
// of the interface member, which is the first member of each adapter.
struct LzmaInput {
  ISeqInStream Stream;
  std::istream* In;
  int64_t Remaining;
};

SRes ReadLzmaInput(void* p, void* buffer, size_t* size) {
  LzmaInput* input = static_cast<LzmaInput*>(p);
  size_t want =
      static_cast<size_t>(std::min<int64_t>(static_cast<int64_t>(*size), input->Remaining));
  input->In->read(static_cast<char*>(buffer), static_cast<std::streamsize>(want));
  *size = static_cast<size_t>(input->In->gcount());
  input->Remaining -= static_cast<int64_t>(*size);
  return input->In->bad() ? SZ_ERROR_READ : SZ_OK;
}

struct LzmaOutput {
  ISeqOutStream Stream;
  std::ostream* Out;
  int64_t Written;
};

size_t WriteLzmaOutput(void* p, const void* buffer, size_t size) {
  LzmaOutput* output = static_cast<LzmaOutput*>(p);
  output->Out->write(static_cast<const char*>(buffer), static_cast<std::streamsize>(size));
  if (!*output->Out) return 0;
  output->Written += static_cast<int64_t>(size);
  return size;
}

int64_t CopyBytes(std::istream& in, int64_t size, std::ostream& out, const EncodeSettings&) {
  std::unique_ptr<char[]> buffer(new char[kChunkSize]);
  int64_t done = 0;
  while (done < size) {
    in.read(buffer.get(), static_cast<std::streamsize>(std::min(kChunkSize, size - done)));
    std::streamsize count = in.gcount();
    if (count <= 0) return -1;
    out.write(buffer.get(), count);
    if (!out) return -1;
    done += count;
  }
  return done;
}

int64_t DeflateBytes(std::istream& in, int64_t size, std::ostream& out,
                     const EncodeSettings& settings) {
  std::unique_ptr<char[]> input(new char[kChunkSize]);
  std::unique_ptr<char[]> output(new char[kChunkSize]);
  z_stream stream{};
  if (deflateInit(&stream, settings.ZlibLevel) != Z_OK) return -1;
  int64_t remaining = size, written = 0;
  int result = Z_OK;
  do {
    int flush = Z_NO_FLUSH;
    if (stream.avail_in == 0) {
      in.read(input.get(), static_cast<std::streamsize>(std::min(kChunkSize, remaining)));
      std::streamsize count = in.gcount();
      if (count <= 0 && remaining > 0) break;
      remaining -= count;
      stream.next_in = reinterpret_cast<Bytef*>(input.get());
      stream.avail_in = static_cast<uInt>(count);
    }
    if (remaining == 0) flush = Z_FINISH;
    stream.next_out = reinterpret_cast<Bytef*>(output.get());
    stream.avail_out = static_cast<uInt>(kChunkSize);
    result = deflate(&stream, flush);
    int64_t have = kChunkSize - stream.avail_out;
    out.write(output.get(), static_cast<std::streamsize>(have));
    if (!out || result == Z_STREAM_ERROR) break;
    written += have;
  } while (result != Z_STREAM_END);
  deflateEnd(&stream);
  return result == Z_STREAM_END ? written : -1;
}

int64_t LzmaBytes(std::istream& in, int64_t size, std::ostream& out,
                  const EncodeSettings& settings) {
  CLzmaEncHandle encoder = LzmaEnc_Create(&g_lzmaAlloc);
  if (!encoder) return -1;
  CLzmaEncProps props;
  LzmaEncProps_Init(&props);
  props.level = settings.LzmaLevel;
  if (settings.LzmaDictionarySize) props.dictSize = settings.LzmaDictionarySize;
  // A small file needs no larger dictionary than itself; the reader's memory
  // follows the dictionary size written here.
  props.reduceSize = static_cast<UInt32>(size);
  props.writeEndMark = settings.LzmaEndMark ? 1 : 0;
  unsigned char header[kLzmaHeaderSize];
  SizeT propsSize = kLzmaPropsSize;
  int64_t result = -1;
  if (LzmaEnc_SetProps(encoder, &props) == SZ_OK &&
      LzmaEnc_WriteProperties(encoder, header, &propsSize) == SZ_OK &&
      propsSize == kLzmaPropsSize) {
    for (int i = 0; i < 8; ++i)
      header[kLzmaPropsSize + i] =
          static_cast<unsigned char>(static_cast<uint64_t>(size) >> (8 * i));
    out.write(reinterpret_cast<const char*>(header), kLzmaHeaderSize);
    LzmaInput input{{ReadLzmaInput}, &in, size};
    LzmaOutput output{{WriteLzmaOutput}, &out, kLzmaHeaderSize};
    if (out &&
        LzmaEnc_Encode(encoder, &output.Stream, &input.Stream, nullptr, &g_lzmaAlloc,
                       &g_lzmaAlloc) == SZ_OK &&
        input.Remaining == 0)
      result = output.Written;
  }
  LzmaEnc_Destroy(encoder, &g_lzmaAlloc, &g_lzmaAlloc);
  return result;
}

// A zstd compression context, freed when it goes.
struct ZstdEncoder {
  ZstdEncoder() : Context(ZSTD_createCCtx()) {}
  ~ZstdEncoder() { ZSTD_freeCCtx(Context); }
  ZstdEncoder(const ZstdEncoder&) = delete;
  ZstdEncoder& operator=(const ZstdEncoder&) = delete;
  bool Set(ZSTD_cParameter parameter, int value) {
    return Context && !ZSTD_isError(ZSTD_CCtx_setParameter(Context, parameter, value));
  }
  // Compresses `input` (all of it, or the next piece while `last` is not
  // set) into `out` through a buffer of one chunk; false on an error.
  bool Compress(ZSTD_inBuffer* input, bool last, std::ostream& out, int64_t* written) {
    std::unique_ptr<char[]> buffer(new char[kChunkSize]);
    while (true) {
      ZSTD_outBuffer output = {buffer.get(), static_cast<size_t>(kChunkSize), 0};
      const size_t left =
          ZSTD_compressStream2(Context, &output, input, last ? ZSTD_e_end : ZSTD_e_continue);
      if (ZSTD_isError(left)) return false;
      out.write(buffer.get(), static_cast<std::streamsize>(output.pos));
      if (!out) return false;
      *written += static_cast<int64_t>(output.pos);
      if (last ? left == 0 : input->pos == input->size) return true;
    }
  }
  ZSTD_CCtx* Context;
};

int64_t ZstdBytes(std::istream& in, int64_t size, std::ostream& out,
                  const EncodeSettings& settings) {
  ZstdEncoder encoder;
  if (!encoder.Set(ZSTD_c_compressionLevel, settings.ZstdLevel) ||
      !encoder.Set(ZSTD_c_checksumFlag, 1) ||
      ZSTD_isError(ZSTD_CCtx_setPledgedSrcSize(encoder.Context, static_cast<uint64_t>(size))))
    return -1;
  // The levels above 20 would need more window than readers give a frame.
  const ZSTD_compressionParameters level =
      ZSTD_getCParams(settings.ZstdLevel, static_cast<unsigned long long>(size), 0);
  const int windowLog = std::min(
      settings.ZstdWindowLog > 0 ? settings.ZstdWindowLog : static_cast<int>(level.windowLog),
      kZstdWindowLogMax);
  if (!encoder.Set(ZSTD_c_windowLog, windowLog)) return -1;
  // Refused by a library built without threads, which then encodes alone.
  if (settings.ZstdWorkers > 0) encoder.Set(ZSTD_c_nbWorkers, settings.ZstdWorkers);
  std::unique_ptr<char[]> input(new char[kChunkSize]);
  int64_t remaining = size, written = 0;
  bool last = false;
  while (!last) {
    const int64_t want = std::min(kChunkSize, remaining);
    in.read(input.get(), static_cast<std::streamsize>(want));
    if (in.gcount() != want) return -1;
    remaining -= want;
    last = remaining == 0;
    ZSTD_inBuffer piece = {input.get(), static_cast<size_t>(want), 0};
    if (!encoder.Compress(&piece, last, out, &written)) return -1;
  }
  return written;
}

// The smallest window log that covers `bytes`, within what zstd allows.
int WindowLogFor(int64_t bytes) {
  int log = ZSTD_WINDOWLOG_MIN;
  while (log < ZSTD_WINDOWLOG_MAX && (int64_t{1} << log) < bytes) ++log;
  return log;
}

// Makes a method's data block from whole content: `size` bytes of `in` into
// `out`. Returns the bytes written, or -1.
using ContentEncoder = int64_t (*)(std::istream& in, int64_t size, std::ostream& out,
                                   const EncodeSettings& settings);

// The encoder of each method, or null for a method whose data block is not
// made from the content alone. No default: a method added to the codec
// table without an encoder here does not build.
ContentEncoder EncoderOf(PackageMethod method) {
  switch (method) {
    case PackageMethod::Stored:
      return CopyBytes;
    case PackageMethod::Zlib:
      return DeflateBytes;
    case PackageMethod::Lzma:
      return LzmaBytes;
    case PackageMethod::Zstd:
      return ZstdBytes;
    case PackageMethod::Patch:
      return nullptr;  // made from a reference too: EncodePatch
    case PackageMethod::Remove:
      return nullptr;  // no data
  }
  return nullptr;  // a code without a codec
}

// An open source of one variant's content.
struct Source {
  std::unique_ptr<std::istream> Stream;
  int64_t Size = -1;
};

bool OpenSource(const VariantInput& variant, Source* source, std::string* error) {
  if (variant.FilePath.empty()) {
    source->Stream = std::make_unique<std::istringstream>(variant.Content);
    source->Size = static_cast<int64_t>(variant.Content.size());
    return true;
  }
  std::error_code code;
  fs::path path = fs::u8path(variant.FilePath);
  uintmax_t size = fs::file_size(path, code);
  auto file = std::make_unique<std::ifstream>(path, std::ios::binary);
  if (code || !*file) {
    *error = "cannot read " + variant.FilePath;
    return false;
  }
  source->Stream = std::move(file);
  source->Size = static_cast<int64_t>(size);
  return true;
}

// Maps the file at `path`, with the cause in `error` when it cannot.
std::unique_ptr<MappedFile> MapFile(const std::string& path, std::string* error) {
  FileSystem& files = RealPlatform().Files;
  std::unique_ptr<MappedFile> file = files.MapRead(path);
  if (!file) *error = "cannot read " + path + ": " + files.LastError();
  return file;
}

// Encodes one variant as a patch against its reference into `out`; returns
// the stored size or -1.
int64_t EncodePatchVariant(const VariantInput& variant, std::ostream& out,
                           const EncodeSettings& settings, std::string* error) {
  if (variant.ReferencePath.empty()) {
    *error = "a patch needs the file it is made from";
    return -1;
  }
  if (!variant.FilePath.empty())
    return EncodePatchFiles(variant.ReferencePath, variant.FilePath, out, settings, error);
  std::unique_ptr<MappedFile> reference = MapFile(variant.ReferencePath, error);
  if (!reference) return -1;
  return EncodePatch(reference->Data(), reference->Size(),
                     reinterpret_cast<const uint8_t*>(variant.Content.data()),
                     static_cast<int64_t>(variant.Content.size()), out, settings, error);
}

// Encodes one variant into `out`; returns the stored size or -1.
int64_t EncodeVariant(const VariantInput& variant, PackageMethod method, std::ostream& out,
                      const EncodeSettings& settings, std::string* error) {
  if (method == PackageMethod::Patch) {
    int64_t written = EncodePatchVariant(variant, out, settings, error);
    if (written < 0)
      *error = "cannot make the patch of " +
               (variant.FilePath.empty() ? std::string("content") : variant.FilePath) + ": " +
               *error;
    return written;
  }
  Source source;
  if (!OpenSource(variant, &source, error)) return -1;
  int64_t written = EncodeStream(method, *source.Stream, source.Size, out, settings);
  if (written < 0)
    *error = "cannot encode " + (variant.FilePath.empty() ? "content" : variant.FilePath);
  return written;
}

// The methods to try for a choice: the one chosen, or for the best every
// method with a whole-content encoder that every updater reads, in the order
// of their codes.
std::vector<PackageMethod> Candidates(MethodChoice choice) {
  if (choice) return {*choice};
  std::vector<PackageMethod> methods;
  for (const PackageCodec& codec : PackageCodecs())
    if (EncoderOf(codec.Method) && codec.ReadByEveryUpdater) methods.push_back(codec.Method);
  return methods;
}

// Encodes the directory with the chosen method, or the smallest result of
// the candidates (the first of equal ones). False when that encoding failed
// or does not fit the header's 16-bit size.
bool EncodeDirectoryBlock(const std::string& directory, MethodChoice choice,
                          const EncodeSettings& settings, std::string* stored,
                          PackageMethod* method) {
  std::vector<std::pair<PackageMethod, std::string>> candidates;
  for (PackageMethod candidate : Candidates(choice))
    candidates.emplace_back(candidate, EncodeContent(candidate, directory, settings));
  auto best = std::min_element(
      candidates.begin(), candidates.end(),
      [](const auto& a, const auto& b) { return a.second.size() < b.second.size(); });
  if (best == candidates.end() || best->second.empty() || best->second.size() > kMaxDirectorySize)
    return false;
  *stored = best->second;
  *method = best->first;
  return true;
}

// The smallest method for the variants of one entry (sizes in `sizes`): each
// candidate is encoded into a scratch file beside `path`, except one that
// stores the content as it is, whose total is the content's. The first of
// equal totals wins. None, with `error` set, when an encoding fails.
std::optional<PackageMethod> ChooseEntryMethod(const std::string& path,
                                               const std::vector<VariantInput>& variants,
                                               const std::vector<int64_t>& sizes,
                                               const EncodeSettings& settings, std::string* error) {
  int64_t contentTotal = 0;
  for (int64_t size : sizes) contentTotal += size;
  std::optional<PackageMethod> best;
  int64_t bestTotal = 0;
  for (PackageMethod candidate : Candidates(kBestMethod)) {
    int64_t total = 0;
    if (FindCodec(candidate)->StoresContentAsIs) {
      total = contentTotal;
    } else {
      std::ofstream scratch(fs::u8path(path + ".~scratch"), std::ios::binary | std::ios::trunc);
      for (const VariantInput& variant : variants) {
        int64_t written = EncodeVariant(variant, candidate, scratch, settings, error);
        if (written < 0) return std::nullopt;
        total += written;
      }
    }
    if (!best || total < bestTotal) {
      best = candidate;
      bestTotal = total;
    }
  }
  std::error_code ignored;
  fs::remove(fs::u8path(path + ".~scratch"), ignored);
  return best;
}

bool CheckEntries(const std::vector<EntryInput>& entries, std::string* error) {
  if (entries.size() > kMaxEntries) {
    *error = "too many entries (" + std::to_string(entries.size()) + ", at most 65535)";
    return false;
  }
  for (const EntryInput& entry : entries) {
    if (entry.Name.empty() || entry.Name.size() > kMaxNameLength ||
        entry.Name.find('\0') != std::string::npos) {
      *error = "entry name must be 1 to 255 bytes without zero bytes: " + entry.Name;
      return false;
    }
    if (entry.Variants.empty() || entry.Variants.size() > kMaxVariants) {
      *error = "entry must have 1 to 255 variants: " + entry.Name;
      return false;
    }
  }
  return true;
}

// Writes the whole package to an open stream; false with `error` set.
bool WriteTo(std::fstream& out, const std::string& path, const std::vector<EntryInput>& entries,
             const PackageOptions& options, std::string* error) {
  out.write(std::string(kPackageHeaderSize, '\0').data(), kPackageHeaderSize);
  std::vector<DirectoryEntry> directory;
  int64_t offset = kPackageHeaderSize;
  for (const EntryInput& entry : entries) {
    DirectoryEntry record;
    record.Name = entry.Name;
    record.Version = entry.Version;
    std::vector<int64_t> sizes;
    for (const VariantInput& variant : entry.Variants) {
      Source source;
      if (!OpenSource(variant, &source, error)) return false;
      const bool patch = entry.DataMethod == PackageMethod::Patch;
      if (source.Size < (patch ? 0 : 1) || source.Size > kMaxPackageSize) {
        *error =
            (source.Size <= 0 ? "cannot pack an empty file: " : "file too large: ") + entry.Name;
        return false;
      }
      sizes.push_back(source.Size);
    }
    std::optional<PackageMethod> method = entry.DataMethod;
    if (!method) method = ChooseEntryMethod(path, entry.Variants, sizes, options.Encode, error);
    if (!method) return false;
    record.Method = *method;
    for (size_t i = 0; i < entry.Variants.size(); ++i) {
      int64_t written = EncodeVariant(entry.Variants[i], *method, out, options.Encode, error);
      if (written < 0) return false;
      if (offset + written > kMaxPackageSize) {
        *error = "package would reach 2 GiB, which the format cannot address";
        return false;
      }
      record.Variants.push_back({entry.Variants[i].Key, static_cast<int32_t>(written),
                                 static_cast<int32_t>(sizes[i]), static_cast<int32_t>(offset)});
      offset += written;
    }
    directory.push_back(std::move(record));
  }

  std::string decoded = EncodeDirectory(directory);
  if (decoded.size() > kMaxDirectorySize) {
    *error = "directory too large (" + std::to_string(decoded.size()) +
             " bytes, at most 65535): use fewer entries or shorter names";
    return false;
  }
  std::string stored;
  PackageHeader header;
  std::copy(std::begin(kPackageMagic), std::end(kPackageMagic), header.Magic);
  header.FormatVersion = kPackageFormatVersion;
  if (!EncodeDirectoryBlock(decoded, options.DirectoryMethod, options.Encode, &stored,
                            &header.DirMethod)) {
    *error = "cannot encode the directory within 65535 bytes";
    return false;
  }
  if (offset + static_cast<int64_t>(stored.size()) > kMaxPackageSize) {
    *error = "package would reach 2 GiB, which the format cannot address";
    return false;
  }
  header.DirSize = static_cast<uint16_t>(decoded.size());
  header.DirPackedSize = static_cast<uint16_t>(stored.size());
  header.DirOffset = static_cast<int32_t>(offset);
  out.write(stored.data(), static_cast<std::streamsize>(stored.size()));
  out.seekp(0);
  std::string headerBytes = EncodePackageHeader(header);
  out.write(headerBytes.data(), static_cast<std::streamsize>(headerBytes.size()));
  out.flush();
  if (!out) {
    *error = "cannot write " + path;
    return false;
  }
  return true;
}

}  // namespace

bool EncodesWholeContent(PackageMethod method) { return EncoderOf(method) != nullptr; }

int64_t EncodeStream(PackageMethod method, std::istream& in, int64_t size, std::ostream& out,
                     const EncodeSettings& settings) {
  ContentEncoder encoder = EncoderOf(method);
  return encoder ? encoder(in, size, out, settings) : -1;
}

std::string EncodeContent(PackageMethod method, const std::string& content,
                          const EncodeSettings& settings) {
  std::istringstream in(content);
  std::ostringstream out;
  if (EncodeStream(method, in, static_cast<int64_t>(content.size()), out, settings) < 0)
    return std::string();
  return out.str();
}

std::string EncodeZlib(const std::string& content, int level) {
  EncodeSettings settings;
  settings.ZlibLevel = level;
  return EncodeContent(PackageMethod::Zlib, content, settings);
}

std::string EncodeLzma(const std::string& content, const EncodeSettings& settings) {
  return EncodeContent(PackageMethod::Lzma, content, settings);
}

bool WritePackage(const std::string& path, const std::vector<EntryInput>& entries,
                  const PackageOptions& options, std::string* error) {
  if (!CheckEntries(entries, error)) return false;
  bool written;
  {
    std::fstream out(fs::u8path(path),
                     std::ios::binary | std::ios::in | std::ios::out | std::ios::trunc);
    if (!out) {
      *error = "cannot create " + path;
      return false;
    }
    written = WriteTo(out, path, entries, options, error);
  }
  if (!written) {
    std::error_code ignored;
    fs::remove(fs::u8path(path), ignored);
    fs::remove(fs::u8path(path + ".~scratch"), ignored);
  }
  return written;
}

int64_t EncodePatch(const uint8_t* reference, int64_t referenceSize, const uint8_t* content,
                    int64_t size, std::ostream& out, const EncodeSettings& settings,
                    std::string* error) {
  ContentHash referenceHash, contentHash;
  if (!HashContent(reference, referenceSize, &referenceHash, error) ||
      !HashContent(content, size, &contentHash, error))
    return -1;
  out.write(reinterpret_cast<const char*>(referenceHash.data()), kPatchHashSize);
  out.write(reinterpret_cast<const char*>(contentHash.data()), kPatchHashSize);
  // The window reaches from the end of the content back to the start of the
  // reference, so that any part of the reference can be matched anywhere.
  ZstdEncoder encoder;
  if (!encoder.Set(ZSTD_c_compressionLevel, settings.ZstdLevel) ||
      !encoder.Set(ZSTD_c_enableLongDistanceMatching, 1) ||
      !encoder.Set(ZSTD_c_windowLog, WindowLogFor(referenceSize + size)) ||
      !encoder.Set(ZSTD_c_stableInBuffer, 1) ||
      ZSTD_isError(ZSTD_CCtx_setPledgedSrcSize(encoder.Context, static_cast<uint64_t>(size))) ||
      ZSTD_isError(
          ZSTD_CCtx_refPrefix(encoder.Context, reference, static_cast<size_t>(referenceSize)))) {
    *error = "zstd refused the patch's parameters";
    return -1;
  }
  const uint8_t none = 0;
  ZSTD_inBuffer input = {content ? content : &none, static_cast<size_t>(size), 0};
  int64_t written = kPatchHeaderSize;
  if (!out || !encoder.Compress(&input, true, out, &written)) {
    *error = "zstd cannot encode the patch, or it cannot be written";
    return -1;
  }
  return written;
}

int64_t EncodePatchFiles(const std::string& referencePath, const std::string& contentPath,
                         std::ostream& out, const EncodeSettings& settings, std::string* error) {
  std::unique_ptr<MappedFile> reference = MapFile(referencePath, error);
  std::unique_ptr<MappedFile> content = reference ? MapFile(contentPath, error) : nullptr;
  if (!content) return -1;
  return EncodePatch(reference->Data(), reference->Size(), content->Data(), content->Size(), out,
                     settings, error);
}

std::string EncodePatch(const std::string& reference, const std::string& content,
                        const EncodeSettings& settings) {
  std::ostringstream out;
  std::string error;
  if (EncodePatch(reinterpret_cast<const uint8_t*>(reference.data()),
                  static_cast<int64_t>(reference.size()),
                  reinterpret_cast<const uint8_t*>(content.data()),
                  static_cast<int64_t>(content.size()), out, settings, &error) < 0)
    return std::string();
  return out.str();
}

std::string BuildPackageBytes(const std::vector<RawEntry>& entries, PackageMethod dirMethod) {
  std::string data;
  std::vector<DirectoryEntry> directory;
  for (const RawEntry& entry : entries) {
    DirectoryEntry record{entry.Name, entry.Version, entry.Method, {}};
    for (const RawVariant& variant : entry.Variants) {
      int32_t offset = static_cast<int32_t>(kPackageHeaderSize + data.size());
      record.Variants.push_back(
          {variant.Key, static_cast<int32_t>(variant.Stored.size()), variant.Size, offset});
      data += variant.Stored;
    }
    directory.push_back(std::move(record));
  }
  std::string decoded = EncodeDirectory(directory);
  std::string stored = EncodesWholeContent(dirMethod) ? EncodeContent(dirMethod, decoded) : decoded;
  PackageHeader header;
  std::copy(std::begin(kPackageMagic), std::end(kPackageMagic), header.Magic);
  header.FormatVersion = kPackageFormatVersion;
  header.DirMethod = dirMethod;
  header.DirSize = static_cast<uint16_t>(decoded.size());
  header.DirPackedSize = static_cast<uint16_t>(stored.size());
  header.DirOffset = static_cast<int32_t>(kPackageHeaderSize + data.size());
  return EncodePackageHeader(header) + data + stored;
}

}  // namespace updater

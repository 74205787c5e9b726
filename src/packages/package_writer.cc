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
#include <condition_variable>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <limits>
#include <memory>
#include <mutex>
#include <optional>
#include <sstream>
#include <thread>

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
  std::string cause;
  std::unique_ptr<MappedFile> file = files.MapRead(path, &cause);
  if (!file) *error = "cannot read " + path + ": " + cause;
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

// Content encoded ahead of the writing: pieces of zlib and stored content, and
// whole entries of other methods up to a size, made by the encoding threads.
constexpr int64_t kPieceSize = 1 << 20;
// A piece is deflated with the content before it as its dictionary, so that
// the pieces compress as one stream does.
constexpr int64_t kDeflateWindow = 32 * 1024;
constexpr int64_t kLargestEntryInMemory = 32 << 20;
// Content that may be taken by the encoding threads before it is written.
constexpr int64_t kEncodeAhead = 64 << 20;

// Whether an encoding of `size` bytes into `packed` pays: at least 1/32 smaller.
bool CompressionPays(int64_t size, int64_t packed) { return packed <= size - size / 32; }

// How an entry is made.
enum class EntryPlan {
  Empty,     // stored, no content
  Pieces,    // stored or zlib, in pieces by the encoding threads
  InMemory,  // whole by an encoding thread
  Streamed,  // whole by the writing thread when its turn comes
};

struct PlannedEntry {
  EntryPlan Plan = EntryPlan::Empty;
  std::vector<int64_t> Sizes;
  int64_t ContentSize = 0;
  // The method of the pieces. With a decision to make, the first piece of the
  // first variant makes it (under the pipeline's lock).
  PackageMethod Method = PackageMethod::Stored;
  bool Deciding = false;
  bool Decided = true;
};

// One unit of work for an encoding thread.
struct Task {
  size_t Entry = 0;
  size_t Variant = 0;
  int64_t Offset = 0;  // the piece's place in its variant's content
  int64_t Length = 0;  // the piece's bytes, or the entry's content
  bool LastPiece = false;
  bool Done = false;
  bool Failed = false;
  std::string Error;
  // A piece's stored bytes, or each variant's of a whole entry.
  std::vector<std::string> Output;
  uint32_t Adler = 0;                            // a zlib piece's check of its content
  PackageMethod Method = PackageMethod::Stored;  // of a whole entry
};

// Reads `length` bytes of a variant's content from `offset`.
bool ReadContent(const VariantInput& variant, int64_t offset, int64_t length, std::string* bytes,
                 std::string* error) {
  if (variant.FilePath.empty()) {
    *bytes = variant.Content.substr(static_cast<size_t>(offset), static_cast<size_t>(length));
    return true;
  }
  std::ifstream in(fs::u8path(variant.FilePath), std::ios::binary);
  bytes->resize(static_cast<size_t>(length));
  if (in) in.seekg(offset);
  if (in) in.read(bytes->data(), static_cast<std::streamsize>(length));
  if (!in || in.gcount() != length) {
    *error = "cannot read " + variant.FilePath + " (changed while it was packed?)";
    return false;
  }
  return true;
}

// Deflates `content` after its `window` of earlier content into raw deflate
// blocks: the last piece ends the stream, the others end at a byte boundary.
bool DeflatePiece(const std::string& window, const std::string& content, bool last, int level,
                  std::string* out) {
  z_stream stream{};
  if (deflateInit2(&stream, level, Z_DEFLATED, -15, 8, Z_DEFAULT_STRATEGY) != Z_OK) return false;
  bool good =
      window.empty() || deflateSetDictionary(&stream, reinterpret_cast<const Bytef*>(window.data()),
                                             static_cast<uInt>(window.size())) == Z_OK;
  out->resize(deflateBound(&stream, static_cast<uLong>(content.size())) + 16);
  stream.next_in = reinterpret_cast<Bytef*>(const_cast<char*>(content.data()));
  stream.avail_in = static_cast<uInt>(content.size());
  size_t produced = 0;
  const int flush = last ? Z_FINISH : Z_SYNC_FLUSH;
  while (good) {
    if (produced == out->size()) out->resize(out->size() * 2);
    stream.next_out = reinterpret_cast<Bytef*>(out->data() + produced);
    stream.avail_out = static_cast<uInt>(out->size() - produced);
    const int result = deflate(&stream, flush);
    produced = out->size() - stream.avail_out;
    if (result == Z_STREAM_ERROR) good = false;
    if (last ? result == Z_STREAM_END : stream.avail_in == 0 && stream.avail_out > 0) break;
  }
  deflateEnd(&stream);
  out->resize(produced);
  return good;
}

// The two bytes that begin a zlib stream of a deflate level.
std::string ZlibHeader(int level) {
  const unsigned method = 0x78;  // deflate with a 32 KiB window
  unsigned flags = (level < 2 ? 0 : level < 6 ? 1 : level == 6 ? 2 : 3) << 6;
  flags += 31 - (method * 256 + flags) % 31;
  return std::string{static_cast<char>(method), static_cast<char>(flags)};
}

// Encodes whole entries and pieces on threads of their own, in the order of
// the tasks, within kEncodeAhead of content taken and not yet written.
class EncodePipeline {
 public:
  EncodePipeline(const std::vector<EntryInput>& entries, std::vector<PlannedEntry>& plans,
                 std::vector<Task>& tasks, const PackageOptions& options)
      : entries_(entries), plans_(plans), tasks_(tasks), options_(options) {
    int threads = options.EncodeThreads;
    if (threads <= 0) threads = static_cast<int>(std::thread::hardware_concurrency());
    if (tasks_.empty()) return;
    for (int i = 0; i < std::max(threads, 1); ++i) threads_.emplace_back([this] { Work(); });
  }

  ~EncodePipeline() {
    {
      std::lock_guard<std::mutex> lock(mutex_);
      stop_ = true;
    }
    changed_.notify_all();
    for (std::thread& thread : threads_) thread.join();
  }

  // Waits for task `index`; the writer then owns its output.
  Task& Wait(size_t index) {
    std::unique_lock<std::mutex> lock(mutex_);
    changed_.wait(lock, [&] { return tasks_[index].Done; });
    return tasks_[index];
  }

  // The writer is done with task `index`: its content no longer counts as
  // taken.
  void Written(size_t index) {
    {
      std::lock_guard<std::mutex> lock(mutex_);
      taken_ -= tasks_[index].Length;
      tasks_[index].Output.clear();
      tasks_[index].Output.shrink_to_fit();
    }
    changed_.notify_all();
  }

 private:
  void Work() {
    while (true) {
      size_t index;
      {
        std::unique_lock<std::mutex> lock(mutex_);
        changed_.wait(lock, [&] {
          return stop_ || next_ == tasks_.size() || taken_ == 0 ||
                 taken_ + tasks_[next_].Length <= kEncodeAhead;
        });
        if (stop_ || next_ == tasks_.size()) return;
        index = next_++;
        taken_ += tasks_[index].Length;
      }
      Task& task = tasks_[index];
      if (plans_[task.Entry].Plan == EntryPlan::Pieces)
        EncodePiece(task);
      else
        EncodeEntry(task);
      {
        std::lock_guard<std::mutex> lock(mutex_);
        task.Done = true;
      }
      changed_.notify_all();
    }
  }

  // A piece of stored or zlib content; the first piece of an entry whose
  // method is still to be decided decides it from its own compression.
  void EncodePiece(Task& task) {
    PlannedEntry& plan = plans_[task.Entry];
    const VariantInput& variant = entries_[task.Entry].Variants[task.Variant];
    const bool deciding = plan.Deciding && task.Variant == 0 && task.Offset == 0;
    PackageMethod method;
    {
      std::unique_lock<std::mutex> lock(mutex_);
      changed_.wait(lock, [&] { return stop_ || plan.Decided || deciding; });
      if (stop_) return Fail(task, "stopped");
      method = plan.Method;
    }
    const int64_t windowSize = std::min(task.Offset, kDeflateWindow);
    std::string bytes;
    task.Output.resize(1);
    if (!ReadContent(variant, task.Offset - windowSize, windowSize + task.Length, &bytes,
                     &task.Error)) {
      if (deciding) Decide(plan, PackageMethod::Stored);
      return Fail(task, task.Error);
    }
    const std::string window = bytes.substr(0, static_cast<size_t>(windowSize));
    bytes.erase(0, static_cast<size_t>(windowSize));
    if (method == PackageMethod::Zlib) {
      if (!DeflatePiece(window, bytes, task.LastPiece, options_.Encode.ZlibLevel,
                        &task.Output[0])) {
        if (deciding) Decide(plan, PackageMethod::Stored);
        return Fail(task, "cannot encode " + entries_[task.Entry].Name);
      }
      task.Adler = static_cast<uint32_t>(adler32(adler32(0, nullptr, 0),
                                                 reinterpret_cast<const Bytef*>(bytes.data()),
                                                 static_cast<uInt>(bytes.size())));
      if (!deciding) return;
      // The stream's header and check count too.
      const bool pays =
          CompressionPays(task.Length, static_cast<int64_t>(task.Output[0].size()) + 6);
      Decide(plan, pays ? PackageMethod::Zlib : PackageMethod::Stored);
      if (pays) return;
    }
    task.Output[0] = std::move(bytes);
  }

  void Decide(PlannedEntry& plan, PackageMethod method) {
    {
      std::lock_guard<std::mutex> lock(mutex_);
      plan.Method = method;
      plan.Decided = true;
    }
    changed_.notify_all();
  }

  // A whole entry in memory: its method, or the smallest of the candidates,
  // or stored when the method does not pay and that is wanted.
  void EncodeEntry(Task& task) {
    const EntryInput& entry = entries_[task.Entry];
    const PlannedEntry& plan = plans_[task.Entry];
    std::optional<std::pair<PackageMethod, std::vector<std::string>>> best;
    int64_t bestTotal = 0;
    for (PackageMethod candidate : Candidates(entry.DataMethod)) {
      std::vector<std::string> blocks;
      int64_t total = 0;
      for (const VariantInput& variant : entry.Variants) {
        std::ostringstream out;
        if (EncodeVariant(variant, candidate, out, options_.Encode, &task.Error) < 0)
          return Fail(task, task.Error);
        blocks.push_back(out.str());
        total += static_cast<int64_t>(blocks.back().size());
      }
      if (!best || total < bestTotal) {
        best.emplace(candidate, std::move(blocks));
        bestTotal = total;
      }
    }
    const PackageCodec* codec = FindCodec(best->first);
    if (options_.StoreWhatDoesNotCompress && entry.DataMethod && codec &&
        !codec->StoresContentAsIs && !codec->DecodesAgainstTarget &&
        !CompressionPays(plan.ContentSize, bestTotal)) {
      best->first = PackageMethod::Stored;
      best->second.clear();
      for (const VariantInput& variant : entry.Variants) {
        std::ostringstream out;
        if (EncodeVariant(variant, PackageMethod::Stored, out, options_.Encode, &task.Error) < 0)
          return Fail(task, task.Error);
        best->second.push_back(out.str());
      }
    }
    task.Method = best->first;
    task.Output = std::move(best->second);
  }

  void Fail(Task& task, std::string error) {
    task.Failed = true;
    task.Error = std::move(error);
  }

  const std::vector<EntryInput>& entries_;
  std::vector<PlannedEntry>& plans_;
  std::vector<Task>& tasks_;
  const PackageOptions& options_;
  std::mutex mutex_;
  std::condition_variable changed_;
  size_t next_ = 0;
  int64_t taken_ = 0;
  bool stop_ = false;
  std::vector<std::thread> threads_;
};

// The sizes of every entry's variants and how each entry is made; false with
// `error` set for content the format cannot hold.
bool PlanEntries(const std::vector<EntryInput>& entries, const PackageOptions& options,
                 std::vector<PlannedEntry>* plans, std::vector<Task>* tasks, std::string* error) {
  for (size_t index = 0; index < entries.size(); ++index) {
    const EntryInput& entry = entries[index];
    PlannedEntry plan;
    const bool patch = entry.DataMethod == PackageMethod::Patch;
    const bool remove = entry.DataMethod == PackageMethod::Remove;
    bool anyEmpty = false;
    for (const VariantInput& variant : entry.Variants) {
      Source source;
      if (!OpenSource(variant, &source, error)) return false;
      if (source.Size > kMaxPackageSize) {
        *error = "file too large: " + entry.Name;
        return false;
      }
      plan.Sizes.push_back(source.Size);
      plan.ContentSize += source.Size;
      anyEmpty = anyEmpty || source.Size == 0;
    }
    if (remove) {
      // A remove entry carries no data: both its sizes are 0.
      if (plan.ContentSize != 0) {
        *error = "a remove entry with content: " + entry.Name;
        return false;
      }
      plan.Plan = EntryPlan::Empty;
      plan.Method = PackageMethod::Remove;
    } else if (anyEmpty && !patch) {
      // No compressed form is read as empty content: every variant is stored.
      plan.Plan = plan.ContentSize == 0 ? EntryPlan::Empty : EntryPlan::Pieces;
      plan.Method = PackageMethod::Stored;
    } else if (entry.DataMethod == PackageMethod::Stored ||
               entry.DataMethod == PackageMethod::Zlib) {
      plan.Plan = EntryPlan::Pieces;
      plan.Method = *entry.DataMethod;
      plan.Deciding = plan.Method == PackageMethod::Zlib && options.StoreWhatDoesNotCompress;
      plan.Decided = !plan.Deciding;
    } else {
      plan.Plan =
          plan.ContentSize <= kLargestEntryInMemory ? EntryPlan::InMemory : EntryPlan::Streamed;
    }
    if (plan.Plan == EntryPlan::Pieces) {
      for (size_t variant = 0; variant < entry.Variants.size(); ++variant) {
        for (int64_t offset = 0; offset < plan.Sizes[variant]; offset += kPieceSize) {
          Task task;
          task.Entry = index;
          task.Variant = variant;
          task.Offset = offset;
          task.Length = std::min(kPieceSize, plan.Sizes[variant] - offset);
          task.LastPiece = offset + task.Length == plan.Sizes[variant];
          tasks->push_back(std::move(task));
        }
      }
    } else if (plan.Plan == EntryPlan::InMemory) {
      Task task;
      task.Entry = index;
      task.Length = plan.ContentSize;
      tasks->push_back(std::move(task));
    }
    plans->push_back(std::move(plan));
  }
  return true;
}

// The method of an entry streamed when its turn comes: its own, the
// smallest one (through a scratch file), or stored when its first MiB shows
// that its own does not pay and that is wanted.
std::optional<PackageMethod> StreamedMethod(const std::string& path, const EntryInput& entry,
                                            const PlannedEntry& plan, const PackageOptions& options,
                                            std::string* error) {
  if (!entry.DataMethod)
    return ChooseEntryMethod(path, entry.Variants, plan.Sizes, options.Encode, error);
  const PackageCodec* codec = FindCodec(*entry.DataMethod);
  if (!options.StoreWhatDoesNotCompress || !codec || codec->StoresContentAsIs ||
      codec->DecodesAgainstTarget)
    return entry.DataMethod;
  std::string sample;
  if (!ReadContent(entry.Variants[0], 0, std::min(kPieceSize, plan.Sizes[0]), &sample, error))
    return std::nullopt;
  const std::string encoded = EncodeContent(*entry.DataMethod, sample, options.Encode);
  if (encoded.empty()) {
    *error = "cannot encode " + entry.Name;
    return std::nullopt;
  }
  return CompressionPays(static_cast<int64_t>(sample.size()), static_cast<int64_t>(encoded.size()))
             ? *entry.DataMethod
             : PackageMethod::Stored;
}

// Writes the whole package to an open stream; false with `error` set.
bool WriteTo(std::fstream& out, const std::string& path, const std::vector<EntryInput>& entries,
             const PackageOptions& options, std::string* error) {
  std::vector<PlannedEntry> plans;
  std::vector<Task> tasks;
  if (!PlanEntries(entries, options, &plans, &tasks, error)) return false;
  int64_t contentTotal = 0, contentDone = 0;
  for (const PlannedEntry& plan : plans) contentTotal += plan.ContentSize;
  auto progress = [&](int64_t bytes) {
    contentDone += bytes;
    if (options.Progress) options.Progress(contentDone, contentTotal);
  };
  const std::string zlibHeader = ZlibHeader(options.Encode.ZlibLevel);

  out.write(std::string(kPackageHeaderSize, '\0').data(), kPackageHeaderSize);
  std::vector<DirectoryEntry> directory;
  int64_t offset = kPackageHeaderSize;
  auto place = [&](int64_t bytes) {
    if (offset + bytes > kMaxPackageSize) {
      *error = "package would reach 2 GiB, which the format cannot address";
      return false;
    }
    offset += bytes;
    return true;
  };
  EncodePipeline pipeline(entries, plans, tasks, options);
  size_t nextTask = 0;
  for (size_t index = 0; index < entries.size(); ++index) {
    const EntryInput& entry = entries[index];
    const PlannedEntry& plan = plans[index];
    DirectoryEntry record;
    record.Name = entry.Name;
    record.Version = entry.Version;
    record.Method = plan.Method;
    if (plan.Plan == EntryPlan::Streamed) {
      std::optional<PackageMethod> method = StreamedMethod(path, entry, plan, options, error);
      if (!method) return false;
      record.Method = *method;
      for (size_t i = 0; i < entry.Variants.size(); ++i) {
        const int64_t start = offset;
        int64_t written = EncodeVariant(entry.Variants[i], *method, out, options.Encode, error);
        if (written < 0 || !place(written)) return false;
        record.Variants.push_back({entry.Variants[i].Key, static_cast<int32_t>(written),
                                   static_cast<int32_t>(plan.Sizes[i]),
                                   static_cast<int32_t>(start)});
      }
      progress(plan.ContentSize);
    } else if (plan.Plan == EntryPlan::InMemory) {
      Task& task = pipeline.Wait(nextTask);
      if (task.Failed) {
        *error = task.Error;
        return false;
      }
      record.Method = task.Method;
      for (size_t i = 0; i < entry.Variants.size(); ++i) {
        const std::string& block = task.Output[i];
        out.write(block.data(), static_cast<std::streamsize>(block.size()));
        const int64_t start = offset;
        if (!place(static_cast<int64_t>(block.size()))) return false;
        record.Variants.push_back({entry.Variants[i].Key, static_cast<int32_t>(block.size()),
                                   static_cast<int32_t>(plan.Sizes[i]),
                                   static_cast<int32_t>(start)});
      }
      pipeline.Written(nextTask++);
      progress(plan.ContentSize);
    } else {
      // Pieces (or empty content): each variant's pieces in order, a zlib
      // stream framed by its header and the check of all its content.
      for (size_t i = 0; i < entry.Variants.size(); ++i) {
        const int64_t start = offset;
        uLong adler = adler32(0, nullptr, 0);
        for (int64_t done = 0; done < plan.Sizes[i];) {
          Task& task = pipeline.Wait(nextTask);
          if (task.Failed) {
            *error = task.Error;
            return false;
          }
          // The first piece of the entry has decided its method by now.
          record.Method = plan.Method;
          const bool zlib = record.Method == PackageMethod::Zlib;
          if (zlib && done == 0) out.write(zlibHeader.data(), 2);
          out.write(task.Output[0].data(), static_cast<std::streamsize>(task.Output[0].size()));
          adler = adler32_combine(adler, task.Adler, static_cast<z_off_t>(task.Length));
          if (zlib && task.LastPiece) {
            const char check[4] = {static_cast<char>(adler >> 24), static_cast<char>(adler >> 16),
                                   static_cast<char>(adler >> 8), static_cast<char>(adler)};
            out.write(check, 4);
          }
          const int64_t bytes = static_cast<int64_t>(task.Output[0].size()) +
                                (zlib && done == 0 ? 2 : 0) + (zlib && task.LastPiece ? 4 : 0);
          if (!place(bytes)) return false;
          done += task.Length;
          progress(task.Length);
          pipeline.Written(nextTask++);
        }
        record.Variants.push_back({entry.Variants[i].Key, static_cast<int32_t>(offset - start),
                                   static_cast<int32_t>(plan.Sizes[i]),
                                   static_cast<int32_t>(start)});
      }
    }
    if (!out) {
      *error = "cannot write " + path;
      return false;
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
  const int64_t directoryOffset = offset;
  if (!place(static_cast<int64_t>(stored.size()))) return false;
  header.DirSize = static_cast<uint16_t>(decoded.size());
  header.DirPackedSize = static_cast<uint16_t>(stored.size());
  header.DirOffset = static_cast<int32_t>(directoryOffset);
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

int64_t LargestPackedSize(MethodChoice method, int64_t size) {
  const PackageCodec* codec = method ? FindCodec(*method) : nullptr;
  if (!method || (codec && codec->StoresContentAsIs) || size == 0) return size;
  if (method == PackageMethod::Zlib) {
    // zlib's own bound of each piece, the end of each piece, header and check.
    const int64_t pieces = (size + kPieceSize - 1) / kPieceSize;
    return size + (size >> 12) + (size >> 14) + pieces * 24 + 6;
  }
  // LZMA and Zstandard grow content that does not compress by far less.
  return size + size / 16 + kPatchHeaderSize + 64 * 1024;
}

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

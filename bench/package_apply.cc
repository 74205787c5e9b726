// Applying update packages: the throughput of ApplyUpdates on a large entry
// next to the bare decoder writing the same stream to a file (with and
// without making it durable), the time of a package of many small files, and
// the peak memory of the applying process. Not a test; run by hand:
//   package_apply [WORK_FOLDER]   (default /tmp/voxa-package-bench)
//   package_apply patch OLD NEW [WORK_FOLDER]
// It gathers 1 GiB and 256 MiB of real binary data from /usr/lib, packs them
// (zlib, and the 256 MiB zlib, LZMA and zstd), makes a patch that turns the
// 256 MiB into a changed copy and applies it over an installation that holds
// the old one, packs 2,000 files of 4 KiB over an installation that holds
// them already, and runs each measurement in a fresh child process so the
// peak memory belongs to that measurement alone. The second form makes a
// patch of two given files (consecutive releases of a program) and applies
// it the same way.
#include <LzmaDec.h>
#include <fcntl.h>
#include <sys/resource.h>
#include <unistd.h>
#include <zlib.h>
#include <zstd.h>

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <iostream>
#include <iterator>
#include <memory>
#include <string>
#include <vector>

#include "packages/apply_updates.h"
#include "packages/package_format.h"
#include "packages/package_reader.h"
#include "packages/package_writer.h"
#include "system/platform.h"
#include "system/report.h"

namespace fs = std::filesystem;
using namespace updater;

namespace {

constexpr int64_t kMiB = 1 << 20;
constexpr int64_t kChunk = 1 << 20;
// Each measurement is taken this many times and the fastest counts, since
// other work on the machine only ever slows a run down.
constexpr int kRounds = 3;
// The many-files package, timed more often as one round is short.
constexpr int kSmallFiles = 2000;
constexpr int64_t kSmallFileSize = 4096;
constexpr int kManyRounds = 7;

double Seconds(std::chrono::steady_clock::time_point start) {
  return std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count();
}

// The processor time this process has used, in seconds: unlike the wall
// time, hardly changed by other work on the machine.
double CpuSeconds() {
  rusage usage{};
  getrusage(RUSAGE_SELF, &usage);
  return static_cast<double>(usage.ru_utime.tv_sec + usage.ru_stime.tv_sec) +
         static_cast<double>(usage.ru_utime.tv_usec + usage.ru_stime.tv_usec) / 1e6;
}

long PeakKiB() {
  rusage usage{};
  getrusage(RUSAGE_SELF, &usage);
  return usage.ru_maxrss;
}

bool StartsAsElf(const fs::path& path) {
  std::ifstream in(path, std::ios::binary);
  char magic[4] = {};
  in.read(magic, 4);
  return in.gcount() == 4 && std::memcmp(magic,
                                         "\x7f"
                                         "ELF",
                                         4) == 0;
}

// Concatenates ELF files found under /usr/lib (again from the top when they
// run out) into `target` until it holds `size` bytes.
void GatherData(const fs::path& target, int64_t size) {
  std::error_code code;
  if (fs::exists(target) && static_cast<int64_t>(fs::file_size(target)) == size) return;
  std::vector<fs::path> sources;
  for (auto it = fs::recursive_directory_iterator(
           "/usr/lib", fs::directory_options::skip_permission_denied, code);
       it != fs::recursive_directory_iterator(); it.increment(code)) {
    if (code) break;
    if (it->is_regular_file(code) && !it->is_symlink(code) && it->file_size(code) > 65536 &&
        StartsAsElf(it->path()))
      sources.push_back(it->path());
  }
  std::sort(sources.begin(), sources.end());
  if (sources.empty()) {
    std::cerr << "no binaries under /usr/lib\n";
    std::exit(1);
  }
  std::ofstream out(target, std::ios::binary | std::ios::trunc);
  std::vector<char> buffer(kChunk);
  int64_t written = 0;
  for (size_t i = 0; written < size; i = (i + 1) % sources.size()) {
    std::ifstream in(sources[i], std::ios::binary);
    while (written < size && in) {
      in.read(buffer.data(),
              static_cast<std::streamsize>(std::min<int64_t>(kChunk, size - written)));
      out.write(buffer.data(), in.gcount());
      written += in.gcount();
    }
  }
}

// Packs `data` as the entry Data\big.bin; a patch is made from `reference`.
void Pack(const fs::path& data, const fs::path& package, MethodChoice method,
          const fs::path& reference = fs::path(), int zstdLevel = 19) {
  if (fs::exists(package)) return;
  PackageOptions options;
  options.Encode.ZlibLevel = 6;
  options.Encode.LzmaLevel = 3;
  options.Encode.LzmaDictionarySize = 16 * kMiB;
  options.Encode.ZstdLevel = zstdLevel;
  std::string error;
  auto start = std::chrono::steady_clock::now();
  if (!WritePackage(package.string(),
                    {{"Data\\big.bin", 1, method, {{0, data.string(), "", reference.string()}}}},
                    options, &error)) {
    std::cerr << "packing failed: " << error << "\n";
    std::exit(1);
  }
  std::fprintf(stderr, "packed %s: %lld bytes of %lld in %.1f s\n", package.filename().c_str(),
               static_cast<long long>(fs::file_size(package)),
               static_cast<long long>(fs::file_size(data)), Seconds(start));
}

// A copy of `data` changed in places, as a new release changes a program:
// every 8 MiB, 64 KiB of other bytes replace the old ones, and every 32 MiB
// 4 KiB are inserted and 4 KiB dropped.
void ChangedCopy(const fs::path& data, const fs::path& target) {
  if (fs::exists(target)) return;
  std::ifstream in(data, std::ios::binary);
  std::string content((std::istreambuf_iterator<char>(in)), std::istreambuf_iterator<char>());
  uint32_t state = 7;
  auto noise = [&](size_t size) {
    std::string bytes(size, '\0');
    for (char& byte : bytes) {
      state = state * 1103515245u + 12345u;
      byte = static_cast<char>(state >> 16);
    }
    return bytes;
  };
  for (size_t at = 4 * kMiB; at + 64 * 1024 < content.size(); at += 8 * kMiB)
    content.replace(at, 64 * 1024, noise(64 * 1024));
  for (size_t at = 16 * kMiB; at + 4096 < content.size(); at += 32 * kMiB) {
    content.insert(at, noise(4096));
    content.erase(at + 1000000, 4096);
  }
  std::ofstream(target, std::ios::binary) << content;
}

// The single entry's stored block, read whole into memory.
std::string StoredBlock(const fs::path& package, PackageMethod* method, int64_t* size) {
  std::ifstream in(package, std::ios::binary);
  uint8_t headerBytes[kPackageHeaderSize];
  in.read(reinterpret_cast<char*>(headerBytes), kPackageHeaderSize);
  PackageHeader header = DecodePackageHeader(headerBytes);
  std::string stored(
      header.DirMethod == PackageMethod::Stored ? header.DirSize : header.DirPackedSize, '\0');
  in.seekg(header.DirOffset);
  in.read(stored.data(), static_cast<std::streamsize>(stored.size()));
  std::string directory(header.DirSize, '\0');
  uLongf length = header.DirSize;
  if (header.DirMethod == PackageMethod::Zlib)
    uncompress(reinterpret_cast<Bytef*>(directory.data()), &length,
               reinterpret_cast<const Bytef*>(stored.data()), stored.size());
  else
    directory = stored;  // the bench writes a stored or zlib directory only
  std::vector<DirectoryEntry> entries;
  ParseDirectory(reinterpret_cast<const uint8_t*>(directory.data()), header.DirSize, &entries);
  const EntryVariant& variant = entries.at(0).Variants.at(0);
  *method = entries[0].Method;
  *size = variant.Size;
  std::string block(static_cast<size_t>(variant.PackedSize), '\0');
  in.seekg(variant.Offset);
  in.read(block.data(), variant.PackedSize);
  return block;
}

void* Alloc(void*, size_t size) { return std::malloc(size); }
void Free(void*, void* address) { std::free(address); }

// The bare library decoder over the block in memory, writing what it
// produces to `output` chunk by chunk; with `durable`, the file's data is then
// synced to the disk (fdatasync), as applying a package must before it
// replaces anything.
int RawDecode(const fs::path& package, const fs::path& output, bool durable) {
  PackageMethod method = PackageMethod::Stored;
  int64_t size = 0;
  std::string block = StoredBlock(package, &method, &size);
  std::vector<uint8_t> out(kChunk);
  double best = 1e9;
  for (int round = 0; round < kRounds; ++round) {
    fs::remove(output);
    int fd = open(output.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0644);
    if (fd < 0) {
      std::perror("open");
      return 1;
    }
    bool written = true;
    auto write_all = [&](const uint8_t* data, int64_t count) {
      while (count > 0) {
        ssize_t done = write(fd, data, static_cast<size_t>(count));
        if (done <= 0) return written = false;
        data += done;
        count -= done;
      }
      return true;
    };
    int64_t produced = 0;
    auto start = std::chrono::steady_clock::now();
    if (method == PackageMethod::Zlib) {
      z_stream stream{};
      inflateInit(&stream);
      stream.next_in = reinterpret_cast<Bytef*>(block.data());
      stream.avail_in = static_cast<uInt>(block.size());
      int result = Z_OK;
      while (result == Z_OK) {
        stream.next_out = out.data();
        stream.avail_out = kChunk;
        result = inflate(&stream, Z_NO_FLUSH);
        write_all(out.data(), kChunk - stream.avail_out);
        produced += kChunk - stream.avail_out;
      }
      inflateEnd(&stream);
    } else if (method == PackageMethod::Zstd) {
      ZSTD_DCtx* decoder = ZSTD_createDCtx();
      ZSTD_inBuffer in = {block.data(), block.size(), 0};
      size_t left = 1;
      while (left != 0) {
        ZSTD_outBuffer chunk = {out.data(), static_cast<size_t>(kChunk), 0};
        left = ZSTD_decompressStream(decoder, &chunk, &in);
        if (ZSTD_isError(left)) break;
        write_all(out.data(), static_cast<int64_t>(chunk.pos));
        produced += static_cast<int64_t>(chunk.pos);
      }
      ZSTD_freeDCtx(decoder);
    } else {
      ISzAlloc alloc = {Alloc, Free};
      CLzmaDec decoder;
      LzmaDec_Construct(&decoder);
      LzmaDec_Allocate(&decoder, reinterpret_cast<const Byte*>(block.data()), 5, &alloc);
      LzmaDec_Init(&decoder);
      size_t pos = 13;
      while (produced < size) {
        SizeT outLen = static_cast<SizeT>(std::min<int64_t>(kChunk, size - produced));
        SizeT inLen = block.size() - pos;
        ELzmaStatus status;
        if (LzmaDec_DecodeToBuf(&decoder, out.data(), &outLen,
                                reinterpret_cast<const Byte*>(block.data()) + pos, &inLen,
                                LZMA_FINISH_ANY, &status) != SZ_OK ||
            outLen == 0)
          break;
        pos += inLen;
        write_all(out.data(), static_cast<int64_t>(outLen));
        produced += static_cast<int64_t>(outLen);
      }
      LzmaDec_Free(&decoder, &alloc);
    }
    if (durable && fdatasync(fd) != 0) written = false;
    written = close(fd) == 0 && written;
    best = std::min(best, Seconds(start));
    if (produced != size || !written) {
      std::cerr << "raw decode produced " << produced << " of " << size
                << (written ? "" : ", writing failed") << "\n";
      return 1;
    }
  }
  fs::remove(output);
  std::printf("raw %s to a file%s\t%.1f MB/s\t(best of %d: %.2f s)\n", MethodName(method).c_str(),
              durable ? ", synced" : "", static_cast<double>(size) / 1e6 / best, kRounds, best);
  return 0;
}

// Applies the package over an installation that holds `installed` as
// Data/big.bin (none when empty), the file a patch applies to.
int Apply(const fs::path& package, const fs::path& folder, const fs::path& installed) {
  double best = 1e9, bestCpu = 1e9;
  int64_t size = 0;
  long before = 0;
  bool ok = true;
  for (int round = 0; round < kRounds && ok; ++round) {
    fs::remove_all(folder);
    fs::create_directories(folder / "Update");
    fs::copy_file(package, folder / "Update" / "P.mxu");
    if (!installed.empty()) {
      fs::create_directories(folder / "Data");
      fs::copy_file(installed, folder / "Data" / "big.bin");
      // An installed file has long been on the disk.
      sync();
    }
    SilentReport report;
    PackageReader reader(RealPlatform().Files, report);
    InitPackageReader(reader, 0);
    if (round == 0) before = PeakKiB();
    auto start = std::chrono::steady_clock::now();
    const double cpuStart = CpuSeconds();
    ok = ApplyUpdates(reader, folder.string() + "/");
    best = std::min(best, Seconds(start));
    bestCpu = std::min(bestCpu, CpuSeconds() - cpuStart);
    size = ok ? static_cast<int64_t>(fs::file_size(folder / "Data" / "big.bin")) : 0;
  }
  std::printf(
      "apply %s\t%.1f MB/s\t(best of %d: %.2f s, processor %.2f s)\tpeak memory %.1f MiB (%.1f "
      "MiB before applying)%s\n",
      package.stem().c_str(), static_cast<double>(size) / 1e6 / best, kRounds, best, bestCpu,
      PeakKiB() / 1024.0, before / 1024.0, ok ? "" : "\tFAILED");
  fs::remove_all(folder);
  return ok ? 0 : 1;
}

// The small files of the many-files package: 20 folders of 100 files.
std::string SmallFileName(int index) {
  char name[32];
  std::snprintf(name, sizeof name, "F\\%02d\\%04d", index / 100, index);
  return name;
}

// Content of one small file, different for the old and the new version.
std::string SmallFileContent(int index, int version) {
  std::string content(kSmallFileSize, '\0');
  uint32_t state = static_cast<uint32_t>(index * 7919 + version * 104729 + 1);
  for (char& byte : content) {
    state = state * 1103515245u + 12345u;
    byte = static_cast<char>((state >> 16) % 64);
  }
  return content;
}

// An installation holding the old version of every small file, and the
// package of the new versions.
void PrepareManyFiles(const fs::path& installation, const fs::path& package) {
  if (fs::exists(package) && fs::exists(installation)) return;
  fs::remove_all(installation);
  std::vector<EntryInput> entries;
  for (int i = 0; i < kSmallFiles; ++i) {
    std::string name = SmallFileName(i);
    std::string native = name;
    std::replace(native.begin(), native.end(), '\\', '/');
    fs::create_directories((installation / native).parent_path());
    std::ofstream(installation / native, std::ios::binary) << SmallFileContent(i, 1);
    entries.push_back({name, 1, PackageMethod::Zlib, {{0, std::string(), SmallFileContent(i, 2)}}});
  }
  std::string error;
  if (!WritePackage(package.string(), entries, {}, &error)) {
    std::cerr << "packing failed: " << error << "\n";
    std::exit(1);
  }
}

int ApplyMany(const fs::path& package, const fs::path& installation, const fs::path& folder) {
  double best = 1e9;
  bool ok = true;
  for (int round = 0; round < kManyRounds && ok; ++round) {
    fs::remove_all(folder);
    fs::copy(installation, folder, fs::copy_options::recursive);
    // An installed program has been on the disk for a while; only the
    // package, just downloaded, may still wait in memory.
    sync();
    fs::create_directories(folder / "Update");
    fs::copy_file(package, folder / "Update" / "P.mxu");
    SilentReport report;
    PackageReader reader(RealPlatform().Files, report);
    InitPackageReader(reader, 0);
    auto start = std::chrono::steady_clock::now();
    ok = ApplyUpdates(reader, folder.string() + "/");
    best = std::min(best, Seconds(start));
    std::ifstream last(folder / "F" / "19" / "1999", std::ios::binary);
    std::string content((std::istreambuf_iterator<char>(last)), std::istreambuf_iterator<char>());
    ok = ok && content == SmallFileContent(kSmallFiles - 1, 2);
  }
  std::printf(
      "apply %d files of %d KiB\t%.0f files/s\t(best of %d: %.3f s)\tpeak memory %.1f MiB%s\n",
      kSmallFiles, static_cast<int>(kSmallFileSize / 1024), kSmallFiles / best, kManyRounds, best,
      PeakKiB() / 1024.0, ok ? "" : "\tFAILED");
  fs::remove_all(folder);
  return ok ? 0 : 1;
}

}  // namespace

// Applies a patch package made from two given files, OLD to NEW.
int PatchPair(const std::string& self, const fs::path& oldFile, const fs::path& newFile,
              const fs::path& work) {
  fs::create_directories(work);
  fs::path package = work / "pair-patch.mxu";
  fs::remove(package);
  Pack(newFile, package, PackageMethod::Patch, oldFile);
  int failures = std::system((self + " apply " + package.string() + " " + (work / "app").string() +
                              " " + oldFile.string())
                                 .c_str()) != 0;
  // The same file as whole content, for the sizes and times of each.
  for (PackageMethod method : {PackageMethod::Zlib, PackageMethod::Zstd}) {
    fs::path full = work / ("pair-" + MethodName(method) + ".mxu");
    fs::remove(full);
    Pack(newFile, full, method);
    failures +=
        std::system((self + " apply " + full.string() + " " + (work / "app").string()).c_str()) !=
        0;
  }
  return failures ? 1 : 0;
}

int main(int argc, char** argv) {
  if (argc == 4 && std::string(argv[1]) == "raw") return RawDecode(argv[2], argv[3], false);
  if (argc == 4 && std::string(argv[1]) == "rawsync") return RawDecode(argv[2], argv[3], true);
  if (argc >= 4 && argc <= 5 && std::string(argv[1]) == "apply")
    return Apply(argv[2], argv[3], argc == 5 ? argv[4] : "");
  if (argc == 5 && std::string(argv[1]) == "many") return ApplyMany(argv[2], argv[3], argv[4]);
  std::string self = fs::canonical("/proc/self/exe").string();
  if ((argc == 4 || argc == 5) && std::string(argv[1]) == "patch")
    return PatchPair(self, argv[2], argv[3], argc == 5 ? argv[4] : "/tmp/voxa-package-bench");
  fs::path work = argc > 1 ? argv[1] : "/tmp/voxa-package-bench";
  fs::create_directories(work);
  int failures = 0;
  std::cerr << "preparing " << kSmallFiles << " small files...\n";
  PrepareManyFiles(work / "many-installation", work / "many.mxu");
  failures += std::system((self + " many " + (work / "many.mxu").string() + " " +
                           (work / "many-installation").string() + " " + (work / "app").string())
                              .c_str()) != 0;
  // The 256 MiB of data-lzma.bin in every whole-content method, for the
  // methods' speeds on the same content.
  struct Run {
    const char* Name;
    const char* Data;
    int64_t Size;
    MethodChoice Method;
    bool Bare;  // also timed with the bare library decoder
  } runs[] = {{"zlib", "data-zlib.bin", 1024 * kMiB, PackageMethod::Zlib, true},
              {"lzma", "data-lzma.bin", 256 * kMiB, PackageMethod::Lzma, true},
              {"zlib-256", "data-lzma.bin", 256 * kMiB, PackageMethod::Zlib, true},
              {"zstd-256", "data-lzma.bin", 256 * kMiB, PackageMethod::Zstd, true}};
  for (const Run& run : runs) {
    fs::path data = work / run.Data;
    fs::path package = work / (std::string(run.Name) + ".mxu");
    std::cerr << "preparing " << run.Name << " (" << run.Size / kMiB << " MiB)...\n";
    GatherData(data, run.Size);
    Pack(data, package, run.Method);
    std::string output = (work / "raw.out").string();
    if (run.Bare) {
      failures += std::system((self + " raw " + package.string() + " " + output).c_str()) != 0;
      failures += std::system((self + " rawsync " + package.string() + " " + output).c_str()) != 0;
    }
    failures +=
        std::system(
            (self + " apply " + package.string() + " " + (work / "app").string()).c_str()) != 0;
  }
  // A patch over the installed 256 MiB (made at level 9: the level changes
  // the patch's size, hardly its decoding).
  std::cerr << "preparing patch-256...\n";
  fs::path changed = work / "data-lzma-changed.bin";
  ChangedCopy(work / "data-lzma.bin", changed);
  fs::path patch = work / "patch-256.mxu";
  Pack(changed, patch, PackageMethod::Patch, work / "data-lzma.bin", 9);
  failures += std::system((self + " apply " + patch.string() + " " + (work / "app").string() + " " +
                           (work / "data-lzma.bin").string())
                              .c_str()) != 0;
  return failures ? 1 : 0;
}

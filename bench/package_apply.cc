// Applying update packages: the throughput of ApplyUpdates on a large entry
// next to the bare decoder writing the same stream to a file (with and
// without making it durable), the time of a package of many small files, and
// the peak memory of the applying process. Not a test; run by hand:
//   package_apply [WORK_FOLDER]   (default /tmp/voxa-package-bench)
// It gathers 1 GiB and 256 MiB of real binary data from /usr/lib, packs them
// (zlib and LZMA), packs 2,000 files of 4 KiB over an installation that holds
// them already, and runs each measurement in a fresh child process so the
// peak memory belongs to that measurement alone.
#include <LzmaDec.h>
#include <fcntl.h>
#include <sys/resource.h>
#include <unistd.h>
#include <zlib.h>

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

void Pack(const fs::path& data, const fs::path& package, MethodChoice method) {
  if (fs::exists(package)) return;
  PackageOptions options;
  options.Encode.ZlibLevel = 6;
  options.Encode.LzmaLevel = 3;
  options.Encode.LzmaDictionarySize = 16 * kMiB;
  std::string error;
  if (!WritePackage(package.string(), {{"Data\\big.bin", 1, method, {{0, data.string(), ""}}}},
                    options, &error)) {
    std::cerr << "packing failed: " << error << "\n";
    std::exit(1);
  }
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
  std::printf("raw %s to a file%s\t%.1f MB/s\t(best of %d: %.2f s)\n",
              method == PackageMethod::Zlib ? "zlib" : "lzma", durable ? ", synced" : "",
              static_cast<double>(size) / 1e6 / best, kRounds, best);
  return 0;
}

int Apply(const fs::path& package, const fs::path& folder) {
  double best = 1e9;
  int64_t size = 0;
  long before = 0;
  bool ok = true;
  for (int round = 0; round < kRounds && ok; ++round) {
    fs::remove_all(folder);
    fs::create_directories(folder / "Update");
    fs::copy_file(package, folder / "Update" / "P.mxu");
    SilentReport report;
    PackageReader reader(RealPlatform().files, report);
    InitPackageReader(reader, 0);
    if (round == 0) before = PeakKiB();
    auto start = std::chrono::steady_clock::now();
    ok = ApplyUpdates(reader, folder.string() + "/");
    best = std::min(best, Seconds(start));
    size = ok ? static_cast<int64_t>(fs::file_size(folder / "Data" / "big.bin")) : 0;
  }
  std::printf(
      "apply %s\t%.1f MB/s\t(best of %d: %.2f s)\tpeak memory %.1f MiB (%.1f MiB before "
      "applying)%s\n",
      package.stem().c_str(), static_cast<double>(size) / 1e6 / best, kRounds, best,
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
    PackageReader reader(RealPlatform().files, report);
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

int main(int argc, char** argv) {
  if (argc == 4 && std::string(argv[1]) == "raw") return RawDecode(argv[2], argv[3], false);
  if (argc == 4 && std::string(argv[1]) == "rawsync") return RawDecode(argv[2], argv[3], true);
  if (argc == 4 && std::string(argv[1]) == "apply") return Apply(argv[2], argv[3]);
  if (argc == 5 && std::string(argv[1]) == "many") return ApplyMany(argv[2], argv[3], argv[4]);
  fs::path work = argc > 1 ? argv[1] : "/tmp/voxa-package-bench";
  fs::create_directories(work);
  std::string self = fs::canonical("/proc/self/exe").string();
  int failures = 0;
  std::cerr << "preparing " << kSmallFiles << " small files...\n";
  PrepareManyFiles(work / "many-installation", work / "many.mxu");
  failures += std::system((self + " many " + (work / "many.mxu").string() + " " +
                           (work / "many-installation").string() + " " + (work / "app").string())
                              .c_str()) != 0;
  struct Run {
    const char* name;
    int64_t size;
    MethodChoice method;
  } runs[] = {{"zlib", 1024 * kMiB, PackageMethod::Zlib},
              {"lzma", 256 * kMiB, PackageMethod::Lzma}};
  for (const Run& run : runs) {
    fs::path data = work / (std::string("data-") + run.name + ".bin");
    fs::path package = work / (std::string(run.name) + ".mxu");
    std::cerr << "preparing " << run.name << " (" << run.size / kMiB << " MiB)...\n";
    GatherData(data, run.size);
    Pack(data, package, run.method);
    std::string output = (work / "raw.out").string();
    failures += std::system((self + " raw " + package.string() + " " + output).c_str()) != 0;
    failures += std::system((self + " rawsync " + package.string() + " " + output).c_str()) != 0;
    failures +=
        std::system(
            (self + " apply " + package.string() + " " + (work / "app").string()).c_str()) != 0;
  }
  return failures ? 1 : 0;
}

// Checking the signature of a large file: VerifyFileSignature on a 256 MiB
// file signed by minisign (the BLAKE2b form), next to reading the file alone
// and to BLAKE2b-512 over memory. Not a test; run by hand from a tree
// without sanitizers:
//   signature_check [WORK_FOLDER]   (default /tmp/voxa-signature-bench)
// The file is read from the page cache, as a file just downloaded would be.
// Exits 1 when the check fails or stays below 500 MB/s.
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <functional>
#include <memory>
#include <string>
#include <vector>

#include "protocol/crypto.h"
#include "protocol/signature.h"
#include "system/platform.h"

namespace fs = std::filesystem;
using namespace updater;

namespace {

constexpr int64_t kFileSize = int64_t{256} << 20;
constexpr int64_t kChunk = 1 << 20;
constexpr double kTargetMBs = 500;
// The fastest of a few rounds counts, since other work on the machine only
// ever slows a run down.
constexpr int kRounds = 3;

// The best throughput of `run` over kFileSize bytes, in MB/s (10^6 bytes).
double BestMBs(const std::function<bool()>& run) {
  double best = 0;
  for (int round = 0; round < kRounds; ++round) {
    const auto start = std::chrono::steady_clock::now();
    if (!run()) return 0;
    const double seconds =
        std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count();
    best = std::max(best, kFileSize / seconds / 1e6);
  }
  return best;
}

void MakeFile(const fs::path& path) {
  if (fs::exists(path) && static_cast<int64_t>(fs::file_size(path)) == kFileSize) return;
  std::vector<uint64_t> block(kChunk / 8);
  uint64_t state = 0x9e3779b97f4a7c15u;
  std::ofstream out(path, std::ios::binary | std::ios::trunc);
  for (int64_t written = 0; written < kFileSize; written += kChunk) {
    for (uint64_t& word : block) {  // xorshift64: incompressible, quick to make
      state ^= state << 13;
      state ^= state >> 7;
      state ^= state << 17;
      word = state;
    }
    out.write(reinterpret_cast<const char*>(block.data()), kChunk);
  }
}

bool Run(const std::string& command) {
  if (std::system(command.c_str()) == 0) return true;
  std::fprintf(stderr, "failed: %s\n", command.c_str());
  return false;
}

std::string ReadText(const fs::path& path) {
  std::ifstream in(path, std::ios::binary);
  return std::string(std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>());
}

}  // namespace

int main(int argc, char** argv) {
  const fs::path folder = argc > 1 ? argv[1] : "/tmp/voxa-signature-bench";
  fs::create_directories(folder);
  const fs::path file = folder / "Package.mxu";
  MakeFile(file);
  const std::string minisign = MINISIGN_PROGRAM;
  const std::string quoted = "'" + folder.string() + "/";
  if (!Run(minisign + " -G -f -W -p " + quoted + "key.pub' -s " + quoted + "key.sec' >/dev/null") ||
      !Run(minisign + " -S -s " + quoted + "key.sec' -m " + quoted + "Package.mxu'"))
    return 1;

  MinisignPublicKey key;
  std::string error;
  if (!ParsePublicKey(ReadText(folder / "key.pub"), &key, &error)) {
    std::fprintf(stderr, "key.pub: %s\n", error.c_str());
    return 1;
  }
  const std::string signature = ReadText(folder / "Package.mxu.minisig");
  FileSystem& files = RealPlatform().Files;

  std::string reason;
  const double verifyMBs = BestMBs([&] {
    SignedFileInfo info;
    return VerifyFileSignature(files, file.string(), signature, key, "Package.mxu", &info, &reason);
  });
  if (verifyMBs == 0) {
    std::fprintf(stderr, "the check failed: %s\n", reason.c_str());
    return 1;
  }
  const double readMBs = BestMBs([&] {
    std::unique_ptr<File> opened = files.OpenRead(file.string(), false, nullptr);
    std::vector<uint8_t> chunk(kChunk);
    int64_t count = 0;
    while (opened && (count = opened->Read(chunk.data(), kChunk, nullptr)) > 0) {
    }
    return opened && count == 0;
  });
  const double hashMBs = BestMBs([&] {
    std::vector<uint8_t> chunk(kChunk, 0x5a);
    Blake2b512 hash;
    for (int64_t done = 0; done < kFileSize; done += kChunk) hash.Update(chunk.data(), kChunk);
    hash.Finish();
    return true;
  });

  std::printf("verify 256 MiB (BLAKE2b form)\t%.1f MB/s\t(best of %d)\n", verifyMBs, kRounds);
  std::printf("read alone\t\t\t%.1f MB/s\n", readMBs);
  std::printf("BLAKE2b-512 over memory\t\t%.1f MB/s\n", hashMBs);
  std::printf("target %.0f MB/s: %s\n", kTargetMBs, verifyMBs >= kTargetMBs ? "met" : "missed");
  return verifyMBs >= kTargetMBs ? 0 : 1;
}

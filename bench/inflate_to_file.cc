// The fair limit for applying a package: every entry of a package decoded
// straight into its file, with no temporary names, no journal and no syncing.
// Built in both trees, so that the Windows program can be held against it
// under Wine. Not a test; bench/wine_apply.sh runs it:
//   inflate_to_file PACKAGE FOLDER
#include <cstdio>
#include <memory>
#include <string>
#include <vector>

#include "packages/package_codecs.h"
#include "packages/package_reader.h"
#include "system/platform.h"

namespace {

using namespace updater;

class FileSource : public ByteSource {
 public:
  explicit FileSource(File& file) : file_(file) {}
  int64_t Read(uint8_t* buffer, int64_t size) override { return file_.Read(buffer, size, nullptr); }

 private:
  File& file_;
};

class FileWriter : public ByteSink {
 public:
  explicit FileWriter(File& file) : file_(file) {}
  bool Write(const uint8_t* data, int64_t size) override {
    return file_.Write(data, size, nullptr);
  }

 private:
  File& file_;
};

// Creates the folders of `name` below `folder` ("\" separated). One that
// exists already fails to be made; a missing one fails the entry's Create.
void CreateFolders(FileSystem& files, const std::string& folder, const std::string& name) {
  for (size_t at = name.find('\\'); at != std::string::npos; at = name.find('\\', at + 1))
    static_cast<void>(files.CreateFolder(folder + name.substr(0, at), nullptr));
}

}  // namespace

int main(int argc, char** argv) {
  if (argc != 3) {
    std::fprintf(stderr, "usage: inflate_to_file PACKAGE FOLDER\n");
    return 2;
  }
  FileSystem& files = RealPlatform().Files;
  const std::string folder = std::string(argv[2]) + "\\";
  std::string cause;
  std::unique_ptr<File> package = files.OpenRead(argv[1], false, &cause);
  PackageHeader header;
  std::vector<DirectoryEntry> entries;
  std::string why;
  if (!package || !ReadPackageDirectory(*package, &header, &entries, &why)) {
    std::fprintf(stderr, "cannot read %s: %s\n", argv[1], package ? why.c_str() : cause.c_str());
    return 1;
  }
  for (const DirectoryEntry& entry : entries) {
    const EntryVariant& variant = entry.Variants.front();
    CreateFolders(files, folder, entry.Name);
    std::unique_ptr<File> target = files.Create(folder + entry.Name, &cause);
    FileSource source(*package);
    FileWriter sink(*target);
    if (!target || !package->Seek(variant.Offset, &cause) ||
        DecodeStream(source, variant.PackedSize, variant.Size, entry.Method, sink) !=
            StreamResult::Ok ||
        !target->Close(&cause)) {
      std::fprintf(stderr, "cannot write %s: %s\n", entry.Name.c_str(), cause.c_str());
      return 1;
    }
  }
  return 0;
}

// mxupack: the publisher's tool that creates, lists, extracts and verifies
// update packages (*.mxu).
#include <algorithm>
#include <cstdio>
#include <cstring>
#include <filesystem>
#include <functional>
#include <iostream>
#include <map>
#include <set>
#include <sstream>
#include <string>
#include <vector>

#include "mxupack/file_tree.h"
#include "mxupack/publish.h"
#include "mxupack/publish_plan.h"
#include "mxupack/refresh.h"
#include "packages/apply_updates.h"
#include "packages/entry_names.h"
#include "packages/package_codecs.h"
#include "packages/package_format.h"
#include "packages/package_reader.h"
#include "packages/package_writer.h"
#include "protocol/catalogue.h"
#include "run/progress_view.h"
#include "system/platform.h"
#include "system/report.h"
#include "system/text.h"

namespace updater::mxupack {

namespace {

namespace fs = std::filesystem;

constexpr int kExitOk = 0;
constexpr int kExitFailed = 1;
constexpr int kExitUsage = 2;
// Ten years: an expiry further out protects nobody.
constexpr long kMostExpiryDays = 3650;

constexpr const char* kHelp =
    R"(mxupack - create, list, extract and verify update packages (*.mxu), and
publish releases to update server folders

Usage:
  mxupack create OUT.mxu DIR [options]
      Packs every file below DIR. Entry names are the paths relative to DIR
      with "\" separators (ASCII or Latin-1 characters, at most 255 bytes);
      a name that Windows or the updater cannot take, and a link, are
      refused. An empty file becomes a stored entry of size 0 (an updater
      that does not read those refuses the package).
    --method stored|zlib|lzma|zstd|best
                                     data method of every entry (default best:
                                     the smallest of stored, zlib and lzma per
                                     entry, which every updater reads; zstd
                                     needs an updater that knows it)
    --dir-method auto|stored|zlib|lzma|zstd
                                     method of the directory (default auto:
                                     compressed only when that is smaller)
    --patch-from OLD_DIR             every file that OLD_DIR holds under the
                                     same name becomes a patch: it applies only
                                     over exactly that old file; every file of
                                     OLD_DIR that DIR lacks (letter case
                                     ignored) becomes a remove entry
    --removed-from OLD_DIR           every file of OLD_DIR that DIR lacks becomes
                                     a remove entry, as with --patch-from but
                                     without patches: a full package that also
                                     removes what older releases left
                                     (repeatable)
    --version N                      entry version 0-65535 (default 0)
    --key K                          variant key 0-255 of DIR's files (default 0)
    --variant K=DIR2                 adds DIR2's files as variants with key K:
                                     to the entry of the same name, or as a new
                                     entry (repeatable)
    --zlib-level 1-9                 (default 9)
    --lzma-level 0-9                 (default 5)
    --zstd-level 1-22                zstd and patches (default 19)
    --exclude PATTERN                leaves out the paths PATTERN matches
                                     (repeatable; see publish)
    --follow-links                   takes the content of what links point to
  mxupack list PKG
      One line per variant: name, method, packed size, size, version, key,
      offset.
  mxupack extract PKG DIR [--key K]
      Writes the entries to DIR as the updater does: the variant with the
      preferred key K (default 0) is chosen, folders are created, names that
      leave DIR are refused. A patch applies to the file DIR holds.
  mxupack verify PKG [--reference-folder DIR]
      Decodes every variant of every entry; reports each failure. A patch is
      decoded against the file of its name in DIR; without DIR, patches are
      counted but not decoded.
  mxupack publish SERVER_DIR RELEASE_DIR [options]
      Publishes the release in RELEASE_DIR (VOXA.exe at its top) to the update
      server folder SERVER_DIR: packs it as VOXA-<version>.mxu (the version is
      read from VOXA.exe as the updater reads it), or as VOXA-<version>-1.mxu,
      -2.mxu... when it needs more than one package (over 65535 entries, a
      directory over 64 KiB or 2 GiB of data), and writes their lines into
      VersionInfo.txt (CR LF line ends, after the last VOXA line; the other
      lines stay). It creates UpdateInfo.txt with "ok" when missing. Updater.exe
      is never in those packages: when it is newer than the catalogue's
      updater line, it is packed alone as Updater-<version>.mxu and the
      updater line is written. Entries are zlib (level 6), an entry whose
      first MiB does not compress is stored, on every core.
      Everything is checked before anything is written, and what is written
      is one change: every file is written under a pending name (NAME.~publish),
      a plan (Publish.plan) lists the renames, packages first, the catalogue
      and its signature last; a publish that dies is finished (or, when its
      files are not all there, undone) by the next publish or by repair.
      Refused: a version below the catalogue's newest VOXA line, and the same
      version without --force; a name Windows or the updater cannot take; a
      link; a signed server (publisher.pub or any signature) without --sign,
      or with another key than the server's (but see --new-key); a release
      Updater.exe that does not carry the signing key (or, unsigned, carries
      one); a server folder without UpdateServer.lst and no --servers.
    --sign SECRET_KEY                writes FILE.minisig beside every file it
                                     writes (each checked with the public key),
                                     records the public key as publisher.pub,
                                     and signs UpdateInfo.txt, UpdateServer.lst
                                     and the packages the catalogue names when
                                     their signature is missing or does not
                                     match (a key of minisign -G -W)
    --servers URL...                 writes UpdateServer.lst with these server
                                     base URLs (the ones that follow, up to the
                                     next option; repeatable), "/" added at
                                     their end
    --since PREVIOUS_DIR             packs only the files that are new or
                                     changed since the previous release
                                     (VOXA-<version>-since-<previous>.mxu). A
                                     package cannot delete files: a file the
                                     new release no longer has stays on the
                                     installations. Its line carries
                                     from=<previous>; no deltas are made.
    --exclude PATTERN                leaves out the release paths PATTERN
                                     matches ("/" between names, letter case
                                     ignored; * and ? within a name, ** across
                                     folders; a pattern without "/" matches a
                                     name at any depth; a folder matched is
                                     left out whole), e.g. "*.pdb", "logs/**"
                                     (repeatable)
    --follow-links                   takes the content of what links point to
                                     and walks linked folders
    --method stored|zlib|lzma|zstd|best
                                     data method of the entries (default zlib);
                                     the updater's own package keeps to the
                                     methods every updater reads
    --zlib-level 1-9                 (default 6)
    --deltas N                       also writes a delta package from each of
                                     the N newest older versions whose full
                                     packages the server has (default 3; 0:
                                     none), VOXA-<version>-from-<old>.mxu:
                                     patches of the files changed (where
                                     smaller than the file packed), the new
                                     files whole, remove entries for the files
                                     gone; its catalogue lines carry from=.
                                     Every line written carries size= and
                                     blake2b=. Deltas need updaters that read
                                     those facts (see README)
    --force                          replaces the lines of a version that the
                                     catalogue has already
    --expires DAYS                   signs UpdateInfo.txt, UpdateServer.lst
                                     and VersionInfo.txt with an expiry DAYS
                                     after now (1-3650): updaters refuse them
                                     from then on, so run refresh (or publish)
                                     before; without it they have no end
    --rollout DAYS                   stages the release's VOXA lines over DAYS
                                     days (1-365) from now: rollout=START/DAYS,
                                     which updaters that know it take on their
                                     own day (see the README's staged rollouts)
    --new-key NEW.pub                takes the server to the key of --sign,
                                     whose public half NEW.pub is: records it
                                     as publisher.pub and signs every signed
                                     file anew. Refused unless the release's
                                     Updater.exe and every updater the
                                     catalogue offers carry the new key (see
                                     the README's key rotation)
  mxupack refresh SERVER_DIR --sign SECRET_KEY [--expires DAYS]
      Signs UpdateServer.lst, UpdateInfo.txt and VersionInfo.txt anew, with
      the time of now and an expiry DAYS later (none without --expires); their
      bytes stay. Refused for another key than publisher.pub's, and for a file
      whose signature by that key does not check. One change, as a publish.
  mxupack rollout SERVER_DIR --sign SECRET_KEY (--halt VERSION | --resume VERSION)
          [--expires DAYS]
      Halts the staged rollout of a release's VOXA lines (rollout=halted: no
      installation takes them, also with -force) or resumes it as it was
      before the halt, and signs VersionInfo.txt anew (expiry as refresh).
      Other lines keep their bytes. One change, as a publish.
  mxupack repair SERVER_DIR
      Finishes (or undoes) a publish that died in SERVER_DIR and removes its
      pending files.
  mxupack --help

Exit status: 0 on success, 1 when the operation failed, 2 for a usage error.
)";

int Usage(const std::string& message) {
  std::cerr << "mxupack: " << message << "\nRun 'mxupack --help' for usage.\n";
  return kExitUsage;
}

int Failure(const std::string& message) {
  std::cerr << "mxupack: " << message << "\n";
  return kExitFailed;
}

// The status line of packing at a terminal: the updater's own view.
class ConsoleProgress {
 public:
  ConsoleProgress()
      : view_(RealPlatform().Console, RealPlatform().Clock,
              RealPlatform().Console.IsInteractive()) {}

  std::function<void(int64_t, int64_t)> Callback() {
    return [this](int64_t done, int64_t total) {
      // Lines written before must reach the terminal before the status does.
      std::cout.flush();
      if (done >= total)
        view_.Finish();
      else
        view_.Update(done, total);
    };
  }
  void Finish() { view_.Finish(); }

 private:
  ProgressView view_;
};

bool ParseNumber(const std::string& text, long minimum, long maximum, long* value) {
  if (text.empty() || text.size() > 9 || text.find_first_not_of("0123456789") != std::string::npos)
    return false;
  *value = std::stol(text);
  return *value >= minimum && *value <= maximum;
}

// A version as the updater shows it (VersionText): digits, a point, and
// two digits; 1.05 is 105.
bool ParseVersionText(const std::string& text, int64_t* version) {
  const size_t point = text.size() >= 4 ? text.size() - 3 : std::string::npos;
  if (point == std::string::npos || text[point] != '.') return false;
  long number = 0;
  if (!ParseNumber(text.substr(0, point) + text.substr(point + 1), 0, 999999999, &number))
    return false;
  *version = number;
  return true;
}

// A method by its name in the codec table, or the best ("auto" for the
// directory).
bool ParseMethod(const std::string& text, bool directory, MethodChoice* method) {
  if (text == (directory ? "auto" : "best")) {
    *method = kBestMethod;
    return true;
  }
  for (const PackageCodec& codec : PackageCodecs()) {
    if (text == codec.Name && EncodesWholeContent(codec.Method)) {
      *method = codec.Method;
      return true;
    }
  }
  return false;
}

int Create(const std::vector<std::string>& args) {
  if (args.size() < 2) return Usage("create needs OUT.mxu and DIR");
  const std::string out = args[0], folder = args[1];
  PackageOptions options;
  MethodChoice method = kBestMethod;
  long version = 0, key = 0;
  std::string patchFrom;
  std::vector<std::string> removedFrom;
  std::vector<std::pair<uint8_t, std::string>> variantFolders;
  TreeOptions tree;
  for (size_t i = 2; i < args.size(); ++i) {
    const std::string& option = args[i];
    if (option == "--follow-links") {
      tree.FollowLinks = true;
      continue;
    }
    if (i + 1 >= args.size()) return Usage("option " + option + " needs a value");
    const std::string& value = args[++i];
    long number = 0;
    if (option == "--method") {
      if (!ParseMethod(value, false, &method)) return Usage("unknown method: " + value);
    } else if (option == "--dir-method") {
      if (!ParseMethod(value, true, &options.DirectoryMethod))
        return Usage("unknown directory method: " + value);
    } else if (option == "--version") {
      if (!ParseNumber(value, 0, 65535, &version)) return Usage("version must be 0-65535");
    } else if (option == "--key") {
      if (!ParseNumber(value, 0, 255, &key)) return Usage("key must be 0-255");
    } else if (option == "--variant") {
      size_t equals = value.find('=');
      if (equals == std::string::npos || !ParseNumber(value.substr(0, equals), 0, 255, &number))
        return Usage("--variant needs K=DIR with K 0-255");
      variantFolders.emplace_back(static_cast<uint8_t>(number), value.substr(equals + 1));
    } else if (option == "--zlib-level") {
      if (!ParseNumber(value, 1, 9, &number)) return Usage("zlib level must be 1-9");
      options.Encode.ZlibLevel = static_cast<int>(number);
    } else if (option == "--lzma-level") {
      if (!ParseNumber(value, 0, 9, &number)) return Usage("lzma level must be 0-9");
      options.Encode.LzmaLevel = static_cast<int>(number);
    } else if (option == "--zstd-level") {
      if (!ParseNumber(value, 1, 22, &number)) return Usage("zstd level must be 1-22");
      options.Encode.ZstdLevel = static_cast<int>(number);
    } else if (option == "--patch-from") {
      patchFrom = value;
    } else if (option == "--removed-from") {
      removedFrom.push_back(value);
    } else if (option == "--exclude") {
      tree.Excludes.push_back(value);
    } else {
      return Usage("unknown option: " + option);
    }
  }

  std::vector<EntryInput> entries;
  std::map<std::string, size_t> positions;
  std::string error;
  std::map<std::string, std::string> oldFiles;
  if (!patchFrom.empty() && !ListFiles(patchFrom, tree, &oldFiles, &error)) return Failure(error);
  // The names of older releases that the new one may have to remove.
  std::map<std::string, std::string> goneFiles = oldFiles;
  for (const std::string& older : removedFrom) {
    std::map<std::string, std::string> listed;
    if (!ListFiles(older, tree, &listed, &error)) return Failure(error);
    goneFiles.insert(listed.begin(), listed.end());
  }
  variantFolders.insert(variantFolders.begin(), {static_cast<uint8_t>(key), folder});
  for (const auto& [variantKey, variantFolder] : variantFolders) {
    std::map<std::string, std::string> files;
    if (!ListFiles(variantFolder, tree, &files, &error)) return Failure(error);
    for (const auto& [name, path] : files) {
      auto old = oldFiles.find(name);
      const bool patch = old != oldFiles.end();
      auto found = positions.find(name);
      if (found == positions.end()) {
        found = positions.emplace(name, entries.size()).first;
        entries.push_back({name,
                           static_cast<uint16_t>(version),
                           patch ? MethodChoice(PackageMethod::Patch) : method,
                           {}});
      }
      entries[found->second].Variants.push_back(
          {variantKey, path, std::string(), patch ? old->second : std::string()});
    }
  }
  // A file of the old release that the new one no longer has is removed
  // from the installation. Names compare without letter case, as Windows
  // does: a file whose name only changed its case is written, not removed.
  std::set<std::string> newNames;
  for (const auto& [name, position] : positions) newNames.insert(LowerCaseText(name));
  for (const auto& [name, path] : goneFiles)
    if (newNames.insert(LowerCaseText(name)).second)
      entries.push_back({name,
                         static_cast<uint16_t>(version),
                         MethodChoice(PackageMethod::Remove),
                         {{static_cast<uint8_t>(key), std::string(), std::string()}}});
  if (entries.empty()) return Failure("no files to pack in " + folder);
  ConsoleProgress progress;
  options.Progress = progress.Callback();
  const bool written = WritePackage(out, entries, options, &error);
  progress.Finish();
  if (!written) return Failure(error);
  std::cout << "created " << out << " with " << entries.size() << " entries\n";
  return kExitOk;
}

// A package read through the updater's own header and directory code, for
// listing and verifying.
class PackageFile : public ByteSource {
 public:
  bool Open(const std::string& path, std::string* error) {
    FileSystem& files = RealPlatform().Files;
    std::string cause;
    file_ = files.OpenRead(path, false, &cause);
    if (!file_) {
      *error = "cannot open " + path + ": " + cause;
      return false;
    }
    std::string why;
    if (!ReadPackageDirectory(*file_, &Header, &Entries, &why)) {
      *error = path + ": " + why;
      return false;
    }
    return true;
  }

  // A failed seek or read shows as an entry that cannot be decoded.
  bool Seek(int64_t offset) { return file_->Seek(offset, nullptr); }

  int64_t Read(uint8_t* buffer, int64_t size) override {
    return file_->Read(buffer, size, nullptr);
  }

  PackageHeader Header;
  std::vector<DirectoryEntry> Entries;

 private:
  std::unique_ptr<File> file_;
};

class NullSink : public ByteSink {
 public:
  bool Write(const uint8_t*, int64_t) override { return true; }
};

int List(const std::vector<std::string>& args) {
  if (args.size() != 1) return Usage("list needs PKG");
  PackageFile package;
  std::string error;
  if (!package.Open(args[0], &error)) return Failure(error);
  std::cout << "directory: " << MethodName(package.Header.DirMethod) << ", "
            << package.Header.DirPackedSize << " -> " << package.Header.DirSize << " bytes, "
            << package.Entries.size() << " entries\n";
  std::cout << "name\tmethod\tpacked\tsize\tversion\tkey\toffset\n";
  for (const DirectoryEntry& entry : package.Entries) {
    if (entry.Variants.empty())
      std::cout << AnsiToUtf8(entry.Name) << '\t' << MethodName(entry.Method) << "\t-\t-\t"
                << entry.Version << "\t-\t-\n";
    for (const EntryVariant& variant : entry.Variants)
      std::cout << AnsiToUtf8(entry.Name) << '\t' << MethodName(entry.Method) << '\t'
                << variant.PackedSize << '\t' << variant.Size << '\t' << entry.Version << '\t'
                << static_cast<int>(variant.Key) << '\t' << variant.Offset << '\n';
  }
  return kExitOk;
}

int Verify(const std::vector<std::string>& args) {
  if (args.size() != 1 && !(args.size() == 3 && args[1] == "--reference-folder"))
    return Usage("verify needs PKG, and takes only --reference-folder DIR");
  const std::string referenceFolder = args.size() == 3 ? args[2] : std::string();
  PackageFile package;
  std::string error;
  if (!package.Open(args[0], &error)) return Failure(error);
  int failures = 0, checked = 0, patchesLeft = 0;
  for (const DirectoryEntry& entry : package.Entries) {
    const PackageCodec* codec = FindCodec(entry.Method);
    const bool patch = codec && codec->DecodesAgainstTarget;
    // A patch decodes only over the file it was made from.
    const std::string reference = referenceFolder + "/" + AnsiToUtf8(entry.Name);
    DecodeContext context;
    context.TargetPath = reference;
    context.Files = &RealPlatform().Files;
    for (const EntryVariant& variant : entry.Variants) {
      if (patch && referenceFolder.empty()) {
        ++patchesLeft;
        continue;
      }
      // An empty file: nothing to decode.
      if (entry.Method == PackageMethod::Stored && variant.PackedSize == 0 && variant.Size == 0) {
        ++checked;
        continue;
      }
      NullSink sink;
      StreamResult result =
          package.Seek(variant.Offset)
              ? DecodeStream(package, variant.PackedSize, variant.Size, entry.Method, sink, context)
              : StreamResult::DecodeFailed;
      ++checked;
      if (result == StreamResult::ReferenceMismatch) {
        ++failures;
        std::cerr << "mxupack: the patch of " << AnsiToUtf8(entry.Name) << " (key "
                  << static_cast<int>(variant.Key) << ") was not made from " << reference << "\n";
      } else if (result != StreamResult::Ok) {
        ++failures;
        std::cerr << "mxupack: cannot decode " << AnsiToUtf8(entry.Name) << " (key "
                  << static_cast<int>(variant.Key) << ", " << MethodName(entry.Method) << ")\n";
      }
    }
    if (!IsSafeEntryName(AnsiToUtf8(entry.Name))) {
      ++failures;
      std::cerr << "mxupack: entry name leaves the program folder: " << AnsiToUtf8(entry.Name)
                << "\n";
    }
  }
  if (failures) return Failure(std::to_string(failures) + " problem(s) found");
  std::cout << "ok: " << checked << " variants of " << package.Entries.size() << " entries";
  if (patchesLeft)
    std::cout << " (" << patchesLeft
              << " patch variant(s) not decoded: they need --reference-folder)";
  std::cout << "\n";
  return kExitOk;
}

// The reader's lines, and the reasons it gives, go to standard error.
class ToolReport : public Report {
 public:
  void Line(std::string_view text) override { std::cerr << text << '\n'; }
  void Failure(std::string_view line, std::string_view cause) override {
    std::cerr << line << " (" << cause << ")\n";
  }
  void Log(std::string_view text) override { std::cerr << "mxupack: " << text << '\n'; }
};

int Extract(const std::vector<std::string>& args) {
  if (args.size() != 2 && args.size() != 4) return Usage("extract needs PKG and DIR");
  long key = 0;
  if (args.size() == 4 && (args[2] != "--key" || !ParseNumber(args[3], 0, 255, &key)))
    return Usage("extract takes only --key K with K 0-255");
  std::error_code code;
  fs::create_directories(fs::u8path(args[1]), code);
  if (code) return Failure("cannot create " + args[1]);

  ToolReport report;
  FileSystem& files = RealPlatform().Files;
  PackageReader reader(files, report);
  const std::string folder = args[1] + "/";
  InitPackageReader(reader, static_cast<int>(key));
  if (!OpenPackage(reader, args[0])) return Failure("cannot read package " + args[0]);
  int extracted = 0;
  bool ok = true;
  for (std::string name = NextEntryName(reader); ok && !name.empty();
       name = NextEntryName(reader)) {
    const size_t row = FindEntry(reader, name);
    if (!IsSafeEntryName(name)) {
      std::cerr << "mxupack: refusing entry outside the folder: " << name << "\n";
      ok = false;
    } else if (row > 0 && RemovesTarget(reader.EntryTable[row - 1])) {
      // As the updater does: the file goes, and a missing one is no fault.
      std::error_code removed;
      fs::remove(fs::u8path(folder + name), removed);
      if (removed) {
        std::cerr << "mxupack: cannot remove " << name << ": " << removed.message() << "\n";
        ok = false;
      }
    } else if (!CreateFolders(files, report, folder, FolderPart(name)) ||
               !ExtractEntry(reader, name, folder + name)) {
      std::cerr << "mxupack: cannot extract " << name << "\n";
      ok = false;
    } else {
      ++extracted;
    }
  }
  ClosePackages(reader);
  if (!ok) return kExitFailed;
  std::cout << "extracted " << extracted << " entries to " << args[1] << "\n";
  return kExitOk;
}

int PublishCommand(const std::vector<std::string>& args) {
  if (args.size() < 2) return Usage("publish needs SERVER_DIR and RELEASE_DIR");
  PublishOptions options;
  options.ServerFolder = args[0];
  options.ReleaseFolder = args[1];
  for (size_t i = 2; i < args.size(); ++i) {
    const std::string& option = args[i];
    if (option == "--force") {
      options.Force = true;
      continue;
    }
    if (option == "--follow-links") {
      options.FollowLinks = true;
      continue;
    }
    if (option == "--servers") {
      const size_t before = options.Servers.size();
      while (i + 1 < args.size() && args[i + 1].rfind("--", 0) != 0)
        options.Servers.push_back(args[++i]);
      if (options.Servers.size() == before) return Usage("--servers needs at least one URL");
      continue;
    }
    if (i + 1 >= args.size()) return Usage("option " + option + " needs a value");
    const std::string& value = args[++i];
    long number = 0;
    if (option == "--since") {
      options.SinceFolder = value;
    } else if (option == "--sign") {
      options.SecretKeyPath = value;
    } else if (option == "--new-key") {
      options.NewKeyPath = value;
    } else if (option == "--expires") {
      if (!ParseNumber(value, 1, kMostExpiryDays, &number))
        return Usage("--expires takes days, 1-" + std::to_string(kMostExpiryDays));
      options.ExpiresDays = static_cast<int>(number);
    } else if (option == "--rollout") {
      if (!ParseNumber(value, 1, kLongestRolloutDays, &number))
        return Usage("--rollout takes days, 1-" + std::to_string(kLongestRolloutDays));
      options.RolloutDays = static_cast<int>(number);
    } else if (option == "--method") {
      if (!ParseMethod(value, false, &options.Method)) return Usage("unknown method: " + value);
    } else if (option == "--zlib-level") {
      if (!ParseNumber(value, 1, 9, &number)) return Usage("zlib level must be 1-9");
      options.ZlibLevel = static_cast<int>(number);
    } else if (option == "--deltas") {
      if (!ParseNumber(value, 0, 100, &number)) return Usage("--deltas must be 0-100");
      options.Deltas = static_cast<int>(number);
    } else if (option == "--exclude") {
      options.Excludes.push_back(value);
    } else {
      return Usage("unknown option: " + option);
    }
  }
  ConsoleProgress progress;
  options.Progress = progress.Callback();
  std::string error;
  const bool published = Publish(options, std::cout, &error);
  progress.Finish();
  if (!published) return Failure(error);
  return kExitOk;
}

// Reads the options of a command that re-signs server files: --sign KEY,
// --expires DAYS, and those `other` takes (true when it took the option,
// false with a usage message in `usage` when it did not know it).
template <typename Options, typename OtherOption>
bool ReadResigningOptions(const std::vector<std::string>& args, Options* options,
                          const OtherOption& other, std::string* usage) {
  for (size_t i = 1; i < args.size(); ++i) {
    const std::string& option = args[i];
    if (i + 1 >= args.size()) {
      *usage = "option " + option + " needs a value";
      return false;
    }
    const std::string& value = args[++i];
    long number = 0;
    if (option == "--sign") {
      options->SecretKeyPath = value;
    } else if (option == "--expires") {
      if (!ParseNumber(value, 1, kMostExpiryDays, &number)) {
        *usage = "--expires takes days, 1-" + std::to_string(kMostExpiryDays);
        return false;
      }
      options->ExpiresDays = static_cast<int>(number);
    } else if (!other(option, value, usage)) {
      if (usage->empty()) *usage = "unknown option: " + option;
      return false;
    }
  }
  return true;
}

int RefreshCommand(const std::vector<std::string>& args) {
  if (args.empty()) return Usage("refresh needs SERVER_DIR");
  RefreshOptions options;
  options.ServerFolder = args[0];
  std::string usage;
  const auto noOther = [](const std::string&, const std::string&, std::string*) { return false; };
  if (!ReadResigningOptions(args, &options, noOther, &usage)) return Usage(usage);
  if (options.SecretKeyPath.empty()) return Usage("refresh needs --sign SECRET_KEY");
  std::string error;
  if (!Refresh(options, std::cout, &error)) return Failure(error);
  return kExitOk;
}

int RolloutCommand(const std::vector<std::string>& args) {
  if (args.empty()) return Usage("rollout needs SERVER_DIR");
  RolloutOptions options;
  options.ServerFolder = args[0];
  int changes = 0;
  std::string usage;
  const auto change = [&](const std::string& option, const std::string& value, std::string* why) {
    if (option != "--halt" && option != "--resume") return false;
    if (!ParseVersionText(value, &options.Version)) {
      *why = "not a version: " + value;
      return false;
    }
    options.Halt = option == "--halt";
    ++changes;
    return true;
  };
  if (!ReadResigningOptions(args, &options, change, &usage)) return Usage(usage);
  if (options.SecretKeyPath.empty()) return Usage("rollout needs --sign SECRET_KEY");
  if (changes != 1) return Usage("rollout needs one --halt VERSION or --resume VERSION");
  std::string error;
  if (!ChangeRollout(options, std::cout, &error)) return Failure(error);
  return kExitOk;
}

int RepairCommand(const std::vector<std::string>& args) {
  if (args.size() != 1) return Usage("repair needs SERVER_DIR");
  std::string folder = args[0];
  if (folder.back() != '/') folder += '/';
  std::error_code code;
  if (!fs::is_directory(fs::u8path(folder), code)) return Failure("not a folder: " + args[0]);
  std::ostringstream out;
  std::string error;
  if (!RepairFolder(RealPlatform().Files, folder, out, &error)) return Failure(error);
  std::cout << (out.str().empty() ? "nothing to repair in " + folder + "\n" : out.str());
  return kExitOk;
}

}  // namespace

int Main(int argc, char** argv) {
  std::vector<std::string> args(argv + 1, argv + argc);
  if (args.empty()) return Usage("no command given");
  std::string command = args[0];
  args.erase(args.begin());
  if (command == "--help" || command == "-h" || command == "help") {
    std::cout << kHelp;
    return kExitOk;
  }
  if (command == "create") return Create(args);
  if (command == "list") return List(args);
  if (command == "extract") return Extract(args);
  if (command == "verify") return Verify(args);
  if (command == "publish") return PublishCommand(args);
  if (command == "refresh") return RefreshCommand(args);
  if (command == "rollout") return RolloutCommand(args);
  if (command == "repair") return RepairCommand(args);
  return Usage("unknown command: " + command);
}

}  // namespace updater::mxupack

int main(int argc, char** argv) { return updater::mxupack::Main(argc, argv); }

// mxupack refresh: the three files every run of the updater reads, signed
// anew with a new signing time and expiry, so that a server whose release
// does not change stays fresh for the installations that refuse an expired
// catalogue. The files keep their bytes; only their signatures change, as one
// change of the folder (publish_plan.h). mxupack rollout: a staged rollout
// halted or resumed in the catalogue, which is signed anew the same way.
#pragma once

#include <cstdint>
#include <iosfwd>
#include <string>

namespace updater::mxupack {

struct RefreshOptions {
  std::string ServerFolder;   // the update server's folder
  std::string SecretKeyPath;  // the server's minisign secret key
  int ExpiresDays = 0;        // days until the new signatures expire; 0: no end
  uint64_t Timestamp = 0;     // the signing time (seconds since 1970); 0: the clock's
};

// Finishes or undoes a publish that died in the folder first (RepairFolder),
// then signs UpdateServer.lst, UpdateInfo.txt and VersionInfo.txt anew, in
// that order, and reports every file written on `out`. False with a
// message, and the folder as it was, for: a folder that is not one; a key
// that cannot be used, or is not the one publisher.pub records (a folder
// without publisher.pub has no key to refresh); one of the three files
// missing, or without a good signature by that key for its name (refresh
// vouches only for what the key signed); a signing time before one of theirs.
bool Refresh(const RefreshOptions& options, std::ostream& out, std::string* error);

// The catalogue text with the main-program lines of `version` (hundredths)
// halted or resumed; other lines keep their bytes. Halting writes
// rollout=halted and keeps what it replaced in resume=START/DAYS (resume=all
// for a line offered to everybody): updaters ignore that unknown fact, and
// resuming restores it, so that a resumed rollout goes on where it stood.
// The touched lines keep their fields in order, separated by single spaces.
// False with a message for no line of that version, a line already halted
// (halting) or a line without a halt to resume (resuming).
bool CatalogueWithRollout(const std::string& catalogue, int64_t version, bool halt,
                          std::string* changed, std::string* error);

struct RolloutOptions {
  std::string ServerFolder;   // the update server's folder
  std::string SecretKeyPath;  // the server's minisign secret key
  int64_t Version = 0;        // the release's version, in hundredths
  bool Halt = false;          // halt the release's rollout; false: resume it
  int ExpiresDays = 0;        // days until the catalogue's signature expires; 0: no end
  uint64_t Timestamp = 0;     // the signing time (seconds since 1970); 0: the clock's
};

// Finishes or undoes a publish that died in the folder first, then writes
// VersionInfo.txt as CatalogueWithRollout changes it and its new signature,
// as one change, and reports the files written on `out`. Refused, the folder
// as it was, as Refresh refuses (for VersionInfo.txt) and as
// CatalogueWithRollout does.
bool ChangeRollout(const RolloutOptions& options, std::ostream& out, std::string* error);

}  // namespace updater::mxupack

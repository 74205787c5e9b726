// mxupack refresh: the three files every run of the updater reads, signed
// anew with a new signing time and expiry, so that a server whose release
// does not change stays fresh for the installations that refuse an expired
// catalogue. The files keep their bytes; only their signatures change, as one
// change of the folder (publish_plan.h).
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

}  // namespace updater::mxupack

// Signed updates. With publisher's keys built in (RunServices::PublicKeyLines),
// every file the updater acts on must carry a good minisign signature, fetched
// as FILE.minisig from the same server: the server's UpdateInfo.txt,
// UpdateServer.lst and VersionInfo.txt, and every package, the updater's own
// included. A signature is good when it was made with one of the built-in
// keys, covers exactly the file, and its signed trusted comment names the
// file the updater asked for. Without a key nothing is fetched or checked.
//
// No freezing: a server file whose signed comment gives an end
// ("expires:") that the run's clock has reached is refused, so a server
// cannot go on serving a catalogue its publisher let lapse.
//
// No rollback: the newest signing time of an accepted VersionInfo.txt is kept
// in Update\VersionInfo.timestamp, and a catalogue signed earlier than that is
// refused, so an old signed catalogue replayed by a server can neither hide
// newer versions nor offer older ones again. The same holds for
// UpdateServer.lst, kept in Update\UpdateServer.timestamp, so that an old
// list cannot send the next runs to servers given up since. A kept time that
// cannot be read refuses the file; only a missing one counts as no time.
// Without Update\ (the updater never creates it) there is nowhere to keep a
// time, and the rule rests.
#pragma once

#include <cstdint>
#include <string>
#include <string_view>

#include "protocol/signature.h"
#include "run/run_services.h"

namespace updater {

// True when this updater requires signatures.
bool RequiresSignatures(const RunServices& services);

// Reads the built-in keys into RunServices::Keys. False when a key is built
// in but cannot be read, which the run cannot go on with.
bool LoadPublicKey(RunServices& services);

// The name a signature must have been made for when a file is fetched as
// `requested` (a file name relative to the server, maybe with folders): the
// part after its last "/".
std::string SignedName(std::string_view requested);

// Checks `bytes` of a server file, fetched from `url` and known as `name`,
// against the signature at `url` + ".minisig". False after the line "Error:
// Bad signature of NAME: reason", or, for a good signature whose end the
// clock has reached, after "Error: Refused NAME: expired on YYYY-MM-DD".
// `info` gets what the signature vouches for.
bool CheckSignedBytes(RunServices& services, const std::string& url, const std::string& name,
                      std::string_view bytes, SignedFileInfo* info);

// Checks the file downloaded from `url` to `path`, known as `name`, against
// the signature at `url` + ".minisig", which is kept beside it (`path` +
// ".minisig") for a later -onlyapply. A file that fails is reported like
// CheckSignedBytes and deleted with its signature.
bool CheckSignedDownload(RunServices& services, const std::string& url, const std::string& path,
                         const std::string& name);

// Checks every package waiting in the update folder against the signature
// beside it before any of them is opened: a package without a good signature
// is reported, deleted with its signature and never opened. A package without
// any signature file is an unfinished download: it is removed with the line
// "Removed unfinished download: NAME" (the next normal run fetches it again).
// False, with the cause logged, when such a package could not be removed or
// the folder could not be listed: the apply takes every package it finds, so
// nothing waiting may then be applied.
[[nodiscard]] bool CheckWaitingPackages(RunServices& services);

// Removes the signatures kept in the update folder whose package is gone
// (applied and deleted).
void RemoveSignaturesOfAppliedPackages(RunServices& services);

// The rule against rollback for a catalogue signed at `timestamp`: true and
// kept when it is not older than the newest accepted before; otherwise false
// after the line "Error: Refused VersionInfo.txt: ...". A kept time that
// cannot be read (a folder in its place, no number, more bytes than a number
// has, a read error) is false after "Error: Cannot read
// Update\VersionInfo.timestamp", with the cause in the log.
bool AcceptCatalogueTime(RunServices& services, uint64_t timestamp);

// The same rule for a server list signed at `timestamp`, without keeping
// it: false after "Error: Refused UpdateServer.lst: ..." or "Error: Cannot
// read Update\UpdateServer.timestamp".
bool CheckServerListTime(RunServices& services, uint64_t timestamp);
// Keeps `timestamp` as the signing time of the list just taken, when it is
// newer than the one kept. A failure is logged and changes nothing else.
void KeepServerListTime(RunServices& services, uint64_t timestamp);

}  // namespace updater

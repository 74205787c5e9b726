// mxupack publish: one command from a release tree to an update server
// folder. It packs the release (or, with a previous release, only what
// changed) into as many packages as the format needs, and deltas from the
// server's last full releases (deltas.h), writes their catalogue lines with
// the facts about each package, the server list and UpdateInfo.txt, and
// signs what it wrote with the server's key. Whatever it refuses, it
// refuses before it writes anything; what it writes appears as one change
// (publish_plan.h).
#pragma once

#include <cstdint>
#include <functional>
#include <iosfwd>
#include <string>
#include <vector>

#include "packages/package_writer.h"

namespace updater::mxupack {

// The server's record of its publisher's public key (minisign's format),
// beside the catalogue.
inline constexpr char kPublisherKeyFile[] = "publisher.pub";

struct PublishOptions {
  std::string ServerFolder;   // the update server's folder
  std::string ReleaseFolder;  // the new release, VOXA.exe at its top
  std::string SinceFolder;    // the previous release; empty for a full package
  std::string SecretKeyPath;  // a minisign secret key; empty: nothing is signed
  // zlib at level 6, and stored what does not compress: at the speed of
  // gzip -6 on every core; the updater's own package keeps to the methods
  // every updater reads.
  MethodChoice Method = PackageMethod::Zlib;
  int ZlibLevel = 6;
  // Replace the catalogue's lines of the release's version.
  bool Force = false;
  // Delta packages from this many of the newest older releases that the
  // server holds in full (deltas.h); 0 makes none.
  int Deltas = 3;
  // The public key file of the signing key when it takes the server to a new
  // key (--new-key); empty otherwise.
  std::string NewKeyPath;
  // The days until the signatures of the three server files expire
  // (--expires); 0 gives them no end.
  int ExpiresDays = 0;
  // The days of a staged rollout of the new version's main-program lines
  // (--rollout): they carry rollout=START/DAYS with START the signing time;
  // 0 offers them to every installation at once.
  int RolloutDays = 0;
  // The server base URLs for UpdateServer.lst; empty keeps the folder's.
  std::vector<std::string> Servers;
  // Patterns of release paths to leave out, and whether links are followed
  // (file_tree.h).
  std::vector<std::string> Excludes;
  bool FollowLinks = false;
  // The signatures' time stamp (seconds since 1970); 0 takes the clock's.
  uint64_t Timestamp = 0;
  // The largest package to write; the format's limit unless a test asks for
  // less.
  int64_t LargestPackage = 0;
  // Called as the packages' content is written: bytes done and in all.
  std::function<void(int64_t done, int64_t total)> Progress;
};

// Publishes as `options` say and reports every file written on `out`. It
// first finishes or undoes a publish that died in the folder
// (RepairFolder). False with a message, and the server folder as it was,
// for: a server folder that is not a folder; a release without VOXA.exe and
// its readable version; a version below the catalogue's newest VOXA line,
// or equal to it without `Force`; a release name that Windows or the
// updater cannot take, a link (without FollowLinks); a previous release
// without changes; a signed server (its publisher.pub or any signature)
// without a key, a key that is not the server's (unless NewKeyPath takes the
// server to it), a key that cannot be used; a release Updater.exe that does
// not carry the signing key (or, unsigned, carries one); a server URL that
// the updater does not take; a server folder without UpdateServer.lst and no
// Servers. With NewKeyPath also for: no signing key, or not the one of that
// public key; a server not signed yet; the server's own key; a release
// without Updater.exe; an updater the catalogue offers that does not carry
// the new key. Such a publish records the new key in publisher.pub and signs
// every signed file of the folder anew with it.
//
// With ExpiresDays, UpdateInfo.txt, UpdateServer.lst and VersionInfo.txt are
// signed with an expiry that many days after the signing time; without, with
// none. Either way those two that stay are signed anew when their signature
// gives another end.
bool Publish(const PublishOptions& options, std::ostream& out, std::string* error);

// The name of the package of a release: "VOXA-1.05.mxu", or with the
// previous release's version "VOXA-1.05-since-1.00.mxu"; part `part` of
// `parts` when the release needs more than one: "VOXA-1.05-2.mxu".
std::string ReleasePackageName(int64_t version, int64_t sinceVersion, size_t part = 1,
                               size_t parts = 1);

// The catalogue text with the lines "VOXA package version", one for each of
// `packages` in their order, each followed by its `facts` fields when given
// (FactFields), in place of the VOXA lines of that version, or else after
// the last VOXA line (at the end when there is none). Other lines stay as
// they are, in their order. Lines end with CR LF, also when the text had LF
// alone; empty lines are dropped.
std::string CatalogueWithMainLines(const std::string& catalogue,
                                   const std::vector<std::string>& packages, int64_t version,
                                   const std::vector<std::string>& facts = {});
// The same with one package.
std::string CatalogueWithMainLine(const std::string& catalogue, const std::string& package,
                                  int64_t version);

// The catalogue text with the line "updater package version" and its
// `facts` fields in place of every updater line (at the start when there is
// none).
std::string CatalogueWithUpdaterLine(const std::string& catalogue, const std::string& package,
                                     int64_t version, const std::string& facts = "");

// The entries in packages that the format can hold, in order: each at most
// 65535 entries, a directory of at most 65535 bytes, and at most
// `largestPackage` bytes (the format's limit when 0) counting every entry at
// its largest packed size (LargestPackedSize) for `sizes` (its variants'
// content sizes). Empty with a message for an entry that fits no package.
std::vector<std::vector<EntryInput>> DivideIntoPackages(
    const std::vector<EntryInput>& entries, const std::vector<std::vector<int64_t>>& sizes,
    int64_t largestPackage, std::string* error);

// The text of UpdateServer.lst for `servers`, each ended by CR LF and by
// "/" when it has none. False with a message for a URL the updater does not
// take (IsServerURL) and a list it would refuse (ServerListRefusal).
bool ServerListText(const std::vector<std::string>& servers, std::string* text, std::string* error);

}  // namespace updater::mxupack

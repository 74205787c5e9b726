// mxupack publish: one command from a release tree to an update server
// folder. It packs the release (or, with a previous release, only what
// changed), writes the catalogue line, creates UpdateInfo.txt when missing and
// signs what it wrote. Every file appears whole: it is written beside its
// name and then renamed.
#pragma once

#include <cstdint>
#include <iosfwd>
#include <string>

#include "packages/package_writer.h"

namespace updater::mxupack {

struct PublishOptions {
  std::string ServerFolder;   // the update server's folder
  std::string ReleaseFolder;  // the new release, VOXA.exe at its top
  std::string SinceFolder;    // the previous release; empty for a full package
  std::string SecretKeyPath;  // a minisign secret key; empty: nothing is signed
  MethodChoice Method = kBestMethod;
  // Publish even when the release is not newer than the catalogue's newest
  // VOXA line.
  bool Force = false;
  // The signatures' time stamp (seconds since 1970); 0 takes the clock's.
  uint64_t Timestamp = 0;
};

// Publishes as `options` say and reports every file written on `out`. False
// with a message, and nothing written, for a server folder that is not a
// folder, a release without a readable VOXA.exe version, a version not above
// the catalogue's newest VOXA line (unless `force`), a previous release
// without changes, and a secret key that cannot be used. A failure while
// writing leaves the catalogue as it was.
bool Publish(const PublishOptions& options, std::ostream& out, std::string* error);

// The name of the package of a release: "VOXA-1.05.mxu", or with the
// previous release's version "VOXA-1.05-since-1.00.mxu".
std::string ReleasePackageName(int64_t version, int64_t sinceVersion);

// The catalogue text with the line "VOXA package version" in place of the
// VOXA lines of that version, or else after the last VOXA line (at the end
// when there is none). Other lines stay as they are, in their order. Lines
// end with CR LF, also when the text had LF alone; empty lines are dropped.
std::string CatalogueWithMainLine(const std::string& catalogue, const std::string& package,
                                  int64_t version);

// The catalogue text with the line "updater package version" in place of
// every updater line (at the start when there is none).
std::string CatalogueWithUpdaterLine(const std::string& catalogue, const std::string& package,
                                     int64_t version);

}  // namespace updater::mxupack

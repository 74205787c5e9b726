// The session of one update check: what it compares the servers' offers
// with, the servers it has left, the server in use and how the next one is
// chosen, and the updates it selected.
#pragma once

#include <cstdint>
#include <optional>
#include <string>
#include <vector>

#include "protocol/server_list.h"
#include "protocol/update_path.h"
#include "run/installed_versions.h"
#include "transfer/download_updates.h"

namespace updater {

// The stage at which a server's attempt failed, in the order they are
// reached: a later stage is the further failure.
enum class CheckFailure { None, Server, Download, Apply };

struct CheckSession {
  // The programs installed, found at the start of the run.
  InstalledVersions Installed;
  // This run is the updater that a completed self-replacement just put in
  // place: the copy left in the update folder is this very program, and an
  // updater offered again is reported rather than fetched once more.
  bool StartedAfterReplacement = false;
  // Base URLs of the update servers not yet tried, each ending with "/".
  std::vector<std::string> ServerList;
  // The base URL of the server in use: the -server value until the check
  // chooses the first server, then each server it tries.
  std::string Server;
  // How the next server is drawn; a test fixes the order through it.
  ServerChoice Choice;
  // The updates of the main program that the version table selected, in the
  // order to download and apply them.
  std::vector<SelectedUpdate> SelectedUpdates;
  // The same packages as the steps of the chosen path, each one transaction,
  // with their catalogue lines.
  std::vector<UpdateStep> Steps;
  // The installation's rollout number, once the first catalogue asked for it.
  std::optional<uint64_t> RolloutNumber;
  // The furthest stage at which a server's attempt failed so far.
  CheckFailure FurthestFailure = CheckFailure::None;
};

}  // namespace updater

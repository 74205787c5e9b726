// The files of one publish as one change of a server folder: each is written
// under a pending name first, a plan names them in the order they take their
// names, and the renames follow. A publish that dies is finished from its
// plan by the next one (or `mxupack repair`), or undone when its files are
// not all there; no pending file outlives that.
#pragma once

#include <iosfwd>
#include <string>
#include <string_view>
#include <vector>

#include "system/file_system.h"

namespace updater::mxupack {

// A file being written is NAME + this until it takes its name.
inline constexpr char kPendingSuffix[] = ".~publish";
// The plan of the renames, in the server folder while they are made.
inline constexpr char kPlanFile[] = "Publish.plan";

// The text of a plan of `names`, renamed in that order from NAME.~publish to
// NAME: a heading line, one name a line, and a closing line with their
// count and a checksum.
std::string PlanText(const std::vector<std::string>& names);
// Reads a plan. False with a reason for any other text, and for a name that
// is not a plain file name of the folder.
bool ParsePlan(std::string_view text, std::vector<std::string>* names, std::string* reason);

// Finishes or undoes the publish whose plan is in `folder` (a path with a
// separator at its end), then removes every pending file left there, also
// those of publishes killed before their plan was written. A plan is
// finished when each of its names has its pending file or, earlier in the
// order, has taken its name; otherwise the pending files are removed. Says
// what it did on `out` (nothing when there was nothing to do). False with a
// message when the plan cannot be read (it is left for a person to look at)
// or a rename or removal fails.
bool RepairFolder(FileSystem& files, const std::string& folder, std::ostream& out,
                  std::string* error);

// One publish's files in a server folder. Files are added in the order in
// which they are to take their names; until Commit nothing has a name a
// reader asks for, and a change that is not committed removes its pending
// files when it goes.
class FolderChange {
 public:
  FolderChange(FileSystem& files, std::string folder);
  ~FolderChange();
  FolderChange(const FolderChange&) = delete;
  FolderChange& operator=(const FolderChange&) = delete;

  // Adds `name` as the next file to take its name, and gives the path of its
  // pending file for the caller to write.
  std::string Add(const std::string& name);
  // Adds `name` with `content`, written to its pending file. False with a
  // message.
  bool AddText(const std::string& name, std::string_view content, std::string* error);
  // Makes the pending files durable, writes the plan, renames every file in
  // order, makes the names durable and removes the plan. False with a
  // message; a rename that fails leaves the plan for the next run to finish.
  bool Commit(std::string* error);

  const std::vector<std::string>& Names() const { return names_; }

 private:
  FileSystem& files_;
  std::string folder_;
  std::vector<std::string> names_;
  bool planned_ = false;
};

}  // namespace updater::mxupack

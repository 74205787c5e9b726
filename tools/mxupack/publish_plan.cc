// The files of one publish as one change of a server folder, and the repair
// of a publish that died.
#include "mxupack/publish_plan.h"

#include <cstdio>
#include <ostream>

#include "system/small_files.h"
#include "system/update_folder.h"

namespace updater::mxupack {

namespace {

constexpr char kPlanHeading[] = "mxupack publish plan 1";
constexpr char kPlanEnd[] = "end";
// A plan names the files of one publish: a few dozen at most.
constexpr int64_t kLargestPlan = 1 << 20;

// FNV-1a over the plan's lines, so that a plan damaged on the disk is
// recognised rather than obeyed.
std::string Checksum(std::string_view text) {
  uint64_t hash = 0xcbf29ce484222325u;
  for (char c : text) {
    hash ^= static_cast<unsigned char>(c);
    hash *= 0x100000001b3u;
  }
  char hex[17];
  std::snprintf(hex, sizeof hex, "%016llx", static_cast<unsigned long long>(hash));
  return hex;
}

bool Refuse(std::string* reason, std::string text) {
  *reason = std::move(text);
  return false;
}

std::string Pending(const std::string& path) { return path + kPendingSuffix; }

bool Fail(const std::string& cause, std::string* error, const std::string& what) {
  *error = what + ": " + cause;
  return false;
}

bool WriteWhole(FileSystem& files, const std::string& path, std::string_view content,
                std::string* error) {
  std::string cause;
  std::unique_ptr<File> file = files.Create(path, &cause);
  bool written = file && file->Write(content.data(), static_cast<int64_t>(content.size()), &cause);
  if (file) {
    std::string closeCause;
    const bool closed = file->Close(&closeCause);
    if (written && !closed) cause = closeCause;
    written = written && closed;
  }
  if (!written) {
    Fail(cause, error, "cannot write " + path);
    // A pending file that stays is removed by the next publish or repair.
    static_cast<void>(files.Delete(path, nullptr));
  }
  return written;
}

// Removes every pending file in `folder`; says how many on `out`.
bool RemovePendingFiles(FileSystem& files, const std::string& folder, std::ostream& out,
                        std::string* error) {
  std::vector<FolderEntry> entries;
  std::string cause;
  if (!files.ListFolder(folder, std::string("*") + kPendingSuffix, &entries, &cause))
    return Fail(cause, error, "cannot list " + folder);
  int removed = 0;
  for (const FolderEntry& entry : entries) {
    if (entry.IsFolder) continue;
    if (!files.Delete(folder + entry.Name, &cause))
      return Fail(cause, error, "cannot remove " + folder + entry.Name);
    ++removed;
  }
  if (removed > 0)
    out << "removed " << removed << " unfinished file(s) of a publish that stopped in " << folder
        << "\n";
  return true;
}

}  // namespace

std::string PlanText(const std::vector<std::string>& names) {
  std::string text = std::string(kPlanHeading) + "\n";
  for (const std::string& name : names) text += name + "\n";
  return text + kPlanEnd + " " + std::to_string(names.size()) + " " + Checksum(text) + "\n";
}

bool ParsePlan(std::string_view text, std::vector<std::string>* names, std::string* reason) {
  const std::string heading = std::string(kPlanHeading) + "\n";
  if (text.substr(0, heading.size()) != heading) return Refuse(reason, "it has no plan heading");
  if (text.empty() || text.back() != '\n') return Refuse(reason, "it is cut short");
  const size_t lastLine = text.rfind('\n', text.size() - 2) + 1;
  const std::string_view body = text.substr(0, lastLine);
  names->clear();
  for (size_t start = heading.size(); start < body.size();) {
    const size_t end = body.find('\n', start);
    const std::string name(body.substr(start, end - start));
    if (!IsPlainFileName(name) || name == kPlanFile)
      return Refuse(reason, "it names something other than a file of the folder: " + name);
    names->push_back(name);
    start = end + 1;
  }
  const std::string closing =
      std::string(kPlanEnd) + " " + std::to_string(names->size()) + " " + Checksum(body) + "\n";
  if (text.substr(lastLine) != closing) return Refuse(reason, "its checksum does not match");
  return true;
}

bool RepairFolder(FileSystem& files, const std::string& folder, std::ostream& out,
                  std::string* error) {
  const std::string planPath = folder + kPlanFile;
  std::string text, reason, cause;
  switch (ReadSmallFile(files, planPath, kLargestPlan, &text, &cause)) {
    case SmallFileRead::Missing:
      return RemovePendingFiles(files, folder, out, error);
    case SmallFileRead::Done:
      break;
    case SmallFileRead::TooLarge:
      reason = "it is too large";
      break;
    case SmallFileRead::Failed:
      reason = cause;
      break;
  }
  std::vector<std::string> names;
  if (!reason.empty() || !ParsePlan(text, &names, &reason)) {
    *error = "cannot read " + planPath + " (" + reason +
             "): a publish stopped there; look at the folder, then remove the plan";
    return false;
  }
  // The renames went in order: the names that have taken their place come
  // first, then those still pending.
  bool finishable = true, pendingSeen = false;
  for (const std::string& name : names) {
    const bool pending = files.Exists(Pending(folder + name));
    finishable = finishable && (pending || (!pendingSeen && files.Exists(folder + name)));
    pendingSeen = pendingSeen || pending;
  }
  int renamed = 0;
  for (const std::string& name : names) {
    const std::string pending = Pending(folder + name);
    if (!files.Exists(pending)) continue;
    if (finishable ? !files.Replace(pending, folder + name, &cause)
                   : !files.Delete(pending, &cause))
      return Fail(cause, error, "cannot repair the publish that stopped in " + folder);
    ++renamed;
  }
  if (!files.SyncFolders({folder}, &cause) || !files.Delete(planPath, &cause))
    return Fail(cause, error, "cannot remove " + planPath);
  if (finishable)
    out << "finished the publish that stopped in " << folder << ": " << renamed << " of "
        << names.size() << " file(s) put in place\n";
  else
    out << "undid the publish that stopped in " << folder << ": its files were not all there; "
        << renamed << " pending file(s) removed\n";
  return RemovePendingFiles(files, folder, out, error);
}

FolderChange::FolderChange(FileSystem& files, std::string folder)
    : files_(files), folder_(std::move(folder)) {}

FolderChange::~FolderChange() {
  if (planned_) return;  // the plan's to finish now
  // A pending file that stays is removed by the next publish or repair.
  for (const std::string& name : names_)
    static_cast<void>(files_.Delete(Pending(folder_ + name), nullptr));
}

std::string FolderChange::Add(const std::string& name) {
  names_.push_back(name);
  return Pending(folder_ + name);
}

bool FolderChange::AddText(const std::string& name, std::string_view content, std::string* error) {
  return WriteWhole(files_, Add(name), content, error);
}

bool FolderChange::Commit(std::string* error) {
  std::vector<std::string> pending;
  for (const std::string& name : names_) pending.push_back(Pending(folder_ + name));
  const std::string planPath = folder_ + kPlanFile;
  // Every file is whole on the disk before the plan says to rename it, and
  // the plan is whole before the first rename.
  pending.push_back(Pending(planPath));
  if (!WriteWhole(files_, pending.back(), PlanText(names_), error)) return false;
  // A pending plan that stays after a failure is removed, as the pending
  // files are, by the next publish or repair.
  std::string cause;
  if (!files_.SyncFiles(pending, &cause)) {
    static_cast<void>(files_.Delete(pending.back(), nullptr));
    return Fail(cause, error, "cannot make the new files of " + folder_ + " durable");
  }
  if (!files_.Replace(pending.back(), planPath, &cause)) {
    static_cast<void>(files_.Delete(pending.back(), nullptr));
    return Fail(cause, error, "cannot write " + planPath);
  }
  planned_ = true;
  if (!files_.SyncFolders({folder_}, &cause)) return Fail(cause, error, "cannot write " + planPath);
  for (const std::string& name : names_)
    if (!files_.Replace(Pending(folder_ + name), folder_ + name, &cause))
      return Fail(
          cause, error,
          "cannot put " + folder_ + name + " in place (mxupack repair finishes the publish)");
  if (!files_.SyncFolders({folder_}, &cause) || !files_.Delete(planPath, &cause))
    return Fail(cause, error, "cannot remove " + planPath + " (mxupack repair removes it)");
  return true;
}

}  // namespace updater::mxupack

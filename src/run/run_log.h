// The support log, Update\Updater.log: what each run did and why anything
// failed, with the causes the console lines leave out. Every record is
// appended at once, so a run that is killed keeps the records before it.
#pragma once

#include <cstdint>
#include <memory>
#include <string>
#include <string_view>
#include <vector>

#include "system/clock.h"
#include "system/file_system.h"

namespace updater {

// A log that grows past this size is renamed to Updater.log.1, replacing the
// one kept from before, and a new log begins.
inline constexpr int64_t kLogRotationSize = 1 << 20;

class RunLog {
 public:
  RunLog(FileSystem& files, Clock& clock) : files_(files), clock_(clock) {}

  // Starts appending to Updater.log in `updateFolder`, when that folder
  // exists (the log never creates it), and appends first the records
  // written before it was open. A log that cannot be opened stays closed.
  void Open(const std::string& updateFolder);
  bool IsOpen() const { return file_ != nullptr; }

  // Appends one record: the UTC time, then the text with any URL password
  // masked. While the log is not open the record is kept (up to
  // kKeptRecords of them, the later ones dropped) for Open, so that what
  // happens before the log can be opened is still told. Failures are
  // ignored: a log that cannot be written never changes the run.
  void Write(std::string_view text);

  // From now on every record shows "***" wherever `password` follows ":"
  // and comes before "@", as in the credentials of a proxy given without
  // its URL's scheme, which the URL rule alone would not find. An empty
  // password changes nothing.
  void ConcealPassword(std::string password);

  static constexpr size_t kKeptRecords = 64;

 private:
  void Append(const std::string& record);
  void Rotate();

  FileSystem& files_;
  Clock& clock_;
  std::string folder_;  // the update folder, ending with its separator
  std::unique_ptr<File> file_;
  std::vector<std::string> kept_;       // records written while not open
  std::vector<std::string> concealed_;  // ":password@" of ConcealPassword
};

// A time as the log shows it: "2026-12-07T08:35:09.123Z".
std::string LogTimeText(int64_t unixMilliseconds);

}  // namespace updater

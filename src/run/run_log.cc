// The support log.
#include "run/run_log.h"

#include <cstdio>

#include "system/update_folder.h"
#include "transfer/url_split.h"

namespace updater {

namespace {

// The civil date of a day count since 1970-01-01 (Howard Hinnant's
// days_from_civil, inverted).
void CivilFromDays(int64_t days, int64_t* year, unsigned* month, unsigned* day) {
  days += 719468;
  const int64_t era = (days >= 0 ? days : days - 146096) / 146097;
  const unsigned dayOfEra = static_cast<unsigned>(days - era * 146097);
  const unsigned yearOfEra =
      (dayOfEra - dayOfEra / 1460 + dayOfEra / 36524 - dayOfEra / 146096) / 365;
  const unsigned dayOfYear = dayOfEra - (365 * yearOfEra + yearOfEra / 4 - yearOfEra / 100);
  const unsigned monthIndex = (5 * dayOfYear + 2) / 153;
  *day = dayOfYear - (153 * monthIndex + 2) / 5 + 1;
  *month = monthIndex < 10 ? monthIndex + 3 : monthIndex - 9;
  *year = static_cast<int64_t>(yearOfEra) + era * 400 + (*month <= 2 ? 1 : 0);
}

}  // namespace

std::string LogTimeText(int64_t unixMilliseconds) {
  constexpr int64_t kDay = 86400000;
  int64_t days = unixMilliseconds / kDay;
  int64_t rest = unixMilliseconds % kDay;
  if (rest < 0) {
    rest += kDay;
    --days;
  }
  int64_t year = 0;
  unsigned month = 0, day = 0;
  CivilFromDays(days, &year, &month, &day);
  char text[40];
  std::snprintf(text, sizeof text, "%04lld-%02u-%02uT%02lld:%02lld:%02lld.%03lldZ",
                static_cast<long long>(year), month, day, static_cast<long long>(rest / 3600000),
                static_cast<long long>(rest / 60000 % 60), static_cast<long long>(rest / 1000 % 60),
                static_cast<long long>(rest % 1000));
  return text;
}

void RunLog::Open(const std::string& updateFolder) {
  file_.reset();
  if (!files_.IsFolder(updateFolder)) return;
  folder_ = updateFolder;
  // A log that cannot be opened is no reason to stop, and has nowhere to
  // tell why.
  file_ = files_.OpenAppend(folder_ + kLogFileName, nullptr);
  if (!file_) return;
  for (const std::string& record : kept_) Append(record);
  kept_.clear();
}

void RunLog::Write(std::string_view text) {
  if (!file_ && kept_.size() >= kKeptRecords) return;
  std::string record = LogTimeText(clock_.UnixMilliseconds());
  record += "  ";
  // Whatever a record quotes (a command line, a server URL, a library's
  // error), a password in a URL never reaches the log.
  std::string shown = MaskURLPassword(text);
  for (const std::string& secret : concealed_)
    for (size_t at = shown.find(secret); at != std::string::npos; at = shown.find(secret, at + 5))
      shown.replace(at, secret.size(), ":***@");
  record += shown;
  record += "\r\n";
  if (file_)
    Append(record);
  else
    kept_.push_back(std::move(record));
}

void RunLog::ConcealPassword(std::string password) {
  if (!password.empty()) concealed_.push_back(":" + password + "@");
}

void RunLog::Append(const std::string& record) {
  // The log's own failures have nowhere to go: a size that cannot be read
  // (-1) only skips the rotation, and a record that cannot be written is lost.
  const int64_t size = file_->Size(nullptr);
  if (size > 0 && size + static_cast<int64_t>(record.size()) > kLogRotationSize) Rotate();
  if (file_)
    static_cast<void>(file_->Write(record.data(), static_cast<int64_t>(record.size()), nullptr));
}

void RunLog::Rotate() {
  file_.reset();
  // Another process may have rotated it already, which is why a failed move
  // is passed over: the log goes on in whatever Updater.log is there.
  static_cast<void>(files_.Replace(folder_ + kLogFileName, folder_ + kOldLogFileName, nullptr));
  file_ = files_.OpenAppend(folder_ + kLogFileName, nullptr);
}

}  // namespace updater

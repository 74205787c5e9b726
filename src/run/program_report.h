// Where the run's lines go: the console (unless -silent) and the support log,
// with the status line of long work.
#pragma once

#include <cstdint>
#include <optional>
#include <string_view>

#include "run/progress_view.h"
#include "run/run_log.h"
#include "run/run_settings.h"
#include "system/console.h"
#include "system/report.h"

namespace updater {

// The Report of the whole run, which the lower layers write their lines to.
// Every line and failure is logged; the console shows lines (a password in a
// URL as "***", as in the log) unless the settings say -silent. The settings
// are read at each line, so that they may be filled after the report is made.
class ProgramReport : public Report {
 public:
  ProgramReport(const RunSettings& settings, Console& console, RunLog& log,
                std::optional<ProgressView>& progress)
      : settings_(settings), console_(console), log_(log), progress_(progress) {}

  // Logs the line (an empty one only spaces the console) and shows it.
  void Line(std::string_view text) override;
  // Shows the line and logs it with its cause in parentheses.
  void Failure(std::string_view line, std::string_view cause) override;
  void Log(std::string_view text) override;
  // Passed to the progress view, once there is one.
  void Progress(int64_t done, int64_t total) override;
  void ProgressDone() override;

 private:
  // Writes a line to the console only.
  void Show(std::string_view text);

  const RunSettings& settings_;
  Console& console_;
  RunLog& log_;
  std::optional<ProgressView>& progress_;
};

}  // namespace updater

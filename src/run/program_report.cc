// The run's lines on the console and in the support log.
#include "run/program_report.h"

#include <string>

#include "transfer/url_split.h"

namespace updater {

void ProgramReport::Show(std::string_view text) {
  if (settings_.AskMode == AskModeSetting::Silent) return;
  // Whatever a line quotes (a server URL above all), a password in a URL is
  // shown as "***", as in the log.
  console_.WriteLine(MaskURLPassword(text));
}

void ProgramReport::Line(std::string_view text) {
  // The log keeps every line, also of a -silent run.
  if (!text.empty()) log_.Write(text);
  Show(text);
}

void ProgramReport::Failure(std::string_view line, std::string_view cause) {
  Show(line);
  std::string record(line);
  if (!cause.empty()) {
    record += " (";
    record += cause;
    record += ')';
  }
  log_.Write(record);
}

void ProgramReport::Log(std::string_view text) { log_.Write(text); }

void ProgramReport::Progress(int64_t done, int64_t total) {
  if (progress_) progress_->Update(done, total);
}

void ProgramReport::ProgressDone() {
  if (progress_) progress_->Finish();
}

}  // namespace updater

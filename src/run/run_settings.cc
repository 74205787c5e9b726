// Command-line options and relaunch arguments.
#include "run/run_settings.h"

#include <vector>

#include "system/command_line.h"
#include "system/text.h"

namespace updater {

namespace {

enum class Option {
  DontAsk,
  Silent,
  Force,
  OnlyApply,
  OnlyDownload,
  SelfReplace,
  SingleServer,
  Server,
  OnlyCheck,
  DelayedStart,
  RunAfterUpdate,
};

struct OptionName {
  const char* LongForm;
  const char* ShortForm;
  updater::Option Option;
};

// Matched in this order; the first row that matches applies.
constexpr OptionName kOptions[] = {
    {"-dontask", "-da", Option::DontAsk},
    {"-silent", "-s", Option::Silent},
    {"-force", "-f", Option::Force},
    {"-onlyapply", "-oa", Option::OnlyApply},
    {"-onlydownload", "-od", Option::OnlyDownload},
    {"-selfreplace", "-sr", Option::SelfReplace},
    {"-singleserver", "-ss", Option::SingleServer},
    {"-server", "-svr", Option::Server},
    {"-onlycheck", "-oc", Option::OnlyCheck},
    {"-delayedstart", "-ds", Option::DelayedStart},
    {"-runafterupdate", "-raa", Option::RunAfterUpdate},
};

const OptionName* FindOption(const std::string& parameter) {
  for (const OptionName& name : kOptions)
    if (parameter == name.LongForm || parameter == name.ShortForm) return &name;
  return nullptr;
}

}  // namespace

RunSettings ParseCommandLine(std::string_view commandLine) {
  RunSettings settings;
  std::vector<std::string> parameters = SplitCommandLine(commandLine);
  // Element 0 is the program's own path and is not an option.
  const size_t count = parameters.size();
  for (size_t i = 1; i < count; ++i) {
    const OptionName* name = FindOption(LowerCaseText(parameters[i]));
    if (!name) continue;
    switch (name->Option) {
      case Option::DontAsk:
        settings.AskMode = AskModeSetting::DontAsk;
        break;
      case Option::Silent:
        settings.AskMode = AskModeSetting::Silent;
        break;
      case Option::Force:
        settings.Force = true;
        break;
      case Option::OnlyApply:
        settings.OnlyApply = true;
        break;
      case Option::OnlyDownload:
        settings.OnlyDownload = true;
        break;
      case Option::SelfReplace:
        settings.SelfReplace = true;
        break;
      case Option::SingleServer:
        settings.SingleServer = true;
        break;
      case Option::OnlyCheck:
        settings.OnlyCheck = true;
        break;
      case Option::DelayedStart:
        settings.DelayedStart = true;
        break;
      case Option::RunAfterUpdate:
        settings.RunAfterUpdate = true;
        break;
      case Option::Server:
        // The value is the next parameter as written; it is consumed even
        // when it looks like an option.
        settings.Server = i + 1 < count ? parameters[i + 1] : std::string();
        ++i;
        break;
    }
  }
  return settings;
}

std::string BuildRelaunchOptions(const RunSettings& settings, const std::string& server,
                                 bool withSelfReplace) {
  std::string options;
  if (settings.AskMode == AskModeSetting::DontAsk) options += "-da ";
  if (settings.AskMode == AskModeSetting::Silent) options += "-s ";
  if (settings.Force) options += "-f ";
  if (settings.OnlyApply) options += "-oa ";
  if (settings.OnlyDownload) options += "-od ";
  if (withSelfReplace) options += "-sr ";
  if (settings.RunAfterUpdate) options += "-raa ";
  if (settings.SingleServer) options += "-ss ";
  if (!server.empty()) options += "-svr " + server + " ";
  if (!options.empty()) options.pop_back();
  return options;
}

}  // namespace updater

// Command-line options and relaunch arguments.
#include "run/run_settings.h"

#include <vector>

#include "system/command_line.h"
#include "system/text.h"
#include "transfer/url_split.h"

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
  Proxy,
  NoProxy,
  ExitCodes,
};

struct OptionName {
  const char* LongForm;
  const char* ShortForm;  // null for an option without one
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
    {"-proxy", nullptr, Option::Proxy},
    {"-noproxy", nullptr, Option::NoProxy},
    {"-exitcodes", nullptr, Option::ExitCodes},
};

const OptionName* FindOption(const std::string& parameter) {
  for (const OptionName& name : kOptions)
    if (parameter == name.LongForm || (name.ShortForm && parameter == name.ShortForm)) return &name;
  return nullptr;
}

int HexDigit(char c) {
  if (c >= '0' && c <= '9') return c - '0';
  if (c >= 'a' && c <= 'f') return c - 'a' + 10;
  if (c >= 'A' && c <= 'F') return c - 'A' + 10;
  return -1;
}

// `text` with its %XX escapes decoded; a "%" not followed by two hex digits
// stays as it is.
std::string Unescape(std::string_view text) {
  std::string plain;
  for (size_t i = 0; i < text.size(); ++i) {
    const int high = i + 2 < text.size() && text[i] == '%' ? HexDigit(text[i + 1]) : -1;
    const int low = high >= 0 ? HexDigit(text[i + 2]) : -1;
    if (low < 0) {
      plain += text[i];
      continue;
    }
    plain += static_cast<char>(high * 16 + low);
    i += 2;
  }
  return plain;
}

}  // namespace

namespace {

// The parts of a -proxy value as written: the user name and the password
// (each empty when not given) and "host[:port]".
struct ProxyParts {
  std::string_view User;
  std::string_view Password;
  std::string_view HostPort;
};

ProxyParts SplitProxyURL(std::string_view url) {
  ProxyParts parts;
  const size_t scheme = url.find("://");
  if (scheme != std::string_view::npos) url.remove_prefix(scheme + 3);
  url = url.substr(0, url.find('/'));
  // The password may hold an unescaped "@"; the host never does.
  const size_t at = url.rfind('@');
  if (at != std::string_view::npos) {
    const std::string_view credentials = url.substr(0, at);
    const size_t colon = credentials.find(':');
    parts.User = credentials.substr(0, colon);
    if (colon != std::string_view::npos) parts.Password = credentials.substr(colon + 1);
    url.remove_prefix(at + 1);
  }
  parts.HostPort = url;
  return parts;
}

}  // namespace

HttpRoute RouteOf(const RunSettings& settings) {
  HttpRoute route;
  if (settings.Proxy == ProxySetting::Direct) route.Access = HttpAccess::Direct;
  if (settings.Proxy != ProxySetting::Named) return route;
  route.Access = HttpAccess::Proxy;
  const ProxyParts parts = SplitProxyURL(settings.ProxyURL);
  route.ProxyUser = Unescape(parts.User);
  route.ProxyPassword = Unescape(parts.Password);
  route.ProxyName = std::string(parts.HostPort);
  if (!parts.HostPort.empty() && SplitHostPort(parts.HostPort).Port == 0) route.ProxyName += ":80";
  return route;
}

std::string ProxyPasswordAsWritten(const RunSettings& settings) {
  if (settings.Proxy != ProxySetting::Named) return std::string();
  return std::string(SplitProxyURL(settings.ProxyURL).Password);
}

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
      // A value is the next parameter as written; it is consumed even when
      // it looks like an option.
      case Option::Server:
        settings.Server = i + 1 < count ? parameters[i + 1] : std::string();
        ++i;
        break;
      case Option::Proxy:
        // An empty value leaves the setting as it was.
        if (i + 1 < count && !parameters[i + 1].empty()) {
          settings.Proxy = ProxySetting::Named;
          settings.ProxyURL = parameters[i + 1];
        }
        ++i;
        break;
      case Option::NoProxy:
        settings.Proxy = ProxySetting::Direct;
        settings.ProxyURL.clear();
        break;
      case Option::ExitCodes:
        settings.ExitCodes = true;
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
  if (settings.Proxy == ProxySetting::Direct) options += "-noproxy ";
  if (settings.Proxy == ProxySetting::Named) options += "-proxy " + settings.ProxyURL + " ";
  if (settings.ExitCodes) options += "-exitcodes ";
  if (!options.empty()) options.pop_back();
  return options;
}

}  // namespace updater

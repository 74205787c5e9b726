// The updater's command-line splitting rule.
#include "system/command_line.h"

namespace updater {

std::vector<std::string> SplitCommandLine(std::string_view line) {
  std::vector<std::string> parameters;
  size_t pos = 0;
  const size_t end = line.size();
  while (true) {
    while (pos < end && line[pos] == ' ') ++pos;
    if (pos == end) break;
    std::string parameter;
    if (line[pos] == '"') {
      // A quoted parameter ends at its closing quote; what follows it starts
      // the next parameter.
      size_t close = line.find('"', pos + 1);
      if (close == std::string_view::npos) close = end;
      parameter.assign(line.substr(pos + 1, close - pos - 1));
      pos = close < end ? close + 1 : end;
    } else {
      bool quoted = false;
      for (; pos < end && (quoted || line[pos] != ' '); ++pos) {
        if (line[pos] == '"')
          quoted = !quoted;
        else
          parameter += line[pos];
      }
    }
    parameters.push_back(std::move(parameter));
  }
  return parameters;
}

std::string JoinCommandLine(const std::vector<std::string>& arguments) {
  std::string line;
  for (const std::string& argument : arguments) {
    std::string bare;
    for (char c : argument)
      if (c != '"') bare += c;
    if (!line.empty()) line += ' ';
    if (bare.empty() || bare.find(' ') != std::string::npos)
      line += '"' + bare + '"';
    else
      line += bare;
  }
  return line;
}

}  // namespace updater

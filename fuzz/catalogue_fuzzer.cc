// Feeds arbitrary bytes to the catalogue path of the update check: the body
// decoding of a server file, then the split into catalogue lines, of which
// only the updater's and the main program's are kept. Checks the rules that
// must hold for any input.
#include <cstddef>
#include <cstdint>
#include <string>
#include <string_view>

#include "protocol/catalogue.h"
#include "protocol/server_files.h"
#include "protocol/update_selection.h"

namespace {

void Require(bool condition) {
  if (!condition) __builtin_trap();
}

size_t CountLineEnds(const std::string& text) {
  size_t count = 0;
  for (size_t pos = text.find("\r\n"); pos != std::string::npos; pos = text.find("\r\n", pos + 2))
    ++count;
  return count;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  const std::string text =
      updater::BodyText(std::string_view(reinterpret_cast<const char*>(data), size));
  Require(text.find('\0') == std::string::npos);

  updater::Catalogue catalogue;
  const int64_t lines = updater::ParseCatalogue(text, &catalogue);
  Require(lines == static_cast<int64_t>(CountLineEnds(text)));
  // Only the updater's and the main program's lines are kept.
  Require(catalogue.size() <= static_cast<size_t>(lines));
  for (const updater::UpdateEntry& entry : catalogue) {
    Require(updater::IsUpdaterEntry(entry) || updater::IsMainProgramEntry(entry));
    Require(entry.PackageFile.size() <= text.size());
    Require(entry.PackageFile.find("\r\n") == std::string::npos);
  }

  // Field splitting on the raw bytes, at every small index.
  const std::string raw(reinterpret_cast<const char*>(data), size);
  for (int64_t index = 0; index < 5; ++index) Require(updater::GetField(raw, index).size() <= size);
  updater::ReadVersionField(raw);
  return 0;
}

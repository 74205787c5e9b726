// What a terminal shows after a program's output.
#include "support/terminal_screen.h"

#include <gtest/gtest.h>

#include <algorithm>

namespace updater::testing {

std::vector<std::string> Screen(const std::string& bytes, size_t columns) {
  std::vector<std::string> rows(1);
  size_t row = 0, column = 0;
  for (size_t i = 0; i < bytes.size(); ++i) {
    char byte = bytes[i];
    if (byte == '\r') {
      column = 0;
    } else if (byte == '\n') {
      if (++row == rows.size()) rows.emplace_back();
    } else if (bytes.compare(i, 3, "\033[K") == 0) {
      rows[row].resize(std::min(rows[row].size(), column));
      i += 2;
    } else if (static_cast<unsigned char>(byte) < 0x20) {
      ADD_FAILURE() << "unexpected control byte " << static_cast<int>(byte) << " at " << i;
    } else {
      if (column == columns) {  // the cursor was past the last column: wrap
        column = 0;
        if (++row == rows.size()) rows.emplace_back();
      }
      if (rows[row].size() <= column) rows[row].resize(column + 1, ' ');
      rows[row][column++] = byte;
    }
  }
  return rows;
}

}  // namespace updater::testing

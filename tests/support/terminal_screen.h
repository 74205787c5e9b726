// What a terminal shows after a program's output: the rows of text left on
// the screen, for tests that a status line, drawn and erased in place, leaves
// nothing behind.
#pragma once

#include <string>
#include <vector>

namespace updater::testing {

// The rows a terminal `columns` wide shows after `bytes`. It knows the
// carriage return, the line feed, erase to the end of the line (ESC [ K) and
// wrapping after the last column; any other control byte fails the test.
std::vector<std::string> Screen(const std::string& bytes, size_t columns);

}  // namespace updater::testing

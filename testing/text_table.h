// A table as plain text, for tests that print what they found case by case.
#pragma once

#include <cstddef>
#include <string>
#include <vector>

// The header row, a rule of dashes and then the other rows, one line each. Every cell but a row's last
// is padded with spaces to its column's width (a longer one is left whole) and the cells are joined by
// " | ". The rule is as long as all `widths` together, the last column's included.
std::string text_table(const std::vector<size_t>& widths, const std::vector<std::string>& header,
                       const std::vector<std::vector<std::string>>& rows);

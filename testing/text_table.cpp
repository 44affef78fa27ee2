#include "testing/text_table.h"

#include <numeric>

namespace {

std::string line_of(const std::vector<size_t>& widths, const std::vector<std::string>& cells) {
    std::string line;
    for (size_t i = 0; i < cells.size(); ++i) {
        line += cells[i];
        if (i + 1 < cells.size()) {
            size_t width = i < widths.size() ? widths[i] : 0;
            line += std::string(width > cells[i].size() ? width - cells[i].size() : 0, ' ') + " | ";
        }
    }
    return line + "\n";
}

}  // namespace

std::string text_table(const std::vector<size_t>& widths, const std::vector<std::string>& header,
                       const std::vector<std::vector<std::string>>& rows) {
    std::string table = line_of(widths, header);
    table += std::string(std::accumulate(widths.begin(), widths.end(), size_t{0}), '-') + "\n";
    for (const std::vector<std::string>& row : rows) {
        table += line_of(widths, row);
    }
    return table;
}

#include "testing/text_table.h"

#include <gtest/gtest.h>

namespace {

TEST(TextTable, CellsPaddedToTheirColumnsAndTheRuleAsLongAsAllWidths) {
    EXPECT_EQ(text_table({4, 3, 5}, {"name", "n", "note"},
                         {{"a", "1", "last cells are not padded"}, {"longer", "12345", ""}, {"b", "", "x"}}),
              "name | n   | note\n"
              "------------\n"
              "a    | 1   | last cells are not padded\n"
              "longer | 12345 | \n"
              "b    |     | x\n");
}

}  // namespace

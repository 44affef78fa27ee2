// What varnholt-publish tells the operator: every message is one line on standard error, after the
// program's name, so that standard output holds only the summary.
#pragma once

#include <string>

void publish_report(const char* format, ...) __attribute__((format(printf, 1, 2)));

// A file name as it may stand in a message: control bytes become '.', so a line feed in a name cannot
// split or forge a message line.
std::string printable_name(const std::string& name);

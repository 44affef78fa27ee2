// The records a new installation boots: the launcher fetches only the first plain record (and, in beta
// test mode, the first beta record) and then execv()s what it installed, so each of those must be a
// program execv() can start. Later records are fetched only to replace an installed file.
#pragma once

#include <string>
#include <vector>

#include "tools/publish_source.h"

// Why the file starting with `head` (its first bytes) is no image execv() starts, or null when it is
// one: an ELF executable or shared object, or a '#!' line that names an interpreter. The launcher sets
// the file's mode to 0700 itself before the exec, so the source file's mode does not matter.
const char* executable_image_problem(const std::string& head);

// Reports the first plain and the first beta record of `files` (in manifest order, greatest name first)
// when it is no executable image, or cannot be read below `source`; the number reported.
int report_unbootable_first_records(const char* source, const std::vector<source_file>& files);

// The records a new installation boots: the launcher fetches only the first plain record (and, in beta
// test mode, the first beta record) and then execv()s what it installed, so each of those must be a
// program execv() can start: an ELF executable or shared object, or a '#!' line that names an
// interpreter. The mode of the source file does not matter: the launcher makes the installed file
// executable itself. Later records are fetched only to replace an installed file.
#pragma once

#include <vector>

#include "tools/publish_source.h"

// Reports the first plain and the first beta record of `files` (in manifest order, greatest name first)
// when it is no executable image, or cannot be read below `source`; the number reported.
int report_unbootable_first_records(const char* source, const std::vector<source_file>& files);

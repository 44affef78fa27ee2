// Which source files can be published: their manifest line must reach the launcher whole, the name
// must be one the launcher accepts, and the launcher's request for it must fetch this very file.
#pragma once

#include <vector>

#include "tools/publish_source.h"

// Reports every file that cannot be published, by name and why; the number of such files.
int report_unpublishable_files(const std::vector<source_file>& files);

// Toolkit assertions without the toolkit's dialog, which would block a process that has no one to
// click it (a test under a virtual display, or the launcher of a player who cannot read it).
#pragma once

// From now on a failed toolkit assertion is a line in the debug log and a count, and the program goes
// on. Call it before the toolkit starts.
void install_assert_handler();

// Toolkit assertions that failed since install_assert_handler().
int failed_assert_count();

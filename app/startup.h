// The launcher's start-up before any window exists: log, signals, configuration directory, derived
// paths and the command line. Kept apart from the toolkit so that it runs without a display.
#pragma once

#include "support/worker_thread.h"

// Runs the start-up steps in order. Returns when the launcher is to go on; ends the process with status 1
// on a failure and with status 0 after -h.
void launcher_start_up(int argc, char** argv);

// Reads the command line: logs the program name, then acts on each option in order (may end the process).
void read_command_line(int argc, char** argv);

// Starts an update run: entry(argument) on a detached worker named "executable updater". Clears
// updater_finished first and sets updater_started on success; ends the process with status 1 when no
// thread can be created.
void start_executable_updater(kest_thread_function entry, void* argument);

// The update server and what the launcher trusts of it. Each program that links the launcher's library
// defines them from its build settings (update_host.cpp), so that tests can build launchers for a
// loopback server, with test keys or a test CA, while the shipped one keeps the configured values.
#pragma once

#include "updater/update_run.h"

extern const char launcher_update_host[];
extern const update_server_settings launcher_update_server;

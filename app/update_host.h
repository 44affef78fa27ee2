// The update server's host name. Each program that links the launcher's library defines it from its
// VARNHOLT_UPDATE_HOST (update_host.cpp), so that tests can build a launcher for a loopback server
// while the shipped one keeps the configured host.
#pragma once

extern const char launcher_update_host[];

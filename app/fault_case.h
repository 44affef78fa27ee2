// One case of the fault matrix: what it arranges, what the launcher must make of it, and the run of the
// real launcher program that checks it.
#pragma once

#include <functional>
#include <string>

#include "app/fault_world.h"

namespace fault_matrix {

enum class outcome {
    kept,           // client_1 booted; HOME as installed
    kept_new_file,  // client_1 booted; HOME as installed plus client_2's complete file, not listed
    updated,        // client_2 booted; HOME as installed plus client_2 and its line in the local manifest
                    // (and, signed, the newer release accepted)
    kept_release_accepted,  // signed: client_1 booted; HOME as installed but the newer release accepted
};

// The launcher a case runs, and the installation it starts from.
enum class launcher_build {
    plain,           // built without keys, as the Parts describe
    signed_updates,  // built with the test keys: checks release signatures and file hashes
    tls,             // fetches over HTTPS from port 443, trusting the CA in tls_launcher_ca_file alone
    mirrors,         // built with two hosts: 127.0.0.2 first, 127.0.0.1 after it
};

struct fault_case {
    std::string name;
    std::string expected;
    outcome result;
    std::string evidence;  // a line the console output or the log must hold
    double limit_seconds;  // the launcher must have ended within this
    std::function<void(fault_world&)> prepare;
    launcher_build build = launcher_build::plain;
};

struct case_result {
    bool passed = false;
    double seconds = 0;
    std::string observed;
};

// Runs `c` in a test sandbox of its own (its own loopback, /tmp and display) against a world made from
// `installed`: the launcher must end in time, boot the expected client, leave HOME as `c.result` says
// and log `c.evidence`. Call it in a child process of its own; problems are told in the result, and the
// launcher's output on stderr when it failed.
case_result run_case(const fault_case& c, const installation& installed);

// A result as text, to hand from the case's process to the matrix's, and back; false when `text` holds
// no result.
std::string result_text(const case_result& result);
bool parse_result(const std::string& text, case_result& result);

}  // namespace fault_matrix

#include "app/startup.h"

#include <clocale>
#include <csignal>
#include <cstdlib>

#include "app/argument_text.h"
#include "app/launcher_config.h"
#include "app/launcher_state.h"
#include "net/ssl_startup.h"
#include "support/config_directory.h"
#include "support/debug_log.h"
#include "support/text_utils.h"

void read_command_line(int argc, char** argv) {
    bounded_string program;
    if (argc > 0) {
        argument_to_text(argv[0], program);
        debug_log_at(1, "Executable name '%s'.\n", program.c_str());
    }
    for (int i = 1; i < argc; ++i) {
        bounded_string argument;
        argument_to_text(argv[i], argument);
        const char* text = argument.c_str();
        if (word_in_list(text, "-h --help")) {
            debug_log_at(1, "Syntax:\n");
            debug_log_at(1, "%s [-h] [-b] [-u] [-v]\n", program.c_str());
            debug_log_at(1, "\n");
            debug_log_at(1, "Options are:\n");
            debug_log_at(1, "  -h   - this help screen\n");
            debug_log_at(1, "  -b   - switch to beta test mode\n");
            debug_log_at(1, "  -u   - switch out of beta test mode\n");
            debug_log_at(1, "  -v   - more verbose debug printing\n");
            debug_log_at(1, "\n");
            exit(0);
        } else if (word_in_list(text, "-b --beta")) {
            debug_log_at(1, "Forcing beta test mode.\n");
            set_beta_test_enable(1);
        } else if (word_in_list(text, "-u --unbeta")) {
            debug_log_at(1, "Forcing non-beta test mode.\n");
            set_beta_test_enable(0);
        } else if (word_in_list(text, "-v --verbose")) {
            debug_log_at(1, "Setting verbose printing mode.\n");
            verbose_printing = 1;
        } else {
            debug_log_at(1, "Sorry, unknown command line option '%s'.  Use '-h' for a list.\n", text);
            exit(1);
        }
    }
}

void launcher_start_up(int argc, char** argv) {
    // Arguments are decoded in the user's multibyte encoding.
    setlocale(LC_CTYPE, "");

    kest_client_set_autoopen_debug_logfile_name("varnholt_tessar_launcher.txt");
    debug_log_at(3, "--------------------------- LAUNCHER START --------------------------\n");

    // A peer that closes a connection must not kill the process: writes then fail with EPIPE instead.
    signal(SIGPIPE, SIG_IGN);

    if (!kest_ssl_startup()) {
        debug_log_at(1, "Boot failed, SSL startup is broken.\n");
        exit(1);
    }

    if (!kest_client_set_up_config_directory("Varnholt")) {
        debug_log_at(1, "Boot failed, unable to get at system config directory.\n");
        exit(1);
    }

    // Before the command line, so that -b and -u override the file.
    load_system_config_file();

    const char* directory = get_config_directory();
    local_manifest_path.append(directory);
    local_manifest_path.append("/executables/update_manifest.lst");
    executables_dir.append(directory);
    executables_dir.append("/executables");
    crash_detect_path.append(directory);
    crash_detect_path.append("/bootname.txt");

    read_command_line(argc, argv);
}

void start_executable_updater(kest_thread_function entry, void* argument) {
    updater_finished = 0;
    if (!kest_thread_create("executable updater", entry, argument)) {
        debug_log_at(1, "Launcher failed to spawn download thread, aborting.\n");
        exit(1);
    }
    updater_started = 1;
}

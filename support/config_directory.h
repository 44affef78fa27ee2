// The per-user configuration directory, chosen once at start-up.
#pragma once

// Chooses the first usable of: $HOME/.<base>, ./.<base>, /tmp/<base>, ./<base>. A candidate is usable
// when it is (or can be made) a directory that only this user controls and a file can be created in it.
// The one in HOME is also usable when nothing can be written in it but it holds an installation (an
// executables directory that only this user controls): it is then chosen read-only.
// 1 when a directory was chosen; 0 when HOME is unset, no candidate works, or `base_name` is null.
int kest_client_set_up_config_directory(const char* base_name);

// The chosen directory, or null before a successful set-up.
const char* get_config_directory();

// 1 when the chosen directory is one that cannot be written to: what is installed there can be used, but
// not updated.
int config_directory_is_read_only();

// Forgets the chosen directory, so that the next set-up starts afresh. Paths built from the old choice
// must no longer be used.
void kest_client_forget_config_directory();

// varnholt-publish: turns a directory of client files into what the update server serves.
//
// The files go to OUTPUT_DIR + update_download_root and the remote manifest beside them. A publication
// is all or nothing as far as clients can tell: every file is first copied to a temporary and synced,
// and only when all are whole are they renamed into place, the manifest last. Until the manifest's
// rename a client reads the old manifest; files published earlier and no longer in the source stay
// where they are, unlisted.
#pragma once

// How a publication is signed: with the private key at key_path (null: unsigned), for `days` days.
struct publish_signing_options {
    const char* key_path;
    int days;
};

// Publishes `source` into `output`; the process exit status: 0 when published, 1 when not (reported on
// standard error). Prints a summary on standard output. A signed publication also writes the release
// signature beside the manifest, renamed into place after it: a launcher that fetches between the two
// renames finds that they do not match, refuses, and updates at its next start.
int publish_client_files(const char* source, const char* output, const publish_signing_options& signing);

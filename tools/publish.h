// varnholt-publish: turns a directory of client files into what the update server serves.
//
// The files go to OUTPUT_DIR + update_download_root and the remote manifest beside them. A publication
// is all or nothing as far as clients can tell: every file is first copied to a temporary and synced,
// and only when all are whole are they renamed into place, the manifest last. Until the manifest's
// rename a client reads the old manifest; files published earlier and no longer in the source stay
// where they are, unlisted.
#pragma once

// Publishes `source` into `output`; the process exit status: 0 when published, 1 when not (reported on
// standard error). Prints a summary on standard output.
int publish_client_files(const char* source, const char* output);

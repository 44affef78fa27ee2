// The update servers of one run: the host names the launcher was built with (a comma-separated list, the
// origin first and its mirrors after it), tried in that order by the signature, manifest and file
// fetches. A host that cannot be reached or answers with a server error is passed over for the rest of
// the run, so that later fetches go straight to the next one. The last host left is never passed over: a
// launcher built with one host fetches from it as it always did.
#pragma once

#include <cstdint>

#include "support/bounded_string.h"

class kest_http_downloader;

class update_host_list {
  public:
    static constexpr int max_hosts = 16;
    static constexpr int max_name_length = 253;

    update_host_list() = default;
    update_host_list(const update_host_list&) = delete;
    update_host_list& operator=(const update_host_list&) = delete;

    // Takes the names of "a,b,c", blanks around each dropped. 1, or 0 with no host for a null or empty
    // list, an empty name, a name with a blank or control byte in it or longer than max_name_length, or
    // more than max_hosts names.
    int parse(const char* text);
    // Exactly one host, taken as it is (even null or with a comma in it).
    void set_single(const char* host);

    int count() const { return count_; }
    const char* name(int index) const { return names_[index]; }
    // The first host at or after `from` that has not been passed over, or -1.
    int next_usable(int from = 0) const;
    bool is_passed_over(int index) const { return passed_over_[index]; }
    // Passes host `index` over for the rest of the run and logs the host and `cause`, unless it is the
    // only usable host left. 1 when it was passed over.
    int pass_over(int index, const char* cause);

  private:
    char storage_[max_hosts][max_name_length + 1] = {};
    const char* names_[max_hosts] = {};
    bool passed_over_[max_hosts] = {};
    int count_ = 0;
};

// Why the failure of `downloader`'s last download counts against its host, written to `cause` for the
// log line ("connection refused", "its name cannot be resolved", "it answered 503", "it timed out"); false
// when it says nothing against the host (a 404, a broken transfer, a full disk, ...).
bool host_failure_cause(const kest_http_downloader& downloader, bounded_string& cause);

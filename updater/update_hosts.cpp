#include "updater/update_hosts.h"

#include <cstring>

#include "http/http_downloader.h"
#include "net/socket_primitives.h"
#include "support/debug_log.h"

namespace {

bool is_blank(char c) {
    return c == ' ' || c == '\t';
}

}  // namespace

int update_host_list::parse(const char* text) {
    count_ = 0;
    if (text == nullptr) {
        return 0;
    }
    for (const char* p = text;;) {
        while (is_blank(*p)) {
            ++p;
        }
        size_t length = strcspn(p, ",");
        size_t kept = length;
        while (kept > 0 && is_blank(p[kept - 1])) {
            --kept;
        }
        bool bad_byte = false;
        for (size_t i = 0; i < kept; ++i) {
            unsigned char c = static_cast<unsigned char>(p[i]);
            bad_byte = bad_byte || c <= 0x20 || c == 0x7F;
        }
        if (kept == 0 || kept > static_cast<size_t>(max_name_length) || bad_byte || count_ == max_hosts) {
            count_ = 0;
            return 0;
        }
        memcpy(storage_[count_], p, kept);
        storage_[count_][kept] = '\0';
        names_[count_] = storage_[count_];
        passed_over_[count_] = false;
        ++count_;
        if (p[length] == '\0') {
            return 1;
        }
        p += length + 1;
    }
}

void update_host_list::set_single(const char* host) {
    names_[0] = host;
    passed_over_[0] = false;
    count_ = 1;
}

int update_host_list::next_usable(int from) const {
    for (int i = from < 0 ? 0 : from; i < count_; ++i) {
        if (!passed_over_[i]) {
            return i;
        }
    }
    return -1;
}

int update_host_list::pass_over(int index, const char* cause) {
    if (index < 0 || index >= count_ || passed_over_[index]) {
        return 0;
    }
    int usable = 0;
    for (int i = 0; i < count_; ++i) {
        usable += passed_over_[i] ? 0 : 1;
    }
    if (usable < 2) {
        return 0;
    }
    passed_over_[index] = true;
    debug_log_line(1,
                   "Warning in update_host_list::pass_over(), passing over update host '%s' for the rest "
                   "of this run: %s.",
                   names_[index], cause);
    return 1;
}

bool host_failure_cause(const kest_http_downloader& downloader, bounded_string& cause) {
    cause.clear();
    switch (downloader.failure) {
        case kest_http_downloader::failure_unresolved:
            cause.append("its name cannot be resolved");
            return true;
        case kest_http_downloader::failure_connect:
            // A refused certificate or handshake ends the connect as a reset (the socket logs why).
            cause.append(downloader.connect_error == net_error_timeout ? "connecting timed out"
                         : downloader.use_tls && downloader.connect_error == net_error_connection_reset
                             ? "its TLS handshake failed"
                             : network_error_description(downloader.connect_error));
            return true;
        case kest_http_downloader::failure_timeout:
            cause.append("it timed out");
            return true;
        case kest_http_downloader::failure_status:
            if (downloader.status >= 500 && downloader.status <= 599) {
                cause.append_printf("it answered %d", downloader.status);
                return true;
            }
            return false;
        default:
            return false;
    }
}

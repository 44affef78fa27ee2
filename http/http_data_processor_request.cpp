// The processor as a whole (construction, teardown) and its outgoing side: the GET request, its header
// lines, and handing the queued bytes to the owner.
#include "http/http_data_processor.h"

#include <cstdio>
#include <cstring>

#include "support/debug_log.h"
#include "support/text_utils.h"

namespace {

constexpr int tx_block_size = 8192;

// The bytes of `s` without its NUL; a cut text keeps its first capacity - 1 bytes.
int text_length(const bounded_string& s) {
    return s.is_cut() ? bounded_string::capacity - 1 : s.len;
}

}  // namespace

kest_http_data_processor_oline::kest_http_data_processor_oline()
    : expect_continue(0),
      force_http10(0),
      range_start(0),
      chunked_send_allowed(0),
      failed(0),
      done(0),
      request_sent(0),
      body_to_send(0),
      close_after_send(0),
      close_after_message(0),
      request_close(0),
      chunked_send(0),
      chunked(0),
      chunk_state(0),
      chunk_remaining(0),
      in_body(0),
      body_received(0),
      method{},
      line_complete(0),
      last_byte(0),
      last_line_end(line_end_none),
      version_text{},
      peer_version(20),
      expect_100_received(0),
      transfer_encoding{},
      content_type{},
      content_type_code(0),
      status(0),
      reason{},
      request_method{},
      request_host{},
      request_path{},
      request_query{},
      content_length(-1),
      has_content_range(0),
      content_range_first(-1),
      content_range_last(-1),
      content_range_length(-1),
      line_count(0),
      in_message(0),
      user_data(nullptr),
      close_connection(nullptr),
      message_received(nullptr),
      message_complete(nullptr),
      content_data_received(nullptr),
      content_body_get_tx_data(nullptr),
      user{},
      password{},
      cookie_prefix{},
      incoming_cookies(nullptr),
      outgoing_cookies(nullptr),
      framing_bytes(0),
      chunk_extension_bytes(0),
      in_trailer(0),
      unsupported_coding(0) {}

kest_http_data_processor_oline::~kest_http_data_processor_oline() {
    free_cookie_list(incoming_cookies);
    free_cookie_list(outgoing_cookies);
}

int kest_http_data_processor_oline::is_busy(const char* operation_name) {
    if (close_after_message || failed) {
        return 1;
    }
    if (body_to_send > 0) {
        debug_log_line(
            1,
            "Error in kest_http_data_processor_oline, attempt to '%s' without completing previous message.",
            operation_name);
        return 1;
    }
    return 0;
}

int kest_http_data_processor_oline::start_http_GET(const char* host, const char* path) {
    if (is_busy("start_http_GET")) {
        return 0;
    }
    if (path == nullptr || path[0] == '\0') {
        path = "/";
    }
    memset(method, 0, sizeof method);
    strcpy(method, "GET");

    bounded_string request;
    request.append("GET ");
    for (const unsigned char* p = reinterpret_cast<const unsigned char*>(path); *p != '\0'; ++p) {
        if (*p >= '!' && *p <= '~') {
            request.append_char(static_cast<char>(*p));
        } else {
            request.append_printf("%%%02x", *p);
        }
    }
    request.append(force_http10 ? " HTTP/1.0\r\n" : " HTTP/1.1\r\n");
    request.append("Host: ");
    request.append(host);
    request.append("\r\n");
    if (range_start > 0) {
        request.append_printf("Range: bytes=%lld-\r\n", static_cast<long long>(range_start));
    }
    write_message_headers(request, 1, 0);
    write_cookie_headers(request);
    request.append("\r\n");

    request_sent = 1;
    tx_queue.put_bytes(request.c_str(), text_length(request));
    return 1;
}

void kest_http_data_processor_oline::write_message_headers(bounded_string& s, int is_request,
                                                           int body_length) {
    chunked_send = 0;
    if (body_length >= 0) {
        s.append_printf("Content-Length: %d\r\n", body_length);
    } else if (chunked_send_allowed && peer_version > 10 && !force_http10) {
        s.append("Transfer-Encoding: chunked\r\n");
        chunked_send = 1;
    }
    bool close = request_close || peer_version <= 10 || force_http10;
    if (!is_request) {
        if (close) {
            s.append("Connection: close\r\n");
            close_after_send = 1;
        }
        return;
    }
    if (user[0] != '\0' || password[0] != '\0') {
        bounded_string credentials;
        credentials.append(user);
        credentials.append(":");
        credentials.append(password);
        s.append("Authorization: Basic ");
        base64_append_string(s, credentials.c_str());
        s.append("\r\n");
    }
    s.append("Accept-Encoding: identity\r\n");
    if (expect_continue) {
        s.append("Expect: 100-continue\r\n");
    }
    if (close) {
        s.append("Connection: close\r\n");
        close_after_message = 1;
    }
}

void kest_http_data_processor_oline::write_cookie_headers(bounded_string& s) {
    for (const kest_http_cookie* c = outgoing_cookies; c != nullptr; c = c->next) {
        s.append_printf("Set-Cookie: %s%s=%s; Domain=%s; Path=/; Max-Age=%d; HttpOnly%s\r\n", cookie_prefix,
                        c->key, c->value, c->domain, c->max_age, c->secure ? "; Secure" : "");
    }
}

int kest_http_data_processor_oline::get_tx_data(char* dest, int size) {
    if (size <= 0 || failed) {
        return -1;
    }
    if (body_to_send != 0 && !fill_content_body()) {
        return -1;
    }
    if (in_body || !tx_queue.is_empty()) {
        return tx_queue.read_block(dest, size);
    }
    if (close_after_send) {
        release_connection();
    }
    if (done) {
        failed = 1;
    }
    return 0;
}

int kest_http_data_processor_oline::fill_content_body() {
    if (body_to_send == 0) {
        return 1;
    }
    if (content_body_get_tx_data == nullptr) {
        debug_log_line(
            1,
            "Error in kest_http_data_processor_oline::fill_content_body(), tx callback function was NULL.");
        return 0;
    }
    char block[tx_block_size];
    for (;;) {
        int want = (body_to_send > 0 && body_to_send < tx_block_size) ? body_to_send : tx_block_size;
        int produced = content_body_get_tx_data(this, user_data, block, want);
        if (produced < -1) {
            return 0;
        }
        if (produced == 0) {
            return 1;
        }
        if (produced == -1) {
            if (chunked_send) {
                tx_queue.put_string("0\r\n");
                body_to_send = 0;
            }
            return 1;
        }
        if (produced > want) {
            produced = want;
        }
        if (chunked_send) {
            char size_line[16];
            snprintf(size_line, sizeof size_line, "%x\r\n", static_cast<unsigned>(produced));
            tx_queue.put_string(size_line);
        }
        tx_queue.put_bytes(block, produced);
        if (chunked_send) {
            tx_queue.put_string("\r\n");
        }
        if (body_to_send > 0) {
            body_to_send -= produced;
            if (body_to_send == 0) {
                if (chunked_send) {
                    tx_queue.put_string("0\r\n");
                }
                return 1;
            }
        }
    }
}

int kest_http_data_processor_oline::send_response_100() {
    const char reply[] = "HTTP/1.1 100 Continue\r\n\r\n";
    int length = static_cast<int>(sizeof reply - 1);
    return tx_queue.put_bytes(reply, length) == length ? 1 : 0;
}

int kest_http_data_processor_oline::send_response_400(const char*) {
    failed = 1;
    return 0;
}

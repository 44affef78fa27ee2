// The incoming side of the processor: cuts the bytes into lines, parses the start line and the known
// header lines, and delivers the body. What it accepts:
//
//   message     = *empty-line start-line *header-line empty-line [body]
//   line end    = CR LF | LF CR | CR | LF        (never stored in the line; lines are cut at 5999 bytes)
//                 before body bytes, a pair only in the style of the line before (see collect_line)
//   start-line  = "HTTP/" version SP status SP reason     (a response; anything else fails it)
//   header-line = name ":" *(SP | HT) value              (unknown names are ignored)
//   body        = Content-Length bytes | chunked-body | bytes up to the end of the connection
//   chunked-body = *(size-line data eol) last-size-line *trailer-line empty-line
//   size-line   = *blank 1*20hex-digit *blank [";" extension] eol    (the size of the data that follows)
//   last-size-line = a size-line of size 0
//
// A header block (or trailer section) is bounded by max_header_lines and max_header_bytes, each chunk-size
// line by max_header_bytes, and what a message's chunk-size lines hold besides their digits by
// max_chunk_extension_bytes.
#include "http/http_data_processor.h"

#include <strings.h>

#include <cstdint>
#include <cstdlib>
#include <cstring>

#include "support/debug_log.h"
#include "support/text_utils.h"

namespace {

constexpr int max_chunk_size_digits = 20;

bool is_blank(char c) {
    return c == ' ' || c == '\t';
}

// Copies at most size - 1 bytes of `text` and terminates the copy.
void copy_bounded(char* dest, size_t size, const char* text) {
    size_t length = strnlen(text, size - 1);
    memcpy(dest, text, length);
    dest[length] = '\0';
}

void replace_bytes(char* text, const char* from, char to) {
    for (char* p = text; *p != '\0'; ++p) {
        if (strchr(from, *p) != nullptr) {
            *p = to;
        }
    }
}

// The first word of `text`, or null when it holds only separators.
const char* first_word(const char* text) {
    while (*text != '\0' && is_word_end(*text)) {
        ++text;
    }
    return *text == '\0' ? nullptr : text;
}

int has_word(const char* text, const char* word) {
    for (const char* w = first_word(text); w != nullptr; w = next_arg(w)) {
        if (word_equal(w, word)) {
            return 1;
        }
    }
    return 0;
}

// The size at the start of a chunk-size line: optional blanks, 1 to 20 hex digits, then only blanks, a
// chunk extension after ';', or the end of the line. 1 with the size and the number of its digits, or 0
// for anything else and for a size that does not fit a signed 32-bit count: a size that cannot be read
// exactly must neither end the body early ("0x5" is not 0) nor cut a chunk short ("5xyz" is not 5).
int parse_chunk_size(const char* text, int32_t* size, int* digit_count) {
    const char* p = text;
    while (is_blank(*p)) {
        ++p;
    }
    int64_t value = 0;
    int digits = 0;
    for (;; ++digits) {
        char c = p[digits];
        int digit = (c >= '0' && c <= '9')   ? c - '0'
                    : (c >= 'a' && c <= 'f') ? c - 'a' + 10
                    : (c >= 'A' && c <= 'F') ? c - 'A' + 10
                                             : -1;
        if (digit < 0) {
            break;
        }
        if (digits == max_chunk_size_digits) {
            return 0;
        }
        value = value * 16 + digit;
        if (value > INT32_MAX) {
            return 0;
        }
    }
    if (digits == 0) {
        return 0;
    }
    const char* rest = p + digits;
    while (is_blank(*rest)) {
        ++rest;
    }
    if (*rest != '\0' && *rest != ';') {
        return 0;
    }
    *size = static_cast<int32_t>(value);
    *digit_count = digits;
    return 1;
}

// The decimal digits at *text (at least one) as a count that fits 64 bits: 1 with *text moved past
// them, or 0 for no digit or a value above INT64_MAX.
int parse_decimal_count(const char** text, int64_t* value) {
    const char* p = *text;
    int64_t v = 0;
    for (; *p >= '0' && *p <= '9'; ++p) {
        int digit = *p - '0';
        if (v > (INT64_MAX - digit) / 10) {
            return 0;
        }
        v = v * 10 + digit;
    }
    if (p == *text) {
        return 0;
    }
    *text = p;
    *value = v;
    return 1;
}

// The decimal fraction at the start of `text` ("1", "0.9", "-2"), read without the locale's decimal
// point, which a toolkit may have changed.
double parse_decimal(const char* text) {
    double sign = 1;
    if (*text == '+' || *text == '-') {
        sign = *text == '-' ? -1 : 1;
        ++text;
    }
    double value = 0;
    for (; *text >= '0' && *text <= '9'; ++text) {
        value = value * 10 + (*text - '0');
    }
    if (*text == '.') {
        double scale = 0.1;
        for (++text; *text >= '0' && *text <= '9'; ++text, scale /= 10) {
            value += (*text - '0') * scale;
        }
    }
    return sign * value;
}

}  // namespace

int kest_http_data_processor_oline::feed_data(const char* data, int n) {
    if (n < 1) {
        return -1;
    }
    while (n > 0) {
        int r = process_data(data, n);
        if (r < 0) {
            return -1;
        }
        if (r == 0) {
            // Nothing taken, e.g. the byte that settled a lone line end: call again. Once the exchange
            // has ended, that call drops the rest, so the result does not depend on where a block ends.
            continue;
        }
        data += r;
        n -= r;
    }
    return 1;
}

int kest_http_data_processor_oline::collect_line(const char* data, int n) {
    for (int i = 0; i < n; ++i) {
        char c = data[i];
        bool pair = (c == '\n' && last_byte == '\r') || (c == '\r' && last_byte == '\n');
        // The body may begin with CR or LF, so right before it a pair is one line end only in the style
        // of the line before: after lines that ended in a lone LF, an LF followed by CR is a lone LF and
        // the CR the first body byte.
        if (pair && line_precedes_body()) {
            pair = last_byte == '\r' ? last_line_end != line_end_cr : last_line_end == line_end_lf_cr;
        }
        if (pair) {
            last_line_end = c == '\n' ? line_end_cr_lf : line_end_lf_cr;
            last_byte = 0;
            line_complete = 1;
            return i + 1;
        }
        if (last_byte == '\r' || last_byte == '\n') {
            // A lone line end: the byte after it starts the next line.
            last_line_end = last_byte == '\r' ? line_end_cr : line_end_lf;
            last_byte = 0;
            line_complete = 1;
            return i;
        }
        if (c != '\r' && c != '\n') {
            line.append_char(c);
        }
        last_byte = static_cast<unsigned char>(c);
    }
    return n;
}

int kest_http_data_processor_oline::line_precedes_body() const {
    if (in_body) {
        return chunked && chunk_state == chunk_size_line;
    }
    return in_message && line.len == 0;
}

int kest_http_data_processor_oline::process_data(const char* data, int n) {
    if (n < 1 || failed) {
        return -1;
    }
    if (done) {
        return n;
    }
    if (!in_body) {
        return process_header_phase(data, n);
    }
    return chunked ? process_chunked_body(data, n) : process_fixed_body(data, n);
}

int kest_http_data_processor_oline::fail() {
    failed = 1;
    return -1;
}

void kest_http_data_processor_oline::clear_line() {
    line.clear();
    line_complete = 0;
}

// collect_line() within the bound on header and framing bytes: the bytes taken, or -1.
int kest_http_data_processor_oline::take_framing_line(const char* data, int n) {
    int k = collect_line(data, n);
    if (k > max_header_bytes - framing_bytes) {
        debug_log_line(
            1,
            "Warning in kest_http_data_processor_oline::process_data(), too much header data, failing "
            "message.");
        return fail();
    }
    framing_bytes += k;
    return k;
}

int kest_http_data_processor_oline::process_header_phase(const char* data, int n) {
    int k = take_framing_line(data, n);
    if (k < 0 || !line_complete) {
        return k;
    }
    if (line.len > 0) {
        if (++line_count > max_header_lines) {
            debug_log_line(
                1,
                "Warning in kest_http_data_processor_oline::process_data(), too many header lines, "
                "failing message.");
            return fail();
        }
        // Trailer fields after the last chunk belong to the message that is already complete.
        if (!in_trailer) {
            int r = header_line_parse(line.c_str());
            if (request_sent ? r == 1 : r != 0) {
                if (!request_sent) {
                    send_response_400("Bad Request");
                }
                return fail();
            }
        }
        clear_line();
        return k;
    }
    if (in_trailer) {
        in_trailer = 0;
        line_count = 0;
        framing_bytes = 0;
        clear_line();
        return k;
    }
    if (line_count == 0) {
        // Empty lines before a start line are skipped.
        line_complete = 0;
        return k;
    }
    return finish_header_block(k);
}

// The empty line after the header lines, `taken` bytes of it in this block.
int kest_http_data_processor_oline::finish_header_block(int taken) {
    ++line_count;
    if ((request_sent && status <= 0) || (!request_sent && status > 0)) {
        return fail();
    }
    framing_bytes = 0;
    // Under a transfer coding, Content-Length says nothing about where the body ends.
    if (chunked) {
        content_length = -1;
    }
    if (has_message_body()) {
        if (unsupported_coding) {
            debug_log_line(1,
                           "Warning in kest_http_data_processor_oline::process_data(), unsupported transfer "
                           "coding '%s', failing message.",
                           transfer_encoding);
            return fail();
        }
        // A Transfer-Encoding line that names no coding at all still makes a body; with a Content-Length
        // of 0 there is nothing of it to deliver, and the message is complete with its header block.
        in_body = chunked || content_length != 0 ? 1 : 0;
        body_received = 0;
        clear_line();
        last_byte = 0;
    }
    if (!headers_complete()) {
        return fail();
    }
    if (failed) {
        return 0;
    }
    if (!in_body) {
        int r = complete_message();
        if (r <= 0) {
            return r;
        }
    }
    in_message = 0;
    clear_line();
    return taken;
}

// content_data_received for `n` bytes: 1 when accepted, -1 when refused (the processor fails), 0 when
// the callback made the processor fail.
int kest_http_data_processor_oline::deliver_body(const char* data, int n) {
    if (content_data_received == nullptr || !content_data_received(this, user_data, data, n)) {
        return fail();
    }
    return failed ? 0 : 1;
}

int kest_http_data_processor_oline::process_fixed_body(const char* data, int n) {
    int take = n;
    if (content_length >= 0 && take > content_length - body_received) {
        take = content_length - body_received;
    }
    int r = deliver_body(data, take);
    if (r <= 0) {
        return r;
    }
    if (content_length < 0) {
        // The body runs to the end of the connection, which only the owner sees.
        return take;
    }
    body_received += take;
    if (body_received < content_length) {
        return take;
    }
    r = complete_message();
    return r <= 0 ? r : take;
}

int kest_http_data_processor_oline::process_chunked_body(const char* data, int n) {
    if (chunk_state == chunk_size_line) {
        int k = take_framing_line(data, n);
        if (k < 0 || !line_complete) {
            return k;
        }
        int32_t size = 0;
        int digits = 0;
        if (!parse_chunk_size(line.c_str(), &size, &digits)) {
            return fail();
        }
        // framing_bytes holds the whole line, its end included, even when the stored text was cut.
        int line_end = last_line_end == line_end_cr_lf || last_line_end == line_end_lf_cr ? 2 : 1;
        chunk_extension_bytes += framing_bytes - line_end - digits;
        if (chunk_extension_bytes > max_chunk_extension_bytes) {
            debug_log_line(
                1,
                "Warning in kest_http_data_processor_oline::process_data(), too much chunk extension data, "
                "failing message.");
            return fail();
        }
        framing_bytes = 0;
        clear_line();
        chunk_state = chunk_data;
        if (size > 0) {
            chunk_remaining = size;
            return k;
        }
        int r = complete_message();
        if (r <= 0) {
            return r;
        }
        in_trailer = done ? 0 : 1;
        return k;
    }
    if (chunk_state == chunk_data) {
        int take = n < chunk_remaining ? n : chunk_remaining;
        int r = deliver_body(data, take);
        if (r <= 0) {
            return r;
        }
        chunk_remaining -= take;
        if (chunk_remaining <= 0) {
            chunk_state = chunk_data_end;
            clear_line();
        }
        return take;
    }
    // chunk_data_end: only the line end may follow the data.
    int k = take_framing_line(data, n);
    if (k < 0 || !line_complete) {
        return k;
    }
    if (line.len > 0) {
        return fail();
    }
    framing_bytes = 0;
    chunk_state = chunk_size_line;
    clear_line();
    return k;
}

// 1 when the message completed, -1 when message_complete refused it, 0 when it made the processor fail.
int kest_http_data_processor_oline::complete_message() {
    in_message = 0;
    in_body = 0;
    line_count = 0;
    framing_bytes = 0;
    if (message_complete == nullptr || !message_complete(this, user_data)) {
        return fail();
    }
    if (failed) {
        return 0;
    }
    if (close_after_message && !(status >= 100 && status <= 199)) {
        end_exchange();
    }
    return 1;
}

// The connection closes now; whatever else arrives on it is dropped.
void kest_http_data_processor_oline::end_exchange() {
    release_connection();
    done = 1;
}

void kest_http_data_processor_oline::release_connection() {
    if (close_connection != nullptr) {
        close_connection(this, user_data);
    }
    close_after_send = 0;
    close_after_message = 0;
    request_close = 0;
    in_message = 0;
}

void kest_http_data_processor_oline::reset_message_fields() {
    chunked = 0;
    chunk_state = chunk_none;
    chunk_remaining = 0;
    version_text[0] = '\0';
    peer_version = 20;
    expect_100_received = 0;
    transfer_encoding[0] = '\0';
    content_type[0] = '\0';
    reason[0] = '\0';
    content_type_code = 0;
    content_length = -1;
    has_content_range = 0;
    content_range_first = -1;
    content_range_last = -1;
    content_range_length = -1;
    status = 0;
    request_method[0] = '\0';
    request_host[0] = '\0';
    request_path[0] = '\0';
    request_query[0] = '\0';
    start_line.clear();
    in_trailer = 0;
    unsupported_coding = 0;
    chunk_extension_bytes = 0;
}

int kest_http_data_processor_oline::header_line_parse(const char* text) {
    if (!in_message) {
        reset_message_fields();
        line_count = 1;
        in_message = 1;
        if (word_prefix_length("HTTP/", text) > 0 && parse_status_line(text)) {
            return 0;
        }
        if (word_prefix_length("HTTP/", text) > 0 || request_sent) {
            debug_log_line(
                1,
                "Warning in kest_http_data_processor_oline::header_line_parse(), failed to parse response "
                "line '%s'.",
                text);
            return 1;
        }
        return parse_request_line(text) ? 0 : 1;
    }

    // The name runs up to the colon; the value may follow it directly ("Transfer-Encoding:chunked").
    const char* colon = strchr(text, ':');
    char name[32];
    size_t name_length = colon == nullptr ? 0 : static_cast<size_t>(colon - text);
    if (name_length == 0 || name_length >= sizeof name || strcspn(text, " \t") < name_length) {
        return 0;
    }
    memcpy(name, text, name_length);
    name[name_length] = '\0';
    const char* start = colon + 1;
    while (is_blank(*start)) {
        ++start;
    }
    size_t value_length = strlen(start);
    while (value_length > 0 && is_blank(start[value_length - 1])) {
        --value_length;
    }
    char value[bounded_string::capacity];
    memcpy(value, start, value_length);
    value[value_length] = '\0';
    return parse_header_value(name, value, text);
}

// The headers the processor understands. A line whose value is missing or bad logs the header's warning
// ("Warning in kest_http_data_processor_oline::header_line_parse(), " before, the line, after) and gives
// its result: 1 fails a response, 2 lets it go on.
struct kest_http_data_processor_oline::known_header {
    const char* name;
    // Takes the value (trimmed, not empty unless value_optional) of the whole line `text`: 0 accepted,
    // 2 accepted as questionable (any message is the handler's own), or bad_header_value.
    int (kest_http_data_processor_oline::*parse)(const char* value, const char* text);
    const char* warning_before;
    const char* warning_after;
    int bad_value_result;
    // A line without a value is passed to the handler instead of being bad.
    bool value_optional;
};

const kest_http_data_processor_oline::known_header kest_http_data_processor_oline::known_headers[] = {
    {"Content-Length", &kest_http_data_processor_oline::parse_content_length,
     "got bad content length, line: ", "", 1, false},
    {"Content-Range", &kest_http_data_processor_oline::parse_content_range,
     "got bad content range, line: ", "", 1, false},
    {"Content-Type", &kest_http_data_processor_oline::parse_content_type, "got bad content type line: ", "",
     2, false},
    {"Connection", &kest_http_data_processor_oline::parse_connection, "got bad Connection: line: ", "", 2,
     false},
    {"Expect", &kest_http_data_processor_oline::parse_expect, "got bad Expect: line: ", "", 2, false},
    {"Transfer-Encoding", &kest_http_data_processor_oline::parse_transfer_encoding,
     "got bad transfer encoding line: ", "", 2, false},
    {"Host", &kest_http_data_processor_oline::parse_host, "got empty host line '", "'.", 2, false},
    {"Cookie", &kest_http_data_processor_oline::parse_incoming_cookies, "", "", 0, true},
};

// One header line (`name` without its colon, `value` trimmed, `text` the whole line for messages);
// names the processor does not know are accepted and ignored.
int kest_http_data_processor_oline::parse_header_value(const char* name, const char* value,
                                                       const char* text) {
    for (const known_header& header : known_headers) {
        if (strcasecmp(name, header.name) != 0) {
            continue;
        }
        int result = bad_header_value;
        if (value[0] != '\0' || header.value_optional) {
            result = (this->*header.parse)(value, text);
        }
        if (result != bad_header_value) {
            return result;
        }
        debug_log_line(1, "Warning in kest_http_data_processor_oline::header_line_parse(), %s%s%s",
                       header.warning_before, text, header.warning_after);
        return header.bad_value_result;
    }
    return 0;
}

int kest_http_data_processor_oline::parse_content_length(const char* value, const char*) {
    int32_t length = -1;
    if (!parse_int(value, &length) || length < 0) {
        return bad_header_value;
    }
    content_length = length;
    return 0;
}

// "bytes <first>-<last>/<length>", "bytes <first>-<last>/*" or "bytes */<length>", with first <= last
// < length. Anything else, a number that does not fit 64 bits, or a second line, is bad: the owner
// would otherwise write a body at an offset the server never meant.
int kest_http_data_processor_oline::parse_content_range(const char* value, const char*) {
    if (has_content_range || strncasecmp(value, "bytes", 5) != 0 || !is_blank(value[5])) {
        return bad_header_value;
    }
    const char* p = value + 5;
    while (is_blank(*p)) {
        ++p;
    }
    int64_t first = -1;
    int64_t last = -1;
    if (*p == '*') {
        ++p;
    } else if (!parse_decimal_count(&p, &first) || *p++ != '-' || !parse_decimal_count(&p, &last) ||
               last < first) {
        return bad_header_value;
    }
    if (*p++ != '/') {
        return bad_header_value;
    }
    int64_t length = -1;
    if (*p == '*' && first >= 0) {
        ++p;
    } else if (!parse_decimal_count(&p, &length) || last >= length) {
        return bad_header_value;
    }
    if (*p != '\0') {
        return bad_header_value;
    }
    has_content_range = 1;
    content_range_first = first;
    content_range_last = last;
    content_range_length = length;
    return 0;
}

int kest_http_data_processor_oline::parse_content_type(const char* value, const char*) {
    copy_bounded(content_type, sizeof content_type, value);
    content_type_code = classify_content_type(content_type);
    return 0;
}

// "close" ends the exchange after this message; "te" and "keep-alive" are fine; any other word is
// logged once per word.
int kest_http_data_processor_oline::parse_connection(const char* value, const char* text) {
    char words[bounded_string::capacity];
    copy_bounded(words, sizeof words, value);
    replace_bytes(words, ",;", ' ');
    for (const char* w = first_word(words); w != nullptr; w = next_arg(w)) {
        if (word_equal(w, "close")) {
            if (status > 0) {
                close_after_message = 1;
            } else {
                close_after_send = 1;
                request_close = 1;
            }
        } else if (!word_equal(w, "te") && !word_equal(w, "keep-alive")) {
            debug_log_line(1,
                           "Warning in kest_http_data_processor_oline::header_line_parse(), got questionable "
                           "Connection: line: %s",
                           text);
        }
    }
    return 0;
}

int kest_http_data_processor_oline::parse_expect(const char* value, const char*) {
    char words[bounded_string::capacity];
    copy_bounded(words, sizeof words, value);
    replace_bytes(words, ";", ' ');
    if (!has_word(words, "100-continue")) {
        return bad_header_value;
    }
    expect_100_received = 1;
    return 0;
}

// Several lines add up, as one comma-separated list. Only chunked is decoded (identity means no coding);
// whether another coding fails the message is decided when the header block is complete.
int kest_http_data_processor_oline::parse_transfer_encoding(const char* value, const char*) {
    char codings[bounded_string::capacity];
    copy_bounded(codings, sizeof codings, value);
    replace_bytes(codings, ";,", ' ');
    for (const char* w = first_word(codings); w != nullptr; w = next_arg(w)) {
        if (word_equal(w, "chunked")) {
            if (chunked) {
                unsupported_coding = 1;  // chunked twice
            }
            chunked = 1;
            chunk_state = chunk_size_line;
        } else if (!word_equal(w, "identity")) {
            unsupported_coding = 1;
        }
    }
    size_t used = strlen(transfer_encoding);
    if (used > 0 && used < sizeof transfer_encoding - 1) {
        transfer_encoding[used++] = ' ';
    }
    copy_bounded(transfer_encoding + used, sizeof transfer_encoding - used, codings);
    return 0;
}

// A second Host line that names another host is refused without a message.
int kest_http_data_processor_oline::parse_host(const char* value, const char*) {
    if (request_host[0] != '\0' && strcmp(request_host, value) != 0) {
        return 2;
    }
    copy_bounded(request_host, sizeof request_host, value);
    return 0;
}

// name=value pairs separated by ';' and blanks; only names that begin with cookie_prefix are taken,
// without the prefix. Always 0: a bad pair is skipped.
int kest_http_data_processor_oline::parse_incoming_cookies(const char* value, const char* text) {
    size_t prefix_length = strlen(cookie_prefix);
    bool warned = false;
    const char* p = value;
    for (;;) {
        p += strspn(p, "; \t");
        if (*p == '\0') {
            return 0;
        }
        size_t length = strcspn(p, "; \t");
        char pair[bounded_string::capacity];
        memcpy(pair, p, length);
        pair[length] = '\0';
        p += length;

        char* equals = strchr(pair, '=');
        const char* cookie_value = "";
        if (equals != nullptr) {
            *equals = '\0';
            cookie_value = equals + 1;
        }
        if (strncasecmp(pair, cookie_prefix, prefix_length) != 0 || pair[prefix_length] == '\0') {
            continue;
        }
        const char* key = pair + prefix_length;
        kest_http_cookie* cookie = find_cookie(incoming_cookies, key);
        if (cookie == nullptr) {
            int count = 0;
            for (kest_http_cookie* c = incoming_cookies; c != nullptr; c = c->next) {
                ++count;
            }
            if (count >= max_incoming_cookies) {
                if (!warned) {
                    debug_log_line(1,
                                   "Warning in kest_http_data_processor_oline::header_line_parse(), too many "
                                   "cookies, line: %s",
                                   text);
                }
                warned = true;
                continue;
            }
            cookie = new kest_http_cookie;
            if (!cookie->set_key(key) || !cookie->set_value(cookie_value)) {
                delete cookie;
                continue;
            }
            cookie->next = incoming_cookies;
            incoming_cookies = cookie;
            continue;
        }
        if (cookie->set_value(cookie_value)) {
            cookie->domain[0] = '\0';
            cookie->max_age = 0;
            cookie->secure = 0;
        }
    }
}

int kest_http_data_processor_oline::parse_status_line(const char* text) {
    start_line.set(text);
    size_t version_length = 0;
    while (!is_word_end(text[version_length]) && version_length < sizeof version_text - 1) {
        ++version_length;
    }
    memcpy(version_text, text, version_length);
    version_text[version_length] = '\0';
    peer_version = try_extract_http_version_number(version_text);

    const char* code = next_arg(text);
    if (code == nullptr) {
        return 0;
    }
    long value = strtol(code, nullptr, 10);
    if (value <= 0 || value > INT32_MAX) {
        return 0;
    }
    status = static_cast<int32_t>(value);
    const char* phrase = next_arg(code);
    if (phrase == nullptr) {
        return 0;
    }
    copy_bounded(reason, sizeof reason, phrase);
    return 1;
}

int kest_http_data_processor_oline::try_extract_http_version_number(const char* text) {
    if (word_prefix_length("HTTP/", text) == 0) {
        debug_log_line(
            1,
            "Warning in kest_http_data_processor_oline::try_extract_http_version_number(), got bad http "
            "version '%s'.",
            text);
        return 20;
    }
    const char* number = text + 5;
    if (word_equal(number, "1.0")) {
        return 10;
    }
    if (word_equal(number, "1.1")) {
        return 11;
    }
    double value = parse_decimal(number);
    if (value <= 0) {
        return 20;
    }
    return value + 0.000001 < 1 ? 0 : 20;
}

int kest_http_data_processor_oline::has_message_body() {
    if (status > 0) {
        if ((status >= 100 && status <= 199) || status == 204 || status == 304) {
            return 0;
        }
        if (strcmp(method, "HEAD") == 0) {
            return 0;
        }
    }
    if (peer_version > 10 && transfer_encoding[0] != '\0' && !has_word(transfer_encoding, "identity")) {
        return 1;
    }
    if (content_length > 0) {
        return 1;
    }
    if (content_length == 0) {
        return 0;
    }
    return status > 0 ? 1 : 0;
}

int kest_http_data_processor_oline::headers_complete() {
    if (peer_version > 10 && status <= 0 && !force_http10 &&
        (expect_100_received || word_in_list(request_method, "PUT POST"))) {
        if (!send_response_100()) {
            return 0;
        }
    }
    return message_received != nullptr ? message_received(this, user_data) : 0;
}

int kest_http_data_processor_oline::classify_content_type(const char* value) {
    static const struct {
        const char* token;
        int code;
    } types[] = {
        {"text/plain", 1},
        {"text/html", 2},
        {"application/x-www-form-urlencoded", 10},
        {"application/xml", 11},
        {"application/rss+xml", 12},
        {"application/json", 13},
    };
    size_t length = strcspn(value, " \t;");
    for (const auto& type : types) {
        if (strlen(type.token) == length && strncasecmp(value, type.token, length) == 0) {
            return type.code;
        }
    }
    return 99;
}

int kest_http_data_processor_oline::parse_request_line(const char*) {
    debug_log_line(1,
                   "Error in kest_http_data_processor_oline::parse_request_line(), parsing requests is not "
                   "supported.");
    return 0;
}

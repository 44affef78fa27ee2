// The HTTP/1.1 message processor: builds a GET request into its outgoing queue for the owner to send,
// and parses the bytes the owner feeds it back, reporting the response through callbacks. It owns no
// socket. Only the client side is complete; parsing requests (server use) is refused.
//
// The object as a whole and its outgoing side live in http_data_processor_request.cpp, the incoming
// side (lines, status and header lines, bodies) in http_data_processor_response.cpp.
#pragma once

#include <cstdint>

#include "http/http_cookie.h"
#include "net/socket_data_queue.h"
#include "support/bounded_string.h"

struct kest_http_data_processor_oline {
    // The exchange is over: the owner closes the connection now. The result is ignored.
    using close_connection_callback = void (*)(kest_http_data_processor_oline* processor, void* user_data);
    // message_received: the header block is complete; message_complete: the whole message is.
    // 0 makes the processor fail.
    using message_callback = int (*)(kest_http_data_processor_oline* processor, void* user_data);
    // Body bytes (length > 0); 0 makes the processor fail.
    using content_data_callback = int (*)(kest_http_data_processor_oline* processor, void* user_data,
                                          const char* data, int length);
    // Produces up to `size` bytes of an outgoing body: the count, 0 for nothing now, -1 at the end of the
    // body, below -1 for an error.
    using tx_data_callback = int (*)(kest_http_data_processor_oline* processor, void* user_data, char* buffer,
                                     int size);

    static constexpr int text_size = 256;
    static constexpr int short_text_size = 32;
    // A header block (or trailer section) of more lines, or more bytes, fails the message; the byte
    // bound also applies to each chunk-size line.
    static constexpr int max_header_lines = 100;
    static constexpr int max_header_bytes = 64 * 1024;
    // The bytes of a message's chunk-size lines besides their size digits (chunk extensions and blanks)
    // may not pass this: a server would otherwise keep a body going with almost no data in it.
    static constexpr int max_chunk_extension_bytes = 16 * 1024;
    // New cookies beyond this many in the incoming list are ignored.
    static constexpr int max_incoming_cookies = 64;

    kest_http_data_processor_oline();
    // Frees both cookie lists; the queue hands its buffers back to the pool.
    ~kest_http_data_processor_oline();
    kest_http_data_processor_oline(const kest_http_data_processor_oline&) = delete;
    kest_http_data_processor_oline& operator=(const kest_http_data_processor_oline&) = delete;

    // --- Outgoing side ---

    // 1 if no new message may be started now (one is under way, or the processor failed).
    int is_busy(const char* operation_name);
    // Queues "GET <path> HTTP/1.1" with its header lines; a null or empty path is "/". Bytes outside
    // '!'..'~' of the path are sent as %xx. With range_start above 0 the request asks for the bytes from
    // there on ("Range: bytes=<range_start>-"). 1 when queued, 0 when is_busy refused.
    int start_http_GET(const char* host, const char* path);
    // Appends the common header lines of a message with `body_length` body bytes (0 for a GET).
    void write_message_headers(bounded_string& s, int is_request, int body_length);
    // Appends one "Set-Cookie: " line per outgoing cookie.
    void write_cookie_headers(bounded_string& s);
    // Moves up to `size` queued outgoing bytes to `dest`: the count (0 when nothing is queued), -1 when
    // size <= 0, the processor failed or the outgoing body could not be produced.
    int get_tx_data(char* dest, int size);
    // Queues what content_body_get_tx_data produces of an outgoing body. 1, or 0 on error.
    int fill_content_body();

    // --- Incoming side ---

    // Parses `n` bytes: 1 when all were taken (bytes after the end of the exchange are taken and
    // dropped); -1 on failure, for n < 1, and for every call after a failure.
    int feed_data(const char* data, int n);
    // Parses a prefix of the bytes: the number taken (0: call again with the same bytes), or -1.
    int process_data(const char* data, int n);
    // Adds bytes to `line` until a line ends (CR LF, LF CR, a lone CR or a lone LF; the end is never
    // stored): the bytes taken; sets line_complete when the line ended. Before body bytes a pair is one
    // line end only in the style of the line before: LF CR after LF CR, CR LF unless after a lone CR.
    int collect_line(const char* data, int n);
    // One complete line of a header block: 0 accepted or ignored, 1 fatal for a response, 2 accepted with
    // a logged warning.
    int header_line_parse(const char* text);
    // 1 if the line holds a version, a positive status and a reason phrase.
    int parse_status_line(const char* text);
    // 10 for HTTP/1.0, 11 for HTTP/1.1, 0 below 1.0, 20 otherwise (newer versions and bad texts).
    int try_extract_http_version_number(const char* text);
    int has_message_body();
    // The result of message_received (0 when it is not set).
    int headers_complete();
    // 1 text/plain, 2 text/html, 10 form data, 11 XML, 12 RSS, 13 JSON, 99 anything else.
    static int classify_content_type(const char* value);

    // --- Server side: not supported, refused safely ---

    // Logs that requests cannot be parsed and returns 0.
    int parse_request_line(const char* text);
    // Fails the processor; returns 0.
    int send_response_400(const char* reason_text);
    // Queues the interim "100 Continue" reply; 1 if queued.
    int send_response_100();

    int32_t expect_continue;
    int32_t force_http10;
    // The first byte the GET asks for; 0: the whole resource, without a Range line.
    int64_t range_start;
    int32_t chunked_send_allowed;
    int32_t failed;
    int32_t done;
    int32_t request_sent;
    int32_t body_to_send;
    int32_t close_after_send;
    int32_t close_after_message;
    int32_t request_close;
    int32_t chunked_send;
    int32_t chunked;
    // What the chunked body waits for next.
    enum : int32_t {
        chunk_none = 0,       // not a chunked body
        chunk_size_line = 1,  // a chunk-size line
        chunk_data = 2,       // the chunk_remaining bytes of a chunk's data
        chunk_data_end = 3,   // the empty line after a chunk's data
    };
    int32_t chunk_state;
    int32_t chunk_remaining;
    int32_t in_body;
    int32_t body_received;
    char method[short_text_size];
    bounded_string line;
    int32_t line_complete;
    int32_t last_byte;
    // How the last complete line ended.
    enum : int32_t {
        line_end_none = 0,
        line_end_cr,
        line_end_lf,
        line_end_cr_lf,
        line_end_lf_cr,
    };
    int32_t last_line_end;
    char version_text[short_text_size];
    int32_t peer_version;
    int32_t expect_100_received;
    char transfer_encoding[text_size];
    char content_type[64];
    int32_t content_type_code;
    int32_t status;
    char reason[text_size];
    char request_method[short_text_size];
    char request_host[text_size];
    char request_path[text_size];
    char request_query[text_size];
    int32_t content_length;
    // The response's "Content-Range:" line, read exactly: "bytes <first>-<last>/<length>", where the
    // length may be "*" (unknown: -1), or "bytes */<length>" (no range: first and last -1). Cleared for
    // each message; has_content_range is 0 without such a line.
    int32_t has_content_range;
    int64_t content_range_first;
    int64_t content_range_last;
    int64_t content_range_length;
    int32_t line_count;
    int32_t in_message;
    bounded_string start_line;
    void* user_data;
    close_connection_callback close_connection;
    message_callback message_received;
    message_callback message_complete;
    content_data_callback content_data_received;
    tx_data_callback content_body_get_tx_data;
    char user[64];
    char password[64];
    char cookie_prefix[40];
    kest_http_cookie* incoming_cookies;
    kest_http_cookie* outgoing_cookies;
    kest_socket_data_queue tx_queue;
    // Bytes of the header block, trailer section or chunk-size line being read.
    int32_t framing_bytes;
    // Bytes of this message's chunk-size lines besides their size digits.
    int32_t chunk_extension_bytes;
    // The zero-size chunk has been read; trailer fields up to the empty line follow.
    int32_t in_trailer;
    // A Transfer-Encoding line named a coding other than chunked and identity, or chunked twice: a body
    // cannot be decoded and fails the message.
    int32_t unsupported_coding;

  private:
    void reset_message_fields();
    void clear_line();
    int fail();
    int take_framing_line(const char* data, int n);
    // 1 while collecting a line that raw bytes follow: the empty line that ends a header block, or a
    // chunk-size line.
    int line_precedes_body() const;
    int process_header_phase(const char* data, int n);
    int finish_header_block(int taken);
    int process_fixed_body(const char* data, int n);
    int process_chunked_body(const char* data, int n);
    int deliver_body(const char* data, int n);
    int complete_message();
    // Tells the owner to close the connection and forgets that it was to be closed.
    void release_connection();
    void end_exchange();
    // A known header's value could not be taken: the table's warning and result apply.
    static constexpr int bad_header_value = -1;
    struct known_header;
    static const known_header known_headers[];
    int parse_header_value(const char* name, const char* value, const char* text);
    int parse_content_length(const char* value, const char* text);
    int parse_content_range(const char* value, const char* text);
    int parse_content_type(const char* value, const char* text);
    int parse_connection(const char* value, const char* text);
    int parse_expect(const char* value, const char* text);
    int parse_transfer_encoding(const char* value, const char* text);
    int parse_host(const char* value, const char* text);
    int parse_incoming_cookies(const char* value, const char* text);
};

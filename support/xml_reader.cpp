#include "support/xml_reader.h"

#include <cstring>

#include "support/bounded_string.h"
#include "support/debug_log.h"
#include "support/text_utils.h"

namespace {

constexpr int closing_tag_size = 1000;
constexpr int skipped_block_size = 1000;
constexpr int number_text_size = 100;

bool is_printable(int c) {
    return c >= 0x20 && c <= 0x7E;
}

// Reports a destination that cannot take a block; `operation` names it as in "read_tag()".
bool is_usable_dest(const char* dest, int size, const char* operation) {
    if (dest != nullptr && size > 0) {
        return true;
    }
    bounded_string message;
    message.append_printf("Error in kest_xml_reader::%s, %s", operation,
                          dest == nullptr ? "NULL dest?" : "dest is too small?");
    debug_log_report(message.c_str(), REPORT_MISUSE);
    return false;
}

void header_warning(const char* what) {
    bounded_string message("Warning in kest_xml_reader::check_xml_header_string(), ");
    message.append(what);
    debug_log_report(message.c_str(), REPORT_CONNECTION);
}

const char* skip_spaces(const char* p) {
    while (*p == ' ') {
        ++p;
    }
    return p;
}

// One attribute of the declaration: `keyword` = "value". The position after it and its trailing spaces,
// or null after a warning.
const char* read_header_attribute(const char* p, const char* keyword) {
    bounded_string what;
    p = skip_spaces(p + strlen(keyword));
    if (*p != '=') {
        what.append_printf("'%s' tag found, but no %s.", keyword, keyword);
        header_warning(what.c_str());
        return nullptr;
    }
    p = skip_spaces(p + 1);
    if (*p != '"') {
        what.append_printf("'%s' tag found, but no opening %s quote.", keyword, keyword);
        header_warning(what.c_str());
        return nullptr;
    }
    const char* closing = strchr(p + 1, '"');
    if (closing == nullptr) {
        what.append_printf("'%s' tag found, but no closing %s quote.", keyword, keyword);
        header_warning(what.c_str());
        return nullptr;
    }
    return skip_spaces(closing + 1);
}

}  // namespace

kest_xml_reader::~kest_xml_reader() {
    free_tag_stack(stack);
}

int kest_xml_reader::check_xml_header_string(const char* line) {
    if (!word_equal(line, "<?xml")) {
        header_warning("missing opening '<?xml' tag.");
        return 0;
    }
    const char* p = next_arg(line);
    if (p == nullptr) {
        header_warning("didn't get either version or encoding.");
        return 0;
    }
    bool got_version = false;
    bool got_encoding = false;
    for (;;) {
        if (strncmp(p, "version", 7) == 0) {
            p = read_header_attribute(p, "version");
            got_version = true;
        } else if (strncmp(p, "encoding", 8) == 0) {
            p = read_header_attribute(p, "encoding");
            got_encoding = true;
        } else {
            header_warning("unknown tag found.");
            return 0;
        }
        if (p == nullptr) {
            return 0;
        }
        if (*p == '\0' || strncmp(p, "?>", 2) == 0) {
            break;
        }
    }
    if (got_version && got_encoding) {
        return 1;
    }
    header_warning(got_version ? "didn't get encoding." : "didn't get version.");
    return 0;
}

int kest_xml_reader::read_block(char* dest, int size, int tag) {
    if (!is_usable_dest(dest, size, "read_block()")) {
        return 0;
    }
    int stored = 0;
    int unprintable = 0;
    int c = read_char();
    for (; c != '<' && c != '>'; c = read_char()) {
        if (c < 0) {
            debug_log_report(
                "Warning in kest_xml_reader::read_block(), file corruption - got EOF before trailing "
                "bracket.",
                REPORT_BAD_INPUT);
            dest[stored] = '\0';
            return 0;
        }
        if (stored < size - 1) {
            dest[stored++] = static_cast<char>(c);
            unprintable += is_printable(c) ? 0 : 1;
        }
    }
    if (c == '<' && tag) {
        debug_log_report("Warning in kest_xml_reader::read_block(), got second open bracket?",
                         REPORT_BAD_INPUT);
    } else if (c == '>' && !tag) {
        debug_log_report("Warning in kest_xml_reader::read_block(), got second closing bracket?",
                         REPORT_BAD_INPUT);
    }
    dest[stored] = '\0';
    if (unprintable > 0) {
        return 0;
    }
    compact_string(dest);
    return 1;
}

void kest_xml_reader::compact_string(char* text) {
    static const struct {
        const char* entity;
        size_t length;
        char byte;
    } entities[] = {{"&lt;", 4, '<'}, {"&gt;", 4, '>'}, {"&amp;", 5, '&'}};
    char* out = text;
    for (const char* in = text; *in != '\0';) {
        if (*in != '&') {
            *out++ = *in++;
            continue;
        }
        bool decoded = false;
        for (const auto& e : entities) {
            if (strncmp(in, e.entity, e.length) == 0) {
                *out++ = e.byte;
                in += e.length;
                decoded = true;
                break;
            }
        }
        if (!decoded) {
            debug_log_report("Warning in kest_xml_reader::compact_string(), unknown '&' conversion found?",
                             REPORT_BAD_INPUT);
            *out++ = *in++;
        }
    }
    *out = '\0';
}

int kest_xml_reader::skip_chunk() {
    for (int c = read_char(); c >= 0; c = read_char()) {
        if (c == '<') {
            return 1;
        }
        if (c == '>') {
            debug_log_report("Warning in kest_xml_reader::skip_chunk(), got closing bracket?",
                             REPORT_BAD_INPUT);
        }
    }
    return 0;
}

int kest_xml_reader::read_tag(char* dest, int size) {
    if (!is_usable_dest(dest, size, "read_tag()")) {
        return 0;
    }
    int c = read_char();
    while (c >= 0 && c != '<') {
        c = read_char();
    }
    if (c < 0) {
        return 0;
    }
    if (!read_block(dest, size, xml_tag_block)) {
        return 0;
    }
    if (dest[0] == '/') {
        pop_stack_entry(dest);
        return 0;
    }
    stack = push_tag_stack_entry(stack, dest);
    return 1;
}

void kest_xml_reader::pop_stack_entry(const char* closing) {
    if (closing == nullptr) {
        closing = "";
    }
    const char* name = closing;
    if (closing[0] == '/') {
        ++name;
    } else {
        bounded_string message("Warning in kest_xml_reader::pop_stack_entry() - got bad closing tag '");
        message.append(closing);
        message.append("'?");
        debug_log_report(message.c_str(), REPORT_BAD_INPUT);
    }
    if (stack == nullptr) {
        bounded_string message("Warning in kest_xml_reader::pop_stack_entry() - closing tag '");
        message.append(name);
        message.append("' with no open tag.");
        debug_log_report(message.c_str(), REPORT_BAD_INPUT);
        return;
    }
    tag_stack_entry* entry = stack;
    stack = entry->next;
    if (strcmp(name, entry->name) != 0) {
        bounded_string message("Warning in kest_xml_reader::pop_stack_entry() - popped tag '");
        message.append(name);
        message.append("' did not match expected tag '");
        message.append(entry->name);
        message.append("'.");
        debug_log_report(message.c_str(), REPORT_BAD_INPUT);
    }
    delete entry;
}

int kest_xml_reader::read_data(char* dest, int size) {
    if (!is_usable_dest(dest, size, "read_data(char[])")) {
        return 0;
    }
    if (!read_block(dest, size, xml_text_block)) {
        return 0;
    }
    char closing[closing_tag_size];
    read_block(closing, sizeof closing, xml_tag_block);
    pop_stack_entry(closing);
    return 1;
}

int kest_xml_reader::read_data(int32_t* out) {
    if (out == nullptr) {
        debug_log_report("Error in kest_xml_reader::read_data(int), NULL dest?", REPORT_MISUSE);
        return 0;
    }
    char text[number_text_size];
    if (!read_block(text, sizeof text, xml_text_block)) {
        return 0;
    }
    int32_t value = 0;
    int result = parse_int(text, &value);
    if (result) {
        *out = value;
    } else {
        bounded_string message("Warning in kest_xml_reader::read_data(int) - got non-number'");
        message.append(text);
        message.append("'.");
        debug_log_report(message.c_str(), REPORT_BAD_INPUT);
    }
    read_block(text, sizeof text, xml_tag_block);
    pop_stack_entry(text);
    return result;
}

void kest_xml_reader::skip_data() {
    if (stack == nullptr) {
        debug_log_report(
            "Error in kest_xml_reader::skip_data() - you must read at least the opening tag before "
            "skipping data.",
            REPORT_MISUSE);
        return;
    }
    const tag_stack_entry* skipped = stack;
    char block[skipped_block_size];
    for (;;) {
        if (!skip_chunk()) {
            debug_log_report("Warning in kest_xml_reader::skip_data() - unable to read chunk?",
                             REPORT_BAD_INPUT);
            return;
        }
        if (!read_block(block, sizeof block, xml_tag_block)) {
            debug_log_report("Warning in kest_xml_reader::skip_data() - unable to read block?",
                             REPORT_BAD_INPUT);
            return;
        }
        if (block[0] == '!') {
            continue;  // a comment or declaration
        }
        if (block[0] == '/') {
            bool closes_skipped = stack == skipped;
            pop_stack_entry(block);
            if (closes_skipped) {
                return;
            }
            continue;
        }
        stack = push_tag_stack_entry(stack, block);
    }
}

kest_xml_file_reader::kest_xml_file_reader(FILE* file) : file(file) {
    if (file == nullptr) {
        debug_log_report("Error in kest_xml_file_reader::kest_xml_file_reader(), NULL file handle.",
                         REPORT_RESOURCE);
    }
}

int kest_xml_file_reader::read_char() {
    if (file == nullptr) {
        return -1;
    }
    int c = fgetc(file);
    return c == EOF ? -1 : c;
}

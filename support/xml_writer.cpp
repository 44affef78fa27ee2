#include "support/xml_writer.h"

#include "support/debug_log.h"

kest_xml_writer::~kest_xml_writer() {
    free_tag_stack(stack);
}

int kest_xml_writer::write_header() {
    return write_text("<?xml version=\"1.0\" encoding=\"ISO-8859-1\"?>\n");
}

void kest_xml_writer::write_string(const char* text) {
    if (text == nullptr) {
        debug_log_report("Error in kest_xml_writer::write_string(), NULL data.\n", REPORT_MISUSE);
        return;
    }
    for (const char* p = text; *p != '\0'; ++p) {
        switch (*p) {
            case '<':
                write_text("&lt;");
                break;
            case '>':
                write_text("&gt;");
                break;
            case '&':
                write_text("&amp;");
                break;
            default: {
                char byte[2] = {*p, '\0'};
                write_text(byte);
            }
        }
    }
}

void kest_xml_writer::write_indentation() {
    for (int i = 0; i < depth; ++i) {
        write_text("  ");
    }
}

void kest_xml_writer::write_tag(const char* name, int newline, const char* attributes) {
    if (name == nullptr) {
        debug_log_report("Error in kest_xml_writer::write_tag(), NULL tag.\n", REPORT_MISUSE);
        return;
    }
    stack = push_tag_stack_entry(stack, name);
    write_indentation();
    write_text("<");
    write_string(name);
    if (attributes != nullptr) {
        write_text(" ");
        write_text(attributes);
    }
    write_text(newline ? ">\n" : ">");
    ++depth;
}

void kest_xml_writer::end_tag(const char* name, int indent) {
    // Every open element was counted into depth; a stray end_tag must not make later lines lose theirs.
    if (depth > 0) {
        --depth;
    }
    if (indent) {
        write_indentation();
    }
    write_text("</");
    if (stack == nullptr) {
        debug_log_report("Error in kest_xml_writer::end_tag(), tag stack empty.\n", REPORT_MISUSE);
        write_string("_BOGUS_ENDING_TAG_");
    } else {
        tag_stack_entry* entry = stack;
        stack = entry->next;
        if (name != nullptr && strcmp(name, entry->name) != 0) {
            debug_log_report("Warning in kest_xml_writer::end_tag(), tried to close wrong tag.\n",
                             REPORT_BAD_INPUT);
        }
        write_string(entry->name);
        delete entry;
    }
    write_text(">\n");
}

int kest_xml_writer::write_newline() {
    return write_text("\n");
}

kest_xml_file_writer::kest_xml_file_writer(FILE* file) : file(file) {
    if (file == nullptr) {
        debug_log_report("Error in kest_xml_file_writer::kest_xml_file_writer(), NULL file handle.\n",
                         REPORT_RESOURCE);
    }
}

int kest_xml_file_writer::write_text(const char* text) {
    if (file == nullptr) {
        return 0;
    }
    return fprintf(file, "%s", text);
}

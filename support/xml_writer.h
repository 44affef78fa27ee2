// The writer of the XML subset that kest_xml_reader reads: indented elements, escaped texts, and closing
// tags written from a stack of the open names.
#pragma once

#include <cstdio>

#include "support/xml_tag_stack.h"

class kest_xml_writer {
  public:
    kest_xml_writer() = default;
    virtual ~kest_xml_writer();  // frees the open elements left on the stack; writes nothing
    kest_xml_writer(const kest_xml_writer&) = delete;
    kest_xml_writer& operator=(const kest_xml_writer&) = delete;

    // Writes `text` unchanged: the number of bytes written, 0 when nothing could be, negative on an error.
    virtual int write_text(const char* text) = 0;

    // The declaration line; the result of write_text (0 or less: nothing was written).
    int write_header();
    // `text` with '<', '>' and '&' written as entities.
    void write_string(const char* text);
    // Writes depth times two spaces, "<", the escaped name, " " and the unescaped attributes when given,
    // and ">" (">\n" when newline is set); the element is then open.
    void write_tag(const char* name, int newline, const char* attributes);
    // Closes the innermost open element (whatever `name` says; a different name is warned about), with
    // its indentation when indent is set, and ends the line.
    void end_tag(const char* name, int indent);
    int write_newline();

    int depth = 0;
    tag_stack_entry* stack = nullptr;

  private:
    void write_indentation();
};

// Writes to a stdio stream that the caller opened and will close.
class kest_xml_file_writer : public kest_xml_writer {
  public:
    explicit kest_xml_file_writer(FILE* file);
    // fprintf's result.
    int write_text(const char* text) override;

  private:
    FILE* file;
};

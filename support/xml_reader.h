// A pull reader for the small XML subset of the settings file: elements without namespaces whose leaves
// hold one-line printable texts, the entities &lt; &gt; &amp;, and comments that skip_data() passes over.
// The caller reads the declaration line itself (fget_line) and checks it with check_xml_header_string().
//
//   document := (junk | element)*
//   element  := '<' tag '>' (text | (junk | element)*) '</' name '>'
//   tag      := name (' ' attributes)?      kept whole; callers compare its first word
//   text     := [0x20-0x7E]*                without '<' and '>'
//
// Every message goes through debug_log_report(); nothing is fatal.
#pragma once

#include <cstdint>
#include <cstdio>

#include "support/xml_tag_stack.h"

enum xml_block_kind { xml_text_block = 0, xml_tag_block = 1 };

class kest_xml_reader {
  public:
    kest_xml_reader() = default;
    virtual ~kest_xml_reader();  // frees the open elements left on the stack
    kest_xml_reader(const kest_xml_reader&) = delete;
    kest_xml_reader& operator=(const kest_xml_reader&) = delete;

    // The next input byte (0 to 255), or -1 at the end of the input.
    virtual int read_char() = 0;

    // 1 if `line` is a declaration "<?xml" with a double-quoted version and encoding, in any order.
    static int check_xml_header_string(const char* line);

    // 1: an opening tag's text is in dest and the element is open. 0: end of input, a bad tag, or a
    // closing tag (which closes the innermost element, so a loop of read_tag ends at its parent's end).
    int read_tag(char* dest, int size);

    // After read_tag: the element's text into dest and its closing tag consumed; 1 on success. On 0 the
    // closing tag is left unread and the element stays open.
    int read_data(char* dest, int size);

    // The element's text as a decimal integer through out. 1 when it was one; otherwise 0 and out is not
    // changed. The closing tag is consumed either way once a text was read.
    int read_data(int32_t* out);

    // After read_tag: consumes everything up to and including the closing tag of the innermost element,
    // nested elements and comments included.
    void skip_data();

    // Skips input up to and including the next '<'. 0 at the end of the input.
    int skip_chunk();

    // Reads the bytes up to the next '<' or '>' (consumed) into dest, cut to size - 1 bytes, and decodes
    // entities. 0 at the end of the input or when a stored byte is not printable ASCII.
    int read_block(char* dest, int size, int tag);

    // Closes the innermost element for the closing tag text `closing` ("/name"), warning on a mismatch.
    void pop_stack_entry(const char* closing);

    // Decodes &lt; &gt; &amp; in place; any other '&' is kept with a warning.
    static void compact_string(char* text);

    tag_stack_entry* stack = nullptr;
};

// Reads from a stdio stream that the caller opened and will close.
class kest_xml_file_reader : public kest_xml_reader {
  public:
    explicit kest_xml_file_reader(FILE* file);
    int read_char() override;

  private:
    FILE* file;
};

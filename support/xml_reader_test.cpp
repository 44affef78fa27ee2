#include "support/xml_reader.h"

#include <gtest/gtest.h>

#include <string>

#include "testing/log_capture.h"

namespace {

// A file reader over `bytes`; the stream is closed with the object.
class string_document {
  public:
    explicit string_document(const std::string& bytes) : file_(tmpfile()) {
        fwrite(bytes.data(), 1, bytes.size(), file_);
        rewind(file_);
        reader_ = new kest_xml_file_reader(file_);
    }
    ~string_document() {
        delete reader_;
        fclose(file_);
    }
    kest_xml_reader& reader() { return *reader_; }
    int stack_depth() const {
        int depth = 0;
        for (tag_stack_entry* e = reader_->stack; e != nullptr; e = e->next) {
            ++depth;
        }
        return depth;
    }

  private:
    FILE* file_;
    kest_xml_reader* reader_;
};

const char header_warning[] = "Warning in kest_xml_reader::check_xml_header_string(), ";

}  // namespace

TEST(XmlReader, DeclarationLines) {
    const struct {
        const char* line;
        int result;
        const char* warning;
    } cases[] = {
        {"<?xml version=\"1.0\" encoding=\"ISO-8859-1\"?>", 1, nullptr},
        {"<?xml encoding=\"UTF-8\" version=\"1.1\"?>", 1, nullptr},
        {"<?xml version = \"1.0\"   encoding  =  \"x\" ?>", 1, nullptr},
        {"<?xml version=\"1.0\"encoding=\"x\"?>", 1, nullptr},
        {"<?xml version=\"1.0\" encoding=\"x\"", 1, nullptr},
        {"<?XML version=\"\" encoding=\"\"?> ignored after", 1, nullptr},
        {"<?xml version=\"1.0\"?>", 0, "didn't get encoding."},
        {"<?xml encoding=\"x\"?>", 0, "didn't get version."},
        {"<?xml version='1.0' encoding=\"x\"?>", 0, "'version' tag found, but no opening version quote."},
        {"<?xml version=\"1.0\" standalone=\"yes\"?>", 0, "unknown tag found."},
        {"<?xml version \"1.0\"", 0, "'version' tag found, but no version."},
        {"<?xml version=\"1.0", 0, "'version' tag found, but no closing version quote."},
        {"<?xml encoding", 0, "'encoding' tag found, but no encoding."},
        {"<?xml encoding=x", 0, "'encoding' tag found, but no opening encoding quote."},
        {"<?xml version=\"1\" encoding=\"x", 0, "'encoding' tag found, but no closing encoding quote."},
        {"<?xml", 0, "didn't get either version or encoding."},
        {"<?xml-stylesheet version=\"1\" encoding=\"x\"?>", 0, "missing opening '<?xml' tag."},
        {"", 0, "missing opening '<?xml' tag."},
    };
    for (const auto& c : cases) {
        log_capture log;
        EXPECT_EQ(kest_xml_reader::check_xml_header_string(c.line), c.result) << c.line;
        EXPECT_EQ(log.text(), c.warning != nullptr ? header_warning + std::string(c.warning) + "\n" : "")
            << c.line;
    }
}

TEST(XmlReader, TextsDecodeTheThreeEntities) {
    log_capture log;
    string_document doc("<a>a&amp;b&lt;c&gt;</a>\n<b>say &quot;hi&quot;</b>");
    char text[100];
    ASSERT_EQ(doc.reader().read_tag(text, sizeof text), 1);
    EXPECT_STREQ(text, "a");
    ASSERT_EQ(doc.reader().read_data(text, sizeof text), 1);
    EXPECT_STREQ(text, "a&b<c>");
    ASSERT_EQ(doc.reader().read_tag(text, sizeof text), 1);
    ASSERT_EQ(doc.reader().read_data(text, sizeof text), 1);
    EXPECT_STREQ(text, "say &quot;hi&quot;");
    EXPECT_EQ(doc.stack_depth(), 0);
    std::string unknown = "Warning in kest_xml_reader::compact_string(), unknown '&' conversion found?\n";
    EXPECT_EQ(log.text(), unknown + unknown);
}

TEST(XmlReader, IntegerForm) {
    log_capture log;
    string_document doc("<n>0</n><n>yes</n><n>-12x</n>");
    char tag[100];
    int32_t value = 77;
    ASSERT_EQ(doc.reader().read_tag(tag, sizeof tag), 1);
    EXPECT_EQ(doc.reader().read_data(&value), 1);
    EXPECT_EQ(value, 0);
    ASSERT_EQ(doc.reader().read_tag(tag, sizeof tag), 1);
    EXPECT_EQ(doc.reader().read_data(&value), 0);
    EXPECT_EQ(value, 0);
    EXPECT_EQ(doc.stack_depth(), 0);  // closed all the same
    ASSERT_EQ(doc.reader().read_tag(tag, sizeof tag), 1);
    EXPECT_EQ(doc.reader().read_data(&value), 1);
    EXPECT_EQ(value, -12);
    EXPECT_EQ(doc.reader().read_data(static_cast<int32_t*>(nullptr)), 0);
    EXPECT_EQ(log.text(),
              "Warning in kest_xml_reader::read_data(int) - got non-number'yes'.\n"
              "Error in kest_xml_reader::read_data(int), NULL dest?\n");
}

TEST(XmlReader, ReadTagEndsAtTheEnclosingClosingTag) {
    log_capture log;
    string_document doc("<root>\n  <Child a=\"1\">x</Child>\n</root>\n</extra>");
    char tag[100];
    char text[100];
    ASSERT_EQ(doc.reader().read_tag(tag, sizeof tag), 1);
    ASSERT_EQ(doc.reader().read_tag(tag, sizeof tag), 1);
    EXPECT_STREQ(tag, "Child a=\"1\"");  // kept whole
    ASSERT_EQ(doc.reader().read_data(text, sizeof text), 1);
    EXPECT_EQ(doc.stack_depth(), 1);
    EXPECT_EQ(doc.reader().read_tag(tag, sizeof tag), 0);
    EXPECT_EQ(doc.stack_depth(), 0);
    EXPECT_EQ(doc.reader().read_tag(tag, sizeof tag), 0);  // nothing open: nothing popped
    EXPECT_EQ(doc.reader().read_tag(tag, sizeof tag), 0);  // end of input
    EXPECT_EQ(log.text(),
              "Warning in kest_xml_reader::pop_stack_entry() - popped tag 'Child' did not match expected tag "
              "'Child a=\"1\"'.\n"
              "Warning in kest_xml_reader::pop_stack_entry() - closing tag 'extra' with no open tag.\n");
}

TEST(XmlReader, SkipDataPassesNestedElementsAndComments) {
    const std::string document =
        "<root><skip>\n <a><b>t</b><!-- note --></a> loose text\n <d></d><!-- x "
        "--></skip><after>1</after></root>";
    log_capture log;
    char tag[100];
    string_document inner(document);
    ASSERT_EQ(inner.reader().read_tag(tag, sizeof tag), 1);
    ASSERT_EQ(inner.reader().read_tag(tag, sizeof tag), 1);
    EXPECT_STREQ(tag, "skip");
    inner.reader().skip_data();
    EXPECT_EQ(inner.stack_depth(), 1);
    ASSERT_EQ(inner.reader().read_tag(tag, sizeof tag), 1);
    EXPECT_STREQ(tag, "after");

    string_document outer(document);
    ASSERT_EQ(outer.reader().read_tag(tag, sizeof tag), 1);
    outer.reader().skip_data();
    EXPECT_EQ(outer.stack_depth(), 0);
    EXPECT_EQ(outer.reader().read_tag(tag, sizeof tag), 0);
    EXPECT_EQ(log.text(), "");

    string_document nothing_open("<a></a>");
    nothing_open.reader().skip_data();
    EXPECT_EQ(log.text(),
              "Error in kest_xml_reader::skip_data() - you must read at least the opening tag before "
              "skipping data.\n");
}

TEST(XmlReader, UnprintableTextLeavesTheElementOpen) {
    log_capture log;
    string_document doc("<a>x\ty</a><b>2</b>");
    char tag[100];
    char text[100];
    ASSERT_EQ(doc.reader().read_tag(tag, sizeof tag), 1);
    EXPECT_EQ(doc.reader().read_data(text, sizeof text), 0);
    EXPECT_EQ(doc.stack_depth(), 1);
    ASSERT_EQ(doc.reader().read_tag(tag, sizeof tag), 1);  // passes over </a>
    EXPECT_STREQ(tag, "b");
    EXPECT_EQ(doc.stack_depth(), 2);
    EXPECT_EQ(log.text(), "");
}

TEST(XmlReader, BlocksAreCutAndBracketsChecked) {
    log_capture log;
    string_document doc("<abcdefgh>0123456789<9</abcdefgh><x");
    char tag[5];
    ASSERT_EQ(doc.reader().read_tag(tag, sizeof tag), 1);
    EXPECT_STREQ(tag, "abcd");
    EXPECT_STREQ(doc.reader().stack->name, "abcd");
    char text[4];
    ASSERT_EQ(doc.reader().read_block(text, sizeof text, xml_text_block), 1);
    EXPECT_STREQ(text, "012");
    ASSERT_EQ(doc.reader().read_block(text, sizeof text, xml_tag_block), 1);  // "9" ends at '<'
    EXPECT_EQ(doc.reader().read_block(text, sizeof text, xml_tag_block), 1);
    EXPECT_EQ(doc.reader().read_tag(tag, sizeof tag), 0);  // "<x" never ends
    EXPECT_EQ(doc.reader().read_block(nullptr, 1, xml_tag_block), 0);
    EXPECT_EQ(doc.reader().read_tag(tag, 0), 0);
    EXPECT_EQ(log.text(),
              "Warning in kest_xml_reader::read_block(), got second open bracket?\n"
              "Warning in kest_xml_reader::read_block(), file corruption - got EOF before trailing bracket.\n"
              "Error in kest_xml_reader::read_block(), NULL dest?\n"
              "Error in kest_xml_reader::read_tag(), dest is too small?\n");
}

TEST(XmlReader, NullFileReadsNothing) {
    log_capture log;
    kest_xml_file_reader reader(nullptr);
    EXPECT_EQ(reader.read_char(), -1);
    char tag[10];
    EXPECT_EQ(reader.read_tag(tag, sizeof tag), 0);
    EXPECT_EQ(log.text(), "Error in kest_xml_file_reader::kest_xml_file_reader(), NULL file handle.\n");
}

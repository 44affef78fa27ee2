#include "support/xml_writer.h"

#include <gtest/gtest.h>

#include <string>

#include "support/file_system.h"
#include "support/xml_reader.h"
#include "testing/log_capture.h"

namespace {

class string_writer : public kest_xml_writer {
  public:
    int write_text(const char* text) override {
        out += text;
        ++calls;
        return static_cast<int>(strlen(text));
    }
    std::string out;
    int calls = 0;
};

}  // namespace

TEST(XmlWriter, IndentsChildrenAndEndsWithAnEmptyLine) {
    log_capture log;
    string_writer writer;
    EXPECT_EQ(writer.write_header(), 44);
    writer.write_tag("root", 1, nullptr);
    writer.write_tag("child", 0, nullptr);
    writer.write_string("text");
    writer.end_tag(nullptr, 0);
    writer.write_tag("group", 1, "kind=\"a<b\"");
    writer.write_tag("leaf", 0, nullptr);
    writer.end_tag("leaf", 0);
    writer.end_tag(nullptr, 1);
    writer.end_tag("root", 1);
    EXPECT_EQ(writer.write_newline(), 1);
    EXPECT_EQ(writer.out,
              "<?xml version=\"1.0\" encoding=\"ISO-8859-1\"?>\n"
              "<root>\n"
              "  <child>text</child>\n"
              "  <group kind=\"a<b\">\n"
              "    <leaf></leaf>\n"
              "  </group>\n"
              "</root>\n"
              "\n");
    EXPECT_EQ(writer.depth, 0);
    EXPECT_EQ(log.text(), "");
}

TEST(XmlWriter, MisuseIsReportedAndWrittenVisibly) {
    log_capture log;
    string_writer writer;
    writer.end_tag(nullptr, 1);
    EXPECT_EQ(writer.out, "</_BOGUS_ENDING_TAG_>\n");
    EXPECT_EQ(writer.depth, 0);
    writer.out.clear();
    writer.write_tag(nullptr, 1, nullptr);
    writer.write_string(nullptr);
    EXPECT_EQ(writer.out, "");
    writer.write_tag("a", 0, nullptr);
    writer.end_tag("b", 0);  // closes a
    EXPECT_EQ(writer.out, "<a></a>\n");
    EXPECT_EQ(log.text(),
              "Error in kest_xml_writer::end_tag(), tag stack empty.\n\n"
              "Error in kest_xml_writer::write_tag(), NULL tag.\n\n"
              "Error in kest_xml_writer::write_string(), NULL data.\n\n"
              "Warning in kest_xml_writer::end_tag(), tried to close wrong tag.\n\n");
}

TEST(XmlWriter, EscapedTextsRoundTripThroughTheReader) {
    const char* texts[] = {"<", ">", "&", "a<b>c&d", "&lt;&amp;", "x > y && y < z"};
    for (const char* text : texts) {
        FILE* file = tmpfile();
        {
            kest_xml_file_writer writer(file);
            ASSERT_GT(writer.write_header(), 0);
            writer.write_tag("value", 0, nullptr);
            writer.write_string(text);
            writer.end_tag(nullptr, 0);
        }
        rewind(file);
        char line[1000];
        ASSERT_GT(fget_line(file, line, sizeof line), 0);
        EXPECT_EQ(kest_xml_reader::check_xml_header_string(line), 1);
        kest_xml_file_reader reader(file);
        char tag[100];
        char value[100];
        ASSERT_EQ(reader.read_tag(tag, sizeof tag), 1);
        ASSERT_EQ(reader.read_data(value, sizeof value), 1);
        EXPECT_STREQ(value, text);
        EXPECT_EQ(reader.stack, nullptr);
        fclose(file);
    }
}

TEST(XmlWriter, FileWriterReportsErrorsAsNegativeAndNullAsZero) {
    FILE* read_only = fopen("/dev/null", "r");
    kest_xml_file_writer failing(read_only);
    EXPECT_LT(failing.write_header(), 0);
    fclose(read_only);

    log_capture log;
    kest_xml_file_writer none(nullptr);
    EXPECT_EQ(none.write_header(), 0);
    EXPECT_EQ(log.text(), "Error in kest_xml_file_writer::kest_xml_file_writer(), NULL file handle.\n\n");
}

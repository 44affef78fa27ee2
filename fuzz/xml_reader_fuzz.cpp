// Drives the XML reader over arbitrary documents the way the settings loader does: the declaration
// check on the first line, then tags whose content is read as text, as a number, skipped or descended.
#include <cstddef>
#include <cstdint>
#include <cstring>
#include <string>

#include "support/debug_log.h"
#include "support/xml_reader.h"

namespace {

class memory_reader : public kest_xml_reader {
  public:
    memory_reader(const uint8_t* data, size_t size) : data_(data), size_(size) {}
    int read_char() override { return position_ < size_ ? data_[position_++] : -1; }
    bool at_end() const { return position_ >= size_; }

  private:
    const uint8_t* data_;
    size_t size_;
    size_t position_ = 0;
};

}  // namespace

extern "C" int LLVMFuzzerInitialize(int*, char***) {
    debug_log_level = 0;  // warnings are expected; keep the run quiet
    return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    const uint8_t* line_end = static_cast<const uint8_t*>(memchr(data, '\n', size));
    size_t line_length = line_end != nullptr ? static_cast<size_t>(line_end - data) : size;
    std::string line(reinterpret_cast<const char*>(data), line_length < 999 ? line_length : 999);
    kest_xml_reader::check_xml_header_string(line.c_str());

    std::string copy(reinterpret_cast<const char*>(data), size);
    kest_xml_reader::compact_string(&copy[0]);

    memory_reader reader(data, size);
    // Small buffers, so that cutting is exercised as well.
    char tag[24];
    char text[16];
    int32_t number = 0;
    while (!reader.at_end()) {
        if (!reader.read_tag(tag, sizeof tag)) {
            continue;
        }
        if (strnlen(tag, sizeof tag) >= sizeof tag) {
            __builtin_trap();
        }
        switch (static_cast<unsigned char>(tag[0]) % 4) {
            case 0:
                if (reader.read_data(text, sizeof text) && strnlen(text, sizeof text) >= sizeof text) {
                    __builtin_trap();
                }
                break;
            case 1:
                reader.read_data(&number);
                break;
            case 2:
                reader.skip_data();
                break;
            default:
                break;  // descend: the next tags are its children
        }
    }
    return 0;
}

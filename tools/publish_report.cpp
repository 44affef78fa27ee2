#include "tools/publish_report.h"

#include <cstdarg>
#include <cstdio>

#include "support/bounded_string.h"
#include "updater/manifest_name.h"

void publish_report(const char* format, ...) {
    va_list arguments;
    va_start(arguments, format);
    fputs("varnholt-publish: ", stderr);
    vfprintf(stderr, format, arguments);
    fputc('\n', stderr);
    va_end(arguments);
}

std::string printable_name(const std::string& name) {
    bounded_string text;
    append_printable_manifest_name(text, name.c_str());
    return text.c_str();
}

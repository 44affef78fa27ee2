// The SHA-256 of bytes as the lowercase hexadecimal text that manifests and signatures carry, for tests
// to compare with what the launcher and the publisher computed.
#pragma once

#include <string>

std::string sha256_hex(const std::string& bytes);

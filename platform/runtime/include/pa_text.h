// Small text helpers shared by the platform and the tools.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

// Splits text at every separator: "a\tb\t" gives "a", "b", "" and "" gives one empty field.
std::vector<std::string> pa_text_Split(const std::string& text, char separator);
// A whole decimal number: digits only (no sign, no spaces), within 64 bits; false otherwise.
bool pa_text_ParseUnsigned(const char* text, uint64_t* value);
// Lower-case hex digits of bytes from the kernel's random generator (2 a byte); false, with errno
// set, when it cannot give them.
bool pa_text_RandomHex(size_t bytes, std::string* hex);

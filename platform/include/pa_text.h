// Small text helpers shared by the platform and the tools.
#pragma once

#include <string>
#include <vector>

// Splits text at every separator: "a\tb\t" gives "a", "b", "" and "" gives one empty field.
std::vector<std::string> pa_text_Split(const std::string& text, char separator);

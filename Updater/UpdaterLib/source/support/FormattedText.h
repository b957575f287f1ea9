#pragma once
#include <string>

// printf-style formatting into a string of at most 511 characters (longer text is cut).
std::string FormattedText(const char* pattern, ...) __attribute__((format(printf, 1, 2)));

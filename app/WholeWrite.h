#pragma once
#include <string>

// Writes all of text to fd, again after an interruption and after a partial write; false when the
// descriptor takes no more (its reader went away).
bool WriteWhole(int fd, const std::string& text);

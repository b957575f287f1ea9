#pragma once
#include <string>

// Joins first and every further component (a list ended by a null pointer) with "/".
// Nothing is normalised: empty components give doubled separators.
std::string BuildPath(const char* first, ...);

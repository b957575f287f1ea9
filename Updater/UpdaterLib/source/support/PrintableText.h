#pragma once
#include <string>
#include <string_view>

// Text that came from outside (the update server, a module, a file) made safe to print on a
// terminal: every control character (C0, DEL and the C1 range, in UTF-8 or as a raw byte) and
// every byte that is not part of valid UTF-8 becomes "?", so that no escape sequence reaches the
// user's terminal. Printable UTF-8 is kept as it is; each character or byte replaced becomes
// one "?".
std::string PrintableText(std::string_view text);

// Text from the update server or a module, made safe for a terminal.
#include <gtest/gtest.h>

#include <string>

#include "support/PrintableText.h"

namespace {

TEST(PrintableTextTest, ControlCharactersAndBrokenUtf8BecomeQuestionMarks) {
  struct {
    const char* name;
    std::string text;
    std::string printable;
  } cases[] = {
      {"plain text", "1.2.3 beta (x86_64)", "1.2.3 beta (x86_64)"},
      {"escape sequence", "\x1b[2J\x1b]0;title\x07", "?[2J?]0;title?"},
      {"line controls", "a\rb\nc\td\be", "a?b?c?d?e"},
      {"delete", "x\x7fy", "x?y"},
      {"nul byte", std::string("a\0b", 3), "a?b"},
      {"one-byte CSI", "\x9b" "31m", "?31m"},
      {"C1 control in UTF-8", "\xc2\x9b" "31m", "??31m"},
      {"UTF-8 text kept", "caf\xc3\xa9 \xe2\x82\xac \xf0\x9f\x90\xa6", "caf\xc3\xa9 \xe2\x82\xac \xf0\x9f\x90\xa6"},
      {"no-break space kept", "\xc2\xa0", "\xc2\xa0"},
      {"lone continuation byte", "\x80x", "?x"},
      {"truncated sequence", "\xe2\x82", "??"},
      {"overlong slash", "\xc0\xaf", "??"},
      {"surrogate", "\xed\xa0\x80", "???"},
      {"past U+10FFFF", "\xf4\x90\x80\x80", "????"},
  };
  for (const auto& c : cases) {
    EXPECT_EQ(c.printable, PrintableText(c.text)) << c.name;
  }
}

}  // namespace

// What the console makes of the program's texts where standard output goes,
// and which locales count as UTF-8.
#include <gtest/gtest.h>

#include <string>

#include "platform/console.h"

namespace {

using plat::ConOutput;
using namespace std::string_literals;

TEST(ConsoleFilter, EachOutputGetsTheTextsInItsOwnForm) {
  struct Case {
    const char* name;
    std::string text;
    ConOutput to;
    std::string shown;
  };
  const std::string row = "[ 1]  1 QD4010A \x18\r\n";
  const Case cases[] = {
      {"console keeps everything", row + "\x1b[2J\a", ConOutput::Console, row + "\x1b[2J\a"},
      {"terminal: caret", row, ConOutput::Terminal, "[ 1]  1 QD4010A ^\r\n"},
      {"UTF-8 terminal: arrow", row, ConOutput::Utf8Terminal, "[ 1]  1 QD4010A \xE2\x86\x91\r\n"},
      {"stream: LF, caret", row, ConOutput::Stream, "[ 1]  1 QD4010A ^\n"},
      {"stream: CR LF kept for Windows", row, ConOutput::CrLfStream, "[ 1]  1 QD4010A ^\r\n"},
      {"stream drops control octets but TAB", "a\tb\x1b[1;5H\x07\x08\x7f\x00" "c\r\nd\re\n"s,
       ConOutput::Stream, "a\tb[1;5Hc\nde\n"},
      {"CR LF stream: a bare LF gets its CR", "a\nb\r\n\r", ConOutput::CrLfStream, "a\r\nb\r\n"},
      {"octets above ASCII pass", "M\xFC" "ller\r\n", ConOutput::Stream, "M\xFC" "ller\n"},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    EXPECT_EQ(plat::con_filter(c.text, c.to), c.shown);
  }
}

TEST(ConsoleFilter, TheFirstLocaleVariableThatIsSetDecidesOnUtf8) {
  struct Case {
    const char* lcAll;
    const char* lcCtype;
    const char* lang;
    bool utf8;
  };
  const Case cases[] = {
      {nullptr, nullptr, "en_US.UTF-8", true},
      {nullptr, nullptr, "de_DE.utf8", true},
      {nullptr, "C.UTF-8", "C", true},
      {"C", "C.UTF-8", "en_US.UTF-8", false},
      {"", "", "en_GB.ISO-8859-1", false},
      {"", nullptr, "en_US.UTF-8", true},
      {nullptr, nullptr, nullptr, false},
      {"POSIX", nullptr, nullptr, false},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(std::string(c.lcAll ? c.lcAll : "-") + " " + (c.lcCtype ? c.lcCtype : "-") +
                 " " + (c.lang ? c.lang : "-"));
    EXPECT_EQ(plat::con_locale_is_utf8(c.lcAll, c.lcCtype, c.lang), c.utf8);
  }
}

}  // namespace

// What a charger sends may be shown on the user's terminal only as printable text.

#include <gtest/gtest.h>

#include <random>
#include <string>
#include <utility>

#include "cli/terminal_text.h"

namespace {

TEST(PrintableText, EscapesEverythingATerminalActsOn) {
  const std::pair<std::string, std::string> cases[] = {
      {"\x1b]0;owned\x07QC\x1b[2J", "\\x1b]0;owned\\x07QC\\x1b[2J"},  // title, clear screen
      {std::string("A\0\r\n\t\x7f", 6), "A\\x00\\x0d\\x0a\\x09\\x7f"},
      {"\x9b\xc2\x9b", "\\x9b\\xc2\\x9b"},                    // 8-bit CSI, raw and as UTF-8
      {"\xc0\x80\xed\xa0\x80", "\\xc0\\x80\\xed\\xa0\\x80"},  // overlong, surrogate
      {"\xe2\x80\xae\xe2\x82", "\\xe2\\x80\\xae\\xe2\\x82"},  // right-to-left override, cut short
      {"\\x1b", "\\\\x1b"},  // the charger's own backslash cannot pass for an escape
  };
  for (const auto& [text, shown] : cases) EXPECT_EQ(PrintableText(text), shown);
}

TEST(PrintableText, LeavesPrintableTextAloneAndNeverLetsAControlThrough) {
  const std::string text =
      "SN 12345678 ~ Ladeger\xc3\xa4t \xe7\x94\xb5\xe6\xb1\xa0 \xf0\x9f\x94\x8b";
  EXPECT_EQ(PrintableText(text), text);

  std::mt19937 random(7);
  for (int round = 0; round < 20000; ++round) {
    std::string bytes(random() % 12, '\0');
    for (char& c : bytes) c = static_cast<char>(random() % 256);
    const std::string shown = PrintableText(bytes);
    for (size_t i = 0; i < shown.size(); ++i) {
      const auto byte = static_cast<unsigned char>(shown[i]);
      const bool c1 = byte >= 0x80 && byte <= 0x9F && i > 0 && shown[i - 1] == '\xc2';
      ASSERT_FALSE(byte < 0x20 || byte == 0x7F || c1) << testing::PrintToString(bytes);
    }
  }
}

}  // namespace

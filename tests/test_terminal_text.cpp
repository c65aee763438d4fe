// What a charger sends may be shown on the user's terminal only as printable text.

#include <gtest/gtest.h>

#include <random>
#include <string>

#include "ui/terminal_text.h"

namespace {

// No byte a terminal acts on: C0 controls, DEL, and C1 controls raw or UTF-8 encoded.
bool Inert(const std::string& shown) {
  for (size_t i = 0; i < shown.size(); ++i) {
    const auto byte = static_cast<unsigned char>(shown[i]);
    if (byte < 0x20 || byte == 0x7F ||
        (byte >= 0x80 && byte <= 0x9F && i > 0 && static_cast<unsigned char>(shown[i - 1]) == 0xC2))
      return false;
  }
  return true;
}

TEST(PrintableText, ControlBytesAndEscapeSequencesAreShownEscaped) {
  EXPECT_EQ(PrintableText("\x1b]0;owned\x07QC-2410\x1b[2J"), "\\x1b]0;owned\\x07QC-2410\\x1b[2J");
  EXPECT_EQ(PrintableText(std::string("A\0B\r\n\t\x7f", 7)), "A\\x00B\\x0d\\x0a\\x09\\x7f");
  // 8-bit CSI, raw and UTF-8 encoded.
  EXPECT_EQ(PrintableText("\x9b"
                          "31m"),
            "\\x9b31m");
  EXPECT_EQ(PrintableText("\xc2\x9b"
                          "31m"),
            "\\xc2\\x9b31m");
  // A backslash of the charger's own cannot pass for an escape.
  EXPECT_EQ(PrintableText("\\x1b"), "\\\\x1b");
}

TEST(PrintableText, PrintableAsciiAndWellFormedUtf8PassUnchanged) {
  const std::string text =
      "Serial 12345678 ~ Ladeger\xc3\xa4t \xe7\x94\xb5\xe6\xb1\xa0 \xf0\x9f\x94\x8b";
  EXPECT_EQ(PrintableText(text), text);
  EXPECT_EQ(PrintableText(""), "");
}

TEST(PrintableText, MalformedOrDeceptiveUtf8IsEscaped) {
  EXPECT_EQ(PrintableText("\xc0\x80"), "\\xc0\\x80");           // overlong NUL
  EXPECT_EQ(PrintableText("\xe2\x82"), "\\xe2\\x82");           // cut short at the end
  EXPECT_EQ(PrintableText("\xed\xa0\x80"), "\\xed\\xa0\\x80");  // surrogate
  EXPECT_EQ(PrintableText("\xe2\x80\xae"
                          "abc"),
            "\\xe2\\x80\\xaeabc");                                       // right-to-left override
  EXPECT_EQ(PrintableText("\xf4\x90\x80\x80"), "\\xf4\\x90\\x80\\x80");  // beyond U+10FFFF
}

TEST(PrintableText, NoInputLetsATerminalControlThrough) {
  for (int byte = 0; byte < 256; ++byte) {
    const std::string shown = PrintableText(std::string(1, static_cast<char>(byte)));
    EXPECT_TRUE(Inert(shown)) << byte;
  }
  std::mt19937 random(7);
  for (int round = 0; round < 20000; ++round) {
    std::string text(random() % 12, '\0');
    for (char& c : text) c = static_cast<char>(random() % 256);
    EXPECT_TRUE(Inert(PrintableText(text))) << testing::PrintToString(text);
  }
}

}  // namespace

#include "common/terminal_text.h"

#include <gtest/gtest.h>

#include <string>

namespace vela {
namespace {

TEST(TerminalTextTest, EscapesEverythingThatCouldSteerTheTerminal) {
    const struct {
        std::string text;
        std::string shown;
    } cases[] = {
        {std::string("ab\x1b[2J\r\n\\\x00\xff", 11), "ab\\x1B[2J\\r\\n\\\\\\x00\\xFF"},
        {"356307042441013", "356307042441013"},
        {"\x1b]0;title\x07\x7f", "\\x1B]0;title\\x07\\x7F"},
        // UTF-8 letters stay; C1 controls (CSI as U+009B), separators and direction
        // overrides are controls whatever their encoding.
        {"Kyiv \xd0\x9a\xd0\xb8\xd1\x97\xd0\xb2 \xe2\x82\xac \xf0\x9f\x9a\x9a",
         "Kyiv \xd0\x9a\xd0\xb8\xd1\x97\xd0\xb2 \xe2\x82\xac \xf0\x9f\x9a\x9a"},
        {"\xc2\x9b"
         "2J",
         "\\xC2\\x9B2J"},
        {"a\xe2\x80\xae"
         "b\xe2\x80\xa8"
         "c\xe2\x81\xa6",
         "a\\xE2\\x80\\xAEb\\xE2\\x80\\xA8c\\xE2\\x81\\xA6"},
        // Malformed UTF-8: overlong, surrogate, cut short, beyond U+10FFFF.
        {"\xc0\xaf\xed\xa0\x80\xe2\x82\xf4\x90\x80\x80",
         "\\xC0\\xAF\\xED\\xA0\\x80\\xE2\\x82\\xF4\\x90\\x80\\x80"},
        {"", ""},
    };
    for (const auto& c : cases) EXPECT_EQ(EscapeForTerminal(c.text), c.shown) << c.shown;
}

TEST(TerminalTextTest, ALongTextIsCutAtTheLimitWithDots) {
    EXPECT_EQ(EscapeForTerminal(std::string(kShownTextBytes, 'a')),
              std::string(kShownTextBytes, 'a'));
    const std::string huge = "\x1b" + std::string(1 << 20, 'a');
    const std::string shown = EscapeForTerminal(huge);
    EXPECT_EQ(shown, "\\x1B" + std::string(kShownTextBytes - 1, 'a') + "...");
    EXPECT_EQ(EscapeForTerminal(std::string(10, '\x01'), 4), "\\x01\\x01\\x01\\x01...");
    // A character cut by the limit is shown as the bytes that are left.
    EXPECT_EQ(EscapeForTerminal("ab\xd0\x9a", 3), "ab\\xD0...");
}

}  // namespace
}  // namespace vela

// The text helpers the backend's APIs and pages share.

#include "Text.h"

#include <gtest/gtest.h>

#include <stdexcept>

TEST(Text, TrimsOnlyTheGivenSpaces) {
    EXPECT_EQ(text::trim(" \t a b \r\n"), "a b");
    EXPECT_EQ(text::trim(" \t\r\n"), "");
    EXPECT_EQ(text::trim(""), "");
    EXPECT_EQ(text::trim("\r\n id \r\n", " \t"), "\r\n id \r\n");
    EXPECT_EQ(text::trim(std::string_view("\0 x \0", 5)), std::string_view("\0 x \0", 5));
}

TEST(Text, CountsCodePoints) {
    EXPECT_EQ(text::codePoints(""), 0u);
    EXPECT_EQ(text::codePoints("abc"), 3u);
    EXPECT_EQ(text::codePoints("Zoë ☕ 𝄞"), 7u);
    // A lone continuation byte is no character of its own.
    EXPECT_EQ(text::codePoints("a\x80"), 1u);
}

TEST(Text, FillsTemplates) {
    EXPECT_EQ(text::fill("<p>{{a}} and {{b}}</p>{{a}}", {{"a", "1"}, {"b", "<2>"}}),
              "<p>1 and <2></p>1");
    // What goes in is not read again, so a visitor's "{{...}}" stays text.
    EXPECT_EQ(text::fill("{{name}}!", {{"name", "{{name}}"}}), "{{name}}!");
    EXPECT_EQ(text::fill("[{{#on}}on {{x}}{{/on}}|{{#off}}off {{x}}{{#on}}+{{/on}}{{/off}}]",
                         {{"x", "X"}}, {{"on", true}, {"off", false}}),
              "[on X|]");
    EXPECT_EQ(text::fill("a { b } {{ c", {}), "a { b } {{ c");
    EXPECT_THROW(text::fill("{{missing}}", {{"other", ""}}), std::logic_error);
    EXPECT_THROW(text::fill("{{#open}}never closed", {}, {{"open", false}}), std::logic_error);
    EXPECT_THROW(text::fill("{{#unnamed}}x{{/unnamed}}", {}), std::logic_error);
}

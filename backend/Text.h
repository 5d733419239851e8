#pragma once

#include <cstddef>
#include <string_view>

// Small text rules the APIs share. No dependencies: the REST query parser and its unit
// tests use them too.
namespace text {

// `text` without the leading and trailing characters that are in `spaces` (ASCII only;
// webtext::trim knows the Unicode spaces).
std::string_view trim(std::string_view text, std::string_view spaces = " \t\r\n");

// Unicode code points in UTF-8 text: every byte that does not continue a sequence.
size_t codePoints(std::string_view utf8);

} // namespace text

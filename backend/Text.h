#pragma once

#include <cstddef>
#include <initializer_list>
#include <string>
#include <string_view>
#include <utility>

// Small text rules the APIs share. No dependencies: the REST query parser and its unit
// tests use them too.
namespace text {

// `text` without the leading and trailing characters that are in `spaces` (ASCII only;
// webtext::trim knows the Unicode spaces).
std::string_view trim(std::string_view text, std::string_view spaces = " \t\r\n");

// Unicode code points in UTF-8 text: every byte that does not continue a sequence.
size_t codePoints(std::string_view utf8);

// A page template with its gaps filled: "{{name}}" becomes the text of that name, as it is
// (escape it first where it needs it); "{{#name}}...{{/name}}" is kept only when the
// section of that name is on. Inserted texts are not read again. A gap without a text, or
// a section that is not named, is a fault of the caller's and throws std::logic_error.
using TemplateTexts = std::initializer_list<std::pair<std::string_view, std::string_view>>;
using TemplateSections = std::initializer_list<std::pair<std::string_view, bool>>;
std::string fill(std::string_view page, TemplateTexts texts, TemplateSections sections = {});

} // namespace text

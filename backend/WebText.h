#pragma once

#include <optional>
#include <string>
#include <string_view>

// Text rules of the website: what the invite API accepts, and how its pages and e-mails
// write dates and user-supplied text.
namespace webtext {

// Without leading and trailing white space (ASCII and the Unicode spaces a desk may send).
std::string trim(std::string_view text);

// User-perceived characters (extended grapheme clusters), as the desk counts them when
// it cuts a note or an answer. Invalid UTF-8 counts byte by byte.
size_t characterCount(std::string_view utf8);

// An address the invite mail can go to: one mailbox, no white space or control
// characters, nothing that would add a recipient or a header ("," ";" "<" ">" quotes...),
// at most 254 bytes.
bool isMailableAddress(std::string_view address);

// yyyy-MM-dd naming a real calendar day.
bool isIsoDate(std::string_view text);
// HH:mm on a 24-hour clock.
bool isClockTime(std::string_view text);

// "Sunday, March 1, 2026" for a yyyy-MM-dd date; nullopt when it is not one.
std::optional<std::string> longDate(std::string_view isoDate);
// The visit as one phrase: "Sunday, March 1, 2026 at 14:30", the day alone, or "Any day".
std::string visitText(const std::optional<std::string> &date,
                      const std::optional<std::string> &time);

// Escapes text for HTML element content and attribute values.
std::string html(std::string_view text);

// Decodes an application/x-www-form-urlencoded body into the value of `key` (the first
// one); nullopt when absent.
std::optional<std::string> formField(std::string_view body, std::string_view key);

} // namespace webtext

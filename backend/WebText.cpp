#include "WebText.h"

#include "Http.h"
#include "Text.h"

#include <unicode/ubrk.h>
#include <unicode/utext.h>

#include <chrono>
#include <memory>
#include <regex>

namespace webtext {

namespace {

// Length in bytes of the Unicode white space character at `i`, or 0.
size_t spaceAt(std::string_view s, size_t i) {
    const auto byte = [&](size_t k) { return static_cast<unsigned char>(s[k]); };
    const unsigned char c = byte(i);
    if (c == ' ' || (c >= 0x09 && c <= 0x0d))
        return 1;
    if (c == 0xc2 && i + 1 < s.size() && (byte(i + 1) == 0x85 || byte(i + 1) == 0xa0))
        return 2; // NEL, NO-BREAK SPACE
    if (c == 0xe1 && i + 2 < s.size() && byte(i + 1) == 0x9a && byte(i + 2) == 0x80)
        return 3; // OGHAM SPACE MARK
    if (c == 0xe2 && i + 2 < s.size()) {
        const unsigned char b1 = byte(i + 1), b2 = byte(i + 2);
        if (b1 == 0x80 && ((b2 >= 0x80 && b2 <= 0x8a) || b2 == 0xa8 || b2 == 0xa9 || b2 == 0xaf))
            return 3; // EN QUAD..HAIR SPACE, LINE/PARAGRAPH SEPARATOR, NARROW NBSP
        if (b1 == 0x81 && b2 == 0x9f)
            return 3; // MEDIUM MATHEMATICAL SPACE
    }
    if (c == 0xe3 && i + 2 < s.size() && byte(i + 1) == 0x80 && byte(i + 2) == 0x80)
        return 3; // IDEOGRAPHIC SPACE
    return 0;
}

// The start of the white space run that ends the text.
size_t trailingSpaceStart(std::string_view s) {
    size_t end = s.size();
    while (end > 0) {
        // Step back to the start of the previous character.
        size_t start = end - 1;
        while (start > 0 && (static_cast<unsigned char>(s[start]) & 0xc0) == 0x80 &&
               end - start < 4)
            --start;
        if (spaceAt(s, start) != end - start)
            break;
        end = start;
    }
    return end;
}

struct BreakIteratorClose {
    void operator()(UBreakIterator *it) const { ubrk_close(it); }
};

const char *const weekdays[] = {"Sunday",   "Monday", "Tuesday", "Wednesday",
                                "Thursday", "Friday", "Saturday"};
const char *const months[] = {"January",   "February", "March",    "April",
                              "May",       "June",     "July",     "August",
                              "September", "October",  "November", "December"};

std::optional<std::chrono::year_month_day> parseDate(std::string_view text) {
    if (!isIsoDate(text))
        return std::nullopt;
    const auto number = [&](size_t from, size_t length) {
        int n = 0;
        for (size_t i = from; i < from + length; ++i)
            n = n * 10 + (text[i] - '0');
        return n;
    };
    return std::chrono::year_month_day{std::chrono::year{number(0, 4)},
                                       std::chrono::month{unsigned(number(5, 2))},
                                       std::chrono::day{unsigned(number(8, 2))}};
}

} // namespace

std::string trim(std::string_view text) {
    size_t begin = 0;
    while (begin < text.size()) {
        const size_t n = spaceAt(text, begin);
        if (n == 0)
            break;
        begin += n;
    }
    text.remove_prefix(begin);
    return std::string(text.substr(0, trailingSpaceStart(text)));
}

size_t characterCount(std::string_view utf8) {
    if (utf8.empty())
        return 0;
    // Opening a break iterator loads rule data; one per thread is reused.
    thread_local std::unique_ptr<UBreakIterator, BreakIteratorClose> iterator;
    UErrorCode status = U_ZERO_ERROR;
    if (!iterator) {
        iterator.reset(ubrk_open(UBRK_CHARACTER, "", nullptr, 0, &status));
        if (U_FAILURE(status))
            iterator.reset();
    }
    status = U_ZERO_ERROR;
    UText *text = utext_openUTF8(nullptr, utf8.data(), int64_t(utf8.size()), &status);
    if (!iterator || U_FAILURE(status)) {
        if (text)
            utext_close(text);
        // Without ICU's rules, code points are the closest count.
        return text::codePoints(utf8);
    }
    ubrk_setUText(iterator.get(), text, &status);
    size_t count = 0;
    if (U_SUCCESS(status)) {
        ubrk_first(iterator.get());
        while (ubrk_next(iterator.get()) != UBRK_DONE)
            ++count;
    }
    // Detach the text before closing it.
    UText *empty = utext_openUTF8(nullptr, "", 0, &status);
    ubrk_setUText(iterator.get(), empty, &status);
    utext_close(text);
    utext_close(empty);
    return count;
}

bool isMailableAddress(std::string_view address) {
    if (address.empty() || address.size() > 254)
        return false;
    for (unsigned char c : address)
        if (c < 0x20 || c == 0x7f)
            return false;
    for (size_t i = 0; i < address.size(); ++i)
        if (spaceAt(address, i))
            return false;
    static const std::regex pattern(
        R"(^[^\s@"<>(),;:\\\[\]]+@[^\s@"<>(),;:\\\[\]]+\.[^\s@"<>(),;:\\\[\]]+$)");
    return std::regex_match(address.begin(), address.end(), pattern);
}

bool isIsoDate(std::string_view text) {
    if (text.size() != 10 || text[4] != '-' || text[7] != '-')
        return false;
    for (size_t i : {0, 1, 2, 3, 5, 6, 8, 9})
        if (text[i] < '0' || text[i] > '9')
            return false;
    const int year =
        (text[0] - '0') * 1000 + (text[1] - '0') * 100 + (text[2] - '0') * 10 + (text[3] - '0');
    const unsigned month = unsigned((text[5] - '0') * 10 + (text[6] - '0'));
    const unsigned day = unsigned((text[8] - '0') * 10 + (text[9] - '0'));
    return year >= 1 &&
           std::chrono::year_month_day{std::chrono::year{year}, std::chrono::month{month},
                                       std::chrono::day{day}}
               .ok();
}

bool isClockTime(std::string_view text) {
    if (text.size() != 5 || text[2] != ':')
        return false;
    for (size_t i : {0, 1, 3, 4})
        if (text[i] < '0' || text[i] > '9')
            return false;
    const int hour = (text[0] - '0') * 10 + (text[1] - '0');
    const int minute = (text[3] - '0') * 10 + (text[4] - '0');
    return hour < 24 && minute < 60;
}

std::optional<std::string> longDate(std::string_view isoDate) {
    const auto date = parseDate(isoDate);
    if (!date)
        return std::nullopt;
    const std::chrono::weekday weekday{std::chrono::sys_days{*date}};
    return std::string(weekdays[weekday.c_encoding()]) + ", " +
           months[unsigned(date->month()) - 1] + " " + std::to_string(unsigned(date->day())) +
           ", " + std::to_string(int(date->year()));
}

std::string visitText(const std::optional<std::string> &date,
                      const std::optional<std::string> &time) {
    const auto day = date ? longDate(*date) : std::nullopt;
    if (!day)
        return "Any day";
    if (time && isClockTime(*time))
        return *day + " at " + *time;
    return *day;
}

std::string html(std::string_view text) {
    std::string out;
    out.reserve(text.size() + text.size() / 8);
    for (char c : text) {
        switch (c) {
        case '&':
            out += "&amp;";
            break;
        case '<':
            out += "&lt;";
            break;
        case '>':
            out += "&gt;";
            break;
        case '"':
            out += "&quot;";
            break;
        case '\'':
            out += "&#39;";
            break;
        default:
            out += c;
        }
    }
    return out;
}

std::optional<std::string> formField(std::string_view body, std::string_view key) {
    while (!body.empty()) {
        const size_t amp = body.find('&');
        const std::string_view item = body.substr(0, amp);
        const size_t eq = item.find('=');
        if (http::decodeComponent(item.substr(0, eq)) == key)
            return eq == std::string_view::npos ? std::string()
                                                : http::decodeComponent(item.substr(eq + 1));
        if (amp == std::string_view::npos)
            break;
        body.remove_prefix(amp + 1);
    }
    return std::nullopt;
}

} // namespace webtext

#include "Text.h"

namespace text {

std::string_view trim(std::string_view text, std::string_view spaces) {
    const size_t begin = text.find_first_not_of(spaces);
    if (begin == std::string_view::npos)
        return {};
    return text.substr(begin, text.find_last_not_of(spaces) - begin + 1);
}

size_t codePoints(std::string_view utf8) {
    size_t n = 0;
    for (unsigned char c : utf8)
        n += (c & 0xc0) != 0x80;
    return n;
}

} // namespace text

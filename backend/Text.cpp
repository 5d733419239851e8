#include "Text.h"

#include <stdexcept>

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

std::string fill(std::string_view page, TemplateTexts texts, TemplateSections sections) {
    const auto find = [](const auto &list, std::string_view name) {
        for (const auto &entry : list)
            if (entry.first == name)
                return &entry.second;
        throw std::logic_error("the page template needs \"" + std::string(name) + "\"");
    };
    std::string out;
    out.reserve(page.size() * 2);
    size_t at = 0;
    while (true) {
        const size_t open = page.find("{{", at);
        const size_t close = open == std::string_view::npos ? open : page.find("}}", open);
        if (close == std::string_view::npos) {
            out.append(page.substr(at));
            return out;
        }
        out.append(page.substr(at, open - at));
        const std::string_view gap = page.substr(open + 2, close - open - 2);
        at = close + 2;
        if (gap.starts_with('#')) {
            if (*find(sections, gap.substr(1)))
                continue;
            const std::string end = "{{/" + std::string(gap.substr(1)) + "}}";
            const size_t skip = page.find(end, at);
            if (skip == std::string_view::npos)
                throw std::logic_error("the page template does not end " + std::string(gap));
            at = skip + end.size();
        } else if (!gap.starts_with('/')) {
            out.append(*find(texts, gap));
        }
    }
}

} // namespace text

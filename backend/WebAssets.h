#pragma once

#include <string_view>

// The website's pages, style sheet and scripts, from the files in backend/web, built into
// the program (see backend/web/embed.cmake). Pages are templates for text::fill.
namespace webassets {

extern const std::string_view page_html; // the frame around every page's <main>
extern const std::string_view style_css;

extern const std::string_view callback_html;
extern const std::string_view callback_js;
extern const std::string_view dashboard_html;
extern const std::string_view dashboard_js;
extern const std::string_view invite_html;
extern const std::string_view support_html;
extern const std::string_view privacy_html;
extern const std::string_view guide_html;
extern const std::string_view not_found_html;
extern const std::string_view error_html;

} // namespace webassets

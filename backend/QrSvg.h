#pragma once

#include <optional>
#include <string>

// A QR code (error-correction level M) for `text`, drawn as a self-contained SVG element:
// one path of dark modules on a white square with the standard four-module quiet zone.
// `title` becomes the image's accessible name. nullopt when the text does not fit.
std::optional<std::string> qrSvg(const std::string &text, const std::string &title);

#include "QrSvg.h"

#include "WebText.h"

#include <qrencode.h>

#include <memory>

namespace {

struct QrFree {
    void operator()(QRcode *code) const { QRcode_free(code); }
};

constexpr int quietZone = 4;

} // namespace

std::optional<std::string> qrSvg(const std::string &text, const std::string &title) {
    // Byte mode keeps the message exactly as given (a link may contain lower case and
    // symbols that the alphanumeric mode cannot hold).
    std::unique_ptr<QRcode, QrFree> code(QRcode_encodeData(
        int(text.size()), reinterpret_cast<const unsigned char *>(text.data()), 0, QR_ECLEVEL_M));
    if (!code)
        return std::nullopt;
    const int width = code->width;
    const int size = width + 2 * quietZone;

    // Horizontal runs of dark modules, one subpath each: far smaller than one rectangle
    // per module.
    std::string path;
    for (int y = 0; y < width; ++y) {
        for (int x = 0; x < width;) {
            if (!(code->data[y * width + x] & 1)) {
                ++x;
                continue;
            }
            int run = 1;
            while (x + run < width && (code->data[y * width + x + run] & 1))
                ++run;
            path += "M" + std::to_string(x + quietZone) + " " + std::to_string(y + quietZone) +
                    "h" + std::to_string(run) + "v1h-" + std::to_string(run) + "z";
            x += run;
        }
    }
    const std::string viewBox = "0 0 " + std::to_string(size) + " " + std::to_string(size);
    return "<svg xmlns=\"http://www.w3.org/2000/svg\" viewBox=\"" + viewBox +
           "\" class=\"qr\" role=\"img\" aria-label=\"" + webtext::html(title) +
           "\" shape-rendering=\"crispEdges\"><rect width=\"" + std::to_string(size) +
           "\" height=\"" + std::to_string(size) + "\" fill=\"#fff\"/><path fill=\"#000\" d=\"" +
           path + "\"/></svg>";
}

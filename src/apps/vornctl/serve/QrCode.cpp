#include "QrCode.h"

namespace Vornctl::Serve {

bool QrCode::dark(int x, int y) const {
    if (x < 0 || y < 0 || x >= size_ || y >= size_)
        return false;
    return modules_[static_cast<std::size_t>(y) * static_cast<std::size_t>(size_) +
                    static_cast<std::size_t>(x)];
}

std::string QrCode::halfBlocks() const {
    constexpr std::string_view colours = "\x1b[97;40m"; // bright white on black
    constexpr std::string_view reset = "\x1b[0m";
    constexpr std::string_view full = "\u2588", upper = "\u2580", lower = "\u2584";
    const int from = -quietZone, to = size_ + quietZone; // rows and columns drawn, [from, to)
    std::string out;
    for (int y = from; y < to; y += 2) {
        out += colours;
        for (int x = from; x < to; ++x) {
            const bool topLight = !dark(x, y);
            // Past the last row (an odd count) the lower half stays black:
            // no module is there, and a reader takes it for the background.
            const bool bottomLight = y + 1 < to && !dark(x, y + 1);
            out += topLight && bottomLight ? full : topLight ? upper : bottomLight ? lower : " ";
        }
        out += reset;
        out += '\n';
    }
    return out;
}

// The stroke is none by default; said anyway, for renderers that draw one
// (ImageMagick's own does, and blots the modules together).
std::string QrCode::svg(int pixels) const {
    const std::string side = std::to_string(size_ + 2 * quietZone);
    std::string path;
    for (int y = 0; y < size_; ++y)
        for (int x = 0; x < size_;) {
            if (!dark(x, y)) {
                ++x;
                continue;
            }
            int run = 1;
            while (dark(x + run, y))
                ++run;
            path += "M" + std::to_string(x + quietZone) + " " + std::to_string(y + quietZone) +
                    "h" + std::to_string(run) + "v1h-" + std::to_string(run) + "z";
            x += run;
        }
    const std::string extent = std::to_string(pixels);
    return "<svg xmlns=\"http://www.w3.org/2000/svg\" width=\"" + extent + "\" height=\"" + extent +
           "\" viewBox=\"0 0 " + side + " " + side +
           "\" shape-rendering=\"crispEdges\"><rect width=\"" + side + "\" height=\"" + side +
           "\" fill=\"#fff\"/><path fill=\"#000\" stroke=\"none\" d=\"" + path + "\"/></svg>\n";
}

} // namespace Vornctl::Serve

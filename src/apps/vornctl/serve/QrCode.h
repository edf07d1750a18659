#pragma once

#include <cstddef>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

// The QR code of a link, as a square of modules, and its two drawings: UTF-8
// half blocks for a terminal and SVG for the page. The modules come from
// libqrencode; everything drawn is the modules alone, never other text.
namespace Vornctl::Serve {

class QrCode {
public:
    // The code of `text` (byte mode, error correction level M, the smallest
    // version that holds it); nothing when the text does not fit in one code.
    static std::optional<QrCode> encode(std::string_view text);

    // Modules per side, without the quiet zone.
    int size() const { return size_; }
    // True for a dark module; false outside the code (the quiet zone).
    bool dark(int x, int y) const;

    // Modules of light border a reader needs around the code.
    static constexpr int quietZone = 4;

    // Each text line holds two rows of modules: light modules are drawn (full,
    // upper or lower half blocks) in bright white on black, dark ones left
    // black, so the code reads the same on a dark and a light terminal. The
    // quiet zone is drawn too. Lines end in "\n", colours reset at each end.
    std::string halfBlocks() const;
    // A standalone SVG image: a white square with the quiet zone and one path
    // of the dark modules, `pixels` wide and high.
    std::string svg(int pixels) const;

private:
    QrCode(int size, std::vector<bool> modules) : size_(size), modules_(std::move(modules)) {}
    int size_ = 0;
    std::vector<bool> modules_; // row by row, true: dark
};

} // namespace Vornctl::Serve

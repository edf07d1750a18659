#include "QrCode.h"

#include <gtest/gtest.h>

#include <regex>
#include <sstream>
#include <string>
#include <vector>

namespace {

using Vornctl::Serve::QrCode;

const std::string link = "http://192.0.2.10:8017/?token=" + std::string(48, 'f');

// The half-block lines with their colour sequences taken out.
std::vector<std::string> plainLines(const std::string& text) {
    const std::string plain = std::regex_replace(text, std::regex("\x1b\\[[0-9;]*m"), "");
    std::vector<std::string> lines;
    std::istringstream in(plain);
    for (std::string line; std::getline(in, line);)
        lines.push_back(line);
    return lines;
}

// The (upper, lower) rows a half block draws light.
std::pair<bool, bool> halves(const std::string& line, std::size_t column) {
    const std::string full = "\u2588", upper = "\u2580", lower = "\u2584";
    std::size_t at = 0;
    for (std::size_t i = 0; i < column; ++i)
        at += line[at] == ' ' ? 1 : 3;
    if (line[at] == ' ')
        return {false, false};
    const std::string glyph = line.substr(at, 3);
    return {glyph == full || glyph == upper, glyph == full || glyph == lower};
}

TEST(ServeQrCode, TheModulesHoldTheFinderPatternsAndTheQuietZoneIsLight) {
    const auto code = QrCode::encode(link);
    ASSERT_TRUE(code);
    const int n = code->size();
    EXPECT_EQ((n - 17) % 4, 0) << n; // 21, 25, 29, ...: a version's size
    EXPECT_GE(n, 29);                // 78 bytes at level M need version 5 (37) or so
    for (auto [x, y] : {std::pair{0, 0}, {n - 1, 0}, {0, n - 1}}) {
        EXPECT_TRUE(code->dark(x, y));                               // the finder's outer ring
        EXPECT_TRUE(code->dark(x + (x ? -3 : 3), y + (y ? -3 : 3))); // its centre
    }
    EXPECT_FALSE(code->dark(7, 0)); // the separator
    EXPECT_FALSE(code->dark(-1, 0));
    EXPECT_FALSE(code->dark(n, n));
}

TEST(ServeQrCode, HalfBlocksDrawTwoRowsPerLineLightModulesInTheForeground) {
    const auto code = QrCode::encode(link);
    ASSERT_TRUE(code);
    const int side = code->size() + 2 * QrCode::quietZone;
    const std::string text = code->halfBlocks();
    const auto lines = plainLines(text);
    ASSERT_EQ(lines.size(), static_cast<std::size_t>((side + 1) / 2));
    for (int row = 0; row < static_cast<int>(lines.size()); ++row)
        for (int column = 0; column < side; ++column) {
            const auto [upper, lower] = halves(lines[row], column);
            const int x = column - QrCode::quietZone, y = 2 * row - QrCode::quietZone;
            ASSERT_EQ(upper, !code->dark(x, y)) << column << "," << row;
            if (2 * row + 1 < side)
                ASSERT_EQ(lower, !code->dark(x, y + 1)) << column << "," << row;
            else
                ASSERT_FALSE(lower); // below the last row: background
        }
    // Colours set at each line's start and reset at its end, so nothing leaks into the shell.
    std::istringstream in(text);
    for (std::string line; std::getline(in, line);) {
        EXPECT_EQ(line.rfind("\x1b[97;40m", 0), 0u);
        EXPECT_EQ(line.substr(line.size() - 4), "\x1b[0m");
    }
}

TEST(ServeQrCode, TheSvgPathCoversExactlyTheDarkModules) {
    const auto code = QrCode::encode(link);
    ASSERT_TRUE(code);
    const std::string svg = code->svg(264);
    const int side = code->size() + 2 * QrCode::quietZone;
    EXPECT_NE(svg.find("viewBox=\"0 0 " + std::to_string(side) + " " + std::to_string(side)),
              std::string::npos);
    EXPECT_NE(svg.find("width=\"264\""), std::string::npos);
    EXPECT_EQ(svg.find("<text"), std::string::npos);
    EXPECT_EQ(svg.find("token"), std::string::npos);
    // Paint the path's runs and compare with the modules.
    std::vector<std::vector<int>> painted(side, std::vector<int>(side, 0));
    const std::regex run("M(\\d+) (\\d+)h(\\d+)v1h-(\\d+)z");
    for (std::sregex_iterator it(svg.begin(), svg.end(), run), end; it != end; ++it) {
        const int x = std::stoi((*it)[1]), y = std::stoi((*it)[2]), length = std::stoi((*it)[3]);
        ASSERT_EQ(length, std::stoi((*it)[4]));
        for (int i = 0; i < length; ++i)
            ++painted.at(y).at(x + i);
    }
    for (int y = 0; y < side; ++y)
        for (int x = 0; x < side; ++x)
            ASSERT_EQ(painted[y][x],
                      code->dark(x - QrCode::quietZone, y - QrCode::quietZone) ? 1 : 0)
                << x << "," << y;
}

TEST(ServeQrCode, TextBeyondOneCodeOrWithNulIsRefused) {
    EXPECT_FALSE(QrCode::encode(std::string(3000, 'a')));
    EXPECT_FALSE(QrCode::encode(std::string("a\0b", 3)));
    EXPECT_TRUE(QrCode::encode(std::string(2000, 'a')));
}

} // namespace

#pragma once

#include <cstddef>
#include <string_view>

namespace Journal {

// Hands out the lines of a text one after the other, without their line break
// (LF or CR LF), numbered from 1. The text must outlive the reader.
class TextLines {
public:
    explicit TextLines(std::string_view text) : rest_(text) {}

    // The next line in `line`; false at the end of the text.
    bool next(std::string_view& line) {
        if (rest_.empty())
            return false;
        ++number_;
        const auto newline = rest_.find('\n');
        line = rest_.substr(0, newline);
        rest_.remove_prefix(newline == std::string_view::npos ? rest_.size() : newline + 1);
        if (!line.empty() && line.back() == '\r')
            line.remove_suffix(1);
        return true;
    }
    // The number of the line next() gave last.
    std::size_t number() const { return number_; }

private:
    std::string_view rest_;
    std::size_t number_ = 0;
};

} // namespace Journal

#pragma once

#include <CLI/Config.hpp>

#include <istream>
#include <map>
#include <stdexcept>
#include <string>
#include <vector>

namespace Vornctl {

// A line of a configuration file that cannot be used; the caller adds the file's name.
class ConfigLineError : public std::runtime_error {
public:
    ConfigLineError(int line, const std::string& reason);
    int line() const { return line_; }

private:
    int line_;
};

// CLI11's configuration reader (one `name = value` a line, `#` comments,
// quoted values) taken one line at a time, so that every value keeps its line
// number. Names must be among those given; several lines of one name become one
// item with every value (CLI11 would take the first line only), so an option
// that repeats (allow-host) is given once per line.
class ConfigFile : public CLI::ConfigTOML {
public:
    // `names`: what the file may set, the long options without their dashes.
    explicit ConfigFile(std::vector<std::string> names);

    // Throws ConfigLineError for a section, an unknown name or an array value.
    std::vector<CLI::ConfigItem> from_config(std::istream& input) const override;

    // The line of the index-th value of `name` in the file read last; 0 when there is none.
    int lineOf(const std::string& name, std::size_t index) const;

private:
    std::vector<std::string> names_;
    mutable std::map<std::string, std::vector<int>> lines_; // set by from_config
};

} // namespace Vornctl

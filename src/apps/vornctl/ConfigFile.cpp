#include "ConfigFile.h"

#include <algorithm>
#include <sstream>

namespace Vornctl {

ConfigLineError::ConfigLineError(int line, const std::string& reason)
    : std::runtime_error(reason), line_(line) {}

ConfigFile::ConfigFile(std::vector<std::string> names) : names_(std::move(names)) {}

std::vector<CLI::ConfigItem> ConfigFile::from_config(std::istream& input) const {
    lines_.clear();
    std::vector<CLI::ConfigItem> items;
    std::string text;
    for (int number = 1; std::getline(input, text); ++number) {
        const auto first = text.find_first_not_of(" \t\r");
        if (first == std::string::npos || text[first] == '#')
            continue;
        if (text[first] == '[')
            throw ConfigLineError(number, "sections are not used; write name = value");
        std::istringstream line(text);
        for (CLI::ConfigItem& item : CLI::ConfigTOML::from_config(line)) {
            const std::string name = item.fullname();
            if (std::find(names_.begin(), names_.end(), name) == names_.end())
                throw ConfigLineError(number, "unknown name \"" + name + "\"");
            if (item.inputs.size() != 1 || text.find('=') == std::string::npos)
                throw ConfigLineError(number, "expected " + name + " = one value");
            lines_[name].push_back(number);
            const auto same = std::find_if(items.begin(), items.end(), [&](const auto& other) {
                return other.fullname() == name;
            });
            if (same == items.end())
                items.push_back(std::move(item));
            else
                same->inputs.push_back(item.inputs.front());
        }
    }
    return items;
}

int ConfigFile::lineOf(const std::string& name, std::size_t index) const {
    const auto found = lines_.find(name);
    if (found == lines_.end() || index >= found->second.size())
        return 0;
    return found->second[index];
}

} // namespace Vornctl

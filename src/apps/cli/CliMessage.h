#pragma once

// The command lines of vornctl and vornsim are parsed with CLI11; what it
// reports about their grammar is said here in the words of the programs' own
// messages.

#include <CLI/Error.hpp>

#include <string>

namespace VornCli {

// "--port needs a value", "--quiet takes no value"; anything else as CLI11 says it.
inline std::string message(const CLI::ParseError& failure) {
    const std::string text = failure.what();
    if (text.find("flag override") != std::string::npos) // "quiet was given a disallowed ..."
        return "--" + text.substr(0, text.find(' ')) + " takes no value";
    const std::string missing = "missing"; // "--port: 1 required TEXT missing"
    if (text.size() > missing.size() &&
        text.compare(text.size() - missing.size(), missing.size(), missing) == 0)
        return text.substr(0, text.find(':')) + " needs a value";
    return text;
}

} // namespace VornCli

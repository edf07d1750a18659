#pragma once

// Runs vornctl commands in process for the tests, with their streams captured.

#include "Arguments.h"
#include "Commands.h"
#include "Enumerator.h"

#include <sstream>
#include <string>
#include <vector>

namespace VornctlTest {

struct Outcome {
    int status;
    std::string out;
    std::string err;
};

inline Outcome runCommand(const std::vector<std::string>& arguments,
                          const std::string& input = "") {
    std::istringstream in(input);
    std::ostringstream out;
    std::ostringstream err;
    Vornctl::Console console{in, out, err, false};
    const int status = Vornctl::run(Vornctl::parseArguments(arguments), console);
    return {status, out.str(), err.str()};
}

inline bool contains(const std::string& text, const std::string& part) {
    return text.find(part) != std::string::npos;
}

// vornctl accepts only an interface from the adapter list.
inline bool loopbackIsListed() {
    const Enumerator adapters;
    for (unsigned i = 0; i < adapters.adapterCount(); ++i)
        if (adapters.adapterAt(i).ipAddress == "127.0.0.1")
            return true;
    return false;
}

} // namespace VornctlTest

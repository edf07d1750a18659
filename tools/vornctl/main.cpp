// vornctl: lists the devices on the device network and reads or writes their
// serial numbers from the command line.

#include "Arguments.h"
#include "Commands.h"

#include <cstdio>
#include <exception>
#include <iostream>
#include <string>
#include <vector>

#ifdef _WIN32
#include <io.h>
#else
#include <unistd.h>
#endif

namespace {

bool stderrIsTerminal() {
#ifdef _WIN32
    return _isatty(_fileno(stderr)) != 0;
#else
    return isatty(fileno(stderr)) != 0;
#endif
}

} // namespace

int main(int argc, char** argv) {
    const std::vector<std::string> arguments(argv + 1, argv + argc);
    Vornctl::Options options;
    try {
        options = Vornctl::parseArguments(arguments);
    } catch (const Vornctl::UsageError& failure) {
        std::cerr << "Error: " << failure.what() << "\n";
        if (arguments.empty())
            std::cerr << "\n" << Vornctl::usage();
        else
            std::cerr << "Run vornctl --help for the usage.\n";
        return Vornctl::Exit::usage;
    }
    try {
        Vornctl::Console console{std::cin, std::cout, std::cerr, stderrIsTerminal()};
        return Vornctl::run(options, console);
    } catch (const std::exception& failure) {
        std::cerr << "Error: " << failure.what() << "\n";
        return Vornctl::Exit::failed;
    }
}

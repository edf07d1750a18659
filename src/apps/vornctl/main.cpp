// vornctl: lists the devices on the device network and reads or writes their
// serial numbers from the command line.

#include "AccessCommands.h"
#include "Arguments.h"
#include "Commands.h"
#include "FleetCommands.h"
#include "ReloadSignal.h"
#include "ReloadTrigger.h"
#include "Serve.h"
#include "StopSignal.h"

#include <boost/asio/io_context.hpp>
#include <boost/asio/signal_set.hpp>

#include <csignal>
#include <cstdio>
#include <exception>
#include <iostream>
#include <optional>
#include <string>
#include <thread>
#include <vector>

#ifdef _WIN32
#include <io.h>
#else
#include <unistd.h>
#endif

namespace {

bool isTerminal(FILE* stream) {
#ifdef _WIN32
    return _isatty(_fileno(stream)) != 0;
#else
    return isatty(fileno(stream)) != 0;
#endif
}

// Turns SIGINT and SIGTERM (Ctrl-C, Ctrl-Break) into a stop request while it
// exists, and with a reload signal SIGHUP into a reload request; only for
// commands that end on a stop request, the others keep the default of ending
// at once.
class Interruption {
public:
    Interruption(Vornctl::StopSignal& stop, Vornctl::ReloadSignal* reload)
        : signals_(io_, SIGINT, SIGTERM) {
        signals_.async_wait([&stop](const boost::system::error_code& error, int) {
            if (!error)
                stop.request();
        });
        if (reload)
            trigger_.emplace(io_, *reload, std::cerr);
        thread_ = std::thread([this] { io_.run(); });
    }
    ~Interruption() {
        io_.stop();
        thread_.join();
    }
    Interruption(const Interruption&) = delete;
    Interruption& operator=(const Interruption&) = delete;

private:
    boost::asio::io_context io_;
    boost::asio::signal_set signals_;
    std::optional<Vornctl::ReloadTrigger> trigger_;
    std::thread thread_;
};

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
        Vornctl::StopSignal stop;
        Vornctl::ReloadSignal reload;
        const bool serving = options.action == Vornctl::Action::Serve;
        const bool archiving = options.action == Vornctl::Action::Fleet;
        std::optional<Interruption> interruption;
        if (options.action == Vornctl::Action::Watch || serving || archiving)
            interruption.emplace(stop, serving ? &reload : nullptr);
        Vornctl::Console console{
            std::cin, std::cout, std::cerr, isTerminal(stderr), &stop, &Vornctl::Serve::serve,
            &reload};
        console.outTerminal = isTerminal(stdout);
        console.access = &Vornctl::Serve::runAccessCommand;
        if (Vornctl::isFleetAction(options.action))
            return Vornctl::Fleet::runFleet(options, console);
        return Vornctl::run(options, console);
    } catch (const std::exception& failure) {
        std::cerr << "Error: " << failure.what() << "\n";
        return Vornctl::Exit::failed;
    }
}

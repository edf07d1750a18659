#pragma once

#include "VornService.h"

#include <functional>
#include <memory>
#include <optional>
#include <string>

// Starting the controller once the user has chosen a network interface, and
// what the program says and returns when that fails.
namespace StartUp {

// Process exit codes.
inline constexpr int exitNormal = 0;      // closed, cancelled, or a refused start
inline constexpr int exitNoWindow = -1;   // the main window could not be created
inline constexpr int exitNoChildren = -1; // its child windows could not be created

struct Result {
    std::unique_ptr<VornService> controller; // running, handlers in place
    std::optional<std::string> failure;      // or the text of the error box
};

// Constructs the controller on `address`, lets `registerHandlers` append the
// device handlers, then starts the engine. No address gives the invalid-
// interface text; an address in use gives its own text; any other failure
// (the system's exceptions too) gives the exception's message. Nothing is
// thrown.
Result startController(const std::optional<std::string>& address,
                       const std::function<void(VornService&)>& registerHandlers);

} // namespace StartUp

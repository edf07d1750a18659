#pragma once

#include "MainWindowRules.h"

#include <optional>
#include <string_view>

// The decision of the serial-number confirmation dialog when OK is pressed:
// close with the confirmed number, or stay open and show why.
struct SerialConfirmation {
    std::optional<int> confirmed;                   // close with OK; equals the first entry
    std::optional<MainWindowRules::Notice> problem; // or stay open with this box

    // `first`: the number typed in the main window; `typed`: the second entry.
    static SerialConfirmation decide(int first, std::string_view typed);
};

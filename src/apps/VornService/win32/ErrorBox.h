#pragma once

#include <windows.h>

// The "Error" box for an exception that reached a window or dialog procedure:
// the user sees its text, the window goes on working.
namespace ErrorBox {

// Shows the text of the exception being handled in an "Error" box owned by
// the top-level window of `window`. A failure while such a box is open (its
// modal loop dispatches the window's messages) is shown after that box has
// been closed, so none is lost and boxes do not pile up. Call only inside a
// catch block; throws nothing.
void showCurrentException(HWND window) noexcept;

} // namespace ErrorBox

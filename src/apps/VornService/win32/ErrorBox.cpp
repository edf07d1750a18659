#include "ErrorBox.h"

#include "ErrorReport.h"
#include "Texts.h"

#include <deque>
#include <string>

namespace ErrorBox {

namespace {
// Per window thread: whether a box is up, and the texts that wait for it.
thread_local bool showing = false;
thread_local std::deque<std::string> waiting;
} // namespace

void showCurrentException(HWND window) noexcept {
    try {
        waiting.push_back(ErrorReport::describeCurrentException());
        if (showing)
            return; // the open box's loop shows it next
        showing = true;
        const HWND owner = window && IsWindow(window) ? GetAncestor(window, GA_ROOT) : nullptr;
        while (!waiting.empty()) {
            const std::string text = std::move(waiting.front());
            waiting.pop_front();
            MessageBoxA(owner, text.c_str(), Text::errorCaption, MB_ICONERROR);
        }
        showing = false;
    } catch (...) {
        // Out of memory for the text: the box itself cannot be built either.
        showing = false;
        MessageBoxA(nullptr, Text::unexpectedError, Text::errorCaption, MB_ICONERROR);
    }
}

} // namespace ErrorBox

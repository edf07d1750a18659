#include "Clipboard.h"

#include <cstring>

#include <chrono>
#include <thread>

namespace Clipboard {

namespace {
// Closes the clipboard when it goes.
// Another program (or thread) may hold the clipboard open for a moment: a
// clipboard viewer reading what changed, the system's own clipboard manager,
// a paste in progress. OpenClipboard then fails at once; a copy tries again
// for a while before it gives up.
constexpr int openAttempts = 50;
constexpr std::chrono::milliseconds betweenAttempts{10};

bool openClipboard(HWND owner) {
    for (int attempt = 1;; ++attempt) {
        if (OpenClipboard(owner))
            return true;
        if (attempt == openAttempts)
            return false;
        std::this_thread::sleep_for(betweenAttempts);
    }
}

class OpenClipboardScope {
public:
    explicit OpenClipboardScope(HWND owner) : open_(openClipboard(owner)) {}
    ~OpenClipboardScope() {
        if (open_)
            CloseClipboard();
    }
    OpenClipboardScope(const OpenClipboardScope&) = delete;
    OpenClipboardScope& operator=(const OpenClipboardScope&) = delete;
    bool open() const { return open_; }

private:
    bool open_;
};
} // namespace

bool setText(HWND owner, const std::string& text) {
    HGLOBAL memory = GlobalAlloc(GMEM_MOVEABLE, text.size() + 1);
    if (!memory)
        return false;
    if (void* bytes = GlobalLock(memory)) {
        std::memcpy(bytes, text.c_str(), text.size() + 1);
        GlobalUnlock(memory);
    } else {
        GlobalFree(memory);
        return false;
    }
    OpenClipboardScope clipboard(owner);
    if (!clipboard.open() || !EmptyClipboard() || !SetClipboardData(CF_TEXT, memory)) {
        GlobalFree(memory); // still ours: the clipboard did not take it
        return false;
    }
    return true; // the clipboard owns it now
}

} // namespace Clipboard

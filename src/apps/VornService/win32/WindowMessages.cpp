#include "WindowMessages.h"

#include "SerialWriteFlow.h"

namespace WindowMessages {

bool discard(const MSG& message) {
    switch (message.message) {
    case WM_DEVICE_NAME:
        take<std::uint64_t>(message.wParam);
        take<char[]>(static_cast<std::uintptr_t>(message.lParam));
        return true;
    case WM_SERIAL_NUMBER:
        take<std::uint64_t>(message.wParam);
        return true;
    case WM_SERIAL_WRITTEN:
        take<SerialWriteReport>(message.wParam);
        return true;
    case WM_DEVICE_ADDED:
    case WM_DEVICE_REMOVED:
    case WM_SERIAL_UNREAD:
        return true;
    default:
        return false;
    }
}

void Mailbox::close() {
    HWND window;
    {
        std::lock_guard<std::mutex> lock(mutex_);
        window = window_;
        window_ = nullptr;
    }
    if (!window)
        return;
    MSG message;
    while (PeekMessageA(&message, window, WM_DEVICE_ADDED, WM_SERIAL_UNREAD, PM_REMOVE))
        discard(message);
}

} // namespace WindowMessages

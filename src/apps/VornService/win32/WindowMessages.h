#pragma once

#include <windows.h>

#include <cstdint>
#include <memory>
#include <mutex>
#include <type_traits>

// The main window's private messages: how results of the engine's threads
// reach the window thread. Device ids travel as two 32-bit halves (high in
// wParam) or as a heap block; heap blocks change owner with the message.
inline constexpr UINT WM_DEVICE_ADDED = WM_USER + 100;   // high half, low half
inline constexpr UINT WM_DEVICE_REMOVED = WM_USER + 101; // high half, low half
inline constexpr UINT WM_DEVICE_NAME = WM_USER + 102;    // new u64 id, new char[] name
inline constexpr UINT WM_SERIAL_NUMBER = WM_USER + 103;  // new u64 id, serial
inline constexpr UINT WM_SERIAL_WRITTEN = WM_USER + 104; // new SerialWriteReport, 0
inline constexpr UINT WM_SERIAL_UNREAD = WM_USER + 106;  // high half, low half: not answered
// Posted by the window to itself when a row loses the selection: the status
// bar shows the address of what is selected once the list's notifications of
// that change are over (a click deselects one row, then selects another).
inline constexpr UINT WM_SELECTION_SETTLED = WM_USER + 107; // no parameters

namespace WindowMessages {

inline WPARAM highHalf(std::uint64_t id) {
    return static_cast<WPARAM>(id >> 32);
}
inline LPARAM lowHalf(std::uint64_t id) {
    return static_cast<LPARAM>(id & 0xFFFFFFFFu);
}
inline std::uint64_t joinHalves(WPARAM high, LPARAM low) {
    return (static_cast<std::uint64_t>(high & 0xFFFFFFFFu) << 32) |
           (static_cast<std::uint64_t>(low) & 0xFFFFFFFFu);
}

namespace Detail {
template <class T> std::uintptr_t raw(const std::unique_ptr<T>& block) {
    return reinterpret_cast<std::uintptr_t>(block.get());
}
template <class T, class = std::enable_if_t<std::is_integral_v<T>>> std::uintptr_t raw(T value) {
    return static_cast<std::uintptr_t>(value);
}
template <class T> void handOver(std::unique_ptr<T>& block) {
    static_cast<void>(block.release());
}
template <class T, class = std::enable_if_t<std::is_integral_v<T>>> void handOver(T) {}
} // namespace Detail

// Posts `message` with `wParam` and `lParam`, each a plain value or a heap
// block. When the post succeeds the blocks belong to the receiver (see take);
// when it fails (window gone, queue full) they are freed here.
template <class W, class L> bool post(HWND window, UINT message, W wParam, L lParam) {
    if (!PostMessageA(window, message, static_cast<WPARAM>(Detail::raw(wParam)),
                      static_cast<LPARAM>(Detail::raw(lParam))))
        return false;
    Detail::handOver(wParam);
    Detail::handOver(lParam);
    return true;
}

// The receiver's side: takes ownership of a block that came with a message.
template <class T> std::unique_ptr<T> take(std::uintptr_t value) {
    return std::unique_ptr<T>(reinterpret_cast<typename std::unique_ptr<T>::pointer>(value));
}

// Frees the blocks a private message carries without acting on it. True when
// `message` was one of the private messages.
bool discard(const MSG& message);

// The main window's address for the engine's threads. Posts go through it
// while the window is open; close() (on the window thread, while the window
// is still there) shuts it, so that nothing more can be queued, and frees the
// blocks of the messages still waiting: the system drops a destroyed
// window's queued messages without a word, and their blocks with them.
class Mailbox {
public:
    // The window thread, before any engine thread may post.
    void open(HWND window) {
        std::lock_guard<std::mutex> lock(mutex_);
        window_ = window;
    }
    // Any thread. False (blocks freed) when closed or when the post fails.
    template <class W, class L> bool post(UINT message, W wParam, L lParam) {
        std::lock_guard<std::mutex> lock(mutex_);
        return window_ &&
               WindowMessages::post(window_, message, std::move(wParam), std::move(lParam));
    }
    void close();

private:
    std::mutex mutex_;
    HWND window_ = nullptr; // guarded by mutex_
};

} // namespace WindowMessages

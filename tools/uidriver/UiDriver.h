#pragma once

#include <windows.h>

#include <chrono>
#include <functional>
#include <initializer_list>
#include <optional>
#include <string>
#include <vector>

// Drives the service tool's windows the way a user does, from another thread
// or another process: finds windows and boxes, reads what they show, types,
// clicks buttons and selects list rows. Every wait has a deadline.
namespace UiDriver {

using Clock = std::chrono::steady_clock;
using namespace std::chrono_literals;

// A visible top-level window of process `processId` with the window class
// `className` (and, if given, the title `title`), or null.
HWND findWindow(DWORD processId, const char* className, const char* title = nullptr);
HWND waitForWindow(DWORD processId, const char* className, const char* title,
                   std::chrono::milliseconds timeout);

std::string text(HWND window);
std::string itemText(HWND dialog, int controlId);
bool isEnabled(HWND window);

// Waits until `window` and its children show their current state on the
// screen: drawing is on (a list whose redraw is held back while rows arrive
// reads as not visible) and nothing waits to be painted.
bool waitPainted(HWND window, std::chrono::milliseconds timeout);

// A message box as the user sees it.
struct Box {
    HWND window = nullptr;
    std::string caption;
    std::string text;
};
// The first open message box of `processId`, waiting up to `timeout`.
std::optional<Box> waitForMessageBox(DWORD processId, std::chrono::milliseconds timeout);
// The first open message box, if any.
std::optional<Box> findMessageBox(DWORD processId);

// Clicks the button `controlId` of `dialog` (posted, as a click does not wait
// for what the click opens).
void click(HWND dialog, int controlId);
// Replaces the text of an edit control, as typing it would.
void type(HWND edit, const std::string& text);
// The keyboard. The window that has the focus in the thread of `window`.
HWND focusOf(HWND window);
// Presses and releases `key` (a virtual-key code) in the focused window of the
// thread of `window`. Posted, as the keyboard does: it goes through the
// program's own message loop (accelerators, dialog keys).
void pressKey(HWND window, UINT key);
// Holds modifier keys (VK_SHIFT, VK_CONTROL) down for the thread of `window`
// while the object lives: it shares that thread's input state and sets it.
class HeldKeys {
public:
    HeldKeys(HWND window, std::initializer_list<UINT> keys);
    ~HeldKeys();
    HeldKeys(const HeldKeys&) = delete;
    HeldKeys& operator=(const HeldKeys&) = delete;

private:
    DWORD thread_;
    bool attached_;
    std::vector<UINT> keys_;
};
// The clipboard's text (CF_TEXT), or nothing (also while another thread holds
// the clipboard open).
std::optional<std::string> clipboardText();
// Holds the clipboard open for this thread while the object lives, as another
// program reading it would: nobody else can open it meanwhile.
class HeldClipboard {
public:
    HeldClipboard();
    ~HeldClipboard();
    HeldClipboard(const HeldClipboard&) = delete;
    HeldClipboard& operator=(const HeldClipboard&) = delete;
    bool held() const { return held_; }

private:
    bool held_;
};

// Asks a window to close, as its close button does.
void close(HWND window);
// True when the window is gone within `timeout`.
bool waitGone(HWND window, std::chrono::milliseconds timeout);

// A program started for the user to drive; ended (exit code 99) if it is still
// running when the object goes.
class Process {
public:
    explicit Process(const std::string& path);
    ~Process();
    Process(const Process&) = delete;
    Process& operator=(const Process&) = delete;

    bool started() const { return info_.hProcess != nullptr; }
    DWORD id() const { return info_.dwProcessId; }
    // The exit code, or nothing when it is still running after `timeout`.
    std::optional<int> waitExit(std::chrono::milliseconds timeout);

private:
    PROCESS_INFORMATION info_{};
};

// A list view of this or another process.
class List {
public:
    explicit List(HWND list);
    ~List();
    List(const List&) = delete;
    List& operator=(const List&) = delete;

    int rowCount() const;
    std::string cell(int row, int column) const;
    std::vector<std::string> row(int row, int columns) const;
    // The first row whose `column` reads `value`, or -1.
    int find(int column, const std::string& value) const;
    int selectedRow() const;
    // Selects and focuses `row` alone, as a click on it does (the list, of
    // single selection, deselects the row before in the same message); -1 clears the
    // selection, as a click on empty space does.
    void select(int row) const;

private:
    bool setState(int row, UINT state, UINT mask) const;

    HWND list_;
    HANDLE process_ = nullptr;
    void* remote_ = nullptr; // an LVITEMA and a text buffer inside the list's process
};

// The service tool's own windows, as a user finds them.
namespace ServiceTool {
// Picks the adapter with `address` in the network dialog and presses OK; the
// problem if that could not be done.
std::optional<std::string> chooseNetwork(DWORD processId, const std::string& address);
// The main window once it is up, or null.
HWND waitForMainWindow(DWORD processId, std::chrono::milliseconds timeout);
// The current-serial label of the main window, or null.
HWND currentSerialLabel(HWND mainWindow);
} // namespace ServiceTool

} // namespace UiDriver

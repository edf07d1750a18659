// An exception that reaches a window procedure: the user sees it in an
// "Error" box and the window goes on working; the object is bound to its
// window from the first message that can carry it.
#include "UiDriver.h"
#include "WaitUntil.h"
#include "WindowProcedure.h"

#include <gtest/gtest.h>

#include <windows.h>

#include <atomic>
#include <stdexcept>
#include <string>
#include <system_error>
#include <thread>

namespace {

using namespace std::chrono_literals;

constexpr UINT throwStandard = WM_APP + 1;
constexpr UINT throwSystem = WM_APP + 2;
constexpr UINT answer = WM_APP + 3;

class ThrowingWindow : public WindowProcedure<ThrowingWindow> {
public:
    LRESULT handleMessage(HWND window, UINT message, WPARAM wParam, LPARAM lParam) {
        if (message == WM_NCCREATE)
            sawNcCreate = true;
        if (message == WM_NCCALCSIZE && !sawCreate)
            sawNcCalcSizeBeforeCreate = true;
        if (message == WM_CREATE)
            sawCreate = true;
        switch (message) {
        case throwStandard:
            throw std::runtime_error("the list could not be read");
        case throwSystem:
            throw std::system_error(std::make_error_code(std::errc::resource_unavailable_try_again),
                                    "no thread");
        case answer:
            return 42;
        case WM_DESTROY:
            PostQuitMessage(0);
            return 0;
        }
        return DefWindowProcA(window, message, wParam, lParam);
    }

    std::atomic<bool> sawNcCreate{false}, sawNcCalcSizeBeforeCreate{false}, sawCreate{false};
};

// The window and its message loop on a thread of their own, as the program's.
class WindowThread {
public:
    WindowThread() : thread_([this] { run(); }) {
        TestSupport::waitUntil([this] { return window_.load() != nullptr || failed_.load(); }, 10s);
    }
    ~WindowThread() {
        if (const HWND window = window_.load())
            PostMessageA(window, WM_CLOSE, 0, 0);
        thread_.join();
    }
    HWND window() const { return window_.load(); }
    ThrowingWindow object;

private:
    void run() {
        WNDCLASSEXA windowClass{};
        windowClass.cbSize = sizeof windowClass;
        windowClass.lpfnWndProc = &ThrowingWindow::procedure;
        windowClass.hInstance = GetModuleHandleA(nullptr);
        windowClass.lpszClassName = "VornThrowingWindow";
        RegisterClassExA(&windowClass);
        const HWND window = CreateWindowExA(0, windowClass.lpszClassName, "Throwing",
                                            WS_OVERLAPPEDWINDOW | WS_VISIBLE, 10, 10, 300, 200,
                                            nullptr, nullptr, windowClass.hInstance, &object);
        if (!window) {
            failed_ = true;
            return;
        }
        window_ = window;
        MSG message;
        while (GetMessageA(&message, nullptr, 0, 0) > 0) {
            TranslateMessage(&message);
            DispatchMessageA(&message);
        }
    }

    std::atomic<HWND> window_{nullptr};
    std::atomic<bool> failed_{false};
    std::thread thread_;
};

void acknowledge(const std::string& text) {
    const auto box = UiDriver::waitForMessageBox(GetCurrentProcessId(), 10s);
    ASSERT_TRUE(box) << "no box for \"" << text << "\"";
    EXPECT_EQ(box->caption, "Error");
    EXPECT_EQ(box->text, text);
    UiDriver::click(box->window, IDOK);
    ASSERT_TRUE(UiDriver::waitGone(box->window, 10s));
}

TEST(WindowProcedure, BoundFromNcCreateAndExceptionsShowAsBoxes) {
    WindowThread thread;
    const HWND window = thread.window();
    ASSERT_NE(window, nullptr);
    EXPECT_TRUE(thread.object.sawNcCreate);
    EXPECT_TRUE(thread.object.sawNcCalcSizeBeforeCreate) << "bound before WM_CREATE";

    PostMessageA(window, throwStandard, 0, 0);
    ASSERT_NO_FATAL_FAILURE(acknowledge("the list could not be read"));

    // A second failure while the first box is open waits for it to close,
    // then shows: none is lost, none is stacked on top.
    PostMessageA(window, throwSystem, 0, 0);
    const auto first = UiDriver::waitForMessageBox(GetCurrentProcessId(), 10s);
    ASSERT_TRUE(first);
    PostMessageA(window, throwStandard, 0, 0);
    DWORD_PTR result = 0;
    // The box's modal loop has handled the second message once this returns.
    SendMessageTimeoutA(window, answer, 0, 0, SMTO_ABORTIFHUNG, 5000, &result);
    EXPECT_EQ(result, 42u);
    EXPECT_NE(first->text.find("no thread"), std::string::npos) << first->text;
    UiDriver::click(first->window, IDOK);
    ASSERT_TRUE(UiDriver::waitGone(first->window, 10s));
    ASSERT_NO_FATAL_FAILURE(acknowledge("the list could not be read"));
    EXPECT_FALSE(UiDriver::findMessageBox(GetCurrentProcessId())) << "one box per failure";

    // The window still works.
    result = 0;
    EXPECT_TRUE(SendMessageTimeoutA(window, answer, 0, 0, SMTO_ABORTIFHUNG, 5000, &result));
    EXPECT_EQ(result, 42u);
}

} // namespace

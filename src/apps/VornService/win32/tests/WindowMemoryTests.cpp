// Where the window's objects live and what becomes of the blocks its messages
// carry.
#include "WindowTestSupport.h"

#include "MainWindow.h"
#include "NetworkDialog.h"
#include "Resource.h"
#include "SerialConfirmDialog.h"
#include "WindowMessages.h"

#include <cstdlib>
#include <cstring>
#include <new>

// Heap blocks allocated and not yet freed by each thread: the payload tests
// count their own thread's blocks. (The compiler takes the replaced operators'
// malloc/free pairing for a mismatch.)
#pragma GCC diagnostic ignored "-Wmismatched-new-delete"
namespace {
thread_local long liveBlocks = 0;
}

void* operator new(std::size_t size) {
    if (void* block = std::malloc(size ? size : 1)) {
        ++liveBlocks;
        return block;
    }
    throw std::bad_alloc();
}
void* operator new[](std::size_t size) {
    return operator new(size);
}
void operator delete(void* block) noexcept {
    if (block) {
        --liveBlocks;
        std::free(block);
    }
}
void operator delete[](void* block) noexcept {
    operator delete(block);
}
void operator delete(void* block, std::size_t) noexcept {
    operator delete(block);
}
void operator delete[](void* block, std::size_t) noexcept {
    operator delete(block);
}

namespace {

using namespace std::chrono_literals;
using namespace WindowTest;

// An object of type T placed above 4 GiB, where a pointer squeezed through 32
// bits would lose its high half.
template <class T> class AboveFourGiB {
public:
    template <class... Args> explicit AboveFourGiB(Args&&... args) {
        for (std::uintptr_t address = 0x300000000ull; address < 0x7F0000000000ull; address <<= 1) {
            block_ = VirtualAlloc(reinterpret_cast<void*>(address), sizeof(T),
                                  MEM_RESERVE | MEM_COMMIT, PAGE_READWRITE);
            if (block_)
                break;
        }
        if (block_)
            object_ = new (block_) T(std::forward<Args>(args)...);
    }
    ~AboveFourGiB() {
        if (object_)
            object_->~T();
        if (block_)
            VirtualFree(block_, 0, MEM_RELEASE);
    }
    AboveFourGiB(const AboveFourGiB&) = delete;
    AboveFourGiB& operator=(const AboveFourGiB&) = delete;

    T* get() const { return object_; }
    bool high() const { return reinterpret_cast<std::uintptr_t>(object_) > 0xFFFFFFFFull; }

private:
    void* block_ = nullptr;
    T* object_ = nullptr;
};

TEST(WindowMemory, WindowAndDialogObjectsAboveFourGiBWork) {
    VORN_REQUIRE_TEST_NAMESPACE();
    auto simulator = simulate({device(0x0001E240000012ABull, 12, "Stage left", 31)});
    const DWORD self = GetCurrentProcessId();
    // The window thread only records; the test thread checks.
    std::atomic<bool> windowHigh{false}, created{false};
    std::atomic<int> exitCode{-100};
    std::thread windowThread([&] {
        AboveFourGiB<MainWindow> window;
        windowHigh = window.high();
        if (!window.high() ||
            !(created = window.get()->create(GetModuleHandleA(nullptr), SW_SHOWNORMAL)))
            return;
        exitCode = runMessageLoop(*window.get());
    });
    // Every step below goes through the window's stored object pointer.
    chooseNetwork(self, toolAddress);
    const HWND main = mainWindow(self);
    // Without the window the test fails, but the window thread is still joined below.
    EXPECT_NE(main, nullptr) << "the main window did not appear";
    if (main) {
        UiDriver::List list(GetDlgItem(main, IDC_DEVICE_LIST));
        EXPECT_TRUE(TestSupport::waitUntil([&] { return list.cell(0, 0) == "Stage left"; }, 15s));
        list.select(0);
        expectCurrentSerial(main, "Current serial number: 31");
        UiDriver::close(main);
    }
    windowThread.join();
    EXPECT_TRUE(windowHigh);
    EXPECT_TRUE(created);
    EXPECT_EQ(exitCode.load(), 0);

    // The dialogs keep their objects the same way.
    NetworkDialogState network;
    network.instance = GetModuleHandleA(nullptr);
    SerialConfirmState confirmation;
    confirmation.instance = GetModuleHandleA(nullptr);
    confirmation.first = 4711;
    std::atomic<bool> dialogsHigh{false};
    std::atomic<INT_PTR> networkResult{-100}, confirmResult{-100};
    std::thread dialogThread([&] {
        AboveFourGiB<NetworkDialog> dialog(network);
        AboveFourGiB<SerialConfirmDialog> confirm(confirmation);
        dialogsHigh = dialog.high() && confirm.high();
        if (!dialogsHigh)
            return;
        networkResult = dialog.get()->show();
        confirmResult = confirm.get()->show();
    });
    chooseNetwork(self, toolAddress);
    const HWND dialog = UiDriver::waitForWindow(self, "#32770", "Confirm serial number", 10s);
    EXPECT_NE(dialog, nullptr);
    if (dialog) {
        UiDriver::type(GetDlgItem(dialog, IDC_CONFIRM_EDIT), "4711");
        UiDriver::click(dialog, IDOK);
    }
    dialogThread.join();
    ASSERT_TRUE(dialogsHigh);
    EXPECT_EQ(networkResult.load(), IDOK);
    ASSERT_EQ(network.choices.size(), 2u);
    ASSERT_GE(network.selected, 0);
    EXPECT_STREQ(network.choices[static_cast<std::size_t>(network.selected)].ipAddress,
                 toolAddress);
    EXPECT_EQ(confirmResult.load(), IDOK);
    EXPECT_EQ(confirmation.second, 4711);
}

TEST(WindowMemory, PostedBlocksAreFreedWhenNoWindowTakesThem) {
    const HWND window = CreateWindowExA(0, "STATIC", "", 0, 0, 0, 0, 0, HWND_MESSAGE, nullptr,
                                        GetModuleHandleA(nullptr), nullptr);
    ASSERT_NE(window, nullptr);
    const long before = liveBlocks;
    auto name = [](const char* text) {
        auto block = std::make_unique<char[]>(std::strlen(text) + 1);
        std::strcpy(block.get(), text);
        return block;
    };

    // Delivered: the blocks now belong to the queue's receiver.
    WindowMessages::Mailbox mailbox;
    mailbox.open(window);
    EXPECT_TRUE(
        mailbox.post(WM_DEVICE_NAME, std::make_unique<std::uint64_t>(7), name("Stage left")));
    EXPECT_TRUE(
        mailbox.post(WM_SERIAL_NUMBER, std::make_unique<std::uint64_t>(7), std::uintptr_t{1234}));
    EXPECT_TRUE(mailbox.post(WM_DEVICE_ADDED, WPARAM{7}, LPARAM{8}));
    EXPECT_EQ(liveBlocks, before + 3);

    // The window closes before it has read them: the queued blocks are freed,
    // and later posts free their own at once.
    mailbox.close();
    EXPECT_EQ(liveBlocks, before);
    MSG left;
    EXPECT_FALSE(PeekMessageA(&left, window, 0, 0, PM_REMOVE)) << "message " << left.message;
    EXPECT_FALSE(
        mailbox.post(WM_DEVICE_NAME, std::make_unique<std::uint64_t>(8), name("Front of house")));
    EXPECT_EQ(liveBlocks, before);

    // A post the system refuses (the window is gone) leaves the blocks with the
    // poster, who frees them.
    DestroyWindow(window);
    EXPECT_FALSE(WindowMessages::post(window, WM_DEVICE_NAME, std::make_unique<std::uint64_t>(9),
                                      name("Monitor")));
    EXPECT_FALSE(WindowMessages::post(window, WM_SERIAL_NUMBER, std::make_unique<std::uint64_t>(9),
                                      std::uintptr_t{1}));
    EXPECT_EQ(liveBlocks, before);

    // A window that reads its messages frees the blocks as it handles them.
    const HWND reader = CreateWindowExA(0, "STATIC", "", 0, 0, 0, 0, 0, HWND_MESSAGE, nullptr,
                                        GetModuleHandleA(nullptr), nullptr);
    ASSERT_NE(reader, nullptr);
    EXPECT_TRUE(WindowMessages::post(reader, WM_DEVICE_NAME, std::make_unique<std::uint64_t>(9),
                                     name("Monitor")));
    MSG message;
    ASSERT_TRUE(PeekMessageA(&message, reader, WM_DEVICE_NAME, WM_DEVICE_NAME, PM_REMOVE));
    const auto id = WindowMessages::take<std::uint64_t>(message.wParam);
    const auto text = WindowMessages::take<char[]>(static_cast<std::uintptr_t>(message.lParam));
    EXPECT_EQ(*id, 9u);
    EXPECT_STREQ(text.get(), "Monitor");
    DestroyWindow(reader);
}

} // namespace

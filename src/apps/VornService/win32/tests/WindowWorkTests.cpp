// What the window thread does while many devices arrive, counted rather than
// timed: the messages the window sends to its list and status bar, seen by a
// hook on the window thread. Under Wine each of them costs a repaint or a walk
// over every row, and once per row they made the list several times slower.
#include "WindowTestSupport.h"

#include "MainWindowRules.h"
#include "Resource.h"

#include <commctrl.h>

#include <atomic>

namespace {

using namespace std::chrono_literals;
using namespace WindowTest;

// Counted on the window thread, read by the test.
struct WindowWork {
    std::atomic<int> rowsInserted{0};
    std::atomic<int> countTexts{0};    // the status bar's first field: the device count
    std::atomic<int> addressTexts{0};  // its last field: the selected device's address
    std::atomic<int> redraws{0};       // the list's drawing turned back on
    std::atomic<int> selectedScans{0}; // the list asked for its selected row
    std::atomic<int> timerTicks{0};    // the main window's timer
    std::atomic<bool> counting{false};
};
WindowWork work;

LRESULT CALLBACK sentMessage(int code, WPARAM wParam, LPARAM lParam) {
    if (code == HC_ACTION && work.counting) {
        const auto& sent = *reinterpret_cast<const CWPSTRUCT*>(lParam);
        switch (GetDlgCtrlID(sent.hwnd)) {
        case IDC_DEVICE_LIST:
            if (sent.message == LVM_INSERTITEMA)
                ++work.rowsInserted;
            else if (sent.message == WM_SETREDRAW && sent.wParam)
                ++work.redraws;
            else if (sent.message == LVM_GETNEXTITEM && (sent.lParam & LVNI_SELECTED))
                ++work.selectedScans;
            break;
        case IDC_STATUS_BAR:
            if (sent.message == SB_SETTEXTA && LOBYTE(sent.wParam) == 0)
                ++work.countTexts;
            else if (sent.message == SB_SETTEXTA && LOBYTE(sent.wParam) == 2)
                ++work.addressTexts;
            break;
        }
    }
    return CallNextHookEx(nullptr, code, wParam, lParam);
}

LRESULT CALLBACK takenMessage(int code, WPARAM wParam, LPARAM lParam) {
    if (code == HC_ACTION && wParam == PM_REMOVE && work.counting) {
        const auto& taken = *reinterpret_cast<const MSG*>(lParam);
        if (taken.message == WM_TIMER && taken.hwnd && GetParent(taken.hwnd) == nullptr)
            ++work.timerTicks;
    }
    return CallNextHookEx(nullptr, code, wParam, lParam);
}

struct Hook {
    HHOOK handle;
    Hook(int type, HOOKPROC procedure, DWORD thread)
        : handle(SetWindowsHookExA(type, procedure, nullptr, thread)) {}
    ~Hook() {
        if (handle)
            UnhookWindowsHookEx(handle);
    }
    Hook(const Hook&) = delete;
    Hook& operator=(const Hook&) = delete;
};

std::string statusText(HWND main, int field) {
    char text[260] = {};
    SendMessageTimeoutA(GetDlgItem(main, IDC_STATUS_BAR), SB_GETTEXTA, static_cast<WPARAM>(field),
                        reinterpret_cast<LPARAM>(text), SMTO_ABORTIFHUNG, 5000, nullptr);
    return text;
}

// Selects `row` of the list and waits until the panel shows its device's serial
// number (the devices are named "Rack-N" with serial number N).
void selectAndWaitForSerial(HWND main, UiDriver::List& list, int row) {
    const std::string name = list.cell(row, 0);
    ASSERT_EQ(name.rfind("Rack-", 0), 0u) << name;
    list.select(row);
    expectCurrentSerial(main, "Current serial number: " + name.substr(5));
}

// Every device answers the tool's first presence broadcast at once: one burst
// of rows, then one of names. The window draws the list and shows the count
// when a burst is over, at most once per tick of its redraw timer (a tick comes
// only while the window thread has nothing else to do), never once per row,
// and a name arriving never makes it look for the selected row.
TEST(WindowWork, ArrivingDevicesCostNoStatusTextRedrawOrSelectionScanPerRow) {
    VORN_REQUIRE_TEST_NAMESPACE();
    constexpr int devices = 300;
    std::vector<VornSim::DeviceSetup> setups;
    for (int i = 0; i < devices; ++i)
        setups.push_back(device(0x0000030000000001ull + static_cast<std::uint64_t>(i),
                                static_cast<std::uint8_t>(10 + i % 4), "Rack-" + std::to_string(i),
                                static_cast<std::uint32_t>(i)));
    auto simulator = simulate(std::move(setups));
    ProgramThread program;
    const DWORD self = ProgramThread::processId();

    // The hooks go on the window thread before the network is chosen.
    const HWND dialog = UiDriver::waitForWindow(self, "#32770", "Select Network", 20s);
    ASSERT_NE(dialog, nullptr);
    const DWORD windowThread = GetWindowThreadProcessId(dialog, nullptr);
    const Hook sent(WH_CALLWNDPROC, &sentMessage, windowThread);
    const Hook taken(WH_GETMESSAGE, &takenMessage, windowThread);
    ASSERT_TRUE(sent.handle && taken.handle) << "hooks refused: " << GetLastError();
    work.counting = true;

    ASSERT_NO_FATAL_FAILURE(chooseNetwork(self, toolAddress));
    const HWND main = mainWindow(self);
    ASSERT_NE(main, nullptr);
    UiDriver::List list(GetDlgItem(main, IDC_DEVICE_LIST));
    int firstUnnamed = 0;
    const bool named = TestSupport::waitUntil(
        [&] {
            if (list.rowCount() < devices)
                return false;
            while (firstUnnamed < devices && list.cell(firstUnnamed, 0) != "Unknown")
                ++firstUnnamed;
            return firstUnnamed == devices;
        },
        30s);
    EXPECT_TRUE(named) << list.rowCount() << " rows, the first unnamed at " << firstUnnamed;
    // The count follows with the list's redraw once the names are in.
    const std::string expected = MainWindowRules::deviceCountText(devices);
    EXPECT_TRUE(TestSupport::waitUntil([&] { return statusText(main, 0) == expected; }, 10s))
        << "status bar reads \"" << statusText(main, 0) << "\"";
    work.counting = false;

    const int ticks = work.timerTicks;
    EXPECT_EQ(work.rowsInserted, devices) << "the hook sees what the window sends its list";
    EXPECT_GE(work.countTexts, 1);
    EXPECT_LE(work.countTexts, ticks + 1) << "status texts against " << ticks << " ticks";
    EXPECT_GE(work.redraws, 1);
    EXPECT_LE(work.redraws, ticks) << "redraws against " << ticks << " ticks";
    EXPECT_LT(ticks, devices) << "the bounds above would hold for a text per row";
    EXPECT_EQ(work.selectedScans, 0) << "nothing was selected: no name needs the selected row";

    // The status bar repaints itself on every text: moving the selection from
    // one device to another sets the address field once at most (here never:
    // both have the same address), not once for the deselection and again for
    // the selection. Selecting nothing clears it once.
    const std::string address = std::string("Device address: ") + deviceAddress;
    ASSERT_NO_FATAL_FAILURE(selectAndWaitForSerial(main, list, 0));
    EXPECT_TRUE(TestSupport::waitUntil([&] { return statusText(main, 2) == address; }, 10s));
    work.addressTexts = 0;
    work.counting = true;
    ASSERT_NO_FATAL_FAILURE(selectAndWaitForSerial(main, list, devices / 2));
    // The deselection's own message comes before the serial number's: once the
    // serial shows, the address field has had its last word on this change.
    EXPECT_EQ(statusText(main, 2), address);
    EXPECT_EQ(work.addressTexts, 0);
    list.select(-1);
    EXPECT_TRUE(TestSupport::waitUntil([&] { return statusText(main, 2).empty(); }, 10s))
        << "the address field reads \"" << statusText(main, 2) << "\"";
    work.counting = false;
    EXPECT_EQ(work.addressTexts, 1);

    UiDriver::close(main);
    EXPECT_EQ(program.waitExit(20s), std::optional<int>(0));
}

} // namespace

// The window driven the way a technician drives it, against simulated devices
// on the test network: the program runs on a thread of this process (or as
// the real VornService.exe), the test acts as the user from outside.
#include "WindowTestSupport.h"

#include "MainWindowRules.h"
#include "Resource.h"
#include "Texts.h"

#include <commctrl.h>

#include <algorithm>
#include <stdexcept>
#include <thread>

namespace {

using namespace std::chrono_literals;
using namespace WindowTest;

constexpr std::uint64_t ondal4 = 0x0001E240000012ABull;
constexpr std::uint64_t ondal2 = 0x0000000A0000000Bull;
constexpr std::uint64_t corvet = 0x0000000700000001ull;

constexpr std::uint16_t getDeviceConfig = 102;
constexpr std::uint16_t setBoardId = 813;

std::vector<VornSim::DeviceSetup> standardDevices() {
    return {device(ondal4, 12, "Stage left", 4294967295u), device(ondal2, 10, "Front of house", 77),
            device(corvet, 7, "Monitor rack", 5)};
}

// Waits until the list shows exactly `expected` (rows as Name, Product, ID).
void expectRows(const UiDriver::List& list, const std::vector<std::vector<std::string>>& expected) {
    std::vector<std::vector<std::string>> shown;
    const bool matched = TestSupport::waitUntil(
        [&] {
            shown.clear();
            for (int row = 0; row < list.rowCount(); ++row)
                shown.push_back(list.row(row, 3));
            std::sort(shown.begin(), shown.end());
            return shown == expected;
        },
        15s);
    std::string seen;
    for (const auto& row : shown)
        seen += " [" + row[0] + " | " + row[1] + " | " + row[2] + "]";
    EXPECT_TRUE(matched) << "rows shown:" << seen;
}

// A part of the status bar (this process's windows only).
std::string statusText(HWND main, int part) {
    char text[260] = {};
    SendMessageTimeoutA(GetDlgItem(main, IDC_STATUS_BAR), SB_GETTEXTA, static_cast<WPARAM>(part),
                        reinterpret_cast<LPARAM>(text), SMTO_ABORTIFHUNG, 5000, nullptr);
    return text;
}

void expectStatus(HWND main, int part, const std::string& expected) {
    EXPECT_TRUE(TestSupport::waitUntil([&] { return statusText(main, part) == expected; }, 10s))
        << "status part " << part << " reads \"" << statusText(main, part) << "\", expected \""
        << expected << "\"";
}

struct Panel {
    HWND window, list, edit, button;
    explicit Panel(HWND main)
        : window(main), list(GetDlgItem(main, IDC_DEVICE_LIST)),
          edit(GetDlgItem(main, IDC_SERIAL_EDIT)), button(GetDlgItem(main, IDC_SET_SERIAL)) {}
    bool serialControlsEnabled() const {
        return UiDriver::isEnabled(edit) && UiDriver::isEnabled(button);
    }
    // Types `first` into the edit and presses "Set Serial".
    void setSerial(const std::string& first) const {
        UiDriver::type(edit, first);
        UiDriver::click(window, IDC_SET_SERIAL);
    }
};

HWND confirmDialog(DWORD processId) {
    return UiDriver::waitForWindow(processId, "#32770", "Confirm serial number", 10s);
}

void confirm(HWND dialog, const std::string& second) {
    UiDriver::type(GetDlgItem(dialog, IDC_CONFIRM_EDIT), second);
    UiDriver::click(dialog, IDOK);
}

const std::vector<std::vector<std::string>> standardRows = {
    {"Front of house", "Ondal 2", "0000000a:0000000b"},
    {"Stage left", "Ondal 4", "0001e240:000012ab"}};

// The program on this thread's process, its network chosen, the standard
// devices listed.
class WindowWithDevices : public ::testing::Test {
protected:
    void SetUp() override {
        VORN_REQUIRE_TEST_NAMESPACE();
        simulator = simulate(standardDevices());
        program = std::make_unique<ProgramThread>();
        ASSERT_NO_FATAL_FAILURE(chooseNetwork(self, toolAddress));
        main = mainWindow(self);
        ASSERT_NE(main, nullptr);
        panel = std::make_unique<Panel>(main);
        list = std::make_unique<UiDriver::List>(panel->list);
        // The two serviced products get rows with their names.
        ASSERT_NO_FATAL_FAILURE(expectRows(*list, standardRows));
    }

    const DWORD self = ProgramThread::processId();
    std::unique_ptr<VornSim::DeviceSimulator> simulator;
    std::unique_ptr<ProgramThread> program;
    HWND main = nullptr;
    std::unique_ptr<Panel> panel;
    std::unique_ptr<UiDriver::List> list;
};

TEST_F(WindowWithDevices, UserListsDevicesReadsAndWritesSerialNumbers) {
    // The type 7 device
    // gets none, and nobody asked for its name.
    EXPECT_EQ(requestsOf(*simulator, corvet, getDeviceConfig), 0u);
    EXPECT_EQ(currentSerial(main), "Current serial number: ...");
    EXPECT_FALSE(panel->serialControlsEnabled());
    // The status bar: devices listed, the chosen interface, no device address yet.
    expectStatus(main, 0, "2 devices");
    const std::string shownInterface = statusText(main, 1);
    EXPECT_EQ(shownInterface.rfind("Interface: ", 0), 0u) << shownInterface;
    EXPECT_NE(shownInterface.find(std::string(" (") + toolAddress + ")"), std::string::npos)
        << shownInterface;
    EXPECT_EQ(statusText(main, 2), "");

    // Selecting a row marks the device and shows its serial ("%d": -1) and,
    // in the status bar, its address.
    const int stageLeft = list->find(2, "0001e240:000012ab");
    list->select(stageLeft);
    expectStatus(main, 2, std::string("Device address: ") + deviceAddress);
    EXPECT_TRUE(simulator->waitUntil(
        [&] { return simulator->device(ondal4)->selectMark == std::uint16_t{0xFFFF}; }, 5s));
    expectCurrentSerial(main, "Current serial number: -1");
    EXPECT_TRUE(panel->serialControlsEnabled());

    // An empty entry is refused before any dialog opens.
    panel->setSerial("");
    acknowledgeBox(self, "Error", Text::invalidSerialFormat);
    EXPECT_EQ(UiDriver::findWindow(self, "#32770", "Confirm serial number"), nullptr);

    // A mismatched confirmation keeps the dialog open; leading zeros match.
    panel->setSerial("1234");
    HWND dialog = confirmDialog(self);
    ASSERT_NE(dialog, nullptr);
    EXPECT_EQ(UiDriver::itemText(dialog, IDC_CONFIRM_LABEL), Text::confirmSerial);
    EXPECT_EQ(UiDriver::text(panel->edit), "") << "the first entry is cleared";
    confirm(dialog, "1235");
    acknowledgeBox(self, "ERROR", Text::serialMismatch);
    EXPECT_TRUE(IsWindow(dialog));
    confirm(dialog, "");
    acknowledgeBox(self, "Error", Text::invalidSerialFormat);
    confirm(dialog, "01234");
    acknowledgeBox(self, "Success", Text::serialChanged);
    expectCurrentSerial(main, "Current serial number: 1234");
    EXPECT_EQ(simulator->device(ondal4)->setup.serial, 1234u);
    EXPECT_TRUE(UiDriver::isEnabled(panel->list));
    EXPECT_TRUE(panel->serialControlsEnabled());

    // Cancelling the confirmation sends nothing.
    const auto writes = requestsOf(*simulator, ondal4, setBoardId);
    panel->setSerial("5");
    dialog = confirmDialog(self);
    ASSERT_NE(dialog, nullptr);
    UiDriver::click(dialog, IDCANCEL);
    ASSERT_TRUE(UiDriver::waitGone(dialog, 5s));

    // A device that refuses the write: the error box, the serial unchanged.
    simulator->updateDeviceFaults(ondal4,
                                  [](VornSim::Faults& faults) { faults.refuseWrites = true; });
    panel->setSerial("0");
    dialog = confirmDialog(self);
    ASSERT_NE(dialog, nullptr);
    confirm(dialog, "0");
    acknowledgeBox(self, "Error", Text::serialSetFailed);
    expectCurrentSerial(main, "Current serial number: 1234");
    EXPECT_EQ(requestsOf(*simulator, ondal4, setBoardId), writes + 1) << "only the refused write";

    // Writing 0 is a number like any other. While the device is being written
    // (its acknowledgements held until the checks below are done; the engine
    // retries meanwhile and gives up only after 7.875 s), neither the list nor
    // the panel can be used.
    simulator->setDeviceFaults(ondal4, std::nullopt);
    ASSERT_TRUE(simulator->holdReplies(ondal4));
    panel->setSerial("0");
    dialog = confirmDialog(self);
    ASSERT_NE(dialog, nullptr);
    confirm(dialog, "0");
    ASSERT_TRUE(UiDriver::waitGone(dialog, 5s));
    expectCurrentSerial(main, "Current serial number: ...");
    EXPECT_FALSE(UiDriver::isEnabled(panel->list));
    EXPECT_FALSE(panel->serialControlsEnabled());
    EXPECT_TRUE(
        simulator->waitUntil([&] { return simulator->device(ondal4)->repliesHeld > 0; }, 5s))
        << "the write arrives and its acknowledgement waits";
    EXPECT_FALSE(UiDriver::findMessageBox(self)) << "no outcome before the device answers";
    ASSERT_TRUE(simulator->releaseReplies(ondal4));
    acknowledgeBox(self, "Success", Text::serialChanged);
    expectCurrentSerial(main, "Current serial number: 0");
    EXPECT_TRUE(UiDriver::isEnabled(panel->list));

    // Clicking empty space deselects: the mark is cleared, the panel disabled.
    list->select(-1);
    EXPECT_TRUE(simulator->waitUntil(
        [&] { return simulator->device(ondal4)->selectMark == std::uint16_t{0}; }, 5s));
    expectCurrentSerial(main, "Current serial number: ...");
    EXPECT_FALSE(panel->serialControlsEnabled());
    EXPECT_FALSE(UiDriver::isEnabled(currentSerialLabel(main)));
    expectStatus(main, 2, "");

    // Later activations never bring the network dialog back.
    SendMessageTimeoutA(main, WM_NCACTIVATE, FALSE, 0, SMTO_ABORTIFHUNG, 5000, nullptr);
    SendMessageTimeoutA(main, WM_NCACTIVATE, TRUE, 0, SMTO_ABORTIFHUNG, 5000, nullptr);
    EXPECT_EQ(UiDriver::findWindow(self, "#32770", "Select Network"), nullptr);

    // Resizing moves nothing but the list's bottom edge (and the separator's end).
    RECT before{}, after{}, client{};
    GetWindowRect(panel->edit, &before);
    SetWindowPos(main, nullptr, 0, 0, 900, 520, SWP_NOMOVE | SWP_NOZORDER);
    GetClientRect(main, &client);
    EXPECT_TRUE(TestSupport::waitUntil(
        [&] {
            RECT listRect{}, status{};
            GetWindowRect(panel->list, &listRect);
            GetWindowRect(GetDlgItem(main, IDC_STATUS_BAR), &status);
            // The list ends where the status bar begins, which ends at the bottom.
            return listRect.bottom == status.top &&
                   listRect.bottom - listRect.top == client.bottom - (status.bottom - status.top) &&
                   listRect.right - listRect.left == 410;
        },
        5s));
    GetWindowRect(panel->edit, &after);
    EXPECT_TRUE(EqualRect(&before, &after));

    // Help > About names the program and its version.
    PostMessageA(main, WM_COMMAND, IDM_ABOUT, 0);
    const auto about = UiDriver::waitForMessageBox(self, 10s);
    ASSERT_TRUE(about);
    EXPECT_EQ(about->caption, "About VornService");
    EXPECT_EQ(about->text.rfind("VornService " VORN_PROJECT_VERSION "\n", 0), 0u) << about->text;
    UiDriver::click(about->window, IDOK);
    ASSERT_TRUE(UiDriver::waitGone(about->window, 5s));

    // File > Exit closes the window; the program ends with 0.
    PostMessageA(main, WM_COMMAND, IDM_EXIT, 0);
    EXPECT_EQ(program->waitExit(20s), std::optional<int>(0));
}

TEST_F(WindowWithDevices, KeyboardMovesTheFocusPressesSetSerialAndCopiesTheDevice) {
    const auto focusIs = [&](HWND control) {
        return TestSupport::waitUntil([&] { return UiDriver::focusOf(main) == control; }, 5s);
    };
    // The list has the focus once the window is up.
    ASSERT_TRUE(focusIs(panel->list));
    list->select(list->find(2, "0001e240:000012ab"));
    expectCurrentSerial(main, "Current serial number: -1");

    // Tab: list, edit, button and round again; Shift+Tab backwards.
    UiDriver::pressKey(main, VK_TAB);
    EXPECT_TRUE(focusIs(panel->edit));
    UiDriver::pressKey(main, VK_TAB);
    EXPECT_TRUE(focusIs(panel->button));
    UiDriver::pressKey(main, VK_TAB);
    EXPECT_TRUE(focusIs(panel->list));
    {
        UiDriver::HeldKeys shift(main, {VK_SHIFT});
        UiDriver::pressKey(main, VK_TAB);
        EXPECT_TRUE(focusIs(panel->button));
        UiDriver::pressKey(main, VK_TAB);
        EXPECT_TRUE(focusIs(panel->edit));
    }

    // Ctrl+C in the list copies the selected device as the row shows it, also
    // when another program holds the clipboard open for a moment as the key
    // arrives (a clipboard viewer, the system's clipboard manager): the copy
    // waits for it. The clipboard is read only once the copy has changed it, so
    // that the reading itself never keeps the copy out.
    UiDriver::pressKey(main, VK_TAB);
    UiDriver::pressKey(main, VK_TAB);
    ASSERT_TRUE(focusIs(panel->list));
    {
        const DWORD changesBefore = GetClipboardSequenceNumber();
        UiDriver::HeldKeys control(main, {VK_CONTROL});
        {
            const UiDriver::HeldClipboard otherProgram;
            ASSERT_TRUE(otherProgram.held());
            UiDriver::pressKey(main, 'C');
            std::this_thread::sleep_for(100ms); // how long the other program holds it
        }
        const std::optional<std::string> copied("Stage left\tOndal 4\t0001e240:000012ab");
        EXPECT_TRUE(TestSupport::waitUntil(
            [&] {
                return GetClipboardSequenceNumber() != changesBefore &&
                       UiDriver::clipboardText() == copied;
            },
            5s))
            << "clipboard: " << UiDriver::clipboardText().value_or("(none)");
    }

    // Enter in the list writes nothing; Enter in the edit presses "Set Serial".
    // Both keys are posted, in order: once the Tab has moved the focus, the
    // Enter was handled, and a write it started would show its confirmation.
    UiDriver::pressKey(main, VK_RETURN);
    UiDriver::pressKey(main, VK_TAB);
    const bool tabbed = focusIs(panel->edit);
    EXPECT_EQ(UiDriver::findWindow(self, "#32770", "Confirm serial number"), nullptr);
    EXPECT_FALSE(UiDriver::waitForMessageBox(self, 0ms));
    ASSERT_TRUE(tabbed);
    UiDriver::type(panel->edit, "4321");
    UiDriver::pressKey(main, VK_RETURN);
    const HWND dialog = confirmDialog(self);
    ASSERT_NE(dialog, nullptr);
    confirm(dialog, "4321");
    acknowledgeBox(self, "Success", Text::serialChanged);
    expectCurrentSerial(main, "Current serial number: 4321");

    UiDriver::close(main);
    EXPECT_EQ(program->waitExit(20s), std::optional<int>(0));
}

TEST_F(WindowWithDevices, SilentDeviceLosesItsRowAndReturnsWithANewOne) {
    list->select(list->find(2, "0001e240:000012ab"));
    expectCurrentSerial(main, "Current serial number: -1");

    // Silent for more than 10 s: the selected row goes, and with it the panel->
    const auto silentSince = std::chrono::steady_clock::now();
    simulator->updateDeviceFaults(ondal4, [](VornSim::Faults& faults) { faults.silent = true; });
    EXPECT_TRUE(TestSupport::waitUntil([&] { return list->rowCount() == 1; }, 20s));
    const auto lostAfter = std::chrono::steady_clock::now() - silentSince;
    EXPECT_GE(lostAfter, 9s);
    EXPECT_LE(lostAfter, 15s);
    EXPECT_EQ(list->cell(0, 0), "Front of house");
    expectStatus(main, 0, "1 device");
    expectStatus(main, 2, ""); // the selected device is gone
    expectCurrentSerial(main, "Current serial number: ...");
    EXPECT_FALSE(panel->serialControlsEnabled());
    // The button does nothing now: no device is selected.
    panel->setSerial("42");
    EXPECT_FALSE(UiDriver::waitForMessageBox(self, 500ms));

    // Back again: a new row at the end, named once its name arrives.
    simulator->setDeviceFaults(ondal4, std::nullopt);
    EXPECT_TRUE(TestSupport::waitUntil(
        [&] { return list->rowCount() == 2 && list->cell(1, 0) == "Stage left"; }, 10s));
    EXPECT_EQ(list->cell(1, 2), "0001e240:000012ab");

    UiDriver::close(main);
    EXPECT_EQ(program->waitExit(20s), std::optional<int>(0));
}

// A click on a column's header, as the mouse gives it (this process's
// windows only).
void clickHeader(HWND list, int column) {
    const auto header = reinterpret_cast<HWND>(SendMessageA(list, LVM_GETHEADER, 0, 0));
    RECT item{};
    SendMessageA(header, HDM_GETITEMRECT, static_cast<WPARAM>(column),
                 reinterpret_cast<LPARAM>(&item));
    const LPARAM at = MAKELPARAM((item.left + item.right) / 2, (item.top + item.bottom) / 2);
    PostMessageA(header, WM_LBUTTONDOWN, MK_LBUTTON, at);
    PostMessageA(header, WM_LBUTTONUP, 0, at);
}

// The header's sort arrow of `column`: 1 up, -1 down, 0 none.
int sortArrow(HWND list, int column) {
    const auto header = reinterpret_cast<HWND>(SendMessageA(list, LVM_GETHEADER, 0, 0));
    HDITEMA item{};
    item.mask = HDI_FORMAT;
    SendMessageA(header, HDM_GETITEMA, static_cast<WPARAM>(column),
                 reinterpret_cast<LPARAM>(&item));
    return (item.fmt & HDF_SORTUP) ? 1 : (item.fmt & HDF_SORTDOWN) ? -1 : 0;
}

std::vector<std::string> column(const UiDriver::List& list, int index) {
    std::vector<std::string> cells;
    for (int row = 0; row < list.rowCount(); ++row)
        cells.push_back(list.cell(row, index));
    return cells;
}

void expectColumn(const UiDriver::List& list, int index, const std::vector<std::string>& expected) {
    std::vector<std::string> shown;
    const bool matched =
        TestSupport::waitUntil([&] { return (shown = column(list, index)) == expected; }, 10s);
    std::string seen;
    for (const auto& cell : shown)
        seen += " [" + cell + "]";
    EXPECT_TRUE(matched) << "column " << index << " shows" << seen;
}

TEST(Window, HeaderClicksSortAndTheSelectionFollowsItsDevice) {
    VORN_REQUIRE_TEST_NAMESPACE();
    constexpr std::uint64_t booth = 0x0000000A0000000Bull, stage = 0x0001E240000012ABull,
                            amps = 0x0000000C00000003ull;
    auto simulator = simulate({device(stage, 12, "Stage left", 12), device(booth, 10, "Booth", 7),
                               device(amps, 13, "Amp rack", 3)});
    // The amp rack keeps quiet until the list is sorted.
    simulator->updateDeviceFaults(amps, [](VornSim::Faults& faults) { faults.silent = true; });
    ProgramThread program;
    const DWORD self = ProgramThread::processId();
    ASSERT_NO_FATAL_FAILURE(chooseNetwork(self, toolAddress));
    const HWND main = mainWindow(self);
    ASSERT_NE(main, nullptr);
    const HWND listWindow = GetDlgItem(main, IDC_DEVICE_LIST);
    UiDriver::List list(listWindow);
    ASSERT_NO_FATAL_FAILURE(expectRows(list, {{"Booth", "Ondal 2", "0000000a:0000000b"},
                                              {"Stage left", "Ondal 4", "0001e240:000012ab"}}));
    EXPECT_EQ(sortArrow(listWindow, 0), 0) << "unsorted at first";

    // Name: ascending, then descending, with the arrow.
    clickHeader(listWindow, 0);
    expectColumn(list, 0, {"Booth", "Stage left"});
    EXPECT_EQ(sortArrow(listWindow, 0), 1);
    clickHeader(listWindow, 0);
    expectColumn(list, 0, {"Stage left", "Booth"});
    EXPECT_EQ(sortArrow(listWindow, 0), -1);

    // The selection and the serial panel stay with the device.
    list.select(list.find(0, "Booth"));
    expectCurrentSerial(main, "Current serial number: 7");
    clickHeader(listWindow, 2); // ID, ascending: the arrow moves
    expectColumn(list, 2, {"0000000a:0000000b", "0001e240:000012ab"});
    EXPECT_EQ(sortArrow(listWindow, 0), 0);
    EXPECT_EQ(sortArrow(listWindow, 2), 1);
    EXPECT_EQ(list.cell(list.selectedRow(), 0), "Booth");
    clickHeader(listWindow, 0); // Name, ascending
    expectColumn(list, 0, {"Booth", "Stage left"});
    EXPECT_EQ(list.cell(list.selectedRow(), 0), "Booth");

    // A new device goes to its sorted place, first as "Unknown", then by its name.
    simulator->setDeviceFaults(amps, std::nullopt);
    expectColumn(list, 0, {"Amp rack", "Booth", "Stage left"});
    EXPECT_EQ(list.cell(list.selectedRow(), 0), "Booth");
    EXPECT_EQ(currentSerial(main), "Current serial number: 7");

    UiDriver::close(main);
    EXPECT_EQ(program.waitExit(20s), std::optional<int>(0));
}

TEST(Window, CancellingTheNetworkDialogExitsWithoutSending) {
    VORN_REQUIRE_TEST_NAMESPACE();
    auto simulator = simulate(standardDevices());
    ProgramThread program;
    const DWORD self = ProgramThread::processId();
    const HWND dialog = UiDriver::waitForWindow(self, "#32770", "Select Network", 20s);
    ASSERT_NE(dialog, nullptr);
    UiDriver::List adapters(GetDlgItem(dialog, IDC_NETWORK_LIST));
    EXPECT_EQ(adapters.rowCount(), 2);
    EXPECT_GE(adapters.find(1, toolAddress), 0);
    UiDriver::click(dialog, IDCANCEL);
    EXPECT_EQ(program.waitExit(20s), std::optional<int>(0));
    EXPECT_FALSE(UiDriver::findMessageBox(self));
    EXPECT_EQ(simulator->counters().toolPresence, 0u);
}

TEST(Window, StartFailuresShowTheirBoxAndExitZero) {
    VORN_REQUIRE_TEST_NAMESPACE();
    const DWORD self = ProgramThread::processId();

    // The adapter list cannot be read: its message, no rows, Cancel ends it.
    {
        ProgramThread program([](MainWindow& window) {
            window.setAdapterQuery([](std::vector<Network::AdapterEntry>&) {
                return Network::Enumerator::QueryResult::listFailed;
            });
        });
        const auto box = UiDriver::waitForMessageBox(self, 20s);
        ASSERT_TRUE(box);
        EXPECT_EQ(box->caption, "Error");
        EXPECT_FALSE(box->text.empty());
        UiDriver::click(box->window, IDOK);
        const HWND dialog = UiDriver::waitForWindow(self, "#32770", "Select Network", 10s);
        ASSERT_NE(dialog, nullptr);
        EXPECT_EQ(UiDriver::List(GetDlgItem(dialog, IDC_NETWORK_LIST)).rowCount(), 0);
        EXPECT_FALSE(UiDriver::isEnabled(GetDlgItem(dialog, IDOK)));
        UiDriver::click(dialog, IDCANCEL);
        EXPECT_EQ(program.waitExit(20s), std::optional<int>(0));
    }

    // OK with no row selected (the Enter key): no interface.
    {
        ProgramThread program;
        const HWND dialog = UiDriver::waitForWindow(self, "#32770", "Select Network", 20s);
        ASSERT_NE(dialog, nullptr);
        UiDriver::click(dialog, IDOK);
        acknowledgeBox(self, "Error", Text::invalidInterface);
        EXPECT_EQ(program.waitExit(20s), std::optional<int>(0));
    }

    // An address the endpoint cannot be opened on (Wine binds even addresses
    // no adapter has, so the adapter list offers one that is not an address):
    // the exception's own text.
    {
        ProgramThread program([](MainWindow& window) {
            window.setAdapterQuery([](std::vector<Network::AdapterEntry>& adapters) {
                adapters.push_back(
                    {"Broken", {0, 1, 2, 3, 4, 5}, {{"256.0.2.1", "255.255.255.0"}}});
                return Network::Enumerator::QueryResult::ok;
            });
        });
        ASSERT_NO_FATAL_FAILURE(chooseNetwork(self, "256.0.2.1"));
        const auto box = UiDriver::waitForMessageBox(self, 20s);
        ASSERT_TRUE(box);
        EXPECT_EQ(box->caption, "Error");
        EXPECT_FALSE(box->text.empty());
        EXPECT_EQ(box->text.find("src/"), std::string::npos) << "the message only: " << box->text;
        UiDriver::click(box->window, IDOK);
        EXPECT_EQ(program.waitExit(20s), std::optional<int>(0));
    }
}

TEST(Window, AnExceptionInADialogShowsAsAnErrorBox) {
    VORN_REQUIRE_TEST_NAMESPACE();
    const DWORD self = ProgramThread::processId();
    // An adapter query that throws: its text in an "Error" box, and the
    // dialog goes on working.
    {
        ProgramThread program([](MainWindow& window) {
            window.setAdapterQuery(
                [](std::vector<Network::AdapterEntry>&) -> Network::Enumerator::QueryResult {
                    throw std::runtime_error("the adapter list could not be read");
                });
        });
        acknowledgeBox(self, "Error", "the adapter list could not be read");
        const HWND dialog = UiDriver::waitForWindow(self, "#32770", "Select Network", 10s);
        ASSERT_NE(dialog, nullptr);
        UiDriver::click(dialog, IDCANCEL);
        EXPECT_EQ(program.waitExit(20s), std::optional<int>(0));
    }
}

TEST(Window, RealProgramListsDevicesAndExitsZero) {
    VORN_REQUIRE_TEST_NAMESPACE();
    auto simulator = simulate(standardDevices());
    UiDriver::Process program(programPath());
    ASSERT_TRUE(program.started()) << "cannot start " << programPath();
    ASSERT_NO_FATAL_FAILURE(chooseNetwork(program.id(), toolAddress));
    const HWND main = mainWindow(program.id());
    ASSERT_NE(main, nullptr);
    UiDriver::List list(GetDlgItem(main, IDC_DEVICE_LIST));
    expectRows(list, {{"Front of house", "Ondal 2", "0000000a:0000000b"},
                      {"Stage left", "Ondal 4", "0001e240:000012ab"}});
    list.select(list.find(2, "0000000a:0000000b"));
    expectCurrentSerial(main, "Current serial number: 77");
    UiDriver::close(main);
    EXPECT_EQ(program.waitExit(20s), std::optional<int>(0));
}

// The screen's dpi for programs started while the object lives: Wine reads
// LogPixels when a process starts. The values before are put back.
class LogPixels {
public:
    explicit LogPixels(DWORD dpi) {
        for (auto& key : keys_) {
            DWORD size = sizeof key.before;
            key.had = RegGetValueA(key.root, key.path, "LogPixels", RRF_RT_REG_DWORD, nullptr,
                                   &key.before, &size) == ERROR_SUCCESS;
            RegSetKeyValueA(key.root, key.path, "LogPixels", REG_DWORD, &dpi, sizeof dpi);
        }
    }
    ~LogPixels() {
        for (auto& key : keys_) {
            if (key.had)
                RegSetKeyValueA(key.root, key.path, "LogPixels", REG_DWORD, &key.before,
                                sizeof key.before);
            else
                RegDeleteKeyValueA(key.root, key.path, "LogPixels");
        }
    }
    LogPixels(const LogPixels&) = delete;
    LogPixels& operator=(const LogPixels&) = delete;

private:
    struct Key {
        HKEY root;
        const char* path;
        bool had = false;
        DWORD before = 0;
    };
    Key keys_[2] = {{HKEY_CURRENT_USER, "Control Panel\\Desktop"},
                    {HKEY_LOCAL_MACHINE,
                     "System\\CurrentControlSet\\Hardware Profiles\\Current\\Software\\Fonts"}};
};

MainWindowRules::Rect screenRect(HWND window) {
    RECT rect{};
    GetWindowRect(window, &rect);
    return {rect.left, rect.top, rect.right, rect.bottom};
}

struct ChildOfClass {
    const char* className;
    DWORD style; // with SS_TYPEMASK for statics, else 0
    HWND found = nullptr;
};

BOOL CALLBACK findChildOfClass(HWND child, LPARAM context) {
    auto& search = *reinterpret_cast<ChildOfClass*>(context);
    char name[64] = {};
    GetClassNameA(child, name, sizeof name);
    const auto style = static_cast<DWORD>(GetWindowLongPtrA(child, GWL_STYLE));
    if (lstrcmpiA(name, search.className) == 0 &&
        (search.style == 0 || (style & SS_TYPEMASK) == search.style)) {
        search.found = child;
        return FALSE;
    }
    return TRUE;
}

HWND childOfClass(HWND main, const char* className, DWORD style = 0) {
    ChildOfClass search{className, style};
    EnumChildWindows(main, &findChildOfClass, reinterpret_cast<LPARAM>(&search));
    return search.found;
}

// A move to a screen of another dpi: the window takes the size the system
// suggests and lays itself out again.
TEST_F(WindowWithDevices, DpiChangeLaysTheWindowOutAgain) {
    using MainWindowRules::scaled;
    ASSERT_EQ(screenRect(panel->list).width(), 410) << "the tests' screen is 96 dpi";
    RECT suggested{50, 50, 50 + scaled(760, 192), 50 + scaled(400, 192)};
    DWORD_PTR result = 0;
    ASSERT_TRUE(SendMessageTimeoutA(main, 0x02E0 /* WM_DPICHANGED */, MAKEWPARAM(192, 192),
                                    reinterpret_cast<LPARAM>(&suggested), SMTO_ABORTIFHUNG, 5000,
                                    &result));
    EXPECT_EQ(screenRect(main).width(), scaled(760, 192));
    EXPECT_EQ(screenRect(panel->list).width(), 820);
    EXPECT_EQ(SendMessageA(panel->list, LVM_GETCOLUMNWIDTH, 0, 0), 260);
    const auto logo = screenRect(childOfClass(main, "Static", SS_BITMAP));
    EXPECT_EQ(logo.width(), 624);
    EXPECT_EQ(logo.height(), 134);
    EXPECT_EQ(screenRect(panel->edit).width(), 200);
    // Rows and selection are untouched.
    expectRows(*list, standardRows);
    UiDriver::close(main);
    EXPECT_EQ(program->waitExit(20s), std::optional<int>(0));
}

// The real program, started at 96, 144 and 192 dpi: measured, not asked (a
// window of another process reports the caller's dpi).
TEST(Window, RealProgramLaysItselfOutForTheScreensDpi) {
    VORN_REQUIRE_TEST_NAMESPACE();
    auto simulator = simulate(standardDevices());
    int labelHeightAt96 = 0;
    for (const unsigned dpi : {96u, 144u, 192u}) {
        SCOPED_TRACE("dpi " + std::to_string(dpi));
        LogPixels screen(dpi);
        UiDriver::Process program(programPath());
        ASSERT_TRUE(program.started());
        ASSERT_NO_FATAL_FAILURE(chooseNetwork(program.id(), toolAddress));
        const HWND main = mainWindow(program.id());
        ASSERT_NE(main, nullptr);
        const HWND listWindow = GetDlgItem(main, IDC_DEVICE_LIST);
        UiDriver::List list(listWindow);
        expectRows(list, standardRows);
        using MainWindowRules::scaled;
        EXPECT_EQ(screenRect(listWindow).width(), scaled(410, dpi));
        for (int column = 0; column < 3; ++column)
            EXPECT_EQ(SendMessageA(listWindow, LVM_GETCOLUMNWIDTH, column, 0), scaled(130, dpi));
        RECT client{};
        GetClientRect(main, &client);
        POINT origin{0, 0};
        ClientToScreen(main, &origin);
        const auto edit = screenRect(GetDlgItem(main, IDC_SERIAL_EDIT));
        EXPECT_EQ(edit.left - origin.x, scaled(420, dpi));
        EXPECT_EQ(edit.width(), scaled(100, dpi));
        // The logo is the art drawn for this dpi, not the 100 % one stretched.
        const auto logo = screenRect(childOfClass(main, "Static", SS_BITMAP));
        const int logoWidth = dpi == 96 ? 312 : dpi == 144 ? 468 : 624;
        const int logoHeight = dpi == 96 ? 67 : dpi == 144 ? 101 : 134;
        EXPECT_EQ(logo.width(), logoWidth);
        EXPECT_EQ(logo.height(), logoHeight);
        EXPECT_EQ(logo.top - origin.y, scaled(40, dpi));
        // The font grows with the dpi: the labels are as tall as its text.
        const auto label = screenRect(currentSerialLabel(main));
        if (dpi == 96)
            labelHeightAt96 = label.height();
        else
            EXPECT_GE(label.height() * 96, labelHeightAt96 * static_cast<int>(dpi) * 9 / 10)
                << "label " << label.height() << " px at " << dpi << " dpi, " << labelHeightAt96
                << " px at 96";
        // The button holds its text, whatever the font.
        const auto button = screenRect(GetDlgItem(main, IDC_SET_SERIAL));
        EXPECT_GE(button.height(), label.height());
        EXPECT_GE(button.left, edit.right);
        UiDriver::close(main);
        EXPECT_EQ(program.waitExit(20s), std::optional<int>(0));
    }
}

} // namespace

#include "MainWindow.h"

#include "Clipboard.h"
#include "DeviceListExport.h"
#include "DeviceListFile.h"
#include "Exception.h"
#include "ListView.h"
#include "NetworkDialog.h"
#include "ProductName.h"
#include "Resource.h"
#include "SerialConfirmDialog.h"
#include "SerialRecord.h"
#include "StartUp.h"
#include "Texts.h"
#include "WindowMessages.h"

#include <commctrl.h>

#include <algorithm>
#include <cstring>
#include <functional>
#include <utility>

using MainWindowRules::PanelState;

namespace {

constexpr DWORD mainStyle = WS_OVERLAPPEDWINDOW | WS_CLIPCHILDREN;

} // namespace

MainWindow::MainWindow() = default;

MainWindow::~MainWindow() {
    // A window still up (the loop ended without closing it) goes first, while
    // its rows can still hand back their ids.
    if (children_.window && IsWindow(children_.window))
        DestroyWindow(children_.window);
    layout_.release();
    flow_.reset(); // before the controller and the journal it writes with
    controller_.reset();
}

bool MainWindow::create(HINSTANCE instance, int showCommand) {
    children_.instance = instance;
    LoadStringA(instance, IDS_APP_TITLE, title_, sizeof title_);
    LoadStringA(instance, IDC_VORNSERVICE, className_, sizeof className_);

    WNDCLASSEXA windowClass{};
    windowClass.cbSize = sizeof windowClass;
    windowClass.lpfnWndProc = &MainWindow::procedure;
    windowClass.hInstance = instance;
    windowClass.hIcon = LoadIconA(instance, MAKEINTRESOURCEA(IDI_VORNSERVICE));
    windowClass.hIconSm = windowClass.hIcon;
    windowClass.hCursor = LoadCursorA(nullptr, IDC_ARROW);
    windowClass.hbrBackground = reinterpret_cast<HBRUSH>(COLOR_WINDOW + 1);
    windowClass.lpszClassName = className_;
    RegisterClassExA(&windowClass);

    const auto size = MainWindowLayout::initialSize();
    const HWND window =
        CreateWindowExA(0, className_, title_, mainStyle, CW_USEDEFAULT, CW_USEDEFAULT, size.width,
                        size.height, nullptr, nullptr, instance, this);
    if (!window)
        return false;
    // Every command of the menu works: File > Exit and Help > About.
    WindowHandles::UniqueMenu menu(LoadMenuA(instance, MAKEINTRESOURCEA(IDC_VORNSERVICE)));
    if (menu && SetMenu(window, menu.get()))
        static_cast<void>(menu.release());
    ShowWindow(window, showCommand);
    UpdateWindow(window);
    accelerators_ = LoadAcceleratorsA(instance, MAKEINTRESOURCEA(IDC_VORNSERVICE));
    return true;
}

// ---- Children and layout ----

HWND MainWindow::createChild(DWORD exStyle, const char* className, const char* text, DWORD style,
                             int x, int y, int width, int height, int id) {
    return CreateWindowExA(exStyle, className, text, style, x, y, width, height, children_.window,
                           reinterpret_cast<HMENU>(static_cast<INT_PTR>(id)), children_.instance,
                           this);
}

bool MainWindow::createChildren() {
    const unsigned dpi = MainWindowLayout::windowDpi(children_.window);
    // The status bar along the bottom edge; the list ends above it.
    children_.statusBar =
        createChild(0, STATUSCLASSNAMEA, "", WS_CHILD | WS_VISIBLE | SBARS_SIZEGRIP, 0, 0, 0, 0,
                    IDC_STATUS_BAR);
    children_.deviceList = createChild(WS_EX_CLIENTEDGE, WC_LISTVIEWA, "",
                                       WS_CHILD | WS_VISIBLE | WS_TABSTOP | LVS_REPORT |
                                           LVS_SINGLESEL | LVS_SHOWSELALWAYS,
                                       0, 0, MainWindowRules::listWidth, 0, IDC_DEVICE_LIST);
    if (!children_.deviceList)
        return false;
    list_.attach(children_.window, children_.deviceList, children_.statusBar);
    ListView::setExtendedStyle(children_.deviceList);
    const UINT headers[] = {IDS_COLUMN_NAME, IDS_COLUMN_PRODUCT, IDS_COLUMN_ID};
    for (int column = 0; column < 3; ++column)
        if (!ListView::insertColumn(children_.deviceList, children_.instance, column,
                                    headers[column], MainWindowRules::scaled(130, dpi)))
            return false;

    children_.currentSerialLabel =
        createChild(0, "Static", "", WS_CHILD | WS_VISIBLE, 0, 0, 0, 0, 0);
    showCurrentSerial(Text::serialPending);
    children_.separator =
        createChild(0, "Static", "", WS_CHILD | WS_VISIBLE | SS_GRAYFRAME, 0, 0, 0, 0, 0);
    children_.logoView =
        createChild(0, "Static", "", WS_CHILD | WS_VISIBLE | SS_BITMAP, 0, 0, 0, 0, 0);
    char text[260] = {};
    LoadStringA(children_.instance, IDS_SERIAL_LABEL, text, sizeof text);
    children_.serialLabel = createChild(0, "Static", text, WS_CHILD | WS_VISIBLE, 0, 0, 0, 0, 0);
    children_.serialEdit =
        createChild(WS_EX_CLIENTEDGE, "Edit", "", WS_CHILD | WS_VISIBLE | WS_TABSTOP | ES_NUMBER, 0,
                    0, 0, 0, IDC_SERIAL_EDIT);
    SendMessageA(children_.serialEdit, EM_LIMITTEXT, 8, 0);
    LoadStringA(children_.instance, IDS_SET_SERIAL, text, sizeof text);
    children_.setButton = createChild(0, "Button", text, WS_CHILD | WS_VISIBLE | WS_TABSTOP, 0, 0,
                                      0, 0, IDC_SET_SERIAL);

    layout_.apply(children_);
    list_.layOutStatusParts(layout_.dpi());
    applyEnables(PanelState::created);
    return true;
}

void MainWindow::showSelectedAddress() {
    showAddressOf(list_.selectedDevice());
}

void MainWindow::showAddressOf(std::optional<std::uint64_t> id) {
    if (!children_.statusBar)
        return;
    std::optional<std::uint32_t> address;
    if (id && controller_) {
        // None: gone from the network since; no address to show.
        if (const auto device = controller_->findDevice(*id))
            address = device->address;
    }
    std::string text = MainWindowRules::deviceAddressText(address);
    if (text == addressText_)
        return;
    addressText_ = std::move(text);
    SendMessageA(children_.statusBar, SB_SETTEXTA, 2,
                 reinterpret_cast<LPARAM>(addressText_.c_str()));
}

// ---- Start-up ----

void MainWindow::onNcActivate() {
    firstActivation_ = false;
    NetworkDialogState state;
    state.instance = children_.instance;
    state.owner = children_.window;
    NetworkDialog dialog(state, adapterQuery_);
    if (dialog.show() == IDCANCEL) {
        PostQuitMessage(StartUp::exitNormal);
        return;
    }
    const auto address = chosenAddress(state.choices, state.selected);
    if (address && children_.statusBar) {
        interfaceText_ = MainWindowRules::interfaceText(
            state.choices[static_cast<std::size_t>(state.selected)].description, *address);
        SendMessageA(children_.statusBar, SB_SETTEXTA, 1,
                     reinterpret_cast<LPARAM>(interfaceText_.c_str()));
    }
    startController(address);
}

void MainWindow::startController(const std::optional<std::string>& address) {
    StartUp::Result started = StartUp::startController(
        address, [this](VornService& controller) { registerHandlers(controller); });
    if (started.failure) {
        MessageBoxA(children_.window, started.failure->c_str(), Text::errorCaption, MB_ICONERROR);
        PostQuitMessage(StartUp::exitNormal);
        return;
    }
    controller_ = std::move(started.controller);
    flow_ = std::make_unique<SerialWriteFlow>(*controller_);
    if (address)
        journal_.useInterface(*address);
}

// The handlers get the controller they run for, fully built: they never read
// controller_, which the window thread sets only after start() has returned.
void MainWindow::registerHandlers(VornService& controller) {
    controller.deviceAddedHandlers.push_back(
        [this, &controller](std::uint64_t id) { onDeviceAdded(controller, id); });
    controller.deviceRemovedHandlers.push_back([this](std::uint64_t id) { onDeviceRemoved(id); });
}

// ---- Engine threads: read the controller, post, nothing else ----

void MainWindow::onDeviceAdded(VornService& controller, std::uint64_t id) {
    const auto device = controller.findDevice(id);
    if (!device || !isServicedType(device->deviceType))
        return;
    mailbox_.post(WM_DEVICE_ADDED, WindowMessages::highHalf(id), WindowMessages::lowHalf(id));
}

void MainWindow::onDeviceRemoved(std::uint64_t id) {
    mailbox_.post(WM_DEVICE_REMOVED, WindowMessages::highHalf(id), WindowMessages::lowHalf(id));
}

void MainWindow::onDeviceName(std::uint64_t id, bool ok, std::string name) {
    if (!ok)
        return;
    auto text = std::make_unique<char[]>(name.size() + 1);
    std::memcpy(text.get(), name.c_str(), name.size() + 1);
    mailbox_.post(WM_DEVICE_NAME, std::make_unique<std::uint64_t>(id), std::move(text));
}

void MainWindow::onSerialNumber(std::uint64_t id, bool ok, unsigned serial) {
    if (!ok) {
        // The journal needs to know when a read-back was not answered.
        mailbox_.post(WM_SERIAL_UNREAD, WindowMessages::highHalf(id), WindowMessages::lowHalf(id));
        return;
    }
    mailbox_.post(WM_SERIAL_NUMBER, std::make_unique<std::uint64_t>(id),
                  static_cast<std::uintptr_t>(serial));
}

void MainWindow::onSerialWritten(const SerialWriteReport& report) {
    mailbox_.post(WM_SERIAL_WRITTEN, std::make_unique<SerialWriteReport>(report),
                  static_cast<std::uintptr_t>(0));
}

// ---- Window thread: the private messages ----

// The name is asked for here, once the row is certain to exist before the
// answer can arrive; a device whose name request is refused (it has left) gets
// no row.
void MainWindow::onDeviceAddedMessage(std::uint64_t id) {
    if (!controller_)
        return;
    list_.setNotListed(controller_->devicesDropped());
    const auto device = controller_->findDevice(id);
    if (!device)
        return; // gone again
    const unsigned deviceType = device->deviceType;
    using namespace std::placeholders;
    if (controller_->requestDeviceName(id, std::bind(&MainWindow::onDeviceName, this, _1, _2, _3),
                                       NameRounds::UntilNamed))
        list_.add(id, deviceType);
}

void MainWindow::onDeviceRemovedMessage(std::uint64_t id) {
    journal_.deviceLeft(id);
    if (controller_)
        list_.setNotListed(controller_->devicesDropped());
    // A deleted row reports no change of selection: the panel must learn here
    // that its device is gone.
    if (list_.remove(id) != DeviceListView::Removed::selectedRow)
        return;
    showCurrentSerial(Text::serialPending);
    showSelectedAddress();
    if (!writing_)
        refreshSelectionState();
}

void MainWindow::onSerialNumberMessage(std::uint64_t id, std::optional<std::uint32_t> serial) {
    if (serial && MainWindowRules::showsSerialReply(list_.rowOf(id), list_.selectedRow()))
        showCurrentSerial(formatSerial(*serial));
    journal_.serialRead(id, serial);
}

// ---- The list ----

LRESULT MainWindow::onNotify(const NMHDR& header) {
    if (header.idFrom != IDC_DEVICE_LIST)
        return 0;
    switch (header.code) {
    case LVN_GETDISPINFOA:
        list_.fillDisplayInfo(
            const_cast<NMLVDISPINFOA&>(reinterpret_cast<const NMLVDISPINFOA&>(header)));
        return 0;
    case LVN_BEGINLABELEDITA:
        return 1;
    case LVN_DELETEITEM:
        list_.deleted(reinterpret_cast<const NMLISTVIEW&>(header));
        return 0;
    case LVN_ITEMCHANGED:
        onItemChanged(reinterpret_cast<const NMLISTVIEW&>(header));
        return 0;
    case LVN_COLUMNCLICK:
        list_.sortBy(reinterpret_cast<const NMLISTVIEW&>(header).iSubItem);
        return 0;
    }
    return 0;
}

void MainWindow::onItemChanged(const NMLISTVIEW& change) {
    if (const auto device = list_.deviceAt(change.iItem); device && controller_) {
        const std::uint64_t id = *device;
        switch (MainWindowRules::selectionChange(change.uOldState, change.uNewState)) {
        case MainWindowRules::SelectionChange::selected:
            // The read leaves first: the user waits for its answer.
            readSerialNumber(id);
            controller_->selectDevice(id);
            showAddressOf(id);
            break;
        case MainWindowRules::SelectionChange::deselected:
            showCurrentSerial(Text::serialPending);
            controller_->deselectDevice(id);
            PostMessageA(children_.window, WM_SELECTION_SETTLED, 0, 0);
            break;
        case MainWindowRules::SelectionChange::none:
            break;
        }
    }
    // A row's text changing is an item change too: it leaves the panel as it
    // is (finding the selected row is a walk over every row). While a write
    // runs the serial controls stay off.
    if (!writing_ && MainWindowRules::selectionMayHaveChanged(change.iItem, change.uChanged,
                                                              change.uOldState, change.uNewState))
        refreshSelectionState();
}

// ---- The serial panel ----

void MainWindow::showCurrentSerial(const std::string& text) {
    char pattern[260] = {};
    LoadStringA(children_.instance, IDS_CURRENT_SERIAL, pattern, sizeof pattern);
    SetWindowTextA(children_.currentSerialLabel, fillSerial(pattern, text).c_str());
}

// The request leaves before the label changes: its answer is posted, so it
// is shown after the label's "pending" in any case.
void MainWindow::readSerialNumber(std::uint64_t id) {
    if (controller_) {
        using namespace std::placeholders;
        controller_->requestSerialNumber(id,
                                         std::bind(&MainWindow::onSerialNumber, this, _1, _2, _3));
    }
    showCurrentSerial(Text::serialPending);
}

void MainWindow::setSerialClicked() {
    const auto id = list_.selectedDevice();
    if (!id)
        return;
    char typed[260] = {};
    GetWindowTextA(children_.serialEdit, typed, 259);
    const auto start = MainWindowRules::startSetSerial(typed);
    if (start.problem) {
        show(*start.problem);
        return;
    }
    SetWindowTextA(children_.serialEdit, "");
    // The other devices' numbers are read while the user confirms.
    if (flow_) {
        std::vector<ListedDevice> others = listedDevices();
        others.erase(std::remove_if(others.begin(), others.end(),
                                    [&](const ListedDevice& d) { return d.id == *id; }),
                     others.end());
        flow_->readAhead(others);
    }

    SerialConfirmState state;
    state.instance = children_.instance;
    state.owner = children_.window;
    state.first = *start.first;
    SerialConfirmDialog dialog(state);
    if (dialog.show() != IDOK)
        return;

    startWrite(*id, static_cast<std::uint32_t>(state.second), false);
}

std::vector<ListedDevice> MainWindow::listedDevices() const {
    std::vector<ListedDevice> listed;
    const DeviceRows& rows = list_.rows();
    for (int i = 0; i < rows.count(); ++i) {
        const DeviceRows::Row& row = rows.row(i);
        std::optional<std::string> name;
        if (row.name != Text::unknownName)
            name = row.name;
        listed.push_back({row.id, std::move(name)});
    }
    return listed;
}

bool MainWindow::startWrite(std::uint64_t id, std::uint32_t target, bool allowDuplicate) {
    if (!flow_) {
        show(MainWindowRules::writeRefused());
        return false;
    }
    // Nothing is written without a record in the journal.
    Journal::SerialJournal* journal = journal_.open(children_.window);
    if (!journal)
        return false;
    SerialWriteRequest request;
    request.id = id;
    request.target = target;
    request.allowDuplicate = allowDuplicate;
    request.journal = journal;
    for (ListedDevice& device : listedDevices()) {
        if (device.id == id)
            request.name = std::move(device.name);
        else
            request.listed.push_back(std::move(device));
    }
    if (!flow_->submit(std::move(request),
                       [this](const SerialWriteReport& report) { onSerialWritten(report); })) {
        show(MainWindowRules::writeRefused());
        return false;
    }
    writing_ = true;
    applyEnables(PanelState::writeInProgress);
    showCurrentSerial(Text::serialPending);
    return true;
}

void MainWindow::onSerialWrittenMessage(const SerialWriteReport& report) {
    const MainWindowRules::WriteStep step = MainWindowRules::afterWrite(report);
    if (step.question) {
        const int answer =
            MessageBoxA(children_.window, step.question->c_str(), MainWindowRules::duplicateCaption,
                        MB_YESNO | MB_ICONWARNING | MB_DEFBUTTON2);
        if (answer == IDYES && startWrite(report.id, report.target, true))
            return;
    }
    if (!step.journalProblem.empty())
        MessageBoxA(children_.window, step.journalProblem.c_str(), Text::errorCaption,
                    MB_ICONERROR);
    if (step.outcome)
        show(*step.outcome);
    writing_ = false;
    // The device may have left while it was written: then nothing is selected.
    applyEnables(list_.selectedRow() != -1 ? PanelState::writeFinished : PanelState::noRowSelected);
    if (step.unchanged) {
        // Nothing was written: the number read before stands.
        journal_.serialRead(report.id, step.unchanged);
        if (MainWindowRules::showsSerialReply(list_.rowOf(report.id), list_.selectedRow()))
            showCurrentSerial(formatSerial(*step.unchanged));
        return;
    }
    readSerialNumber(report.id);
}

// ---- File > Export device list... ----

void MainWindow::exportDeviceList() {
    std::vector<DeviceListExport::Row> rows;
    const DeviceRows& listed = list_.rows();
    for (int i = 0; i < listed.count(); ++i) {
        const DeviceRows::Row& row = listed.row(i);
        std::string address;
        if (controller_)
            if (const auto device = controller_->findDevice(row.id))
                address = SerialRecord::deviceFacts(*device, {}).address;
        rows.push_back({row.name, row.product, row.idText, address, journal_.lastRead(row.id)});
    }
    const auto path = exportChooser_ ? exportChooser_(children_.window)
                                     : DeviceListFile::askWhere(children_.window);
    if (path)
        DeviceListFile::save(children_.window, *path, DeviceListExport::csv(rows));
}

MainWindowRules::Focus MainWindow::focusedControl() const {
    using MainWindowRules::Focus;
    const HWND focus = GetFocus();
    if (!focus)
        return Focus::other;
    if (focus == children_.deviceList)
        return Focus::deviceList;
    if (focus == children_.serialEdit)
        return Focus::serialEdit;
    if (focus == children_.setButton)
        return Focus::setButton;
    return Focus::other;
}

void MainWindow::copySelection() {
    const int row = list_.selectedRow();
    switch (MainWindowRules::copyTarget(focusedControl(), row >= 0)) {
    case MainWindowRules::CopyTarget::editText:
        SendMessageA(children_.serialEdit, WM_COPY, 0, 0);
        return;
    case MainWindowRules::CopyTarget::device:
        if (!Clipboard::setText(children_.window, list_.copiedRow(row)))
            MessageBeep(MB_ICONERROR); // nothing was copied
        return;
    case MainWindowRules::CopyTarget::nothing:
        return;
    }
}

void MainWindow::applyEnables(PanelState state) {
    const auto enables = MainWindowRules::enablesFor(state);
    // Every row's text update is an item change too: thousands of them while
    // devices arrive, each of which would cost the window system a round trip
    // per control if nothing had changed.
    if (enables == shownEnables_)
        return;
    shownEnables_ = enables;
    EnableWindow(children_.deviceList, enables.deviceList);
    EnableWindow(children_.serialEdit, enables.serialControls);
    EnableWindow(children_.serialLabel, enables.serialControls);
    EnableWindow(children_.setButton, enables.serialControls);
    EnableWindow(children_.currentSerialLabel, enables.currentSerialLabel);
}

void MainWindow::refreshSelectionState() {
    applyEnables(list_.selectedRow() != -1 ? PanelState::rowSelected : PanelState::noRowSelected);
}

void MainWindow::show(const MainWindowRules::Notice& notice) {
    MessageBoxA(children_.window, notice.text, notice.caption, notice.icon);
}

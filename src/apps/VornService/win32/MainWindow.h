#pragma once

#include "DeviceListView.h"
#include "MainWindowLayout.h"
#include "MainWindowRules.h"
#include "SerialWriteFlow.h"
#include "VornService.h"
#include "WindowHandles.h"
#include "WindowJournal.h"
#include "WindowMessages.h"
#include "WindowProcedure.h"
#include "transport/Enumerator.h"

#include <windows.h>

#include <commctrl.h>

#include <cstdint>
#include <filesystem>
#include <functional>
#include <memory>
#include <optional>
#include <string>
#include <vector>

// The tool's only top-level window: the list of serviced devices on the left;
// the selected device's serial number, the logo and the panel for writing a
// new serial number on the right.
//
// Threads: the window and everything in it belong to the window thread. The
// device handlers and request callbacks (on*) run on the engine's threads;
// they read the controller and post one private message, nothing else. The
// controller is started on the first activation, after the user has chosen
// the network interface, and deleted with the window object.
class MainWindow : public WindowProcedure<MainWindow> {
public:
    MainWindow();
    // Deletes the logo, the font, then the controller (which stops the engine);
    // destroys the window first if it still exists.
    virtual ~MainWindow();
    MainWindow(const MainWindow&) = delete;
    MainWindow& operator=(const MainWindow&) = delete;

    // Registers the window class and creates and shows the window. False when
    // the window could not be created.
    bool create(HINSTANCE instance, int showCommand);

    HWND handle() const { return children_.window; }
    HACCEL accelerators() const { return accelerators_; }
    // Lists adapters for the network dialog; the system's unless a test sets
    // its own before the first activation.
    void setAdapterQuery(Network::Enumerator::Query query) { adapterQuery_ = std::move(query); }
    // The journal of serial writes: the default place unless a test sets its
    // own before the first write.
    void setJournal(std::filesystem::path path) { journal_.usePath(std::move(path)); }
    // Where File > Export device list... saves: the standard save dialog
    // unless a test sets its own chooser (none: cancelled).
    using ExportChooser = std::function<std::optional<std::filesystem::path>(HWND owner)>;
    void setExportChooser(ExportChooser chooser) { exportChooser_ = std::move(chooser); }

    LRESULT handleMessage(HWND window, UINT message, WPARAM wParam, LPARAM lParam);

    // Engine threads.
    void onDeviceAdded(VornService& controller, std::uint64_t id);
    void onDeviceRemoved(std::uint64_t id);
    void onDeviceName(std::uint64_t id, bool ok, std::string name);
    void onSerialNumber(std::uint64_t id, bool ok, unsigned serial);
    void onSerialWritten(const SerialWriteReport& report); // the flow's thread

private:
    // A message's handler: its result, or none for the default handling.
    using Result = std::optional<LRESULT>;
    using Handler = Result (MainWindow::*)(UINT message, WPARAM wParam, LPARAM lParam);
    struct MessageRoute {
        UINT message;
        Handler handler;
    };
    // A command's handler (WM_COMMAND from the menu, an accelerator or a button).
    struct CommandRoute {
        int id;
        void (MainWindow::*command)();
    };
    // Every message and command the window handles, with its handler; a new
    // command is one more line in commandRoutes and its handler.
    static const MessageRoute messageRoutes[];
    static const CommandRoute commandRoutes[];

    Result handleCreate(UINT, WPARAM, LPARAM);
    Result handleSize(UINT, WPARAM, LPARAM);
    Result handleNotify(UINT, WPARAM, LPARAM);
    Result handleCommand(UINT, WPARAM, LPARAM);
    Result handleGetDefId(UINT, WPARAM, LPARAM);
    Result handleActivate(UINT, WPARAM, LPARAM);
    Result handleSetFocus(UINT, WPARAM, LPARAM);
    Result handlePaint(UINT, WPARAM, LPARAM);
    Result handleStaticColor(UINT, WPARAM, LPARAM);
    Result handleNcActivate(UINT, WPARAM, LPARAM);
    Result handleDestroy(UINT, WPARAM, LPARAM);
    Result handleDpiChanged(UINT, WPARAM, LPARAM);
    Result handleTimer(UINT, WPARAM, LPARAM);
    Result handleDeviceAdded(UINT, WPARAM, LPARAM);
    Result handleDeviceRemoved(UINT, WPARAM, LPARAM);
    Result handleDeviceName(UINT, WPARAM, LPARAM);
    Result handleSerialNumber(UINT, WPARAM, LPARAM);
    Result handleSerialUnread(UINT, WPARAM, LPARAM);
    Result handleSerialWritten(UINT, WPARAM, LPARAM);
    Result handleSelectionSettled(UINT, WPARAM, LPARAM);

    // Commands.
    void exitCommand();
    void aboutCommand();
    void journalCommand();
    void historyCommand();
    void exportDeviceList();
    void setSerialClicked();
    // Ctrl+C and Edit > Copy device.
    void copySelection();

    LRESULT onNotify(const NMHDR& header);
    void onNcActivate();
    void startController(const std::optional<std::string>& address);
    void registerHandlers(VornService& controller);
    void onDeviceAddedMessage(std::uint64_t id);
    void onDeviceRemovedMessage(std::uint64_t id);
    void onSerialNumberMessage(std::uint64_t id, std::optional<std::uint32_t> serial);
    void onSerialWrittenMessage(const SerialWriteReport& report);
    // Sends `target` to `id` through the write flow (false: not even queued).
    bool startWrite(std::uint64_t id, std::uint32_t target, bool allowDuplicate);
    std::vector<ListedDevice> listedDevices() const; // the rows, names as shown
    void onItemChanged(const NMLISTVIEW& change);

    bool createChildren();
    HWND createChild(DWORD exStyle, const char* className, const char* text, DWORD style, int x,
                     int y, int width, int height, int id);

    void showCurrentSerial(const std::string& text);
    void readSerialNumber(std::uint64_t id);
    void applyEnables(MainWindowRules::PanelState state);
    void refreshSelectionState();
    void show(const MainWindowRules::Notice& notice);
    MainWindowRules::Focus focusedControl() const;
    // The status bar's last field: the selected device's address, or that of
    // `id` (nothing: no device). A text already shown is not sent again: the
    // status bar repaints itself at once on every text.
    void showSelectedAddress();
    void showAddressOf(std::optional<std::uint64_t> id);

    char title_[100] = {};
    char className_[100] = {};
    HACCEL accelerators_ = nullptr;
    // The window, its children and the module of its resources.
    MainWindowChildren children_;
    // Where the engine's threads post; open from WM_CREATE to WM_DESTROY.
    WindowMessages::Mailbox mailbox_;
    MainWindowLayout layout_;
    std::string interfaceText_; // the chosen interface, as the status bar shows it
    std::string addressText_;   // the selected device's address, as the status bar shows it
    HWND lastFocus_ = nullptr;  // the child that had the focus when the window was left
    bool firstActivation_ = true;
    std::unique_ptr<VornService> controller_;
    // Every serial write; made with the controller, gone before it.
    std::unique_ptr<SerialWriteFlow> flow_;

    // Window thread only.
    bool writing_ = false; // a serial write is on its way: the panel stays disabled
    std::optional<MainWindowRules::ControlEnables> shownEnables_; // as last applied
    DeviceListView list_;
    WindowJournal journal_; // the serial writes' records and the numbers read
    ExportChooser exportChooser_;

    Network::Enumerator::Query adapterQuery_ = &Network::Enumerator::querySystem;
};

#pragma once

#include "DeviceRows.h"
#include "Enumerator.h"
#include "MainWindowRules.h"
#include "VornService.h"
#include "WindowHandles.h"
#include "WindowJournal.h"
#include "WindowMessages.h"
#include "WindowProcedure.h"

#include <windows.h>

#include <commctrl.h>

#include <cstdint>
#include <filesystem>
#include <functional>
#include <memory>
#include <optional>
#include <string>

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

    HWND handle() const { return mainWindow_; }
    HACCEL accelerators() const { return accelerators_; }
    // Lists adapters for the network dialog; the system's unless a test sets
    // its own before the first activation.
    void setAdapterQuery(Enumerator::Query query) { adapterQuery_ = std::move(query); }
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
    void onSerialNumberSet(std::uint64_t id, bool ok);

private:
    LRESULT onCreate();
    LRESULT onNotify(const NMHDR& header);
    void onNcActivate();
    void startController(const std::optional<std::string>& address);
    void registerHandlers(VornService& controller);
    void onSize(int clientHeight);
    void onDeviceAddedMessage(std::uint64_t id);
    void onDeviceRemovedMessage(std::uint64_t id);
    void onDeviceNameMessage(std::uint64_t id, const char* name);
    void onSerialNumberMessage(std::uint64_t id, std::optional<std::uint32_t> serial);
    void onSerialSetMessage(std::uint64_t id, bool ok);
    void onItemChanged(const NMLISTVIEW& change);
    void exportDeviceList();
    void suspendListDrawing();
    // Sorting by a column: the list follows rows_'s order.
    void onColumnClick(int column);
    void applyOrder();
    void resumeListDrawing();

    bool createChildren();
    HWND createChild(DWORD exStyle, const char* className, const char* text, DWORD style, int x,
                     int y, int width, int height, int id);
    static unsigned windowDpi(HWND window);
    static unsigned systemDpi();
    void applyDpi();
    void onDpiChanged(unsigned dpi, const RECT& suggested);
    int textHeight(HWND control) const;

    void showCurrentSerial(const std::string& text);
    int findRow(std::uint64_t id) const { return rows_.find(id); }
    int selectedRow() const;
    std::optional<std::uint64_t> selectedDevice() const;
    void readSerialNumber(std::uint64_t id);
    void setSerialClicked();
    void applyEnables(MainWindowRules::PanelState state);
    void refreshSelectionState();
    void show(const MainWindowRules::Notice& notice);
    MainWindowRules::Focus focusedControl() const;
    // Ctrl+C and Edit > Copy device.
    void copySelection();
    // The status bar's parts: device count, interface, selected device's address.
    void showDeviceCount();
    void showSelectedAddress();
    int statusHeight() const;

    HINSTANCE instance_ = nullptr;
    char title_[100] = {};
    char className_[100] = {};
    HACCEL accelerators_ = nullptr;
    WindowHandles::UniqueFont font_;
    HWND mainWindow_ = nullptr;
    // Where the engine's threads post; open from WM_CREATE to WM_DESTROY.
    WindowMessages::Mailbox mailbox_;
    HWND deviceList_ = nullptr;
    int listWidth_ = MainWindowRules::listWidth;
    HWND serialEdit_ = nullptr;
    HWND serialLabel_ = nullptr;
    HWND setButton_ = nullptr;
    HWND currentSerialLabel_ = nullptr;
    HWND separator_ = nullptr;
    HWND statusBar_ = nullptr;
    HWND logoView_ = nullptr;
    unsigned dpi_ = MainWindowRules::baseDpi; // the window's, as laid out
    std::string interfaceText_;               // the chosen interface, as the status bar shows it
    HWND lastFocus_ = nullptr; // the child that had the focus when the window was left
    WindowHandles::UniqueBitmap logo_;
    bool firstActivation_ = true;
    std::unique_ptr<VornService> controller_;

    // Window thread only.
    bool writing_ = false; // a serial write is on its way: the panel stays disabled
    std::optional<MainWindowRules::ControlEnables> shownEnables_; // as last applied
    bool listDrawingSuspended_ = false;                           // until the redraw timer fires
    bool resortPending_ = false; // a renamed row is out of its sorted place

    DeviceRows rows_;       // the ids of the list's rows, in row order
    WindowJournal journal_; // the serial writes' records and the numbers read
    ExportChooser exportChooser_;
    Enumerator::Query adapterQuery_ = &Enumerator::querySystem;
};

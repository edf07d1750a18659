#include "UiDriver.h"

#include "Resource.h"
#include "WaitUntil.h"

#include <commctrl.h>

namespace UiDriver {

using TestSupport::waitUntil;

namespace {

constexpr UINT sendTimeoutMs = 5000;
constexpr int messageBoxTextId = 0xFFFF;
constexpr SIZE_T textBytes = 1024;

LRESULT send(HWND window, UINT message, WPARAM wParam, LPARAM lParam) {
    DWORD_PTR result = 0;
    if (!SendMessageTimeoutA(window, message, wParam, lParam, SMTO_ABORTIFHUNG, sendTimeoutMs,
                             &result))
        return -1;
    return static_cast<LRESULT>(result);
}

struct Search {
    DWORD processId;
    const char* className;
    const char* title;
    std::function<bool(HWND)> accept;
    HWND found = nullptr;
};

BOOL CALLBACK visit(HWND window, LPARAM context) {
    auto& search = *reinterpret_cast<Search*>(context);
    DWORD owner = 0;
    GetWindowThreadProcessId(window, &owner);
    if (owner != search.processId || !IsWindowVisible(window))
        return TRUE;
    char className[64] = {};
    GetClassNameA(window, className, sizeof className);
    if (lstrcmpiA(className, search.className) != 0)
        return TRUE;
    if (search.title && text(window) != search.title)
        return TRUE;
    if (search.accept && !search.accept(window))
        return TRUE;
    search.found = window;
    return FALSE;
}

HWND find(Search search) {
    EnumWindows(&visit, reinterpret_cast<LPARAM>(&search));
    return search.found;
}

} // namespace

HWND findWindow(DWORD processId, const char* className, const char* title) {
    return find({processId, className, title, {}});
}

HWND waitForWindow(DWORD processId, const char* className, const char* title,
                   std::chrono::milliseconds timeout) {
    HWND found = nullptr;
    waitUntil([&] { return (found = findWindow(processId, className, title)) != nullptr; },
              timeout);
    return found;
}

std::string text(HWND window) {
    char buffer[textBytes] = {};
    send(window, WM_GETTEXT, sizeof buffer, reinterpret_cast<LPARAM>(buffer));
    return buffer;
}

std::string itemText(HWND dialog, int controlId) {
    const HWND item = GetDlgItem(dialog, controlId);
    return item ? text(item) : std::string();
}

bool isEnabled(HWND window) {
    return IsWindowEnabled(window) != FALSE;
}

namespace {
BOOL CALLBACK checkPainted(HWND child, LPARAM context) {
    auto& painted = *reinterpret_cast<bool*>(context);
    const auto style = static_cast<DWORD>(GetWindowLongPtrA(child, GWL_STYLE));
    if (!(style & WS_VISIBLE) || GetUpdateRect(child, nullptr, FALSE)) {
        painted = false;
        return FALSE;
    }
    return TRUE;
}
} // namespace

bool waitPainted(HWND window, std::chrono::milliseconds timeout) {
    return waitUntil(
        [&] {
            bool painted = IsWindowVisible(window) && !GetUpdateRect(window, nullptr, FALSE);
            if (painted)
                EnumChildWindows(window, &checkPainted, reinterpret_cast<LPARAM>(&painted));
            return painted;
        },
        timeout);
}

std::optional<Box> findMessageBox(DWORD processId) {
    const HWND box = find({processId, "#32770", nullptr, [](HWND window) {
                               return GetDlgItem(window, messageBoxTextId) != nullptr;
                           }});
    if (!box)
        return std::nullopt;
    return Box{box, text(box), itemText(box, messageBoxTextId)};
}

std::optional<Box> waitForMessageBox(DWORD processId, std::chrono::milliseconds timeout) {
    std::optional<Box> box;
    waitUntil([&] { return (box = findMessageBox(processId)).has_value(); }, timeout);
    return box;
}

void click(HWND dialog, int controlId) {
    PostMessageA(dialog, WM_COMMAND, MAKEWPARAM(controlId, BN_CLICKED),
                 reinterpret_cast<LPARAM>(GetDlgItem(dialog, controlId)));
}

void type(HWND edit, const std::string& value) {
    send(edit, WM_SETTEXT, 0, reinterpret_cast<LPARAM>(value.c_str()));
}

HWND focusOf(HWND window) {
    GUITHREADINFO info{};
    info.cbSize = sizeof info;
    if (!GetGUIThreadInfo(GetWindowThreadProcessId(window, nullptr), &info))
        return nullptr;
    return info.hwndFocus;
}

void pressKey(HWND window, UINT key) {
    HWND target = focusOf(window);
    if (!target)
        target = window;
    const UINT scan = MapVirtualKeyA(key, MAPVK_VK_TO_VSC);
    const LPARAM down = static_cast<LPARAM>(1u | (scan << 16));
    const LPARAM up = static_cast<LPARAM>(1u | (scan << 16) | 0xC0000000u);
    PostMessageA(target, WM_KEYDOWN, key, down);
    PostMessageA(target, WM_KEYUP, key, up);
}

namespace {
void setKeys(const std::vector<UINT>& keys, bool down) {
    BYTE state[256] = {};
    GetKeyboardState(state);
    for (const UINT key : keys)
        state[key] = down ? 0x80 : 0x00;
    SetKeyboardState(state);
}
} // namespace

HeldKeys::HeldKeys(HWND window, std::initializer_list<UINT> keys)
    : thread_(GetWindowThreadProcessId(window, nullptr)), keys_(keys) {
    attached_ = thread_ != GetCurrentThreadId() &&
                AttachThreadInput(GetCurrentThreadId(), thread_, TRUE) != FALSE;
    setKeys(keys_, true);
}

HeldKeys::~HeldKeys() {
    setKeys(keys_, false);
    if (attached_)
        AttachThreadInput(GetCurrentThreadId(), thread_, FALSE);
}

std::optional<std::string> clipboardText() {
    if (!OpenClipboard(nullptr))
        return std::nullopt;
    std::optional<std::string> text;
    if (const HANDLE data = GetClipboardData(CF_TEXT)) {
        if (const auto* bytes = static_cast<const char*>(GlobalLock(data))) {
            text = bytes;
            GlobalUnlock(data);
        }
    }
    CloseClipboard();
    return text;
}

HeldClipboard::HeldClipboard() : held_(OpenClipboard(nullptr) != FALSE) {}

HeldClipboard::~HeldClipboard() {
    if (held_)
        CloseClipboard();
}

void close(HWND window) {
    PostMessageA(window, WM_CLOSE, 0, 0);
}

bool waitGone(HWND window, std::chrono::milliseconds timeout) {
    return waitUntil([&] { return !IsWindow(window); }, timeout);
}

Process::Process(const std::string& path) {
    std::string commandLine = "\"" + path + "\"";
    STARTUPINFOA startup{};
    startup.cb = sizeof startup;
    if (!CreateProcessA(nullptr, commandLine.data(), nullptr, nullptr, FALSE, 0, nullptr, nullptr,
                        &startup, &info_))
        info_ = {};
}

Process::~Process() {
    if (!info_.hProcess)
        return;
    if (WaitForSingleObject(info_.hProcess, 0) == WAIT_TIMEOUT)
        TerminateProcess(info_.hProcess, 99);
    CloseHandle(info_.hThread);
    CloseHandle(info_.hProcess);
}

std::optional<int> Process::waitExit(std::chrono::milliseconds timeout) {
    if (!info_.hProcess ||
        WaitForSingleObject(info_.hProcess, static_cast<DWORD>(timeout.count())) != WAIT_OBJECT_0)
        return std::nullopt;
    DWORD code = 0;
    GetExitCodeProcess(info_.hProcess, &code);
    return static_cast<int>(code);
}

List::List(HWND list) : list_(list) {
    DWORD processId = 0;
    GetWindowThreadProcessId(list, &processId);
    process_ =
        OpenProcess(PROCESS_VM_OPERATION | PROCESS_VM_READ | PROCESS_VM_WRITE, FALSE, processId);
    if (process_)
        remote_ = VirtualAllocEx(process_, nullptr, sizeof(LVITEMA) + textBytes,
                                 MEM_COMMIT | MEM_RESERVE, PAGE_READWRITE);
}

List::~List() {
    if (remote_)
        VirtualFreeEx(process_, remote_, 0, MEM_RELEASE);
    if (process_)
        CloseHandle(process_);
}

int List::rowCount() const {
    return static_cast<int>(send(list_, LVM_GETITEMCOUNT, 0, 0));
}

std::string List::cell(int row, int column) const {
    if (!remote_)
        return {};
    char* remoteText = static_cast<char*>(remote_) + sizeof(LVITEMA);
    LVITEMA item{};
    item.iSubItem = column;
    item.pszText = remoteText;
    item.cchTextMax = static_cast<int>(textBytes);
    WriteProcessMemory(process_, remote_, &item, sizeof item, nullptr);
    const LRESULT length =
        send(list_, LVM_GETITEMTEXTA, static_cast<WPARAM>(row), reinterpret_cast<LPARAM>(remote_));
    if (length <= 0)
        return {};
    std::string value(static_cast<std::size_t>(length), '\0');
    ReadProcessMemory(process_, remoteText, value.data(), value.size(), nullptr);
    return value;
}

std::vector<std::string> List::row(int index, int columns) const {
    std::vector<std::string> cells;
    for (int column = 0; column < columns; ++column)
        cells.push_back(cell(index, column));
    return cells;
}

int List::find(int column, const std::string& value) const {
    const int count = rowCount();
    for (int index = 0; index < count; ++index)
        if (cell(index, column) == value)
            return index;
    return -1;
}

int List::selectedRow() const {
    return static_cast<int>(send(list_, LVM_GETNEXTITEM, static_cast<WPARAM>(-1), LVNI_SELECTED));
}

bool List::setState(int row, UINT state, UINT mask) const {
    if (!remote_)
        return false;
    LVITEMA item{};
    item.stateMask = mask;
    item.state = state;
    WriteProcessMemory(process_, remote_, &item, sizeof item, nullptr);
    return send(list_, LVM_SETITEMSTATE, static_cast<WPARAM>(row),
                reinterpret_cast<LPARAM>(remote_)) != 0;
}

void List::select(int row) const {
    const UINT both = LVIS_SELECTED | LVIS_FOCUSED;
    // As a click does: in one message, the list (single selection) takes the
    // selection from the row before as it gives it to this one.
    if (row >= 0)
        setState(row, both, both);
    else
        setState(-1, 0, LVIS_SELECTED);
}

namespace ServiceTool {

namespace {
// Control ids of the program's resources.

struct ChildSearch {
    std::string prefix;
    HWND found = nullptr;
};

BOOL CALLBACK visitChild(HWND child, LPARAM context) {
    auto& search = *reinterpret_cast<ChildSearch*>(context);
    if (text(child).rfind(search.prefix, 0) == 0) {
        search.found = child;
        return FALSE;
    }
    return TRUE;
}
} // namespace

std::optional<std::string> chooseNetwork(DWORD processId, const std::string& address) {
    const HWND dialog = waitForWindow(processId, "#32770", "Select Network", 30s);
    if (!dialog)
        return "the network dialog did not appear";
    List adapters(GetDlgItem(dialog, IDC_NETWORK_LIST));
    const int row = adapters.find(1, address);
    if (row < 0)
        return "no adapter " + address + " in the network dialog";
    adapters.select(row);
    if (!waitUntil([&] { return isEnabled(GetDlgItem(dialog, IDOK)); }, 5s))
        return "OK stayed disabled after selecting " + address;
    click(dialog, IDOK);
    if (!waitGone(dialog, 10s))
        return "the network dialog did not close";
    return std::nullopt;
}

HWND waitForMainWindow(DWORD processId, std::chrono::milliseconds timeout) {
    return waitForWindow(processId, "VORNSERVICE", "VornService", timeout);
}

HWND currentSerialLabel(HWND mainWindow) {
    ChildSearch search{"Current serial number:"};
    EnumChildWindows(mainWindow, &visitChild, reinterpret_cast<LPARAM>(&search));
    return search.found;
}

} // namespace ServiceTool

} // namespace UiDriver

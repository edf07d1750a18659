#include "WindowTestSupport.h"

#include "Resource.h"

namespace WindowTest {

namespace {

std::string besideThisProgram(const char* file) {
    char path[MAX_PATH] = {};
    GetModuleFileNameA(nullptr, path, MAX_PATH);
    std::string directory(path);
    directory.erase(directory.find_last_of("\\/") + 1);
    return directory + file;
}

} // namespace

HWND currentSerialLabel(HWND mainWindow) {
    return UiDriver::ServiceTool::currentSerialLabel(mainWindow);
}

std::string programPath() {
    return besideThisProgram(VORN_SERVICE_EXE);
}

void chooseNetwork(DWORD processId, const std::string& address) {
    const HWND dialog = UiDriver::waitForWindow(processId, "#32770", "Select Network", 20s);
    ASSERT_NE(dialog, nullptr) << "no network dialog";
    EXPECT_FALSE(UiDriver::isEnabled(GetDlgItem(dialog, IDOK))) << "OK before any selection";
    const auto problem = UiDriver::ServiceTool::chooseNetwork(processId, address);
    ASSERT_FALSE(problem) << *problem;
}

HWND mainWindow(DWORD processId) {
    return UiDriver::ServiceTool::waitForMainWindow(processId, 20s);
}

void acknowledgeBox(DWORD processId, const std::string& caption, const std::string& text) {
    const auto box = UiDriver::waitForMessageBox(processId, 10s);
    ASSERT_TRUE(box) << "no message box; expected \"" << text << "\"";
    EXPECT_EQ(box->caption, caption);
    EXPECT_EQ(box->text, text);
    UiDriver::click(box->window, IDOK);
    ASSERT_TRUE(UiDriver::waitGone(box->window, 10s));
}

std::string currentSerial(HWND mainWindow) {
    const HWND label = currentSerialLabel(mainWindow);
    return label ? UiDriver::text(label) : std::string();
}

void expectCurrentSerial(HWND mainWindow, const std::string& expected) {
    EXPECT_TRUE(TestSupport::waitUntil([&] { return currentSerial(mainWindow) == expected; }, 10s))
        << "label reads \"" << currentSerial(mainWindow) << "\", expected \"" << expected << "\"";
}

} // namespace WindowTest

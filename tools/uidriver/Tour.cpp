// vorntour: shows the Windows program at work the way a technician uses it.
//
//   vorntour PROGRAM.exe --interface ADDRESS [--devices N] [--ready FILE] [--continue FILE]
//
// Starts PROGRAM, picks the adapter ADDRESS in its network dialog, waits until
// N devices (default 1) are listed with their names, selects the first one and
// waits for its serial number. With --ready it then writes the main window's
// screen rectangle ("x y width height") to FILE and waits (at most 2 minutes)
// until the file named by --continue exists, so that a script can take a
// screenshot. Then it closes the window and exits with the program's exit
// code; 2 for a usage error, 3 when a step did not happen in time.
#include "UiDriver.h"

#include "Resource.h"
#include "WaitUntil.h"

#include <windows.h>

#include <cstdio>
#include <fstream>
#include <string>
#include <vector>

namespace {

using namespace std::chrono_literals;
using namespace UiDriver;
using TestSupport::waitUntil;

struct Options {
    std::string program, address, readyFile, continueFile;
    int devices = 1;
};

int fail(const std::string& problem) {
    std::fprintf(stderr, "vorntour: %s\n", problem.c_str());
    return 3;
}

bool parse(int argc, char** argv, Options& options) {
    if (argc < 2)
        return false;
    options.program = argv[1];
    for (int i = 2; i + 1 < argc; i += 2) {
        const std::string name = argv[i], value = argv[i + 1];
        if (name == "--interface")
            options.address = value;
        else if (name == "--devices")
            options.devices = std::atoi(value.c_str());
        else if (name == "--ready")
            options.readyFile = value;
        else if (name == "--continue")
            options.continueFile = value;
        else
            return false;
    }
    return (argc % 2) == 0 && !options.address.empty() && options.devices > 0 &&
           options.readyFile.empty() == options.continueFile.empty();
}

bool allNamed(const List& list, int wanted) {
    if (list.rowCount() < wanted)
        return false;
    for (int row = 0; row < wanted; ++row)
        if (list.cell(row, 0) == "Unknown" || list.cell(row, 0).empty())
            return false;
    return true;
}

int tour(const Options& options, Process& program) {
    const DWORD processId = program.id();
    if (const auto problem = ServiceTool::chooseNetwork(processId, options.address))
        return fail(*problem);
    const HWND main = ServiceTool::waitForMainWindow(processId, 10s);
    if (!main)
        return fail("the main window did not appear");
    List list(GetDlgItem(main, IDC_DEVICE_LIST));
    if (!waitUntil([&] { return allNamed(list, options.devices); }, 20s))
        return fail("the devices were not listed with their names");
    for (int row = 0; row < list.rowCount(); ++row) {
        const auto cells = list.row(row, 3);
        std::printf("row %d: %s | %s | %s\n", row, cells[0].c_str(), cells[1].c_str(),
                    cells[2].c_str());
    }

    list.select(0);
    const HWND label = ServiceTool::currentSerialLabel(main);
    if (!label || !waitUntil([&] { return text(label).find("...") == std::string::npos; }, 10s))
        return fail("the selected device's serial number was not shown");
    std::printf("selected: %s; %s\n", list.cell(0, 0).c_str(), text(label).c_str());
    std::fflush(stdout);

    if (!options.readyFile.empty()) {
        // The list's redraw lags behind its rows while devices arrive: the
        // picture is taken once the window shows what was read above.
        if (!waitPainted(main, 10s))
            return fail("the window did not finish drawing what was read");
        RECT rect{};
        GetWindowRect(main, &rect);
        std::ofstream(options.readyFile)
            << rect.left << ' ' << rect.top << ' ' << rect.right - rect.left << ' '
            << rect.bottom - rect.top << '\n';
        if (!waitUntil(
                [&] {
                    return GetFileAttributesA(options.continueFile.c_str()) !=
                           INVALID_FILE_ATTRIBUTES;
                },
                120s))
            return fail("nobody said to continue");
    }

    close(main);
    const auto code = program.waitExit(20s);
    if (!code)
        return fail("the program did not end after its window was closed");
    std::printf("exit code: %d\n", *code);
    return *code;
}

} // namespace

int main(int argc, char** argv) {
    Options options;
    if (!parse(argc, argv, options)) {
        std::fprintf(stderr, "usage: vorntour PROGRAM.exe --interface ADDRESS [--devices N] "
                             "[--ready FILE --continue FILE]\n");
        return 2;
    }
    Process program(options.program);
    if (!program.started())
        return fail("cannot start " + options.program);
    return tour(options, program);
}

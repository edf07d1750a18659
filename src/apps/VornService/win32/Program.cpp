#include "Program.h"

#include "MainWindow.h"
#include "StartUp.h"
#include "Texts.h"

int runProgram(HINSTANCE instance, int showCommand,
               const std::function<void(MainWindow&)>& prepare) {
    // The window object lives until the loop has ended; its destruction
    // stops the controller and with it the engine.
    MainWindow mainWindow;
    if (prepare)
        prepare(mainWindow);
    if (!mainWindow.create(instance, showCommand)) {
        MessageBoxA(nullptr, Text::mainWindowFailed, Text::errorCaption, MB_ICONERROR);
        return StartUp::exitNoWindow;
    }
    return runMessageLoop(mainWindow);
}

int runMessageLoop(MainWindow& mainWindow) {
    const HWND window = mainWindow.handle();
    MSG message{};
    BOOL got;
    while ((got = GetMessageA(&message, nullptr, 0, 0)) != 0) {
        if (got == -1) // the loop itself failed
            return StartUp::exitNoWindow;
        if (TranslateAcceleratorA(window, mainWindow.accelerators(), &message))
            continue;
        // Tab and Shift+Tab move between the list, the serial edit and "Set
        // Serial"; Enter asks the window which command it means (DM_GETDEFID).
        if (window && IsDialogMessageA(window, &message))
            continue;
        TranslateMessage(&message);
        DispatchMessageA(&message);
    }
    return static_cast<int>(message.wParam);
}

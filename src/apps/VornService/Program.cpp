#include "Program.h"

#include "MainWindow.h"
#include "StartUp.h"
#include "Texts.h"
#include "WindowMessages.h"

int runProgram(HINSTANCE instance, int showCommand,
               const std::function<void(MainWindow&)>& prepare) {
    HWND window = nullptr;
    MSG message{};
    {
        MainWindow mainWindow;
        if (prepare)
            prepare(mainWindow);
        if (!mainWindow.create(instance, showCommand)) {
            MessageBoxA(nullptr, Text::mainWindowFailed, Text::errorCaption, MB_ICONERROR);
            return StartUp::exitNoWindow;
        }
        window = mainWindow.handle();
        BOOL got;
        while ((got = GetMessageA(&message, nullptr, 0, 0)) != 0) {
            if (got == -1) { // the loop itself failed
                message.wParam = static_cast<WPARAM>(StartUp::exitNoWindow);
                break;
            }
            // A private message whose window has gone still owns its blocks.
            if (message.hwnd == window && !IsWindow(window) && WindowMessages::discard(message))
                continue;
            if (!TranslateAcceleratorA(window, mainWindow.accelerators(), &message)) {
                TranslateMessage(&message);
                DispatchMessageA(&message);
            }
        }
        // The window object goes here: the controller stops the engine, whose
        // threads can post nothing more once the window is gone.
    }
    WindowMessages::discardQueued(window);
    return static_cast<int>(message.wParam);
}

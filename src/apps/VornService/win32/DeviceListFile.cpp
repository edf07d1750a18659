#include "DeviceListFile.h"

#include "JournalFile.h"
#include "Texts.h"

#include <commdlg.h>

#include <fstream>

namespace DeviceListFile {

std::optional<std::filesystem::path> askWhere(HWND owner) {
    wchar_t file[MAX_PATH * 4] = L"devices.csv";
    OPENFILENAMEW dialog{};
    dialog.lStructSize = sizeof dialog;
    dialog.hwndOwner = owner;
    dialog.lpstrFilter = L"CSV files (*.csv)\0*.csv\0All files (*.*)\0*.*\0";
    dialog.lpstrFile = file;
    dialog.nMaxFile = static_cast<DWORD>(std::size(file));
    dialog.lpstrTitle = L"Export device list";
    dialog.lpstrDefExt = L"csv";
    dialog.Flags = OFN_OVERWRITEPROMPT | OFN_PATHMUSTEXIST | OFN_NOCHANGEDIR | OFN_EXPLORER;
    if (!GetSaveFileNameW(&dialog))
        return std::nullopt;
    return std::filesystem::path(file);
}

bool save(HWND owner, const std::filesystem::path& path, const std::string& text) {
    {
        std::ofstream out(path, std::ios::binary | std::ios::trunc);
        out << text;
        out.close();
        if (out)
            return true;
    }
    const std::string message =
        "Could not write the device list to " + Journal::displayPath(path) + ".";
    MessageBoxA(owner, message.c_str(), Text::errorCaption, MB_ICONERROR);
    return false;
}

} // namespace DeviceListFile

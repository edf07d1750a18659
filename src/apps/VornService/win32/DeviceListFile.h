#pragma once

#include <windows.h>

#include <filesystem>
#include <optional>
#include <string>

// File > Export device list...: where to save it and the saving.
namespace DeviceListFile {

// The standard save dialog, owned by `owner`, for a CSV file (default name
// devices.csv); none when the user cancels.
std::optional<std::filesystem::path> askWhere(HWND owner);

// Writes `text` to `path`, replacing the file; false (after an error box
// naming the file) when it could not be written whole.
bool save(HWND owner, const std::filesystem::path& path, const std::string& text);

} // namespace DeviceListFile

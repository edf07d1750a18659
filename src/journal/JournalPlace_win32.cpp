#include "JournalPlace.h"

#include "JournalFile.h"

#include <windows.h>

#include <shlobj.h>

namespace Journal {
namespace {

std::string utf8(const wchar_t* text, int length) {
    const int size = WideCharToMultiByte(CP_UTF8, 0, text, length, nullptr, 0, nullptr, nullptr);
    std::string out(static_cast<std::size_t>(size > 0 ? size : 0), '\0');
    if (size > 0)
        WideCharToMultiByte(CP_UTF8, 0, text, length, out.data(), size, nullptr, nullptr);
    return out;
}

} // namespace

std::filesystem::path defaultJournalPath() {
    const std::filesystem::path file = std::filesystem::path(L"vornctl") / L"journal.jsonl";
    const wchar_t* local = _wgetenv(L"LOCALAPPDATA");
    if (local && *local)
        return std::filesystem::path(local) / file;
    PWSTR folder = nullptr;
    if (SUCCEEDED(SHGetKnownFolderPath(FOLDERID_LocalAppData, 0, nullptr, &folder))) {
        std::filesystem::path path = std::filesystem::path(folder) / file;
        CoTaskMemFree(folder);
        return path;
    }
    CoTaskMemFree(folder);
    throw JournalError(
        "no place for the journal: the system names no local application data folder");
}

std::string loginName() {
    wchar_t name[257] = {};
    DWORD length = 257;
    if (GetUserNameW(name, &length) && length > 1)
        return utf8(name, static_cast<int>(length - 1));
    return "unknown";
}

std::string hostName() {
    wchar_t name[256] = {};
    DWORD length = 256;
    if (GetComputerNameExW(ComputerNameDnsHostname, name, &length) && length > 0)
        return utf8(name, static_cast<int>(length));
    return "unknown";
}

} // namespace Journal

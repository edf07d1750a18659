#include "TokenFile.h"

#include <atomic>
#include <fstream>
#include <stdexcept>

#include <windows.h>

namespace Vornctl::Serve::TokenFileSystem {

// The file takes the access rules of its folder (%LOCALAPPDATA% allows its
// user only); moving it into place never replaces one that exists.
bool createPrivate(const std::string& path, const std::string& content) {
    static std::atomic<unsigned> made{0};
    const std::string temporary =
        path + ".new-" + std::to_string(GetCurrentProcessId()) + "-" + std::to_string(made++);
    {
        std::ofstream file(temporary, std::ios::binary | std::ios::trunc);
        file << content;
        file.flush();
        if (!file)
            throw std::runtime_error("cannot write " + temporary);
    }
    if (MoveFileExA(temporary.c_str(), path.c_str(), MOVEFILE_WRITE_THROUGH))
        return true;
    const DWORD error = GetLastError();
    DeleteFileA(temporary.c_str());
    if (error == ERROR_ALREADY_EXISTS || error == ERROR_FILE_EXISTS)
        return false;
    throw std::runtime_error("cannot create " + path + " (error " + std::to_string(error) + ")");
}

std::string readableByOthers(const std::string&) {
    return {};
}

} // namespace Vornctl::Serve::TokenFileSystem

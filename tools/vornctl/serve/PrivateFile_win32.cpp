#include "PrivateFile.h"

#include <windows.h>

#include <fstream>
#include <stdexcept>

namespace Vornctl::Serve {

// Below %LOCALAPPDATA% a new file inherits the folder's access list, which
// grants the user (and the system) alone.
void makePrivateFolder(const std::filesystem::path& folder) {
    std::error_code error;
    std::filesystem::create_directories(folder, error);
    if (error)
        throw std::runtime_error("cannot create the folder " + folder.string() + ": " +
                                 error.message());
}

void writePrivateFile(const std::filesystem::path& file, const std::string& contents) {
    const std::filesystem::path temporary = file.wstring() + L".new";
    {
        std::ofstream out(temporary, std::ios::binary | std::ios::trunc);
        out.write(contents.data(), static_cast<std::streamsize>(contents.size()));
        out.flush();
        if (!out)
            throw std::runtime_error("cannot write " + temporary.string());
    }
    if (!MoveFileExW(temporary.c_str(), file.c_str(),
                     MOVEFILE_REPLACE_EXISTING | MOVEFILE_WRITE_THROUGH)) {
        std::error_code ignored;
        std::filesystem::remove(temporary, ignored);
        throw std::runtime_error("cannot replace " + file.string() + " (error " +
                                 std::to_string(GetLastError()) + ")");
    }
}

} // namespace Vornctl::Serve

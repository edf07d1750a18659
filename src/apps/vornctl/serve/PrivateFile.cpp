#include "PrivateFile.h"

#include <stdexcept>
#include <system_error>

namespace Vornctl::Serve {

void makePrivateFolder(const std::filesystem::path& folder) {
    if (std::filesystem::is_directory(folder))
        return;
    if (folder.has_parent_path() && folder.parent_path() != folder) {
        std::error_code error;
        std::filesystem::create_directories(folder.parent_path(), error);
        if (error)
            throw std::runtime_error("cannot create the folder " + folder.parent_path().string() +
                                     ": " + error.message());
    }
    PrivateFilePlatform::makeOwnerOnlyFolder(folder);
}

} // namespace Vornctl::Serve

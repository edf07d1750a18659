#include "TokenFile.h"

#include "AccessToken.h"
#include "PrivateFile.h"

#include <filesystem>
#include <stdexcept>
#include <system_error>

namespace Vornctl::Serve {

std::optional<std::string> loadTokenFile(const std::string& path, std::string& error) {
    std::error_code missing;
    if (!std::filesystem::exists(path, missing) && !missing) {
        try {
            // Another start may create it at the same moment: the one whose link wins.
            createPrivateFile(path, newAccessToken() + "\n");
        } catch (const std::exception& failure) {
            error = "cannot create the token file " + path + ": " + failure.what();
            return std::nullopt;
        }
    }
    const std::string others = readableByOthers(path);
    if (!others.empty()) {
        error = "the token file " + path + " may be read by others (" + others +
                "); allow its owner only (chmod 600 " + path + ")";
        return std::nullopt;
    }
    return readAccessToken(path, error);
}

} // namespace Vornctl::Serve

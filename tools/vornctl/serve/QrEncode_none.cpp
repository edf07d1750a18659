#include "QrCode.h"

namespace Vornctl::Serve {

// Debian has no QR library for MinGW: the Windows build draws no codes.
std::optional<QrCode> QrCode::encode(std::string_view) {
    return std::nullopt;
}

} // namespace Vornctl::Serve

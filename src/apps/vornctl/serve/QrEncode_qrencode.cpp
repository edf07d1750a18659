#include "QrCode.h"

#include <qrencode.h>

#include <memory>
#include <string>

namespace Vornctl::Serve {

std::optional<QrCode> QrCode::encode(std::string_view text) {
    const std::string bytes(text); // the library wants a C string
    if (bytes.find('\0') != std::string::npos)
        return std::nullopt;
    const std::unique_ptr<QRcode, void (*)(QRcode*)> code(
        QRcode_encodeString(bytes.c_str(), 0, QR_ECLEVEL_M, QR_MODE_8, 1), &QRcode_free);
    if (!code)
        return std::nullopt; // too long for one code, or out of memory
    const int size = code->width;
    std::vector<bool> modules(static_cast<std::size_t>(size) * static_cast<std::size_t>(size));
    for (std::size_t i = 0; i < modules.size(); ++i)
        modules[i] = (code->data[i] & 1) != 0; // bit 0: dark; the others say how it was placed
    return QrCode(size, std::move(modules));
}

} // namespace Vornctl::Serve

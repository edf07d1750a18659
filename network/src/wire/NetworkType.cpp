#include "wire/NetworkType.h"

namespace Vorn {

void AnyNetworkType::normalizeHeader(MSG_CmdHdr& header) const {
    // The top two bits of the type word carry nothing the tool uses.
    header.setSourceType(static_cast<std::uint16_t>(header.sourceType() & 0x3FFFu));
}

bool AnyNetworkType::isDeviceType(const MSG_CmdHdr& header) const {
    // 6 is the tool's own kind; type-1 nodes are not devices either.
    const std::uint16_t type = header.sourceType();
    return type != 6 && type != 1;
}

} // namespace Vorn

#include "SerialRecord.h"

#include "ProductName.h"
#include "Texts.h"
#include "VornVersion.h"

#include <cstdio>

namespace SerialRecord {

Journal::DeviceFacts deviceFacts(const Vorn::FrameInfo& info, std::optional<std::string> name) {
    char address[16];
    std::snprintf(address, sizeof address, "%u.%u.%u.%u", (info.address >> 24) & 0xFFu,
                  (info.address >> 16) & 0xFFu, (info.address >> 8) & 0xFFu, info.address & 0xFFu);
    return {formatDeviceId(info.id), std::move(name), productName(info.deviceType), address};
}

std::string toolName(std::string_view program) {
    return std::string(program) + " " + Vorn::version;
}

} // namespace SerialRecord

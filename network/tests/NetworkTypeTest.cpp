#include "wire/NetworkType.h"
#include "wire/Wire.h"

#include <gtest/gtest.h>

#include <vector>

using namespace Vorn;

namespace {

// Normalises a header carrying `type` and reports the result and whether the
// sender counts as a device. Also checks that only bytes 16..17 change.
std::pair<std::uint16_t, bool> classify(const NetworkType& networkType, std::uint16_t type) {
    std::vector<char> bytes(28, 0x3C);
    Wire::writeU16(bytes.data() + 16, type);
    auto before = bytes;
    MSG_CmdHdr header(bytes.data());
    networkType.normalizeHeader(header);
    for (std::size_t i = 0; i < bytes.size(); ++i) {
        if (i != 16 && i != 17) {
            EXPECT_EQ(bytes[i], before[i]) << "byte " << i;
        }
    }
    return {Wire::readU16(bytes.data() + 16), networkType.isDeviceType(header)};
}

} // namespace

TEST(NetworkTypeTest, NormalizeAndDeviceType) {
    AnyNetworkType any;
    using Result = std::pair<std::uint16_t, bool>;
    EXPECT_EQ(classify(any, 0x4006), (Result{6, false}));
    EXPECT_EQ(classify(any, 0xC006), (Result{6, false}));
    EXPECT_EQ(classify(any, 0x8001), (Result{1, false}));
    EXPECT_EQ(classify(any, 0x0007), (Result{7, true}));
    EXPECT_EQ(classify(any, 0x0000), (Result{0, true}));
    EXPECT_EQ(classify(any, 0xFFFF), (Result{0x3FFF, true}));
    EXPECT_EQ(classify(any, 0x000C), (Result{12, true}));
}

TEST(NetworkTypeTest, PortsAndPresenceCode) {
    AnyNetworkType any;
    EXPECT_EQ(any.alternate, 1);
    EXPECT_EQ(any.ownType(), 6);
    EXPECT_EQ(any.presenceCommand(), 9);
    EXPECT_EQ(any.deviceTargetPort(), 6017);
    EXPECT_EQ(any.bindPort(), 0);

    any.alternate = 0;
    EXPECT_EQ(any.presenceCommand(), 4);
    EXPECT_EQ(any.deviceTargetPort(), 6000);
    EXPECT_EQ(any.bindPort(), 6004);
}

// The simulated devices' own reading and writing of the wire format, against
// bytes written out by hand from the protocol's description.

#include "DeviceWire.h"

#include <gtest/gtest.h>

#include <string>
#include <vector>

namespace {

using namespace VornSim;

std::vector<char> fromHex(const std::string& hex) {
    std::vector<char> bytes;
    for (std::size_t i = 0; i + 1 < hex.size(); i += 2)
        bytes.push_back(static_cast<char>(std::stoi(hex.substr(i, 2), nullptr, 16)));
    return bytes;
}

TEST(DeviceWire, TheWorkedExampleByteForByte) {
    std::vector<char> message =
        DeviceWire::message(32, 0x0000000200000001ull, 0x0000000400000003ull, 6, 1, 102, 1);
    DeviceWire::seal(message);
    EXPECT_EQ(message, fromHex("0200000001000000040000000300000006000100200066000100000"
                               "0ca410000"));
    EXPECT_TRUE(DeviceWire::intact(message.data(), message.size()));
    EXPECT_EQ(DeviceWire::readFrameId(message.data()), 0x0000000200000001ull);
    EXPECT_EQ(DeviceWire::readU16(message.data() + DeviceWire::commandAt), 102u);
}

TEST(DeviceWire, CapturedRequestsAreIntactAndDamagedOnesAreNot) {
    // MSG_SetBoardID and MSG_SelectMe as a session's capture holds them.
    const std::vector<char> write = fromHex(
        "75a4110075a4110000040000010000000600020064002d0377a41100000000000004000001000000899aabbc"
        "cddeef00112233445566778899aabbccffffffff2132435465768798a9bacbdcedfe0f2031425364758697a8"
        "b9cadbecfd0e1f30b50b1558");
    const std::vector<char> select =
        fromHex("7ca411007ca41100000400000100000006000200240073007ea41100ffff0000a8069046");
    for (const auto& request : {write, select}) {
        EXPECT_TRUE(DeviceWire::intact(request.data(), request.size()));
        auto damaged = request;
        damaged[28] ^= 0x40;
        EXPECT_FALSE(DeviceWire::intact(damaged.data(), damaged.size()));
        EXPECT_FALSE(DeviceWire::intact(request.data(), request.size() - 1)); // length disagrees
    }
    EXPECT_EQ(DeviceWire::readU32(write.data() + DeviceWire::boardIdAt), 0xFFFFFFFFu);
    EXPECT_EQ(DeviceWire::readU16(select.data() + DeviceWire::selectAt), 0xFFFFu);
}

TEST(DeviceWire, PresenceFieldsWhereTheToolReadsThem) {
    std::vector<char> presence =
        DeviceWire::message(DeviceWire::presenceSize, 0x0000000A0000000Bull,
                            DeviceWire::presenceDestination, 2, 0, DeviceWire::presence, 0);
    DeviceWire::writeU32(presence.data() + DeviceWire::modeFlagsAt, 0x42);
    presence[DeviceWire::deviceTypeAt] = 12;
    EXPECT_EQ(std::string(presence.begin() + 8, presence.begin() + 16),
              std::string("\xFE\xFF\xFF\xFF\xFD\xFF\xFF\xFF", 8));
    EXPECT_EQ(presence[64], 0x42);
    EXPECT_EQ(presence[72], 12);
    EXPECT_EQ(presence[20], 100);
}

} // namespace

#pragma once

#include "wire/Message.h"

#include <cstdint>

namespace Vorn {

// Which kind of device network the tool takes part in: ports, type words, the
// presence code it sends, and which senders count as devices.
//
// Port selection (applied by callers): with `alternate` zero, devices listen on
// devicePort() and the tool binds localPort(); otherwise devices listen on
// alternateDevicePort() and the tool binds port 0.
class NetworkType {
public:
    virtual ~NetworkType() = default;

    virtual std::uint16_t presenceCommand() const { return alternate != 0 ? 9 : 4; }
    virtual std::uint16_t ownType() const = 0;
    virtual void normalizeHeader(MSG_CmdHdr& header) const = 0;
    virtual bool isDeviceType(const MSG_CmdHdr& header) const = 0;
    virtual std::uint16_t localPort() const = 0;
    virtual std::uint16_t devicePort() const = 0;
    virtual std::uint16_t alternateDevicePort() const = 0;

    // The UDP port devices listen on, for unicast and broadcast alike.
    std::uint16_t deviceTargetPort() const {
        return alternate != 0 ? alternateDevicePort() : devicePort();
    }
    // The local port the tool binds (0: chosen by the system).
    std::uint16_t bindPort() const { return alternate != 0 ? 0 : localPort(); }

    std::int32_t alternate = 0;
};

class AnyNetworkType : public NetworkType {
public:
    AnyNetworkType() { alternate = 1; }

    std::uint16_t ownType() const override { return 6; }
    void normalizeHeader(MSG_CmdHdr& header) const override;
    bool isDeviceType(const MSG_CmdHdr& header) const override;
    std::uint16_t localPort() const override { return 6004; }
    std::uint16_t devicePort() const override { return 6000; }
    std::uint16_t alternateDevicePort() const override { return 6017; }
};

} // namespace Vorn

#include "SimulatedRack.h"

#include "DeviceWire.h"
#include "SimText.h"

#include <set>
#include <stdexcept>
#include <utility>

namespace VornSim {

void SimulatedRack::validate(const SimulatorConfig& config) {
    if (config.threads < 1)
        throw std::invalid_argument("at least one I/O thread is needed");
    if (config.presenceInterval.count() <= 0)
        throw std::invalid_argument("the presence interval must be positive");
    if (!(config.faults.dropProbability >= 0.0 && config.faults.dropProbability <= 1.0))
        throw std::invalid_argument("the drop probability must lie between 0 and 1");
    if (!parseAddress(config.bindAddress))
        throw std::invalid_argument("bad bind address " + config.bindAddress);
    std::set<std::uint64_t> ids;
    for (const DeviceSetup& device : config.devices) {
        const std::string which = "device " + formatId(device.id);
        if (!ids.insert(device.id).second)
            throw std::invalid_argument(which + ": frame id used twice");
        const std::uint16_t type = device.typeWord & 0x3FFF;
        if (type == 6 || type == 1)
            throw std::invalid_argument(which + ": type word " + std::to_string(device.typeWord) +
                                        " is not a device type");
        if (device.name.size() >= DeviceWire::deviceNameCapacity ||
            device.name.find('\0') != std::string::npos)
            throw std::invalid_argument(which + ": the name must be at most 127 bytes, no NUL");
        if (!parseAddress(device.address))
            throw std::invalid_argument(which + ": bad address " + device.address);
    }
}

SimulatedRack::SimulatedRack(SimulatorConfig config)
    : config_((validate(config), std::move(config))), faults_(config_.faults),
      random_(config_.seed) {
    for (const DeviceSetup& setup : config_.devices) {
        order_.push_back(setup.id);
        devices_.emplace(setup.id, SimulatedDevice(setup));
    }
}

std::vector<std::uint32_t> SimulatedRack::deviceAddresses() const {
    std::set<std::uint32_t> addresses;
    for (const DeviceSetup& setup : config_.devices)
        addresses.insert(*parseAddress(setup.address));
    return {addresses.begin(), addresses.end()};
}

SimulatedRack::Output SimulatedRack::receive(const char* data, std::size_t size, Endpoint from,
                                             Clock::time_point now) {
    ++datagrams_;
    Output output;
    SimEvent seen;
    seen.address = from.address;
    seen.port = from.port;
    if (size < DeviceWire::headerSize) {
        ++ignored_;
        seen.kind = EventKind::Ignored;
        output.events.push_back(seen);
        return output;
    }
    seen.command = DeviceWire::readU16(data + DeviceWire::commandAt);
    seen.sequence = DeviceWire::readU32(data + DeviceWire::sequenceAt);
    seen.device = DeviceWire::readFrameId(data + DeviceWire::destinationIdAt);

    std::lock_guard lock(mutex_);
    if (seen.command == DeviceWire::toolPresence) {
        ++toolPresence_;
        handleToolPresence(from, now, output);
    } else {
        handleRequest(data, size, seen, from, output);
    }
    count(output.datagrams);
    return output;
}

void SimulatedRack::handleRequest(const char* data, std::size_t size, SimEvent seen, Endpoint from,
                                  Output& output) {
    const auto found = devices_.find(seen.device);
    // A request whose length field or check value is wrong is not the tool's
    // whole message: a device does not act on it.
    if (found == devices_.end() || !DeviceWire::intact(data, size)) {
        ++ignored_;
        seen.kind = EventKind::Ignored;
        output.events.push_back(seen);
        return;
    }
    SimulatedDevice& device = found->second;
    ++requests_;
    device.count(data, size);
    seen.kind = EventKind::Request;
    output.events.push_back(seen);
    const Faults faults = device.ownFaults().value_or(faults_);
    if (faults.gone) {
        seen.kind = EventKind::Unheard;
        output.events.push_back(seen);
    } else if (faults.dropProbability > 0 &&
               std::uniform_real_distribution<double>(0.0, 1.0)(random_) < faults.dropProbability) {
        ++dropped_;
        seen.kind = EventKind::Dropped;
        output.events.push_back(seen);
    } else {
        device.act(faults, data, size, from, output.events, output.datagrams);
    }
}

void SimulatedRack::handleToolPresence(Endpoint from, Clock::time_point now, Output& output) {
    auto [tool, isNew] = tools_.try_emplace(from, now);
    // A tool silent for longer than the lifetime counts as new even before the
    // next presence round has removed it.
    if (!isNew && now - tool->second > config_.toolLifetime)
        isNew = true;
    tool->second = now;
    if (!isNew)
        return;
    SimEvent heard;
    heard.kind = EventKind::ToolHeard;
    heard.address = from.address;
    heard.port = from.port;
    output.events.push_back(heard);
    // A new tool hears every device at once rather than on the next round.
    for (const std::uint64_t id : order_) {
        SimulatedDevice& device = devices_.at(id);
        device.presenceTo(device.ownFaults().value_or(faults_), from, output.datagrams);
    }
}

SimulatedRack::Output SimulatedRack::hearTool(Endpoint tool, Clock::time_point now) {
    Output output;
    std::lock_guard lock(mutex_);
    handleToolPresence(tool, now, output);
    count(output.datagrams);
    return output;
}

SimulatedRack::Output SimulatedRack::presenceRound(Clock::time_point now) {
    Output output;
    std::lock_guard lock(mutex_);
    for (auto tool = tools_.begin(); tool != tools_.end();) {
        if (now - tool->second <= config_.toolLifetime) {
            ++tool;
            continue;
        }
        SimEvent lost;
        lost.kind = EventKind::ToolLost;
        lost.address = tool->first.address;
        lost.port = tool->first.port;
        output.events.push_back(lost);
        tool = tools_.erase(tool);
    }
    for (const std::uint64_t id : order_) {
        SimulatedDevice& device = devices_.at(id);
        const Faults faults = device.ownFaults().value_or(faults_);
        for (const auto& tool : tools_)
            device.presenceTo(faults, tool.first, output.datagrams);
    }
    count(output.datagrams);
    return output;
}

std::optional<SimulatedRack::Output> SimulatedRack::releaseReplies(std::uint64_t id) {
    std::lock_guard lock(mutex_);
    const auto found = devices_.find(id);
    if (found == devices_.end())
        return std::nullopt;
    Output output;
    output.datagrams = found->second.release();
    count(output.datagrams);
    return output;
}

void SimulatedRack::count(const std::vector<Datagram>& datagrams) {
    for (const Datagram& datagram : datagrams) {
        if (datagram.report)
            replies_ += static_cast<std::uint64_t>(datagram.copies);
        else
            ++presence_;
    }
}

std::optional<DeviceReport> SimulatedRack::device(std::uint64_t id) const {
    std::lock_guard lock(mutex_);
    const auto found = devices_.find(id);
    if (found == devices_.end())
        return std::nullopt;
    return found->second.report(faults_);
}

Counters SimulatedRack::counters(Clock::time_point now) const {
    Counters counters;
    counters.datagrams = datagrams_;
    counters.toolPresence = toolPresence_;
    counters.requests = requests_;
    counters.dropped = dropped_;
    counters.ignored = ignored_;
    counters.replies = replies_;
    counters.presence = presence_;
    counters.sendErrors = sendErrors_;
    std::lock_guard lock(mutex_);
    for (const auto& tool : tools_)
        if (now - tool.second <= config_.toolLifetime)
            ++counters.tools;
    return counters;
}

Faults SimulatedRack::faults() const {
    std::lock_guard lock(mutex_);
    return faults_;
}

void SimulatedRack::setFaults(const Faults& faults) {
    std::lock_guard lock(mutex_);
    faults_ = faults;
}

bool SimulatedRack::setDeviceFaults(std::uint64_t id, const std::optional<Faults>& faults) {
    return changeDevice(id, [&faults](SimulatedDevice& device) { device.setFaults(faults); });
}

bool SimulatedRack::updateDeviceFaults(std::uint64_t id,
                                       const std::function<void(Faults&)>& change) {
    // The change runs outside the lock; a concurrent update of the same device
    // in between is overwritten.
    Faults faults;
    {
        std::lock_guard lock(mutex_);
        const auto found = devices_.find(id);
        if (found == devices_.end())
            return false;
        faults = found->second.ownFaults().value_or(faults_);
    }
    change(faults);
    return setDeviceFaults(id, faults);
}

bool SimulatedRack::changeDevice(std::uint64_t id,
                                 const std::function<void(SimulatedDevice&)>& change) {
    std::lock_guard lock(mutex_);
    const auto found = devices_.find(id);
    if (found == devices_.end())
        return false;
    change(found->second);
    return true;
}

} // namespace VornSim

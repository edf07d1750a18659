#pragma once

#include "Exception.h"
#include "NameRetrySchedule.h"
#include "ProductName.h"
#include "WriteReply.h"
#include "engine/FrameList.h"
#include "engine/VornNetwork.h"
#include "wire/NetworkType.h"

#include <condition_variable>
#include <cstdint>
#include <functional>
#include <mutex>
#include <optional>
#include <stop_token>
#include <string>
#include <thread>
#include <unordered_map>
#include <vector>

// A device appeared on, or disappeared from, the device network.
using DeviceCallback = std::function<void(std::uint64_t deviceId)>;
// Result of requestDeviceName: the name on success, else ok false and "".
// Whether a failed name request is asked again later (NameRetrySchedule.h).
enum class NameRounds { Once, UntilNamed };
using NameCallback = std::function<void(std::uint64_t deviceId, bool ok, std::string name)>;
// Result of requestSerialNumber: the board id on success, else ok false and 0.
using SerialCallback = std::function<void(std::uint64_t deviceId, bool ok, unsigned serial)>;
using WriteCallback = std::function<void(std::uint64_t deviceId, WriteReply reply)>;

// The application's controller: owns the engine on the chosen interface,
// passes its frame events on to the registered device handlers and offers the
// device operations the tool needs. Its one thread of its own asks devices
// for their names again after a failure (requestDeviceName, UntilNamed).
//
// Threads: the device handlers run on the frame list's worker, inside the
// event's traversal (they must only hand work over and must not subscribe to
// the engine's events). Request callbacks run where the engine completes
// requests: server I/O threads, the frame list's worker, or the calling
// thread when the datagram cannot be sent at all.
//
// Starting: construct, register, start. The constructor only remembers the
// address; the handlers are appended to the three vectors next, and start()
// brings up the engine. Its relays are subscribed before the engine receives
// its first datagram or sends its first presence broadcast, so every device is
// reported, even one that answers the very first broadcast, and a handler that
// uses the controller always finds it fully built. The vectors are read
// without a lock by the engine's threads: they must not change after start().
class VornService {
public:
    // `address`: the chosen interface's dotted IPv4 address, as the adapter
    // list reports it. Nothing runs and no socket is opened until start().
    explicit VornService(std::string address);
    // The controller over `link` on `clocks` instead of a UDP endpoint (see
    // VornNetwork); the link must outlive the controller.
    VornService(Network::Transport& link, Vorn::FrameList::Clocks clocks);
    // Stops asking names again, ends the frameChanged subscription, then the
    // frameRemoved one, then the frameAdded one, then stops the engine
    // (pending requests end without callbacks).
    ~VornService();
    VornService(const VornService&) = delete;
    VornService& operator=(const VornService&) = delete;

    // Brings up the engine on the address, once. Throws what the engine
    // throws: Network::FailedToEnumerateNetworkException,
    // Network::AddressInUseException, Network::CouldNotCreateListenerException;
    // the controller then stays stopped. A second call does nothing.
    void start();
    bool started() const { return engine_ != nullptr; }

    // Called in insertion order for every device that appears / disappears.
    std::vector<DeviceCallback> deviceAddedHandlers;
    std::vector<DeviceCallback> deviceRemovedHandlers;
    // Called for a present device whose presence announces a change (its
    // change mark moved); same thread and rules as the two above.
    std::vector<DeviceCallback> deviceChangedHandlers;

    // Before start() no device is known: findDevice finds none, requests
    // return false and selection marks are not sent.

    // New devices that found the engine's table full since the start, each
    // either taking the place of one that never answered or left out: zero
    // unless a flood of new ids reached the engine's limits.
    std::uint64_t devicesDropped() const;

    // A copy of the device's frame record; none when it is not present (a
    // device may leave at any moment).
    std::optional<Vorn::FrameInfo> findDevice(std::uint64_t deviceId);

    // The three requests return true when the engine accepted the request;
    // `done` is then called exactly once, unless the controller is destroyed
    // first. False: nothing was sent (unknown device, no destination yet, or
    // shutting down) and `done` is never called. With UntilNamed a request the
    // engine's queue cannot take now (a flood of new ids) is asked in a later
    // round, as after a failed one, and true is returned.
    //
    // Names are read in the background, behind the serial number requests.
    // With UntilNamed a failed request is asked again while the device stays
    // present, 10 s, 30 s, 60 s and then every 60 s after each failure, and
    // `done` is called after every round (ok false) until one names the
    // device (ok true) or the device leaves.
    bool requestDeviceName(std::uint64_t deviceId, NameCallback done,
                           NameRounds rounds = NameRounds::Once);
    bool requestSerialNumber(std::uint64_t deviceId, SerialCallback done);
    // Reads the device's board record and writes it back with `serial` as its
    // board id; every other byte of the record stays as the device sent it.
    bool setSerialNumber(std::uint64_t deviceId, unsigned serial, WriteCallback done);

    // Marks the device as selected on the device itself, or clears the mark.
    // Sent once, untracked; an unknown device is ignored.
    void selectDevice(std::uint64_t deviceId);
    void deselectDevice(std::uint64_t deviceId);

    // The local UDP port of the engine's endpoint; 0 before start().
    std::uint16_t localPort() const { return engine_ ? engine_->localPort() : 0; }
    // The engine, or null before start().
    VornNetwork* engine() const { return engine_; }
    // The clocks the engine runs on (the system's, or those given).
    const Vorn::FrameList::Clocks& clocks() const { return clocks_; }

    // Asks again now the names whose next round is due on the clocks; the
    // controller's thread does it by itself, for an owner that drives them.
    void retryNamesNow();
    // Devices waiting for another round of their name request.
    std::size_t namesToRetry();

private:
    using Token = Vorn::FrameList::FrameEvent::Token;

    void subscribeRelays(VornNetwork& engine);
    void relayDeviceAdded(std::uint64_t deviceId);
    void relayDeviceRemoved(std::uint64_t deviceId);
    void relayDeviceChanged(std::uint64_t deviceId);

    template <class Layout>
    bool sendRequest(std::uint64_t deviceId, Completion completion,
                     RequestClass requestClass = RequestClass::UserAction);
    void sendSelect(std::uint64_t deviceId, bool select);

    void onDeviceConfigReply(const NameCallback& done, NameRounds rounds, std::uint64_t deviceId,
                             const char* reply, unsigned length, Vorn::ErrorCode error);
    // A round of an UntilNamed request failed, or could not be sent: the next
    // one is scheduled while the device is present. False when none is.
    bool scheduleNameRound(std::uint64_t deviceId, const NameCallback& done);
    void forgetNameRounds(std::uint64_t deviceId);
    void nameRoundsLoop(std::stop_token stop);
    void stopNameRounds();
    void onBoardIdReply(const SerialCallback& done, std::uint64_t deviceId, const char* reply,
                        unsigned length, Vorn::ErrorCode error);
    void onBoardIdForWriteReply(unsigned serial, const WriteCallback& done, std::uint64_t deviceId,
                                const char* reply, unsigned length, Vorn::ErrorCode error);
    void onSetBoardIdReply(const WriteCallback& done, std::uint64_t deviceId, const char* reply,
                           unsigned length, Vorn::ErrorCode error);

    // Set by the constructor and start() on the starting thread before the
    // engine's threads exist, left alone until the destructor.
    std::string address_;
    Network::Transport* link_ = nullptr; // instead of a UDP endpoint on address_
    Vorn::FrameList::Clocks clocks_;
    Vorn::AnyNetworkType networkType_;
    std::optional<VornNetwork> network_;
    // The engine, or null before start(). Set as soon as the engine can raise
    // its first event, before its constructor has returned; unlike network_ it
    // keeps its value while the engine is torn down, so that a relay or
    // completion still finishing on an engine thread reads it without a race.
    VornNetwork* engine_ = nullptr;
    Token frameAddedToken_;
    Token frameRemovedToken_;
    Token frameChangedToken_;

    // Devices to be asked their names again, with the callback of their
    // request; guarded by roundsMutex_.
    NameRetrySchedule nameRetries_;
    std::unordered_map<std::uint64_t, NameCallback> nameCallbacks_;
    std::mutex roundsMutex_;
    std::condition_variable_any roundsWake_; // with roundsMutex_: a sooner round (or stop)
    std::stop_token roundsStopped_;          // guarded by roundsMutex_: the thread's
    std::jthread roundsThread_; // started by start(), stopped and joined by the destructor
};

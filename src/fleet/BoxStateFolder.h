#pragma once

#include "FleetStates.h"

#include <cstdint>
#include <filesystem>
#include <map>
#include <stdexcept>
#include <string>

// What a reporting box keeps on its disk between runs, in a folder of its own
// (beside the journal): its session counter, the archive's acknowledged
// number and the device states it has published. Each file is replaced whole
// (written, synced, renamed), so a power loss leaves the old or the new one.
namespace Fleet {

class StateError : public std::runtime_error {
public:
    using std::runtime_error::runtime_error;
};

class BoxStateFolder {
public:
    // Creates the folder (0700) when missing. Throws StateError.
    explicit BoxStateFolder(std::filesystem::path folder);

    // The session counter, one more than the last run's, saved before it is
    // used. Throws StateError.
    std::uint64_t nextSession();
    // The archive's acknowledged number; 0 when none was saved.
    std::uint64_t acknowledged() const;
    void saveAcknowledged(std::uint64_t number); // throws StateError
    std::map<std::string, DeviceState> devices() const;
    void saveDevices(const std::map<std::string, DeviceState>& devices); // throws StateError

    const std::filesystem::path& folder() const { return folder_; }

private:
    std::uint64_t readNumber(const char* name) const;
    void replace(const char* name, const std::string& text);

    std::filesystem::path folder_;
};

// The password in the first line of `path`, which others may not read (mode
// 0600 or stricter, owned by this user): throws StateError naming the file and
// what is wrong.
std::string readPasswordFile(const std::filesystem::path& path);

} // namespace Fleet

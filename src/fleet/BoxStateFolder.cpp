#include "BoxStateFolder.h"

#include "FleetTopics.h"
#include "JournalFile.h"

#include <cerrno>
#include <cstring>
#include <fcntl.h>
#include <fstream>
#include <sstream>
#include <sys/stat.h>
#include <unistd.h>

namespace Fleet {
namespace {

std::string textOf(const std::filesystem::path& path) {
    std::ifstream file(path, std::ios::binary);
    std::ostringstream text;
    text << file.rdbuf();
    return text.str();
}

// Writes `text` to `path` whole: a new file, synced, renamed over the old one.
void replaceFile(const std::filesystem::path& path, const std::string& text) {
    auto temporary = path;
    temporary += ".new";
    const int fd = ::open(temporary.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0600);
    if (fd < 0)
        throw StateError("cannot write " + Journal::displayPath(temporary) + ": " +
                         std::strerror(errno));
    std::size_t done = 0;
    int error = 0;
    while (done < text.size()) {
        const ssize_t wrote = ::write(fd, text.data() + done, text.size() - done);
        if (wrote < 0 && errno == EINTR)
            continue;
        if (wrote < 0) {
            error = errno;
            break;
        }
        done += static_cast<std::size_t>(wrote);
    }
    if (error == 0 && ::fsync(fd) != 0)
        error = errno;
    ::close(fd);
    if (error == 0 && ::rename(temporary.c_str(), path.c_str()) != 0)
        error = errno;
    if (error != 0)
        throw StateError("cannot write " + Journal::displayPath(path) + ": " +
                         std::strerror(error));
    const int folder = ::open(path.parent_path().c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC);
    if (folder >= 0) {
        ::fsync(folder);
        ::close(folder);
    }
}

} // namespace

BoxStateFolder::BoxStateFolder(std::filesystem::path folder) : folder_(std::move(folder)) {
    std::error_code error;
    std::filesystem::create_directories(folder_, error);
    if (error)
        throw StateError("cannot make the folder " + Journal::displayPath(folder_) + ": " +
                         error.message());
    std::filesystem::permissions(folder_, std::filesystem::perms::owner_all,
                                 std::filesystem::perm_options::replace, error);
}

std::uint64_t BoxStateFolder::readNumber(const char* name) const {
    const std::string text = textOf(folder_ / name);
    std::uint64_t number = 0;
    for (char c : text) {
        if (c < '0' || c > '9')
            break;
        number = number * 10 + static_cast<std::uint64_t>(c - '0');
    }
    return number;
}

void BoxStateFolder::replace(const char* name, const std::string& text) {
    replaceFile(folder_ / name, text);
}

std::uint64_t BoxStateFolder::nextSession() {
    const std::uint64_t session = readNumber("session") + 1;
    replace("session", std::to_string(session) + "\n");
    return session;
}

std::uint64_t BoxStateFolder::acknowledged() const {
    return readNumber("acknowledged");
}

void BoxStateFolder::saveAcknowledged(std::uint64_t number) {
    replace("acknowledged", std::to_string(number) + "\n");
}

std::map<std::string, DeviceState> BoxStateFolder::devices() const {
    std::map<std::string, DeviceState> devices;
    std::istringstream lines(textOf(folder_ / "devices.jsonl"));
    for (std::string line; std::getline(lines, line);)
        if (const auto device = parseDeviceState(line))
            if (const auto key = deviceKeyOf(device->id))
                devices.emplace(*key, *device);
    return devices;
}

void BoxStateFolder::saveDevices(const std::map<std::string, DeviceState>& devices) {
    std::string text;
    for (const auto& [key, device] : devices)
        text += formatDeviceState(device) + "\n";
    replace("devices.jsonl", text);
}

std::string readPasswordFile(const std::filesystem::path& path) {
    const std::string name = Journal::displayPath(path);
    const int fd = ::open(path.c_str(), O_RDONLY | O_CLOEXEC | O_NOFOLLOW);
    if (fd < 0)
        throw StateError("cannot read the password file " + name + ": " + std::strerror(errno));
    struct stat status {};
    const bool statted = ::fstat(fd, &status) == 0;
    std::string text;
    char buffer[4096];
    ssize_t got = 0;
    while (statted && (got = ::read(fd, buffer, sizeof buffer)) > 0 && text.size() < 65536)
        text.append(buffer, static_cast<std::size_t>(got));
    ::close(fd);
    if (!statted || !S_ISREG(status.st_mode))
        throw StateError("the password file " + name + " is not a file");
    if ((status.st_mode & (S_IRWXG | S_IRWXO)) != 0)
        throw StateError("the password file " + name +
                         " may be read by others: make it the owner's alone (chmod 600)");
    if (status.st_uid != ::geteuid())
        throw StateError("the password file " + name + " belongs to another user");
    const std::string password = text.substr(0, text.find_first_of("\r\n"));
    if (password.empty())
        throw StateError("the password file " + name + " holds no password on its first line");
    return password;
}

} // namespace Fleet

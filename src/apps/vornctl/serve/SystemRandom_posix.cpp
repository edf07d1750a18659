#include "AccessToken.h"

#include <cerrno>
#include <cstring>
#include <stdexcept>
#include <string>

#include <sys/random.h>

namespace Vornctl::Serve {

void systemRandom(unsigned char* bytes, std::size_t size) {
    std::size_t done = 0;
    while (done < size) {
        const ssize_t got = getrandom(bytes + done, size - done, 0);
        if (got < 0) {
            if (errno == EINTR)
                continue;
            throw std::runtime_error(std::string("cannot read the system's random source: ") +
                                     std::strerror(errno));
        }
        done += static_cast<std::size_t>(got);
    }
}

} // namespace Vornctl::Serve

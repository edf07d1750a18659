#include "AccessToken.h"

#include <stdexcept>

#include <windows.h>
// windows.h first: bcrypt.h needs its types.
#include <bcrypt.h>

namespace Vornctl::Serve {

void systemRandom(unsigned char* bytes, std::size_t size) {
    const NTSTATUS status =
        BCryptGenRandom(nullptr, bytes, static_cast<ULONG>(size), BCRYPT_USE_SYSTEM_PREFERRED_RNG);
    if (status < 0)
        throw std::runtime_error("cannot read the system's random source (BCryptGenRandom)");
}

} // namespace Vornctl::Serve

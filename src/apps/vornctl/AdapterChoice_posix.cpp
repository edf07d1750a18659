#include "AdapterChoice.h"

#include <net/if.h>

namespace Vornctl {

bool systemAdapterExists(const std::string& name) {
    return !name.empty() && if_nametoindex(name.c_str()) != 0;
}

} // namespace Vornctl

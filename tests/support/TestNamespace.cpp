#include "TestNamespace.h"

#include <cstdlib>
#include <cstring>
#include <vector>

#ifdef _WIN32
#include "transport/Enumerator.h"
#else
#include <net/if.h>
#include <sys/stat.h>
#endif

namespace TestNamespace {

namespace {

#ifdef _WIN32

bool isRunAddress(const std::string& address) {
    return address.rfind("127.", 0) == 0 || address == "192.0.2.1" || address == "192.0.2.2" ||
           address == "0.0.0.0";
}

std::string interfaceProblem() {
    std::vector<Network::AdapterEntry> adapters;
    // No IPv4 adapter at all (the size query fails then) leaves nothing to reach.
    if (Network::Enumerator::querySystem(adapters) != Network::Enumerator::QueryResult::ok)
        return {};
    for (const Network::AdapterEntry& adapter : adapters) {
        for (const auto& [address, mask] : adapter.addresses) {
            if (!isRunAddress(address))
                return "adapter '" + adapter.description + "' has address " + address +
                       ", which is not the test run's";
        }
    }
    return {};
}

#else

std::string namespaceProblem() {
    struct stat own {};
    struct stat init {};
    if (stat("/proc/self/ns/net", &own) != 0)
        return "cannot read this process's network namespace (/proc/self/ns/net)";
    // Process 1's namespace is unreadable from an unprivileged user namespace;
    // the interface check then decides alone.
    if (stat("/proc/1/ns/net", &init) == 0 && own.st_dev == init.st_dev &&
        own.st_ino == init.st_ino)
        return "the network namespace is that of process 1 (the host's)";
    return {};
}

std::string interfaceProblem() {
    struct if_nameindex* list = if_nameindex();
    if (list == nullptr)
        return "cannot list the network interfaces";
    std::string problem;
    for (struct if_nameindex* entry = list; entry->if_index != 0; ++entry) {
        const char* name = entry->if_name;
        if (std::strcmp(name, "lo") != 0 && std::strcmp(name, "vorn0") != 0 &&
            std::strcmp(name, "vorn1") != 0) {
            problem = std::string("interface ") + name + " is not the test run's";
            break;
        }
    }
    if_freenameindex(list);
    return problem;
}

#endif

} // namespace

std::string problem() {
    const char* variable = std::getenv("VORN_TEST_NETNS");
    if (variable == nullptr || std::strcmp(variable, "1") != 0)
        return "needs the test network namespace of scripts/netns.sh (VORN_TEST_NETNS is not 1)";
    std::string why;
#ifndef _WIN32
    why = namespaceProblem();
#endif
    if (why.empty())
        why = interfaceProblem();
    if (why.empty())
        return {};
    return "VORN_TEST_NETNS=1 but not in a private test network namespace: " + why;
}

} // namespace TestNamespace

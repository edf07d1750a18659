// vornctl fleet's commands before any broker is reached: what the command line
// says wrong, an archive that is not there, and, in the Windows build, that
// the fleet is not available.

#include "Arguments.h"
#include "Commands.h"
#include "FleetCommands.h"

#include <gtest/gtest.h>

#include <sstream>

namespace {

struct Outcome {
    int status;
    std::string err;
};

Outcome runFleet(const std::vector<std::string>& arguments) {
    std::istringstream in;
    std::ostringstream out, err;
    Vornctl::Console console{in, out, err, false};
    const int status = Vornctl::Fleet::runFleet(Vornctl::parseArguments(arguments), console);
    return {status, err.str()};
}

#ifdef _WIN32
TEST(FleetCommands, TheWindowsBuildSaysTheFleetIsNotThere) {
    const auto outcome = runFleet({"fleet", "boxes", "--archive", "fleet.db"});
    EXPECT_EQ(outcome.status, Vornctl::Exit::failed);
    EXPECT_NE(outcome.err.find("not available on Windows"), std::string::npos) << outcome.err;
}
#else
TEST(FleetCommands, UsageErrorsAndAnArchiveThatIsNotThere) {
    const std::pair<std::vector<std::string>, const char*> usage[] = {
        {{"fleet", "--archive", "a.db"}, "give the broker with --broker"},
        {{"fleet", "--broker", "mqtts://127.0.0.1"}, "--archive FILE"},
        {{"fleet", "--broker", "mqtt://10.0.0.1", "--archive", "a.db"},
         "plain mqtt:// to 10.0.0.1"},
        {{"fleet", "--broker", "http://b", "--archive", "a.db"}, "mqtts:// or mqtt://"},
        {{"fleet", "--broker", "mqtts://b:99999", "--archive", "a.db"}, "no valid port"},
        {{"fleet", "--broker", "mqtts://b", "--broker", "mqtts://b:8883", "--archive", "a.db"},
         "given twice"},
        {{"fleet", "--broker", "mqtts://b", "--broker-cert", "c.pem", "--archive", "a.db"},
         "--broker-cert and --broker-key go together"},
        {{"fleet", "forget", "Bench_3", "--broker", "mqtts://b"}, "is not a box's name"},
        {{"fleet", "boxes"}, "--archive FILE"},
    };
    for (const auto& [arguments, message] : usage) {
        const auto outcome = runFleet(arguments);
        EXPECT_EQ(outcome.status, Vornctl::Exit::usage) << arguments.back();
        EXPECT_NE(outcome.err.find(message), std::string::npos) << outcome.err;
    }
    const auto missing = runFleet({"fleet", "devices", "--archive", "/nonexistent/fleet.db"});
    EXPECT_EQ(missing.status, Vornctl::Exit::failed);
    EXPECT_NE(missing.err.find("cannot open the archive /nonexistent/fleet.db"), std::string::npos)
        << missing.err;
}
#endif

} // namespace

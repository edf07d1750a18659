#pragma once

// Runs vornctl commands in process for the tests, with their streams captured.

#include "Arguments.h"
#include "Commands.h"
#include "transport/Enumerator.h"

#include <filesystem>
#include <sstream>
#include <string>
#include <vector>

#ifdef _WIN32
#include <process.h>
#else
#include <unistd.h>
#endif

namespace VornctlTest {

// The journal of the commands run here unless a test names its own: never
// the user's. Removed when the tests end.
class TestJournal {
public:
    TestJournal() {
#ifdef _WIN32
        const int process = _getpid();
#else
        const int process = ::getpid();
#endif
        path_ = std::filesystem::temp_directory_path() /
                ("vornctl-tests-journal-" + std::to_string(process) + ".jsonl");
    }
    ~TestJournal() {
        std::error_code ignored;
        std::filesystem::remove(path_, ignored);
    }
    std::string path() const {
        return path_.string();
    }

private:
    std::filesystem::path path_;
};
inline TestJournal testJournal;

struct Outcome {
    int status;
    std::string out;
    std::string err;
};

// `journal`: where serial writes are recorded; empty: testJournal.
inline Outcome runCommand(const std::vector<std::string>& arguments, const std::string& input = "",
                          const std::string& journal = "") {
    std::istringstream in(input);
    std::ostringstream out;
    std::ostringstream err;
    Vornctl::Console console{in, out, err, false};
    Vornctl::Options options = Vornctl::parseArguments(arguments);
    if (options.journal.empty())
        options.journal = journal.empty() ? testJournal.path() : journal;
    const int status = Vornctl::run(options, console);
    return {status, out.str(), err.str()};
}

inline bool contains(const std::string& text, const std::string& part) {
    return text.find(part) != std::string::npos;
}

// vornctl accepts only an interface from the adapter list.
inline bool loopbackIsListed() {
    const Network::Enumerator adapters;
    for (unsigned i = 0; i < adapters.adapterCount(); ++i)
        if (adapters.adapterAt(i).ipAddress == "127.0.0.1")
            return true;
    return false;
}

} // namespace VornctlTest

// JournalAppend: what one journal line costs: the record built, the whole
// file locked, the line appended and synced to the disk (fdatasync), as
// vornctl and the window do it before every serial write and after it.
//
//   scripts/netns.sh -- build/native/bench/JournalAppend [--file PATH] [--lines N]
//
// Defaults: 500 lines (an intent and an outcome each) to a file in the build
// tree, which must lie on a real disk (a file on tmpfs syncs for free); the
// file is removed afterwards. Reported: per append the median, 90th and 99th
// percentile and the largest, in milliseconds.

#include "BenchSupport.h"

#include "SerialJournal.h"

namespace {

using Bench::Clock;

constexpr const char* program = "JournalAppend";

int run(int argc, char** argv) {
    const Bench::Arguments arguments(argc, argv, {"--file", "--lines"}, {});
    const std::filesystem::path path =
        arguments.text("--file", "build/native/bench/journal-append.jsonl");
    const std::size_t lines = arguments.number("--lines", 500, 2, 1000000);
    const Bench::Watchdog watchdog(program, std::chrono::seconds(600));
    const std::string loadAtStart = Bench::loadAverage();
    std::filesystem::remove(path);

    std::vector<double> intents;
    std::vector<double> outcomes;
    {
        Journal::SerialJournal journal(path,
                                       {"bench", "bench-host", "JournalAppend 1.0.0", "127.0.0.1"});
        const Journal::DeviceFacts device{"00000100:00000001", "Stage left", "Ondal 4",
                                          "127.0.0.2"};
        for (std::size_t i = 0; i < lines / 2; ++i) {
            auto started = Clock::now();
            const std::string entry = journal.recordIntent(device, static_cast<std::uint32_t>(i),
                                                           static_cast<std::uint32_t>(i + 1));
            intents.push_back(Bench::secondsSince(started) * 1000.0);
            started = Clock::now();
            journal.recordOutcome(entry, device.id, Journal::WriteResult::Verified, true,
                                  static_cast<std::uint32_t>(i + 1));
            outcomes.push_back(Bench::secondsSince(started) * 1000.0);
        }
    }
    const auto size = std::filesystem::file_size(path);
    std::filesystem::remove(path);

    std::vector<double> all = intents;
    all.insert(all.end(), outcomes.begin(), outcomes.end());
    std::sort(all.begin(), all.end());
    std::printf("JournalAppend: %zu lines (%.0f bytes each) to %s; load average %s at start\n",
                all.size(), static_cast<double>(size) / static_cast<double>(all.size()),
                path.string().c_str(), loadAtStart.c_str());
    std::printf("summary JournalAppend: one line appended and synced: median %.2f / p90 %.2f / "
                "p99 %.2f / max %.2f ms over %zu appends\n",
                Bench::percentile(all, 0.5), Bench::percentile(all, 0.9),
                Bench::percentile(all, 0.99), all.back(), all.size());
    return 0;
}

} // namespace

int main(int argc, char** argv) {
    return Bench::runMain(program, run, argc, argv);
}

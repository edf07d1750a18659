#pragma once

#include <cstddef>
#include <cstdint>
#include <set>

// The archive's side of one box's journal: the highest number up to which
// every record is stored (what it acknowledges), and the numbers stored above
// a gap. A record is stored once: a number at or below the mark, or among
// those above it, is a duplicate. No I/O.
namespace Fleet {

class GapFreeMark {
public:
    // How far above the mark a record may be: a box sends a bounded window,
    // so one far beyond it is not kept (the box sends it again in its turn).
    static constexpr std::uint64_t defaultReach = 4096;

    explicit GapFreeMark(std::uint64_t mark = 0, std::uint64_t reach = defaultReach);

    enum class Verdict { Store, Duplicate, TooFarAhead };
    // Whether a record numbered `sequence` is to be stored.
    Verdict check(std::uint64_t sequence) const;
    // The record was stored: the mark moves on over it and over the numbers
    // above it that now follow without a gap. True when the mark moved.
    bool stored(std::uint64_t sequence);

    std::uint64_t mark() const { return mark_; }
    std::size_t above() const { return above_.size(); }

private:
    std::uint64_t mark_;
    std::uint64_t reach_;
    std::set<std::uint64_t> above_; // stored, above mark_ + 1; at most reach_
};

} // namespace Fleet

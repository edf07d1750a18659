#include "GapFreeMark.h"

namespace Fleet {

GapFreeMark::GapFreeMark(std::uint64_t mark, std::uint64_t reach) : mark_(mark), reach_(reach) {}

GapFreeMark::Verdict GapFreeMark::check(std::uint64_t sequence) const {
    if (sequence <= mark_ || above_.count(sequence) != 0)
        return Verdict::Duplicate;
    if (sequence - mark_ > reach_)
        return Verdict::TooFarAhead;
    return Verdict::Store;
}

bool GapFreeMark::stored(std::uint64_t sequence) {
    if (sequence <= mark_)
        return false;
    if (sequence != mark_ + 1) {
        above_.insert(sequence);
        return false;
    }
    mark_ = sequence;
    auto next = above_.begin();
    while (next != above_.end() && *next == mark_ + 1) {
        mark_ = *next;
        next = above_.erase(next);
    }
    return true;
}

} // namespace Fleet

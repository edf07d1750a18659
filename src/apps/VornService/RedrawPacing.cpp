#include "RedrawPacing.h"

bool RedrawPacing::changed() {
    changedSinceTick_ = true;
    if (suspended_)
        return false;
    suspended_ = true;
    ticks_ = 0;
    return true;
}

RedrawPacing::Tick RedrawPacing::tick() {
    if (!suspended_)
        return Tick::stopTimer;
    ++ticks_;
    const bool quiet = !changedSinceTick_;
    changedSinceTick_ = false;
    if (!quiet && ticks_ < longestTicks)
        return Tick::wait;
    suspended_ = false;
    return Tick::draw;
}

void RedrawPacing::resumed() {
    suspended_ = false;
    changedSinceTick_ = false;
}

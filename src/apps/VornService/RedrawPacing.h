#pragma once

// When the main window's device list is drawn while devices arrive.
//
// Every device arrives with its own messages, and most arrive in bursts
// (every device answers the tool's first presence broadcast at once). Drawing
// the list after each of them would cost far more than the rows: so while rows
// come, the list's drawing is suspended and a timer ticks every `intervalMs`.
// The list (with the status bar's count and a sort order that renamed rows
// left behind) is drawn once a tick finds that nothing changed since the one
// before: when the burst is over. While changes go on without a pause, it is
// drawn every `longestTicks` ticks, so that a long stream shows its progress.
// The window system delivers a tick only when no other message waits, so
// ticks, and with them redraws, come only while the window thread is idle.
//
// Counts ticks, not time: the window's timer is the clock.
class RedrawPacing {
public:
    static constexpr unsigned intervalMs = 50;
    static constexpr unsigned longestTicks = 10;

    // A row was added, removed or renamed. True when drawing was on: the
    // caller suspends it and starts the timer.
    bool changed();
    // The timer ticked: wait for the next tick, or draw the list now (the
    // caller stops the timer and lets the list draw again), or only stop the
    // timer (a tick that was on its way when drawing resumed).
    enum class Tick { wait, draw, stopTimer };
    Tick tick();
    // Drawing is back on without a tick (the timer could not be started).
    void resumed();
    bool suspended() const { return suspended_; }

private:
    bool suspended_ = false;
    bool changedSinceTick_ = false;
    unsigned ticks_ = 0; // since drawing was suspended
};

// The progress line: one line on a terminal's standard error, redrawn in place, for packs that take
// long enough for a user to wonder whether anything is happening.
#pragma once

#include <atomic>
#include <chrono>
#include <condition_variable>
#include <cstdint>
#include <mutex>
#include <ostream>
#include <string>
#include <thread>

namespace onefile::pack {

enum class ProgressPhase { Compressing, Writing };

struct ProgressTiming {
    // Nothing is shown before the pack has run this long.
    std::chrono::milliseconds delay{1000};
    // At most one redraw per interval.
    std::chrono::milliseconds interval{250};
};

// "onefile-pack: compressing  42% (12.3 of 29.4 MiB)", "onefile-pack: compressing" while the total
// is 0 (not known yet), or "onefile-pack: writing the executable".
std::string progress_text(ProgressPhase phase, std::uint64_t done, std::uint64_t total);

// The drawing logic, driven by explicit points in time so that it can be checked without waiting.
// update() may be called from another thread than tick()/finish().
class ProgressLine {
public:
    using Clock = std::chrono::steady_clock;

    ProgressLine(std::ostream& out, ProgressTiming timing, Clock::time_point start);

    void set_phase(ProgressPhase phase) { phase_.store(phase); }
    void update(std::uint64_t done, std::uint64_t total) {
        total_.store(total);
        done_.store(done);
    }

    // Redraws the line if the delay has passed since the start, the interval since the last
    // redraw, and the text changed. Returns whether it wrote anything.
    bool tick(Clock::time_point now);
    // Clears a line that was drawn (spaces over it, cursor back at the start of the line); writes
    // nothing when no line was drawn.
    void finish();
    bool drawn() const { return drawn_; }

private:
    std::ostream& out_;
    ProgressTiming timing_;
    Clock::time_point start_;
    std::atomic<ProgressPhase> phase_{ProgressPhase::Compressing};
    std::atomic<std::uint64_t> done_{0};
    std::atomic<std::uint64_t> total_{0};
    bool drawn_ = false;
    Clock::time_point last_draw_{};
    std::string last_text_;
};

// A ProgressLine with a thread that ticks it while the pack runs. The line is cleared by stop() or
// the destructor, whichever comes first.
class ProgressReporter {
public:
    // Draws the line in `phase` at once when there is no delay.
    ProgressReporter(std::ostream& out, ProgressTiming timing, ProgressPhase phase);
    ProgressReporter(const ProgressReporter&) = delete;
    ProgressReporter& operator=(const ProgressReporter&) = delete;
    ~ProgressReporter();

    ProgressLine& line() { return line_; }
    void stop();

private:
    void run();

    ProgressLine line_;
    std::chrono::milliseconds poll_;
    std::mutex mutex_;
    std::condition_variable wake_;
    bool stopping_ = false;
    std::thread thread_;
};

}  // namespace onefile::pack

#include "progress.h"

#include <algorithm>
#include <cstdio>

namespace onefile::pack {

std::string progress_text(ProgressPhase phase, std::uint64_t done, std::uint64_t total) {
    if (phase == ProgressPhase::Writing) {
        return "onefile-pack: writing the executable";
    }
    if (total == 0) {
        return "onefile-pack: compressing";
    }
    done = std::min(done, total);
    const auto percent = static_cast<unsigned>(done * 100 / total);
    constexpr double MIB = 1024.0 * 1024.0;
    char text[128];
    std::snprintf(text, sizeof text, "onefile-pack: compressing %3u%% (%.1f of %.1f MiB)", percent,
                  static_cast<double>(done) / MIB, static_cast<double>(total) / MIB);
    return text;
}

ProgressLine::ProgressLine(std::ostream& out, ProgressTiming timing, Clock::time_point start)
    : out_(out), timing_(timing), start_(start) {}

bool ProgressLine::tick(Clock::time_point now) {
    if (now - start_ < timing_.delay) {
        return false;
    }
    if (drawn_ && now - last_draw_ < timing_.interval) {
        return false;
    }
    std::string text = progress_text(phase_.load(), done_.load(), total_.load());
    if (drawn_ && text == last_text_) {
        return false;
    }
    // Spaces over whatever the previous, longer text left on the line.
    const std::size_t width = text.size();
    if (last_text_.size() > width) {
        text.append(last_text_.size() - width, ' ');
    }
    out_ << '\r' << text << std::flush;
    text.resize(width);
    last_text_ = std::move(text);
    last_draw_ = now;
    drawn_ = true;
    return true;
}

void ProgressLine::finish() {
    if (!drawn_) {
        return;
    }
    out_ << '\r' << std::string(last_text_.size(), ' ') << '\r' << std::flush;
    drawn_ = false;
    last_text_.clear();
}

ProgressReporter::ProgressReporter(std::ostream& out, ProgressTiming timing, ProgressPhase phase)
    : line_(out, timing, ProgressLine::Clock::now()),
      poll_(std::max(std::chrono::milliseconds(10), std::min(timing.interval, std::chrono::milliseconds(100)))) {
    // The first tick here, before the caller moves on: with no delay the line is drawn at once, in
    // the phase it was started in, however soon the phase changes or stop() comes. Left to the
    // thread, it could see a quick compression already over.
    line_.set_phase(phase);
    line_.tick(ProgressLine::Clock::now());
    thread_ = std::thread([this] { run(); });
}

ProgressReporter::~ProgressReporter() { stop(); }

void ProgressReporter::run() {
    std::unique_lock lock(mutex_);
    while (!wake_.wait_for(lock, poll_, [this] { return stopping_; })) {
        line_.tick(ProgressLine::Clock::now());
    }
}

void ProgressReporter::stop() {
    if (!thread_.joinable()) {
        return;
    }
    {
        std::lock_guard lock(mutex_);
        stopping_ = true;
    }
    wake_.notify_all();
    thread_.join();
    line_.finish();
}

}  // namespace onefile::pack

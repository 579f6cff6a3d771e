// File: tools/nt_host/progress_display.h
//
// Shows the experiments' progress while a run goes on, in one of three styles:
//   - Live: one status line per experiment, redrawn in place with ANSI cursor sequences (a
//     terminal that interprets them);
//   - SingleLine: all experiments on one line, redrawn with a carriage return (a terminal that
//     does not);
//   - Plain: a time-stamped line each time an experiment's status changes, nothing redrawn
//     (output to a file or a pipe, where redraws would be noise).
// Messages (telemetry events, log lines) are printed above the live lines, which are then drawn
// again, so the two never overwrite each other. Single-threaded: one thread calls everything.
#pragma once

#include <functional>
#include <string>
#include <string_view>
#include <vector>

namespace mox::nthost {

enum class ProgressStyle { Live, SingleLine, Plain };

struct ExperimentProgress {
    std::string name;    // "game_latency", ...
    std::string status;  // "Disabled", "Skipped", "InProgress", "Completed", or "?" if unknown
};

class ProgressDisplay {
  public:
    using Writer = std::function<void(std::string_view)>;

    ProgressDisplay(Writer write, ProgressStyle style);

    // Shows `experiments` as of `elapsedSeconds` since the start of the run.
    void update(const std::vector<ExperimentProgress>& experiments, double elapsedSeconds);
    // Prints one line (no newline in `line`) above the status lines.
    void message(std::string_view line);
    // Ends the display: live lines are left showing their final state, followed by a newline
    // for the single-line style. Nothing is drawn afterwards.
    void finish();

  private:
    void erase();
    void draw();
    std::string statusText(const ExperimentProgress& experiment) const;

    Writer write_;
    ProgressStyle style_;
    std::vector<ExperimentProgress> shown_;
    double elapsed_ = 0.0;
    std::size_t drawnLines_ = 0;  // live lines currently on screen
    bool singleLineDrawn_ = false;
    std::size_t singleLineLength_ = 0;
    bool finished_ = false;
    unsigned frame_ = 0;
};

}  // namespace mox::nthost

#include "tools/nt_host/progress_display.h"

#include <cstdio>

namespace mox::nthost {
namespace {

constexpr const char kSpinner[] = "|/-\\";

std::string formatSeconds(double seconds) {
    char buffer[32];
    std::snprintf(buffer, sizeof buffer, "%6.1f s", seconds);
    return buffer;
}

}  // namespace

ProgressDisplay::ProgressDisplay(Writer write, ProgressStyle style)
    : write_(std::move(write)), style_(style) {}

std::string ProgressDisplay::statusText(const ExperimentProgress& experiment) const {
    std::string text = experiment.status;
    if (experiment.status == "InProgress") {
        text += ' ';
        text += kSpinner[frame_ % 4];
    }
    return text;
}

void ProgressDisplay::erase() {
    if (style_ == ProgressStyle::Live && drawnLines_ > 0) {
        // Up to the first status line, then clear everything below it.
        std::string up = "\x1b[";
        up += std::to_string(drawnLines_);
        up += "F\x1b[J";
        write_(up);
        drawnLines_ = 0;
    } else if (style_ == ProgressStyle::SingleLine && singleLineDrawn_) {
        // Spaces over the old text: no cursor sequence is assumed here.
        std::string blank(1, '\r');
        blank.append(singleLineLength_, ' ');
        blank += '\r';
        write_(blank);
        singleLineDrawn_ = false;
    }
}

void ProgressDisplay::draw() {
    if (finished_ || shown_.empty())
        return;
    if (style_ == ProgressStyle::Live) {
        std::string text;
        for (const ExperimentProgress& experiment : shown_) {
            char line[160];
            std::snprintf(line, sizeof line, "  %-14s %-14s%s\n", experiment.name.c_str(),
                          statusText(experiment).c_str(), formatSeconds(elapsed_).c_str());
            text += line;
        }
        write_(text);
        drawnLines_ = shown_.size();
    } else if (style_ == ProgressStyle::SingleLine) {
        std::string text(1, '\r');
        text += formatSeconds(elapsed_);
        for (const ExperimentProgress& experiment : shown_)
            text += "  " + experiment.name + " " + statusText(experiment);
        write_(text);
        singleLineLength_ = text.size() - 1;
        singleLineDrawn_ = true;
    }
}

void ProgressDisplay::update(const std::vector<ExperimentProgress>& experiments,
                             double elapsedSeconds) {
    if (finished_)
        return;
    elapsed_ = elapsedSeconds;
    ++frame_;
    if (style_ == ProgressStyle::Plain) {
        for (const ExperimentProgress& experiment : experiments) {
            bool changed = true;
            for (const ExperimentProgress& before : shown_) {
                if (before.name == experiment.name)
                    changed = before.status != experiment.status;
            }
            if (changed) {
                std::string line(1, '[');
                line += formatSeconds(elapsedSeconds);
                line += "] ";
                line += experiment.name;
                line += ": ";
                line += experiment.status;
                line += '\n';
                write_(line);
            }
        }
        shown_ = experiments;
        return;
    }
    shown_ = experiments;
    erase();
    draw();
}

void ProgressDisplay::message(std::string_view line) {
    if (finished_) {
        write_(std::string(line) + "\n");
        return;
    }
    erase();
    write_(std::string(line) + "\n");
    draw();
}

void ProgressDisplay::finish() {
    if (finished_)
        return;
    if (style_ == ProgressStyle::SingleLine && singleLineDrawn_)
        write_("\n");
    finished_ = true;
}

}  // namespace mox::nthost

// Turning systemd's start-up progress into glimmer's progress bar.
#pragma once

struct ProgressTracker {
    int sent; // the last percentage sent, -1 before the first
};

// The percentage to send for a reading of the manager's Progress (0 to 1),
// or -1 when the bar would not move. systemd's value falls back whenever new
// jobs are queued; the bar only ever moves forward, so that the user never
// sees it go back.
int glimmer_progress_next(ProgressTracker *tracker, double progress);

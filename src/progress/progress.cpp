// Turning systemd's start-up progress into glimmer's progress bar.
#include "progress/progress.h"

#include <cmath>

int glimmer_progress_next(ProgressTracker *tracker, double progress)
{
    if (std::isnan(progress))
        return -1;
    const double clamped = progress < 0 ? 0 : progress > 1 ? 1 : progress;
    const int percent = (int)std::lround(clamped * 100);
    if (percent <= tracker->sent)
        return -1;
    tracker->sent = percent;
    return percent;
}

// How long to wait before starting the player again: a player that keeps
// failing at once is not restarted in a tight loop, one that ran well for a
// while is back on screen after the shortest pause.
#pragma once

class RestartBackoff {
 public:
  RestartBackoff(double initial_s, double max_s, double stable_after_s)
      : initial_(initial_s), max_(max_s), stable_after_(stable_after_s), next_(initial_s) {}

  // The pause before the next start, given how long the last run lasted.
  double after_run(double run_seconds) {
    if (run_seconds >= stable_after_) next_ = initial_;
    double delay = next_;
    next_ = next_ * 2 > max_ ? max_ : next_ * 2;
    return delay;
  }
  // The pause after a run that ended for want of its display: the shortest,
  // so that the picture is back soon after the display server is; such
  // ends do not lengthen the pauses.
  double after_display_loss() const { return initial_; }

 private:
  double initial_, max_, stable_after_, next_;
};

#pragma once

#include <functional>
#include <mutex>
#include <optional>

namespace zimlo::compose {

// An export under way as its caller sees it: a way to stop it. The caller may cancel at any
// time from the main thread; the exporter says how it is stopped once it runs. A cancelled
// export ends with a failure and leaves no file behind.
class ExportJob {
  public:
    void cancel();
    bool isCancelled() const;
    // Exporter side: runs at once when the job was already cancelled, else on cancel().
    void setCancelHandler(std::function<void()> handler);

  private:
    mutable std::mutex mutex_;  // guards: cancelled_, handler_
    bool cancelled_ = false;
    std::function<void()> handler_;
};

// How long an export still needs, judged from how fast its progress has risen so far.
class RemainingTimeEstimate {
  public:
    // The export started at `now` (seconds on a steady clock).
    void start(double now);
    // Progress `fraction` (0 to 1) reached at `now`; a smaller fraction than before is ignored.
    // Without a start, the first report starts the estimate.
    void update(double fraction, double now);
    double fraction() const { return fraction_; }
    // Seconds still needed at `now`; none until a little is done (3 % and a second of work),
    // since the first moments say little about the rate.
    std::optional<double> secondsLeft(double now) const;

  private:
    std::optional<double> started_;
    double fraction_ = 0;
    double reachedAt_ = 0;
};

}  // namespace zimlo::compose

#include "capture/reopen.h"

#include <algorithm>

namespace tarnix {

ReopeningSource::ReopeningSource(std::unique_ptr<PacketSource> first, Opener open, Notice notice, Clock clock)
    : inner_(std::move(first)), open_(std::move(open)), notice_(std::move(notice)), clock_(std::move(clock)) {
  if (inner_) {
    name_ = inner_->name();
    link_ = inner_->link_type();
    speed_ = inner_->link_speed_bps();
  }
}

std::chrono::steady_clock::time_point ReopeningSource::now() const {
  return clock_ ? clock_() : std::chrono::steady_clock::now();
}

int ReopeningSource::dispatch(int max, FrameFn fn, void* user) {
  if (!inner_) {
    if (now() < next_try_) return 0;
    OpenResult r = open_ ? open_() : OpenResult{};
    if (!r.source) {
      retry_ = std::min(retry_ * 2, std::chrono::seconds(kLongestRetry));
      next_try_ = now() + retry_;
      return 0;
    }
    inner_ = std::move(r.source);
    speed_ = inner_->link_speed_bps();
    retry_ = kFirstRetry;
    if (notice_) notice_("capture on " + name_ + " resumed", false);
  }
  const int n = inner_->dispatch(max, fn, user);
  if (n != kSourceError) return n;
  // The handle is done for: keep what it counted, let it go, try again
  // later. Frames it delivered before the error stay counted.
  error_ = inner_->error();
  SourceStats last;
  if (inner_->stats(last)) {
    before_.received += last.received;
    before_.dropped += last.dropped;
    before_.interface_dropped += last.interface_dropped;
  }
  inner_.reset();
  next_try_ = now() + retry_;
  if (notice_)
    notice_("capture on " + name_ + " stopped: " + (error_.empty() ? std::string("read error") : error_) +
                "; opening it again",
            true);
  return 0;
}

bool ReopeningSource::stats(SourceStats& out) {
  out = before_;
  SourceStats now_stats;
  if (inner_ && inner_->stats(now_stats)) {
    out.received += now_stats.received;
    out.dropped += now_stats.dropped;
    out.interface_dropped += now_stats.interface_dropped;
  }
  return true;
}

std::chrono::steady_clock::time_point ReopeningSource::next_due() {
  if (inner_) return inner_->next_due();
  // While down, the clock passed in (tests) is not the loop's: only a real
  // clock's time can be waited for.
  return clock_ ? std::chrono::steady_clock::time_point::max() : next_try_;
}

}  // namespace tarnix

// A live adapter that comes back by itself. A read error (the interface went
// down, its driver was reloaded) closes the handle and says so once; the
// adapter is then opened again with back-off until it works, and says so
// again. The traffic model never notices: the same network goes on counting,
// and the library's statistics of every handle add up.
#pragma once

#include <chrono>
#include <functional>
#include <memory>
#include <string>

#include "capture/source.h"

namespace tarnix {

class ReopeningSource final : public PacketSource {
 public:
  using Clock = std::function<std::chrono::steady_clock::time_point()>;
  using Opener = std::function<OpenResult()>;
  // Called on the capture thread: down true with the error when capture
  // stops, down false when it runs again.
  using Notice = std::function<void(const std::string& message, bool down)>;

  static constexpr std::chrono::seconds kFirstRetry{1};
  static constexpr std::chrono::seconds kLongestRetry{30};

  ReopeningSource(std::unique_ptr<PacketSource> first, Opener open, Notice notice, Clock clock = {});

  int dispatch(int max, FrameFn fn, void* user) override;
  bool stats(SourceStats& out) override;
  LinkType link_type() const override { return link_; }
  const std::string& name() const override { return name_; }
  std::uint64_t link_speed_bps() const override { return inner_ ? inner_->link_speed_bps() : speed_; }
  std::uint64_t filter_rejected() const override { return inner_ ? inner_->filter_rejected() : 0; }
  int wait_fd() const override { return inner_ ? inner_->wait_fd() : -1; }
  std::chrono::steady_clock::time_point next_due() override;
  bool down() const { return inner_ == nullptr; }

 private:
  std::chrono::steady_clock::time_point now() const;

  std::unique_ptr<PacketSource> inner_;
  Opener open_;
  Notice notice_;
  Clock clock_;
  std::string name_;
  LinkType link_ = LinkType::kEthernet;
  std::uint64_t speed_ = 0;
  SourceStats before_;  // what the handles closed so far counted
  std::chrono::seconds retry_ = kFirstRetry;
  std::chrono::steady_clock::time_point next_try_{};
};

}  // namespace tarnix

// A scripted name service for the host-name cache tests: answers from tables,
// counts every question, and can hold the resolver inside a look-up.
#pragma once

#include <algorithm>
#include <array>
#include <chrono>
#include <condition_variable>
#include <cstdint>
#include <map>
#include <mutex>
#include <string>
#include <vector>

#include "naming/host_cache.h"

namespace tarnix::testing_support {

inline std::array<std::uint8_t, 4> ip(std::uint8_t a, std::uint8_t b, std::uint8_t c, std::uint8_t d) {
  return {a, b, c, d};
}

inline HostRecord reply(std::string name, std::vector<std::string> aliases,
                        std::vector<std::array<std::uint8_t, 4>> addresses) {
  HostRecord r;
  r.name = std::move(name);
  r.aliases = std::move(aliases);
  r.addresses = std::move(addresses);
  return r;
}

class FakeNameService : public NameService {
 public:
  // A look-up a stopped cache left behind may still be inside: let it out
  // and wait until it is gone before the service goes.
  ~FakeNameService() override {
    std::unique_lock lock(mutex_);
    gate_open_ = true;
    cv_.notify_all();
    cv_.wait(lock, [this] { return inside_ == 0; });
  }

  // As the system's service: asked on threads a stop leaves behind.
  void set_may_hang(bool hangs) {
    std::lock_guard lock(mutex_);
    may_hang_ = hangs;
  }
  bool may_hang() const override {
    std::lock_guard lock(mutex_);
    return may_hang_;
  }

  void answer_address(std::array<std::uint8_t, 4> a, HostRecord r) {
    std::lock_guard lock(mutex_);
    by_address_[a] = std::move(r);
  }
  void answer_ipv6(std::array<std::uint8_t, 16> a, HostRecord r) {
    std::lock_guard lock(mutex_);
    by_ipv6_[a] = std::move(r);
  }
  void answer_name(const std::string& name, HostRecord r) {
    std::lock_guard lock(mutex_);
    by_name_[name] = std::move(r);
  }

  std::optional<HostRecord> by_address(const std::uint8_t ipv4[4]) override {
    std::array<std::uint8_t, 4> a{ipv4[0], ipv4[1], ipv4[2], ipv4[3]};
    std::unique_lock lock(mutex_);
    ++inside_;
    Inside counted{*this};
    ++address_calls_[a];
    ++calls_;
    hold(lock);
    auto it = by_address_.find(a);
    return it == by_address_.end() ? std::nullopt : std::optional<HostRecord>(it->second);
  }
  std::optional<HostRecord> by_ipv6_address(const std::uint8_t ipv6[16]) override {
    std::array<std::uint8_t, 16> a{};
    std::copy(ipv6, ipv6 + 16, a.begin());
    std::unique_lock lock(mutex_);
    ++ipv6_calls_[a];
    ++calls_;
    hold(lock);
    auto it = by_ipv6_.find(a);
    if (it == by_ipv6_.end()) return std::nullopt;
    return it->second;
  }
  std::optional<HostRecord> by_name(const std::string& name) override {
    std::unique_lock lock(mutex_);
    ++inside_;
    Inside counted{*this};
    ++name_calls_[name];
    ++calls_;
    hold(lock);
    auto it = by_name_.find(name);
    return it == by_name_.end() ? std::nullopt : std::optional<HostRecord>(it->second);
  }

  int address_calls(std::array<std::uint8_t, 4> a) const {
    std::lock_guard lock(mutex_);
    auto it = address_calls_.find(a);
    return it == address_calls_.end() ? 0 : it->second;
  }
  int ipv6_calls(std::array<std::uint8_t, 16> a) const {
    std::lock_guard lock(mutex_);
    auto it = ipv6_calls_.find(a);
    return it == ipv6_calls_.end() ? 0 : it->second;
  }
  int name_calls(const std::string& n) const {
    std::lock_guard lock(mutex_);
    auto it = name_calls_.find(n);
    return it == name_calls_.end() ? 0 : it->second;
  }
  int calls() const {
    std::lock_guard lock(mutex_);
    return calls_;
  }
  std::map<std::array<std::uint8_t, 4>, int> all_address_calls() const {
    std::lock_guard lock(mutex_);
    return address_calls_;
  }

  // While closed, every look-up waits inside the service until open_gate().
  void close_gate() {
    std::lock_guard lock(mutex_);
    gate_open_ = false;
  }
  void open_gate() {
    {
      std::lock_guard lock(mutex_);
      gate_open_ = true;
    }
    cv_.notify_all();
  }
  // Waits until `n` look-ups are being held at the closed gate together;
  // false if they never are (a few seconds).
  bool wait_until_held(int n = 1) {
    std::unique_lock lock(mutex_);
    return cv_.wait_for(lock, std::chrono::seconds(10), [&] { return held_ >= n; });
  }

 private:
  // Holds the caller at a closed gate. The guard counts the caller out
  // only once its reply is copied, the last thing it does under the lock.
  struct Inside {
    FakeNameService& ns;
    ~Inside() {
      if (--ns.inside_ == 0) ns.cv_.notify_all();
    }
  };
  void hold(std::unique_lock<std::mutex>& lock) {
    ++held_;
    cv_.notify_all();
    cv_.wait(lock, [this] { return gate_open_; });
    --held_;
  }

  mutable std::mutex mutex_;
  std::condition_variable cv_;
  bool gate_open_ = true;
  bool may_hang_ = false;
  int held_ = 0;
  int inside_ = 0;
  int calls_ = 0;
  std::map<std::array<std::uint8_t, 4>, HostRecord> by_address_;
  std::map<std::string, HostRecord> by_name_;
  std::map<std::array<std::uint8_t, 4>, int> address_calls_;
  std::map<std::string, int> name_calls_;
  std::map<std::array<std::uint8_t, 16>, HostRecord> by_ipv6_;
  std::map<std::array<std::uint8_t, 16>, int> ipv6_calls_;
};

}  // namespace tarnix::testing_support

// The rights the process holds: the capture capabilities and the user it
// runs as. The frames parsed here come from anyone on the segment, so the
// capture rights are effective only while an adapter opens, and a root
// process can give up being root once its adapter is open.
//
// Capabilities belong to each thread: the start-up step must run before the
// first thread is made, so that every thread begins without them.
#pragma once

#include <cstdint>
#include <string>

namespace tarnix::os {

// One bit per capability number (CAP_NET_RAW is 13, CAP_NET_ADMIN 12).
struct CapSets {
  std::uint64_t effective = 0;
  std::uint64_t permitted = 0;
  std::uint64_t inheritable = 0;
};

constexpr std::uint64_t kCapNetAdmin = std::uint64_t{1} << 12;
constexpr std::uint64_t kCapNetRaw = std::uint64_t{1} << 13;
constexpr std::uint64_t kCaptureCaps = kCapNetAdmin | kCapNetRaw;

// The calling thread's capability sets, as the kernel keeps them.
class CapabilityApi {
 public:
  virtual ~CapabilityApi() = default;
  virtual bool read(CapSets& out) = 0;
  virtual bool write(const CapSets& sets) = 0;
  // Empties the ambient set, which a program started by this one keeps.
  virtual bool clear_ambient() = 0;
  virtual bool root() const = 0;  // effective user id 0
};

// The kernel's, through capget/capset and prctl.
CapabilityApi& system_capabilities();

// What the process holds after start-up.
struct StartRights {
  bool ok = true;             // false: the sets could not be changed
  bool capture_rights = false;  // cap_net_raw or cap_net_admin is permitted
};

// Before the first thread: nothing is handed on to programs started later
// (inheritable and ambient sets emptied) and, unless the process is root,
// nothing is effective. The permitted set stays, for opening adapters.
StartRights lower_rights_at_start(CapabilityApi& api = system_capabilities());

// Gives up every capability, the permitted set included: for a process that
// will open no more adapters. Only the calling thread's sets change, so it
// runs before other threads start.
bool drop_all_capabilities(CapabilityApi& api = system_capabilities());

// Makes the permitted capture capabilities effective for the lifetime of the
// object, on the calling thread; lower() (or the end of the scope) takes them
// back out of the effective set.
class CaptureRightsRaised {
 public:
  explicit CaptureRightsRaised(CapabilityApi& api = system_capabilities());
  ~CaptureRightsRaised() { lower(); }
  CaptureRightsRaised(const CaptureRightsRaised&) = delete;
  CaptureRightsRaised& operator=(const CaptureRightsRaised&) = delete;
  void lower();
  bool raised() const { return raised_; }

 private:
  CapabilityApi& api_;
  std::uint64_t saved_effective_ = 0;
  bool raised_ = false;
};

// The account a root process changes to (tcpdump's -Z).
struct UserAccount {
  std::string name;
  unsigned uid = 0;
  unsigned gid = 0;
  std::string home;
};

// Looks the account up; false with a message when there is none.
bool find_user(const std::string& name, UserAccount& out, std::string& error);

// Changes the whole process to the account: its supplementary groups, group
// and user, then empties every capability set. False with a message when any
// step fails or root could be taken back; the process should then stop.
bool switch_to_user(const UserAccount& user, std::string& error,
                    CapabilityApi& api = system_capabilities());

}  // namespace tarnix::os

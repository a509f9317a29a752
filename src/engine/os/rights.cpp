#include "os/rights.h"

#include <grp.h>
#include <linux/capability.h>
#include <pwd.h>
#include <sys/prctl.h>
#include <sys/syscall.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>
#include <vector>

namespace tarnix::os {

namespace {

class SystemCapabilities final : public CapabilityApi {
 public:
  bool read(CapSets& out) override {
    __user_cap_header_struct header{_LINUX_CAPABILITY_VERSION_3, 0};
    __user_cap_data_struct data[_LINUX_CAPABILITY_U32S_3] = {};
    if (::syscall(SYS_capget, &header, data) != 0) return false;
    out.effective = data[0].effective | (std::uint64_t{data[1].effective} << 32);
    out.permitted = data[0].permitted | (std::uint64_t{data[1].permitted} << 32);
    out.inheritable = data[0].inheritable | (std::uint64_t{data[1].inheritable} << 32);
    return true;
  }
  bool write(const CapSets& sets) override {
    __user_cap_header_struct header{_LINUX_CAPABILITY_VERSION_3, 0};
    __user_cap_data_struct data[_LINUX_CAPABILITY_U32S_3] = {};
    data[0].effective = static_cast<std::uint32_t>(sets.effective);
    data[1].effective = static_cast<std::uint32_t>(sets.effective >> 32);
    data[0].permitted = static_cast<std::uint32_t>(sets.permitted);
    data[1].permitted = static_cast<std::uint32_t>(sets.permitted >> 32);
    data[0].inheritable = static_cast<std::uint32_t>(sets.inheritable);
    data[1].inheritable = static_cast<std::uint32_t>(sets.inheritable >> 32);
    return ::syscall(SYS_capset, &header, data) == 0;
  }
  bool clear_ambient() override {
    // Kernels before 4.3 have no ambient set, and so nothing to clear.
    return ::prctl(PR_CAP_AMBIENT, PR_CAP_AMBIENT_CLEAR_ALL, 0, 0, 0) == 0 || errno == EINVAL;
  }
  bool root() const override { return ::geteuid() == 0; }
};

}  // namespace

CapabilityApi& system_capabilities() {
  static SystemCapabilities api;
  return api;
}

StartRights lower_rights_at_start(CapabilityApi& api) {
  StartRights r;
  CapSets sets;
  if (!api.read(sets)) {
    r.ok = false;
    return r;
  }
  r.capture_rights = (sets.permitted & kCaptureCaps) != 0;
  CapSets lowered = sets;
  lowered.inheritable = 0;
  // Root's rights come with its user id and return on every exec; only a
  // change of user (--user) takes them away for good.
  if (!api.root()) lowered.effective = 0;
  if (lowered.effective != sets.effective || lowered.inheritable != sets.inheritable)
    r.ok = api.write(lowered);
  r.ok = api.clear_ambient() && r.ok;
  return r;
}

bool drop_all_capabilities(CapabilityApi& api) {
  CapSets none;
  return api.write(none) && api.clear_ambient();
}

CaptureRightsRaised::CaptureRightsRaised(CapabilityApi& api) : api_(api) {
  CapSets sets;
  if (!api_.read(sets)) return;
  const std::uint64_t wanted = sets.permitted & kCaptureCaps;
  if ((sets.effective & wanted) == wanted) return;  // already effective: nothing to undo
  saved_effective_ = sets.effective;
  sets.effective |= wanted;
  raised_ = api_.write(sets);
}

void CaptureRightsRaised::lower() {
  if (!raised_) return;
  raised_ = false;
  CapSets sets;
  if (!api_.read(sets)) return;
  sets.effective = saved_effective_;
  api_.write(sets);
}

bool find_user(const std::string& name, UserAccount& out, std::string& error) {
  long size = ::sysconf(_SC_GETPW_R_SIZE_MAX);
  std::vector<char> buffer(size > 0 ? static_cast<std::size_t>(size) : 16384);
  passwd pw{};
  passwd* found = nullptr;
  int rc;
  while ((rc = ::getpwnam_r(name.c_str(), &pw, buffer.data(), buffer.size(), &found)) == ERANGE)
    buffer.resize(buffer.size() * 2);
  if (rc != 0 || found == nullptr) {
    error = "unknown user " + name;
    return false;
  }
  out.name = pw.pw_name;
  out.uid = pw.pw_uid;
  out.gid = pw.pw_gid;
  out.home = pw.pw_dir ? pw.pw_dir : "";
  return true;
}

bool switch_to_user(const UserAccount& user, std::string& error, CapabilityApi& api) {
  auto failed = [&](const char* step) {
    error = std::string("cannot change to user ") + user.name + " (" + step + "): " + std::strerror(errno);
    return false;
  };
  // glibc applies each of these to every thread of the process.
  if (::initgroups(user.name.c_str(), user.gid) != 0) return failed("initgroups");
  if (::setgid(user.gid) != 0) return failed("setgid");
  if (::setuid(user.uid) != 0) return failed("setuid");
  // Leaving root empties the permitted and effective sets, but not the
  // inheritable one.
  if (!drop_all_capabilities(api)) return failed("capabilities");
  if (user.uid != 0 && (::setuid(0) == 0 || ::seteuid(0) == 0)) {
    error = "cannot change to user " + user.name + ": root could be taken back";
    return false;
  }
  return true;
}

}  // namespace tarnix::os

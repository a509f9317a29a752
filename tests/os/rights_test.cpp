// The capture rights through a fake of the kernel's capability sets.
#include <gtest/gtest.h>

#include "os/rights.h"

using namespace tarnix::os;

namespace {

constexpr std::uint64_t kCapChown = 1u << 0;

// Keeps the sets as the kernel would, refusing what it would refuse: a
// capability made effective or inheritable without being permitted, or the
// permitted set widened.
class FakeCapabilities final : public CapabilityApi {
 public:
  CapSets sets;
  bool ambient = true;
  bool is_root = false;
  int writes = 0;

  bool read(CapSets& out) override {
    out = sets;
    return true;
  }
  bool write(const CapSets& s) override {
    if ((s.effective & ~s.permitted) || (s.permitted & ~sets.permitted)) return false;
    ++writes;
    sets = s;
    return true;
  }
  bool clear_ambient() override {
    ambient = false;
    return true;
  }
  bool root() const override { return is_root; }
};

TEST(CaptureRights, StartUpLowersWhatAnUnprivilegedProgramWasGiven) {
  struct Case {
    const char* name;
    bool root;
    CapSets before, after;
    bool capture_rights;
  };
  const Case cases[] = {
      {"file capabilities", false, {kCaptureCaps, kCaptureCaps, kCapNetRaw}, {0, kCaptureCaps, 0}, true},
      {"no capabilities", false, {}, {}, false},
      {"root keeps its effective set", true, {~0ull, ~0ull, kCapChown}, {~0ull, ~0ull, 0}, true},
  };
  for (const Case& c : cases) {
    FakeCapabilities fake;
    fake.is_root = c.root;
    fake.sets = c.before;
    const StartRights r = lower_rights_at_start(fake);
    EXPECT_TRUE(r.ok) << c.name;
    EXPECT_EQ(r.capture_rights, c.capture_rights) << c.name;
    EXPECT_EQ(fake.sets.effective, c.after.effective) << c.name;
    EXPECT_EQ(fake.sets.permitted, c.after.permitted) << c.name;
    EXPECT_EQ(fake.sets.inheritable, c.after.inheritable) << c.name;
    EXPECT_FALSE(fake.ambient) << c.name;
  }
}

TEST(CaptureRights, EffectiveOnlyWithinTheOpen) {
  FakeCapabilities fake;
  fake.sets = {kCapChown, kCaptureCaps | kCapChown, 0};
  {
    CaptureRightsRaised raised(fake);
    EXPECT_TRUE(raised.raised());
    EXPECT_EQ(fake.sets.effective, kCaptureCaps | kCapChown);
    raised.lower();
    EXPECT_EQ(fake.sets.effective, kCapChown);
    fake.sets.effective = kCapChown | kCapNetRaw;  // lowering twice must not undo this
  }
  EXPECT_EQ(fake.sets.effective, kCapChown | kCapNetRaw);

  // Nothing permitted, or everything already effective: nothing written.
  for (CapSets start : {CapSets{}, CapSets{kCaptureCaps, kCaptureCaps, 0}}) {
    fake.sets = start;
    fake.writes = 0;
    { CaptureRightsRaised raised(fake); }
    EXPECT_EQ(fake.writes, 0);
    EXPECT_EQ(fake.sets.effective, start.effective);
  }
}

TEST(CaptureRights, DroppingAllEmptiesEverySet) {
  FakeCapabilities fake;
  fake.sets = {kCaptureCaps, kCaptureCaps, kCaptureCaps};
  ASSERT_TRUE(drop_all_capabilities(fake));
  EXPECT_EQ(fake.sets.effective | fake.sets.permitted | fake.sets.inheritable, 0u);
  EXPECT_FALSE(fake.ambient);
  // Once dropped, nothing can be raised again.
  CaptureRightsRaised raised(fake);
  EXPECT_FALSE(raised.raised());
}

TEST(CaptureRights, TheKernelsSetsReadBackAsWritten) {
  CapabilityApi& api = system_capabilities();
  CapSets sets, again;
  ASSERT_TRUE(api.read(sets) && api.write(sets) && api.read(again));
  EXPECT_EQ(sets.effective & ~sets.permitted, 0u);
  EXPECT_EQ(again.effective, sets.effective);
  EXPECT_EQ(again.permitted, sets.permitted);
}

TEST(UserAccount, UnknownNamesAreRefusedByName) {
  UserAccount user;
  std::string error;
  EXPECT_FALSE(find_user("tarnix-no-such-user", user, error));
  EXPECT_EQ(error, "unknown user tarnix-no-such-user");
  ASSERT_TRUE(find_user("root", user, error));
  EXPECT_EQ(user.uid, 0u);
}

}  // namespace

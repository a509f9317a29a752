#include "ui/adapter_dialog.h"

#include <gtest/gtest.h>

#include <QPushButton>

#include "ui_helpers.h"

namespace tarnix::ui {
namespace {

constexpr DeviceStatus kUp = DeviceStatus::kUsable, kOther = DeviceStatus::kUnsupported;
const std::vector<Device> kDevices = {
    {"eth0", "Wired", kUp}, {"wlan0", "Radio", kOther}, {"lo", "Loopback", kOther}};

TEST(AdapterDialog, ListsEveryAdapterAndPreselectsTheGivenOne) {
  AdapterDialog d(kDevices, 1);
  EXPECT_EQ(d.windowTitle(), "Network Adapters");
  ASSERT_EQ(d.list()->topLevelItemCount(), 3);
  EXPECT_EQ(d.list()->topLevelItem(2)->text(0), "lo");
  EXPECT_EQ(d.list()->topLevelItem(2)->text(1), "Loopback");
  EXPECT_EQ(d.list()->headerItem()->text(0), "Adapter");
  EXPECT_EQ(d.list()->headerItem()->text(1), "Description");
  // Every row in sight.
  d.show();
  EXPECT_GE(d.list()->viewport()->height(), 3 * d.list()->sizeHintForRow(0));
  EXPECT_TRUE(d.list()->topLevelItem(1)->isSelected());
  AdapterDialog beyond(kDevices, 7);
  EXPECT_TRUE(beyond.list()->topLevelItem(0)->isSelected());
}

TEST(AdapterDialog, EachRowSaysWhetherItCanBeCapturedAndWhyNot) {
  Device down{"eth1", "Spare", DeviceStatus::kDown};
  Device any{"any", "", kUp};
  Device wired{"eth0", "Wired", kUp};
  wired.has_ipv4 = true;
  wired.ipv4_address = NetAddress::ipv4(192, 168, 1, 5);
  struct Case {
    Device device;
    const char* state;
    const char* verdict;
  } cases[] = {
      {wired, "up", "Yes"},
      {down, "down", "No: the adapter is down"},
      {kDevices[1], "up", "No: Tarnix cannot read this adapter's link type"},
      {any, "up", "Yes"},
  };
  for (const Case& c : cases) {
    AdapterDialog d({c.device}, 0);
    const QTreeWidgetItem* row = d.list()->topLevelItem(0);
    EXPECT_EQ(row->text(2), c.state) << c.device.name;
    EXPECT_EQ(row->text(5), c.verdict) << c.device.name;
  }
  AdapterDialog d({wired}, 0);
  EXPECT_EQ(d.list()->topLevelItem(0)->text(3), "192.168.1.5");
  EXPECT_EQ(adapter_link_type("lo"), "Loopback");
  EXPECT_EQ(adapter_link_type("no-such-adapter"), "—");
}

TEST(AdapterDialog, UseTakesTheSelectedRowAndStaysOpenWithoutOne) {
  AdapterDialog d(kDevices, 0);
  d.show();
  auto* use = d.findChild<QPushButton*>("1");
  ASSERT_NE(use, nullptr);
  d.list()->clearSelection();
  use->click();
  EXPECT_TRUE(d.isVisible());
  EXPECT_EQ(d.result(), 0);
  d.list()->topLevelItem(2)->setSelected(true);
  use->click();
  EXPECT_FALSE(d.isVisible());
  EXPECT_EQ(d.result_index(), 2);
}

TEST(AdapterDialog, CancelGivesBackTheGivenIndex) {
  testing::on_next_modal([](QWidget* w) {
    auto* d = qobject_cast<AdapterDialog*>(w);
    ASSERT_NE(d, nullptr);
    d->list()->topLevelItem(0)->setSelected(true);
    d->findChild<QPushButton*>("2")->click();
  });
  EXPECT_EQ(adapter_dialog(nullptr, kDevices, 2), 2);
  testing::on_next_modal([](QWidget* w) {
    auto* d = qobject_cast<AdapterDialog*>(w);
    d->list()->clearSelection();
    d->list()->topLevelItem(1)->setSelected(true);
    d->findChild<QPushButton*>("1")->click();
  });
  EXPECT_EQ(adapter_dialog(nullptr, kDevices, 2), 1);
}

}  // namespace
}  // namespace tarnix::ui

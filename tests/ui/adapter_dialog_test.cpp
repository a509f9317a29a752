#include "ui/adapter_dialog.h"

#include <gtest/gtest.h>

#include <QPushButton>

#include "ui_helpers.h"

namespace tarnix::ui {
namespace {

const std::vector<Device> kDevices = {{"eth0", "Wired", 0}, {"wlan0", "Radio", 1}, {"lo", "Loopback", 1}};

TEST(AdapterDialog, ListsEveryAdapterAndPreselectsTheGivenOne) {
  AdapterDialog d(kDevices, 1);
  EXPECT_EQ(d.windowTitle(), "Network Adapters");
  ASSERT_EQ(d.list()->topLevelItemCount(), 3);
  EXPECT_EQ(d.list()->topLevelItem(2)->text(0), "lo");
  EXPECT_EQ(d.list()->topLevelItem(2)->text(1), "Loopback");
  EXPECT_EQ(d.list()->headerItem()->text(0), "Adapter");
  EXPECT_EQ(d.list()->headerItem()->text(1), "Description");
  EXPECT_EQ(d.list()->columnWidth(0), 100);
  EXPECT_EQ(d.list()->columnWidth(1), 300);
  EXPECT_TRUE(d.list()->topLevelItem(1)->isSelected());
  AdapterDialog beyond(kDevices, 7);
  EXPECT_TRUE(beyond.list()->topLevelItem(0)->isSelected());
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

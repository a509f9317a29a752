// Settings are numbers in the C locale whatever the user's locale: the
// desktop program switches to it, and in a comma-decimal one "0.500000"
// must still read as a half and be written back as it was.
#include <gtest/gtest.h>

#include <QLocale>
#include <QSettings>
#include <QTemporaryDir>
#include <clocale>
#include <cstdlib>
#include <string>
#include <utility>

#include "app/settings.h"

namespace tarnix::app {
namespace {

// Builds a German locale in a scratch folder (no system locale needed) and
// switches the process to it, as QApplication does with the user's.
class CommaLocale : public ::testing::Test {
 protected:
  void SetUp() override {
    ASSERT_TRUE(locales.isValid());
    const std::string locpath = locales.path().toStdString();
    const std::string cmd = "localedef -i de_DE -f UTF-8 '" + locpath + "/de_DE.UTF-8' >/dev/null 2>&1";
    if (std::system(cmd.c_str()) != 0) GTEST_SKIP() << "localedef cannot build de_DE.UTF-8";
    setenv("LOCPATH", locpath.c_str(), 1);
    if (std::setlocale(LC_ALL, "de_DE.UTF-8") == nullptr) GTEST_SKIP() << "de_DE.UTF-8 not usable";
    QLocale::setDefault(QLocale(QLocale::German, QLocale::Germany));
    // The fault this guards against: strtod now stops at the '.'.
    ASSERT_EQ(std::strtod("0.5", nullptr), 0.0);
  }
  void TearDown() override {
    std::setlocale(LC_ALL, "C");
    unsetenv("LOCPATH");
    QLocale::setDefault(QLocale::c());
  }
  QTemporaryDir locales;
  QTemporaryDir dir;
};

TEST_F(CommaLocale, RealSettingsReadAndWriteInTheCLocale) {
  const QString path = dir.filePath(QStringLiteral("Tarnix.ini"));
  {
    QSettings s(path, QSettings::IniFormat);
    s.beginGroup(QStringLiteral("1.3"));
    for (const auto& [key, text] : {std::pair{"font size", "0.750000"}, {"node scale", "0.500000"},
                                    {"max node radius", "+1.25"}, {"node timeout", "12.9"}})
      s.setValue(QString::fromLatin1(key), QString::fromLatin1(text));
  }
  Settings settings;
  {
    QSettings store(path, QSettings::IniFormat);
    ASSERT_TRUE(settings_load(settings, store));
  }
  EXPECT_DOUBLE_EQ(settings.font_size.get(), 0.75);
  EXPECT_DOUBLE_EQ(settings.node_scale.get(), 0.5);
  EXPECT_DOUBLE_EQ(settings.max_node_radius.get(), 1.25);
  EXPECT_EQ(settings.node_timeout.get(), 12);
  settings.link_scale.set(0.125);
  {
    QSettings store(path, QSettings::IniFormat);
    ASSERT_TRUE(settings_save(settings, store));
  }
  QSettings back(path, QSettings::IniFormat);
  back.beginGroup(QStringLiteral("1.3"));
  for (const auto& [key, text] : {std::pair{"node scale", "0.500000"}, {"font size", "0.750000"},
                                  {"link scale", "0.125000"}, {"net size", "55.000000"}})
    EXPECT_EQ(back.value(QString::fromLatin1(key)).toString(), QString::fromLatin1(text)) << key;
}

}  // namespace
}  // namespace tarnix::app

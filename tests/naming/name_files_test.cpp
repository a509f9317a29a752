#include <gtest/gtest.h>

#include <filesystem>

#include "naming/ethers.h"

namespace tarnix {
namespace {

NetAddress mac(const char* text) {
  std::uint8_t b[6];
  EXPECT_TRUE(parse_ether_strict(text, b)) << text;
  return NetAddress::ether(b);
}

TEST(NameFiles, StrictEtherAddressReading) {
  struct Case {
    const char* text;
    bool ok;
  } cases[] = {
      {"00:a0:24:1b:2c:3d", true},     {"0:a0:24:1b:2c:3d", true},
      {"00-A0-24-1B-2C-3D", true},     {"00:a0:24:1b:2c", false},
      {"00:a0:24:1b:2c:3d:4e", false}, {"00:a0:24:1b:2c:3g", false},
      {"000:a0:24:1b:2c:3d", false},   {"", false},
      {"00:a0:24:1b:2c:", false},
  };
  for (const Case& c : cases) {
    std::uint8_t b[6];
    EXPECT_EQ(parse_ether_strict(c.text, b), c.ok) << c.text;
  }
}

TEST(NameFiles, EthersLinesAndProblems) {
  EtherNames names;
  std::vector<NameFileProblem> problems;
  names.load_text(
      "# admin's names\n"
      "00:a0:24:1b:2c:3d  printer.lan   # by the door\n"
      "00-a0-24-1b-2c-3e\tnas\n"
      "00:a0:24:1b:2c:3f 10.0.0.9\n"
      "00:a0:24:1b:2c  short\n"
      "00:a0:24:1b:2c:40\n"
      "00:a0:24:1b:2c:41 bad_name!\n"
      "00:a0:24:1b:2c:3e nas2\r\n",
      "ethers", &problems);
  struct Case {
    const char* address;
    const char* name;
  } cases[] = {
      {"00:a0:24:1b:2c:3d", "printer.lan"}, {"00:a0:24:1b:2c:3e", "nas2"},  // the later line wins
      {"00:a0:24:1b:2c:3f", "10.0.0.9"},    {"00:a0:24:1b:2c:40", ""},     {"00:a0:24:1b:2c:41", ""},
  };
  for (const Case& c : cases) EXPECT_EQ(names.name_of(mac(c.address)), c.name) << c.address;
  ASSERT_EQ(problems.size(), 3u);
  EXPECT_EQ(problems[0].line, 5);
  EXPECT_EQ(problems[1].line, 6);
  EXPECT_EQ(problems[2].line, 7);
  EXPECT_FALSE(names.load("/nonexistent/ethers", &problems));
}

TEST(NameFiles, LongestMakerPrefixWinsAcrossFormats) {
  Manufacturers m;
  std::vector<NameFileProblem> problems;
  // The registries' CSV, oui.txt listing and the manuf format, mixed.
  m.load_text(
      "Registry,Assignment,Organization Name,Organization Address\n"
      "MA-L,001B C5,Broken,\n"
      "MA-L,70B3D5,IEEE Registration Authority,\"445 Hoes Lane, Piscataway\"\n"
      "MA-S,70B3D5F2F,TELEPLATFORMS,\"Polbina st., 3/1 Moscow\"\n"
      "MA-M,1C21D1D,\"Acme, Widgets Inc\",\n",
      "csv", &problems);
  m.load_text(
      "OUI/MA-L    Organization\r\n"
      "\r\n"
      "00-22-72   (hex)\t\tAmerican Micro-Fuel Device Corp.\r\n"
      "002272     (base 16)\t\tAmerican Micro-Fuel Device Corp.\r\n"
      "\t\t\t\t2181 Buchanan Loop\r\n"
      "20-85-93   (hex)\t\tIOG Products LLC\n"
      "B00000-BFFFFF     (base 16)\t\tIOG Products LLC\n",
      "txt", &problems);
  m.load_text(
      "# manuf\n"
      "00:00:0C\tCisco\tCisco Systems, Inc\n"
      "00:50:C2\tIeeeReg\tIEEE Registration Authority\n"
      "00:50:C2:7D:50:00/36\tDeuta\n"
      "08:00:2B\tDEC Alpha\n"
      "zz:00:0C\tNope\n",
      "manuf", &problems);
  struct Case {
    const char* address;
    const char* label;
  } cases[] = {
      {"70:b3:d5:f2:f1:23", "TELEPLAT_f2:f1:23"},  // MA-S over MA-L
      {"70:b3:d5:00:00:01", "IEEE_00:00:01"},      {"1c:21:d1:d4:55:66", "Acme_d4:55:66"},
      {"1c:21:d1:e4:55:66", "1c:21:d1:e4:55:66"},  // outside the MA-M block
      {"00:22:72:01:02:03", "American_01:02:03"},  {"20:85:93:b1:02:03", "IOG_b1:02:03"},
      {"20:85:93:c1:02:03", "20:85:93:c1:02:03"},  {"00:00:0c:aa:bb:cc", "Cisco_aa:bb:cc"},
      {"00:50:c2:7d:5f:01", "Deuta_7d:5f:01"},     {"00:50:c2:7d:6f:01", "IeeeReg_7d:6f:01"},
      {"08:00:2b:01:02:03", "DEC_Alpha_01:02:03"},
  };
  for (const Case& c : cases) EXPECT_EQ(m.label(mac(c.address)), c.label) << c.address;
  const Manufacturers::Maker* acme = m.find(mac("1c:21:d1:d4:55:66"));
  ASSERT_NE(acme, nullptr);
  EXPECT_EQ(acme->long_name, "Acme, Widgets Inc");
  // The broken CSV assignment and the manuf line without hex: reported, not taken.
  ASSERT_EQ(problems.size(), 2u);
  EXPECT_EQ(problems[0].file, "csv");
  EXPECT_EQ(problems[1].file, "manuf");
}

TEST(NameFiles, MissingSettingFileFallsBackToIeeeData) {
  const std::string dir = kIeeeDataDir;
  if (!std::filesystem::exists(dir + "/oui.csv")) GTEST_SKIP() << "ieee-data is not installed";
  Manufacturers m;
  std::vector<NameFileProblem> problems;
  const std::vector<std::string> read = m.load_or_default(".\\manf", dir, &problems);
  ASSERT_GE(read.size(), 3u);
  EXPECT_TRUE(problems.empty()) << problems.front().file << ":" << problems.front().line;
  // One block of each size as the registries list it; the longest wins over
  // the MA-L block the smaller ones are cut from.
  struct Case {
    const char* address;
    const char* maker;
  } cases[] = {
      {"00:22:72:12:34:56", "American Micro-Fuel Device Corp."},  // MA-L
      {"20:85:93:b1:23:45", "IOG Products LLC"},                  // MA-M 208593B
      {"70:b3:d5:f2:f1:23", "TELEPLATFORMS"},                     // MA-S 70B3D5F2F
  };
  for (const Case& c : cases) {
    const Manufacturers::Maker* found = m.find(mac(c.address));
    ASSERT_NE(found, nullptr) << c.address;
    EXPECT_EQ(found->long_name, c.maker) << c.address;
  }
}

}  // namespace
}  // namespace tarnix

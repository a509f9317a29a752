#include "core/host_name.h"

#include <gtest/gtest.h>

#include <string>

namespace tarnix {
namespace {

TEST(HostName, AcceptsRfc1123NamesOnly) {
  const std::string label63(63, 'a');
  const std::string name253 = label63 + "." + label63 + "." + label63 + "." + std::string(61, 'b');
  struct Case {
    std::string name;
    bool valid;
  };
  const Case cases[] = {
      {"www.example.org", true},
      {"localhost", true},
      {"3com.example", true},  // a label may start with a digit
      {"xn--bcher-kva.example", true},
      {"a-b.c-d.example", true},
      {label63 + ".example", true},
      {name253, true},
      {name253 + "b", false},
      {std::string(64, 'a') + ".example", false},
      {"", false},
      {"a..example", false},
      {".example", false},
      {"example.", false},
      {"-evil.example", false},
      {"evil-.example", false},
      {"a.-b.example", false},
      {"under_score.example", false},
      {"a b.example", false},
      {"a\x1b[2J.example", false},
      {"caf\xc3\xa9.example", false},
      {"10.0.0.1", false},
      {"1.2.3", false},
      {"host.123", false},
  };
  for (const Case& c : cases) EXPECT_EQ(is_valid_host_name(c.name), c.valid) << c.name;
}

}  // namespace
}  // namespace tarnix

// Shared pieces of the database tests: a fresh folder per test and SQL
// read-backs.
#pragma once

#include <unistd.h>

#include <array>
#include <cstdint>
#include <cstdlib>
#include <filesystem>
#include <string>
#include <string_view>
#include <vector>

#include "db/db_store.h"
#include "db/db_util.h"

namespace tarnix::testing_support {

// Start-up without waits or beeps; keeps the last message shown.
class QuietDbUi : public DbStartupUi {
 public:
  void beep() override {}
  void error(const char*, const char* message) override { last = message; }
  void wait_ms(int) override {}
  std::string last;
};

class TempDir {
 public:
  TempDir() {
    std::string pattern = (std::filesystem::temp_directory_path() / "tarnix-db-XXXXXX").string();
    char* made = ::mkdtemp(pattern.data());
    if (made != nullptr) path_ = made;
  }
  ~TempDir() {
    std::error_code ec;
    if (!path_.empty()) std::filesystem::remove_all(path_, ec);
  }
  TempDir(const TempDir&) = delete;
  TempDir& operator=(const TempDir&) = delete;
  const std::filesystem::path& path() const { return path_; }
  std::string file(const char* name) const { return (path_ / name).string(); }

 private:
  std::filesystem::path path_;
};

inline std::string sql_text(DbSession& s, const char* sql) {
  auto st = s.connection().prepare(sql);
  if (!st || st->step() != StepResult::kRow) return "<none>";
  return std::string(st->column_text(1));
}

inline std::int64_t sql_int(DbSession& s, const char* sql) {
  auto st = s.connection().prepare(sql);
  if (!st || st->step() != StepResult::kRow) return -999;
  return st->column_int64(1);
}

// Name-cache entries as the resolver makes them.
inline HostCacheEntry named_entry(const std::string& name, std::vector<std::array<std::uint8_t, 4>> addresses,
                                  std::vector<std::string> aliases = {}) {
  HostCacheEntry e;
  HostRecord r;
  r.name = name;
  r.aliases = std::move(aliases);
  r.addresses = std::move(addresses);
  e.address = NetAddress::ipv4(r.addresses.front().data());
  e.name = name;
  e.host = std::move(r);
  return e;
}

inline HostCacheEntry unnamed_entry(std::uint8_t a, std::uint8_t b, std::uint8_t c, std::uint8_t d) {
  HostCacheEntry e;
  e.address = NetAddress::ipv4(a, b, c, d);
  e.name = netaddr_text(e.address);
  return e;
}

}  // namespace tarnix::testing_support

// A throwaway PostgreSQL server for the tests of one process, started from
// the project's own server code in a temporary folder and stopped at exit;
// or the server named by $TARNIX_TEST_PG (a libpq connection string to a
// database where new databases may be created). Each test gets a database
// of its own.
#pragma once

#include <libpq-fe.h>
#include <sys/stat.h>
#include <unistd.h>

#include <chrono>
#include <cstdlib>
#include <filesystem>
#include <string>
#include <thread>

#include "db/pg_server.h"
#include "db/sql.h"

namespace tarnix::testing_support {

class PgTestServer {
 public:
  static PgTestServer& get() {
    static PgTestServer server;
    return server;
  }
  bool available() const { return why_.empty(); }
  // Why the PostgreSQL tests are skipped.
  const std::string& why() const { return why_; }
  const std::string& bin() const { return bin_; }
  const std::string& data_dir() const { return data_; }

  // Connection string of database `name` on the server.
  std::string conninfo(const std::string& name) const {
    if (!external_.empty()) return external_ + " dbname=" + name;
    return pg_private_conninfo(data_, kPgPrivatePort, name);
  }

  // Locator of a new, empty database.
  std::string fresh_database() {
    const std::string name = "t" + std::to_string(::getpid()) + "_" + std::to_string(++count_);
    PGconn* c = PQconnectdb(conninfo("postgres").c_str());
    PGresult* r = PQexec(c, ("CREATE DATABASE " + name +
                             " TEMPLATE template0 ENCODING 'SQL_ASCII' LC_COLLATE 'C' LC_CTYPE 'C'")
                                .c_str());
    PQclear(r);
    PQfinish(c);
    return db_pg_locator(conninfo(name));
  }

  ~PgTestServer() {
    if (!data_.empty() && external_.empty()) {
      pg_server_stop(data_, bin_);
      std::error_code ec;
      std::filesystem::remove_all(std::filesystem::path(data_).parent_path(), ec);
    }
  }

 private:
  PgTestServer() {
    if (const char* ext = std::getenv("TARNIX_TEST_PG"); ext != nullptr && *ext != '\0') {
      external_ = ext;
      if (PQping(conninfo("postgres").c_str()) != PQPING_OK) why_ = "server of TARNIX_TEST_PG does not answer";
      return;
    }
    bin_ = pg_find_bin("");
    if (bin_.empty()) {
      why_ = "PostgreSQL programs (initdb, pg_ctl) not installed; scripts/setup.sh installs them";
      return;
    }
    std::string pattern = (std::filesystem::temp_directory_path() / "tarnix-pg-XXXXXX").string();
    if (::mkdtemp(pattern.data()) == nullptr) {
      why_ = "no temporary folder";
      return;
    }
    // Run as root, the server's own account must reach its folder.
    ::chmod(pattern.c_str(), 0755);
    data_ = pattern + "/data";
    std::string why;
    if (!pg_server_start(data_, bin_, kPgPrivatePort, &why)) {
      why_ = "test server did not start: " + why;
      return;
    }
    for (int i = 0; i < 300 && !pg_server_ready(conninfo("postgres")); ++i)
      std::this_thread::sleep_for(std::chrono::milliseconds(100));
    if (!pg_server_ready(conninfo("postgres"))) why_ = "test server did not answer";
  }

  std::string bin_, data_, external_, why_;
  int count_ = 0;
};

}  // namespace tarnix::testing_support

// The start-up-to-exit wiring a program uses, on a real database.
#include "db/url_recording.h"

#include <gtest/gtest.h>
#include <sys/stat.h>

#include <cstdio>
#include <fstream>
#include <string>

#include "db/pg_server.h"
#include "db_test_support.h"
#include "naming/fake_name_service.h"
#include "sniff/segments.h"

namespace tarnix {
namespace {

using testing_support::ip;
using testing_support::reply;

using QuietUi = testing_support::QuietDbUi;

// The recording wired to its name cache and started, as a program does.
void start(UrlRecording& rec, HostCache& cache, RequestListener* listener = nullptr) {
  rec.attach(cache);
  if (listener != nullptr) rec.add_listener(listener);
  cache.start();
  rec.start();
}

// One request from 10.0.0.2 to 10.0.0.1 seen on the wire.
void see_request(UrlRecording& rec, UrlCounters& counters, const char* request) {
  const std::uint8_t client[4] = {10, 0, 0, 2}, server[4] = {10, 0, 0, 1};
  auto seg = testing_support::tcp_segment(40000, 80, request);
  rec.sniffer().handle_segment(seg.data(), seg.size(), seg.size(), client, server, counters);
}

TEST(UrlRecording, FromStartUpToExit) {
  testing_support::TempDir dir;
  DbConfig config;
  config.dbpath = (dir.path() / "data").string();
  QuietUi ui;
  UrlRecording rec;
  ASSERT_TRUE(rec.open(config, ui));
  testing_support::FakeNameService ns;
  ns.answer_name("www.example", reply("www.example", {}, {ip(10, 0, 0, 1)}));
  HostCache cache(ns, rec.host_ids());
  std::FILE* log = std::tmpfile();
  ASSERT_NE(log, nullptr);
  RequestLogPrinter printer(log);
  start(rec, cache, &printer);

  UrlCounters counters;
  see_request(rec, counters, "GET /x HTTP/1.1\r\nHost: www.example\r\n\r\n");
  EXPECT_EQ(rec.close(std::chrono::seconds(10), stderr, 28), 0);
  EXPECT_EQ(rec.close(std::chrono::seconds(1), stderr, 28), 0) << "a second close does nothing";
  cache.stop();

  std::rewind(log);
  char line[256] = "";
  ASSERT_NE(std::fgets(line, sizeof line, log), nullptr);
  EXPECT_NE(std::string(line).find("10.0.0.2 -> 10.0.0.1 http://www.example/x direct"), std::string::npos)
      << line;
  std::fclose(log);

  auto s = db_open_session(rec.path());
  ASSERT_TRUE(s);
  EXPECT_EQ(testing_support::sql_int(*s, "SELECT count(*) FROM url_hist"), 1)
      << "a fresh access survives pruning";
  EXPECT_EQ(counters.direct.load(), 1u);
}

// The summary and the reports read the database after close(): a server
// of our own must still be up then, and go with the recording.
TEST(UrlRecording, AServerOfOurOwnOutlivesCloseAndStopsWithTheRecording) {
  if (pg_find_bin("").empty()) GTEST_SKIP() << "PostgreSQL programs not installed";
  testing_support::TempDir dir;
  ::chmod(dir.path().c_str(), 0755);  // run as root, the server's account must reach its folder
  DbConfig config;
  config.server_dir = dir.file("pg");
  const std::string conninfo = pg_private_conninfo(config.server_dir, config.server_port);
  {
    QuietUi ui;
    UrlRecording rec;
    ASSERT_TRUE(rec.open(config, ui)) << ui.last;
    testing_support::FakeNameService ns;
    HostCache cache(ns, rec.host_ids());
    start(rec, cache);
    UrlCounters counters;
    see_request(rec, counters, "GET http://10.0.0.1/x HTTP/1.1\r\n\r\n");
    EXPECT_EQ(rec.close(std::chrono::seconds(10), stderr, 0), 0);
    cache.stop();
    auto s = db_open_session(rec.path());
    ASSERT_TRUE(s) << "the server stopped at close";
    EXPECT_EQ(testing_support::sql_int(*s, "SELECT count(*) FROM url_hist"), 1);
  }
  EXPECT_FALSE(pg_server_ready(conninfo)) << "the server outlived its recording";
}

TEST(UrlRecording, AnUnusableFolderEndsStartUpWithItsMessage) {
  testing_support::TempDir dir;
  std::ofstream(dir.file("file")) << "x";
  DbConfig config;
  config.dbpath = dir.file("file") + "/sub";
  QuietUi ui;
  UrlRecording rec;
  ::testing::internal::CaptureStderr();
  EXPECT_FALSE(rec.open(config, ui));
  ::testing::internal::GetCapturedStderr();
  EXPECT_EQ(ui.last, "Couldn't start database");
  EXPECT_EQ(rec.close(std::chrono::milliseconds(1), stderr, 28), 0);
}

}  // namespace
}  // namespace tarnix

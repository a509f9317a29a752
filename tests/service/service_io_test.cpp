// The service face's I/O: the events file across log rotation, and the
// HTTP port's rules, through a real socket.
#include <arpa/inet.h>
#include <netinet/in.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/time.h>
#include <unistd.h>

#include <gtest/gtest.h>

#include <cerrno>
#include <cstdio>
#include <filesystem>
#include <fstream>
#include <set>
#include <thread>

#include "db/db_test_support.h"
#include "service/events.h"
#include "service/http_server.h"

namespace tarnix::service {
namespace {

using testing_support::TempDir;

std::vector<std::string> lines_of(const std::string& path) {
  std::vector<std::string> out;
  std::ifstream in(path);
  for (std::string line; std::getline(in, line);) out.push_back(line);
  return out;
}

// Log rotation moves the file away and asks for a new one, while writers on
// several threads go on: every line lands whole in one of the two files.
TEST(EventsWriter, ReopenMovesOutputToANewFileLosingAndSplittingNothing) {
  TempDir dir;
  const std::string path = dir.file("events.jsonl");
  EventsWriter writer(path, 1u << 20);
  std::string error;
  ASSERT_TRUE(writer.open(error)) << error;
  writer.start();
  constexpr int kThreads = 4, kLines = 3000;
  const auto line = [](int t, int i) {
    return "{\"t\":" + std::to_string(t) + ",\"i\":" + std::to_string(i) + ",\"pad\":\"" +
           std::string(static_cast<std::size_t>(i % 97), 'x') + "\"}";
  };
  const auto write_lines = [&](int from, int to) {
    std::vector<std::thread> threads;
    for (int t = 0; t < kThreads; ++t)
      threads.emplace_back([&, t, from, to] {
        for (int i = from; i < to; ++i) writer.write(line(t, i), true);
      });
    return threads;
  };
  for (std::thread& t : write_lines(0, kLines / 2)) t.join();
  while (writer.written() < std::uint64_t{kThreads * kLines / 2}) std::this_thread::yield();
  // The second half is on its way while the file is moved and reopened.
  std::vector<std::thread> second = write_lines(kLines / 2, kLines);
  std::filesystem::rename(path, dir.file("events.jsonl.1"));
  writer.reopen();
  for (std::thread& t : second) t.join();
  writer.stop();

  EXPECT_GE(lines_of(dir.file("events.jsonl.1")).size(), std::size_t{kThreads * kLines / 2});
  std::set<std::pair<int, int>> seen;
  std::size_t total = 0;
  for (const std::string& file : {dir.file("events.jsonl.1"), path}) {
    for (const std::string& text : lines_of(file)) {
      ++total;
      int t = -1, i = -1;
      ASSERT_EQ(std::sscanf(text.c_str(), "{\"t\":%d,\"i\":%d,", &t, &i), 2) << text;
      ASSERT_EQ(text, line(t, i)) << "a line cut or mixed with another";
      seen.insert({t, i});
    }
  }
  EXPECT_TRUE(std::filesystem::exists(path)) << "the new file was made";
  EXPECT_EQ(total, std::size_t{kThreads * kLines});
  EXPECT_EQ(seen.size(), std::size_t{kThreads * kLines});
  EXPECT_EQ(writer.written(), std::uint64_t{kThreads * kLines});
  EXPECT_EQ(writer.dropped(), 0u);
}

TEST(EventsWriter, AFullQueueDropsAndCountsForThoseWhoCannotWait) {
  TempDir dir;
  EventsWriter writer(dir.file("e"), 2);
  std::string error;
  ASSERT_TRUE(writer.open(error));
  for (int i = 0; i < 5; ++i) writer.write("{}");  // no thread yet: nothing is taken
  EXPECT_EQ(writer.dropped(), 3u);
  writer.start();
  writer.stop();
  EXPECT_EQ(lines_of(dir.file("e")).size(), 2u);
}

TEST(EventsWriter, AFolderThatCannotBeWrittenIsAnErrorAtOpen) {
  EventsWriter writer("/nonexistent-folder/events.jsonl");
  std::string error;
  EXPECT_FALSE(writer.open(error));
  EXPECT_NE(error.find("/nonexistent-folder/events.jsonl"), std::string::npos);
}

// A raw request and the status line of its answer.
std::string status_of(std::uint16_t port, const std::string& request) {
  const int fd = ::socket(AF_INET, SOCK_STREAM, 0);
  sockaddr_in a{};
  a.sin_family = AF_INET;
  a.sin_port = htons(port);
  a.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
  if (::connect(fd, reinterpret_cast<sockaddr*>(&a), sizeof a) != 0) {
    ::close(fd);
    return "no connection";
  }
  ::send(fd, request.data(), request.size(), MSG_NOSIGNAL);
  std::string answer;
  char buf[4096];
  for (ssize_t n; (n = ::recv(fd, buf, sizeof buf, 0)) > 0;) answer.append(buf, static_cast<std::size_t>(n));
  ::close(fd);
  return answer.substr(0, answer.find("\r\n"));
}

TEST(HttpServer, TokenMethodsAndBodiesAreCheckedBeforeTheHandler) {
  HttpServer server;
  std::atomic<int> handled{0};
  std::string error;
  ASSERT_TRUE(server.start(
      ListenAddress{"127.0.0.1", 0}, "tok-123",
      [&](const HttpRequest& r) {
        ++handled;
        return HttpResponse{r.path == "/ok" ? 200 : 404, "text/plain",
                            r.query.count("n") ? r.query.at("n") : ""};
      },
      HttpLimits{}, error))
      << error;
  ASSERT_NE(server.port(), 0);
  const std::string close = "Connection: close\r\n";
  struct Case {
    std::string request;
    const char* status;
  } cases[] = {
      {"GET /ok HTTP/1.1\r\nHost: x\r\n" + close + "\r\n", "HTTP/1.1 401 Unauthorized"},
      {"GET /ok HTTP/1.1\r\nHost: x\r\nAuthorization: Bearer tok-12\r\n" + close + "\r\n",
       "HTTP/1.1 401 Unauthorized"},
      {"GET /ok HTTP/1.1\r\nHost: x\r\nAuthorization: Basic dG9rLTEyMw==\r\n" + close + "\r\n",
       "HTTP/1.1 401 Unauthorized"},
      {"GET /ok?n=5 HTTP/1.1\r\nHost: x\r\nAuthorization: Bearer tok-123\r\n" + close + "\r\n",
       "HTTP/1.1 200 OK"},
      {"GET /other HTTP/1.1\r\nHost: x\r\nAuthorization: Bearer tok-123\r\n" + close + "\r\n",
       "HTTP/1.1 404 Not Found"},
      {"POST /ok HTTP/1.1\r\nHost: x\r\nAuthorization: Bearer tok-123\r\nContent-Length: 3\r\n" + close +
           "\r\nabc",
       "HTTP/1.1 405 Method Not Allowed"},
      {"GET /ok HTTP/1.1\r\nHost: x\r\nAuthorization: Bearer tok-123\r\nContent-Length: 3\r\n" + close +
           "\r\nabc",
       "HTTP/1.1 413 Content Too Large"},
  };
  for (const Case& c : cases)
    EXPECT_EQ(status_of(server.port(), c.request).substr(0, 12), std::string(c.status).substr(0, 12))
        << c.request;
  EXPECT_EQ(handled, 2) << "only the two requests with the token reach the handler";

  // Headers beyond the bound are refused, whatever they say.
  std::string many = "GET /ok HTTP/1.1\r\nHost: x\r\nAuthorization: Bearer tok-123\r\n" + close;
  for (int i = 0; i < 80; ++i) many += "X-H" + std::to_string(i) + ": v\r\n";
  EXPECT_EQ(status_of(server.port(), many + "\r\n").substr(9, 3), "431");
  // A request line and headers beyond the memory of a connection too.
  const std::string huge =
      "GET /ok HTTP/1.1\r\nHost: x\r\nX-Big: " + std::string(64 * 1024, 'a') + "\r\n" + close + "\r\n";
  const std::string refused = status_of(server.port(), huge);
  EXPECT_TRUE(refused.empty() || refused.find(" 431 ") != std::string::npos ||
              refused.find(" 413 ") != std::string::npos || refused.find(" 414 ") != std::string::npos)
      << refused;
  EXPECT_EQ(handled, 2);
  server.stop();
}

int connect_to(std::uint16_t port) {
  const int fd = ::socket(AF_INET, SOCK_STREAM, 0);
  sockaddr_in a{};
  a.sin_family = AF_INET;
  a.sin_port = htons(port);
  a.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
  if (::connect(fd, reinterpret_cast<sockaddr*>(&a), sizeof a) != 0) {
    ::close(fd);
    return -1;
  }
  return fd;
}

// Whether the server has closed the connection: a read that ends without
// waiting for more than `wait`.
bool closed_by_server(int fd, std::chrono::milliseconds wait) {
  timeval tv{static_cast<time_t>(wait.count() / 1000),
             static_cast<suseconds_t>((wait.count() % 1000) * 1000)};
  ::setsockopt(fd, SOL_SOCKET, SO_RCVTIMEO, &tv, sizeof tv);
  char buf[256];
  const ssize_t n = ::recv(fd, buf, sizeof buf, 0);
  return n == 0 || (n < 0 && errno == ECONNRESET);
}

// A client that sends a byte now and then is never silent for long, yet its
// connection ends once it has had its whole allowance; one address cannot
// take more than its share of connections.
TEST(HttpServer, DrippingAndCrowdingClientsAreCut) {
  HttpServer server;
  std::string error;
  HttpLimits limits;
  limits.seconds_idle = 60;
  limits.seconds_whole = 1;
  limits.per_address = 2;
  ASSERT_TRUE(server.start(
      ListenAddress{"127.0.0.1", 0}, "", [](const HttpRequest&) { return HttpResponse{}; }, limits, error))
      << error;
  const int first = connect_to(server.port());
  const int second = connect_to(server.port());
  const int third = connect_to(server.port());
  ASSERT_GE(first, 0);
  ASSERT_GE(third, 0);
  EXPECT_TRUE(closed_by_server(third, std::chrono::milliseconds(3000))) << "a third from one address";
  const std::string start = "GET /x HTTP/1.1\r\nHost: x\r\n";
  ::send(first, start.data(), start.size(), MSG_NOSIGNAL);
  bool cut = false;
  for (int i = 0; i < 40 && !cut; ++i) {
    ::send(first, "X", 1, MSG_NOSIGNAL);
    cut = closed_by_server(first, std::chrono::milliseconds(200));
  }
  EXPECT_TRUE(cut) << "still open after 8 s of dripping";
  for (int fd : {first, second, third}) ::close(fd);
}

TEST(HttpServer, APortInUseIsAnError) {
  HttpServer first, second;
  std::string error;
  const auto handler = [](const HttpRequest&) { return HttpResponse{}; };
  ASSERT_TRUE(first.start(ListenAddress{"127.0.0.1", 0}, "", handler, HttpLimits{}, error)) << error;
  EXPECT_FALSE(second.start(ListenAddress{"127.0.0.1", first.port()}, "", handler, HttpLimits{}, error));
  EXPECT_NE(error.find(std::to_string(first.port())), std::string::npos);
}

}  // namespace
}  // namespace tarnix::service

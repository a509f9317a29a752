// Alarm delivery: webhook retries, back-off and rate limit on a clock of the
// test's own, and what a firing says to a receiver and to the journal.
#include <gtest/gtest.h>

#include <algorithm>
#include <deque>
#include <thread>

#include "service/delivery.h"

namespace tarnix::service {
namespace {

using std::chrono::milliseconds;
using std::chrono::seconds;

class FakePoster final : public HttpPoster {
 public:
  int post(const std::string& url, const std::string& body, milliseconds, std::string& error) override {
    posts.push_back({url, body});
    const int status = answers.empty() ? 200 : answers.front();
    if (!answers.empty()) answers.pop_front();
    if (status == 0) error = "connection refused";
    return status;
  }
  std::deque<int> answers;  // 0: no answer
  std::vector<std::pair<std::string, std::string>> posts;
};

struct FakeClock {
  Clock::time_point now{};
  std::function<Clock::time_point()> fn() {
    return [this] { return now; };
  }
};

TEST(WebhookRetryDelay, DoublesFromTheFirstUpToTheLongest) {
  WebhookPolicy p;
  p.first_retry = milliseconds(1000);
  p.longest_retry = milliseconds(5000);
  const std::pair<int, int> cases[] = {{2, 1000}, {3, 2000}, {4, 4000}, {5, 5000}, {40, 5000}};
  for (const auto& [attempt, ms] : cases) EXPECT_EQ(webhook_retry_delay(p, attempt).count(), ms) << attempt;
}

TEST(RateLimiter, AllowsABurstPerKeyWithinTheWindow) {
  RateLimiter limit(2, seconds(60));
  const Clock::time_point t0{};
  struct Step {
    const char* key;
    int at_s;
    bool allowed;
  } steps[] = {
      {"a", 0, true},   {"a", 1, true},   {"a", 2, false},  // the burst is spent
      {"b", 2, true},                                       // another alarm has its own
      {"a", 59, false}, {"a", 60, true},                    // the first pass has left the window
      {"a", 61, true},  {"a", 62, false},
  };
  for (const Step& s : steps)
    EXPECT_EQ(limit.allow(s.key, t0 + seconds(s.at_s)), s.allowed) << s.key << s.at_s;
}

class Webhooks : public ::testing::Test {
 protected:
  Webhooks() {
    policy.max_attempts = 3;
    policy.first_retry = milliseconds(1000);
    policy.longest_retry = milliseconds(60000);
    policy.per_alarm_burst = 2;
    policy.per_alarm_window = seconds(60);
    policy.max_queued = 3;
  }
  void advance(milliseconds d) {
    clock.now += d;
    sender->pump(clock.now);
  }
  void make() {
    sender = std::make_unique<WebhookSender>(
        poster, policy, [this](const std::string& m) { diagnostics.push_back(m); }, clock.fn());
  }
  WebhookPolicy policy;
  FakePoster poster;
  FakeClock clock;
  std::vector<std::string> diagnostics;
  std::unique_ptr<WebhookSender> sender;
};

TEST_F(Webhooks, AFailingReceiverIsTriedAgainWithGrowingPausesThenGivenUp) {
  make();
  poster.answers = {0, 503, 0};
  ASSERT_TRUE(sender->send("a", "http://r/hook", "{}"));
  advance(milliseconds(0));
  EXPECT_EQ(poster.posts.size(), 1u);
  advance(milliseconds(999));
  EXPECT_EQ(poster.posts.size(), 1u) << "the first retry waits a second";
  advance(milliseconds(1));
  EXPECT_EQ(poster.posts.size(), 2u);
  advance(milliseconds(1999));
  EXPECT_EQ(poster.posts.size(), 2u) << "the second waits two";
  advance(milliseconds(1));
  EXPECT_EQ(poster.posts.size(), 3u);
  advance(seconds(600));
  EXPECT_EQ(poster.posts.size(), 3u) << "three tries, then no more";
  const WebhookSender::Stats st = sender->stats();
  EXPECT_EQ(st.failed, 1u);
  EXPECT_EQ(st.retries, 2u);
  EXPECT_EQ(st.queued, 0u);
  ASSERT_EQ(diagnostics.size(), 1u);
  EXPECT_NE(diagnostics[0].find("given up after 3 tries"), std::string::npos);
}

TEST_F(Webhooks, ASuccessAfterAFailureIsDeliveredOnce) {
  make();
  poster.answers = {500, 204};
  sender->send("a", "http://r/hook", "{\"x\":1}");
  advance(milliseconds(0));
  advance(seconds(1));
  advance(seconds(100));
  EXPECT_EQ(poster.posts.size(), 2u);
  EXPECT_EQ(poster.posts[1].second, "{\"x\":1}");
  EXPECT_EQ(sender->stats().delivered, 1u);
  EXPECT_EQ(sender->stats().failed, 0u);
}

TEST_F(Webhooks, AFlappingAlarmIsLimitedButOthersAreNot) {
  policy.max_queued = 100;
  make();
  int accepted = 0;
  for (int i = 0; i < 10; ++i) accepted += sender->send("flap", "http://r/hook", "{}") ? 1 : 0;
  EXPECT_EQ(accepted, 2);
  EXPECT_TRUE(sender->send("other", "http://r/hook", "{}"));
  advance(milliseconds(0));
  EXPECT_EQ(poster.posts.size(), 3u);
  EXPECT_EQ(sender->stats().limited, 8u);
  clock.now += seconds(60);
  EXPECT_TRUE(sender->send("flap", "http://r/hook", "{}")) << "a minute later it may post again";
}

TEST_F(Webhooks, TheQueueIsBoundedWhileTheReceiverIsDown) {
  policy.per_alarm_burst = 100;
  make();
  poster.answers = {0, 0, 0, 0, 0, 0};
  int accepted = 0;
  for (int i = 0; i < 10; ++i)
    accepted += sender->send("a" + std::to_string(i), "http://r/hook", "{}") ? 1 : 0;
  EXPECT_EQ(accepted, 3);
  EXPECT_EQ(sender->stats().failed, 7u);
  EXPECT_EQ(sender->stats().queued, 3u);
}

// At shut-down a receiver that takes its whole time-out for each post must
// not hold the program for all of them.
TEST_F(Webhooks, APumpWithADeadlineLeavesWhatItCouldNotBegin) {
  policy.per_alarm_burst = 100;
  make();
  struct SlowPoster final : HttpPoster {
    explicit SlowPoster(FakeClock& c) : clock(c) {}
    int post(const std::string&, const std::string&, milliseconds timeout, std::string& error) override {
      clock.now += timeout;
      ++posts;
      error = "timed out";
      return 0;
    }
    FakeClock& clock;
    int posts = 0;
  } slow(clock);
  WebhookSender pumped(slow, policy, {}, clock.fn());
  for (int i = 0; i < 3; ++i) pumped.send("a", "http://r/hook", "{}");
  pumped.pump(clock.now, clock.now + policy.timeout + milliseconds(1));
  EXPECT_EQ(slow.posts, 2) << "the second began before the deadline, the third did not";
  EXPECT_EQ(pumped.stats().queued, 3u) << "none is lost: two wait for a retry, one for its first try";
}

TEST_F(Webhooks, TheThreadDeliversWithoutTheSenderWaiting) {
  sender = std::make_unique<WebhookSender>(poster, policy);  // the steady clock
  sender->start();
  ASSERT_TRUE(sender->send("a", "http://r/hook", "{}"));
  for (int i = 0; i < 200 && sender->stats().delivered == 0; ++i)
    std::this_thread::sleep_for(milliseconds(10));
  sender->stop();
  EXPECT_EQ(sender->stats().delivered, 1u);
}

TEST(FiringText, JsonAndJournalFieldsCarryTheFiring) {
  FiringReport f{"lab", "busy \"host\"\n", "host 10.0.0.5", 120, 1700000000};
  EXPECT_EQ(firing_json(f),
            "{\"type\":\"alarm\",\"time\":1700000000,\"sensor\":\"lab\",\"alarm\":\"busy \\\"host\\\"\\n\","
            "\"object\":\"host 10.0.0.5\",\"value\":120}");
  const std::vector<std::string> fields = syslog_fields(f);
  ASSERT_FALSE(fields.empty());
  EXPECT_EQ(fields[0], "MESSAGE=alarm \"busy \"host\" \" on host 10.0.0.5 (value 120)") << "one line";
  for (const char* want : {"PRIORITY=4", "SYSLOG_IDENTIFIER=tarnix", "TARNIX_OBJECT=host 10.0.0.5",
                           "TARNIX_VALUE=120", "TARNIX_SENSOR=lab"})
    EXPECT_NE(std::find(fields.begin(), fields.end(), want), fields.end()) << want;
}

}  // namespace
}  // namespace tarnix::service

// What the engine session decides itself: how its parts are wired, that a
// stopped run has written everything it saw, and how a failed start is told.
#include "session/session.h"

#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <fstream>
#include <thread>

#include "capture/bindings.h"
#include "capture/classifier.h"
#include "capture/source.h"
#include "db/db_test_support.h"
#include "db/recorder.h"
#include "db/url_recording.h"
#include "naming/dupip.h"
#include "pdl/protocol_tree.h"

namespace tarnix {
namespace {

constexpr const char* kCapture = TARNIX_SOURCE_DIR "/tests/db/data/curl_tinyproxy.pcap";

using QuietUi = testing_support::QuietDbUi;

class CountingListener : public RequestListener {
 public:
  void on_request_recorded(const RecordedRequest&) override { ++heard; }
  std::atomic<int> heard{0};
};

SessionOptions quiet_options(Classifier* classifier) {
  SessionOptions o;
  o.classifier = classifier;
  o.resolve_names = false;
  o.source_can_wait = true;
  o.loop.run_flat_out = true;
  return o;
}

AlarmRuntime::Options silent_alarms() {
  AlarmRuntime::Options o;
  o.log = nullptr;
  o.beep = false;
  return o;
}

// Plays the whole capture file through the session's loop.
void play_capture(EngineSession& session) {
  OpenResult r = open_file_source(kCapture, "", 0);
  ASSERT_TRUE(r.source) << r.error;
  Net* net = net_create(session.model(), kCapture);
  net_set_current(session.model(), net);
  std::atomic<bool> ended{false};
  session.loop().on_end([&](const std::string&) { ended = true; });
  session.loop().set_source(std::move(r.source), net);
  session.wait_ready_to_capture(true);
  session.start_capture();
  for (int i = 0; i < 1000 && !ended; ++i) std::this_thread::sleep_for(std::chrono::milliseconds(10));
  ASSERT_TRUE(ended) << "the capture file was not read to its end";
}

TEST(EngineSession, WiresTheModelToThePartsItWasGiven) {
  struct Case {
    const char* name;
    bool store, duplicates, alarms;
  };
  const Case cases[] = {
      {"nothing optional", false, false, false},
      {"a store", true, false, false},
      {"duplicates from the start", false, true, false},
      {"a store and alarms", true, false, true},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    testing_support::TempDir dir;
    NullClassifier classifier;
    SessionOptions o = quiet_options(&classifier);
    o.detect_duplicates = c.duplicates;
    o.node_timeout_s = 33;
    EngineSession session(o);
    QuietUi ui;
    if (c.store) {
      DbConfig config;
      config.dbpath = dir.file("db");
      ASSERT_TRUE(session.open_store(config, ui).ok()) << ui.last;
    }
    session.assemble();
    if (c.alarms) session.add_alarms(nullptr, silent_alarms());
    TrafficModel& m = session.model();
    EXPECT_EQ(m.classifier, &classifier);
    EXPECT_NE(m.namer, nullptr);
    EXPECT_EQ(m.node_timeout_s.load(), 33);
    EXPECT_EQ(m.hooks.duplicates != nullptr, true);
    EXPECT_EQ(session.duplicates().detecting(), c.duplicates);
    EXPECT_EQ(m.hooks.tcp != nullptr, c.store) << "the sniffers feed the store's recorder only";
    EXPECT_EQ(m.hooks.step != nullptr, c.alarms);
    EXPECT_EQ(session.alarm_table() != nullptr, c.store);
    ASSERT_TRUE(session.start().ok());
    session.stop(std::chrono::seconds(1));
  }
}

// Every request the frames carried is in the store once the session has
// stopped, and the alarms have heard of the last of them: the recorder is
// drained before the alarms stop and before the store closes.
TEST(EngineSession, AStoppedSessionHasWrittenAndAnnouncedEveryRequest) {
  struct Case {
    const char* name;
    bool step_by_step;  // the programs' own sequence rather than stop()
  };
  for (const Case& c : {Case{"stop()", false}, Case{"step by step", true}}) {
    SCOPED_TRACE(c.name);
    testing_support::TempDir dir;
    PdlResult parsed = pdl_parse(TARNIX_SOURCE_DIR "/data/protocol.pdl");
    ASSERT_TRUE(parsed) << parsed.error;
    PdlClassifier classifier(parsed.tree.get());
    EngineSession session(quiet_options(&classifier));
    QuietUi ui;
    DbConfig config;
    config.dbpath = dir.file("db");
    ASSERT_TRUE(session.open_store(config, ui).ok()) << ui.last;
    session.assemble();
    CountingListener listener;
    session.add_request_listener(&listener);
    session.add_alarms(parsed.tree.get(), silent_alarms());
    ASSERT_TRUE(session.start({"url:http://10.77.0.1/index.html:occurrence:index page"}).ok());
    play_capture(session);
    if (c.step_by_step) {
      session.stop_capture();
      session.drain(std::chrono::seconds(10));
      session.close_store(0);
    } else {
      session.stop(std::chrono::seconds(10));
    }

    const UrlRecorderStats st = session.recorder().stats();
    EXPECT_EQ(st.seen, 5u);
    EXPECT_EQ(st.recorded, st.seen);
    EXPECT_EQ(listener.heard.load(), 5);
    auto s = db_open_session(session.store_path());
    ASSERT_TRUE(s);
    EXPECT_EQ(testing_support::sql_int(*s, "SELECT count(*) FROM url_hist"), 5);
    std::size_t firings = 0;
    for (const AlarmSummary& a : session.alarms()->summary())
      if (a.notify == "index page") firings = a.firings.size();
    EXPECT_EQ(firings, 2u) << "two requests for /index.html";
    session.stop_names();
  }
}

TEST(EngineSession, AFailedStartIsToldAsAStatus) {
  struct Case {
    const char* name;
    std::vector<std::string> definitions;
    bool ok;
    const char* says;
  };
  const Case cases[] = {
      {"no definitions", {}, true, ""},
      {"a good one", {"net:threshold-high:percent:80:busy"}, true, ""},
      {"malformed", {"host:10.0.0.1:sometimes:x"}, false, "sometimes"},
      {"good then unknown protocol",
       {"net:threshold-high:percent:80:busy", "protocol:NOSUCH:occurrence:x"},
       false,
       "NOSUCH"},
  };
  PdlResult parsed = pdl_parse(TARNIX_SOURCE_DIR "/data/protocol.pdl");
  ASSERT_TRUE(parsed) << parsed.error;
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    NullClassifier classifier;
    EngineSession session(quiet_options(&classifier));
    session.assemble();
    session.add_alarms(parsed.tree.get(), silent_alarms());
    const Status st = session.start(c.definitions);
    EXPECT_EQ(st.ok(), c.ok) << st.message();
    if (!c.ok) {
      EXPECT_EQ(st.code(), 2);
      EXPECT_NE(st.message().find(c.says), std::string::npos) << st.message();
    }
    // Stopping after a failed start ends what did start, and no more.
    session.stop(std::chrono::milliseconds(100));
  }
}

TEST(EngineSession, AStoreThatCannotOpenIsAnErrorAndTheRunMayGoOnWithout) {
  testing_support::TempDir dir;
  std::ofstream(dir.file("file")) << "x";
  NullClassifier classifier;
  EngineSession session(quiet_options(&classifier));
  DbConfig config;
  config.dbpath = dir.file("file") + "/sub";
  config.retries = 0;
  QuietUi ui;
  ::testing::internal::CaptureStderr();
  const Status st = session.open_store(config, ui);
  ::testing::internal::GetCapturedStderr();
  EXPECT_FALSE(st.ok());
  EXPECT_NE(st.message().find(session.store_description()), std::string::npos) << st.message();
  EXPECT_FALSE(session.has_store());
  EXPECT_EQ(session.store_path(), "");
  session.assemble();
  EXPECT_EQ(session.model().hooks.tcp, nullptr);
  EXPECT_TRUE(session.start().ok());
}

TEST(EngineSession, AReleasedStoreIsNoLongerFedOrUsed) {
  testing_support::TempDir dir;
  NullClassifier classifier;
  EngineSession session(quiet_options(&classifier));
  DbConfig config;
  config.dbpath = dir.file("db");
  QuietUi ui;
  ASSERT_TRUE(session.open_store(config, ui).ok()) << ui.last;
  session.assemble();
  ASSERT_TRUE(session.start().ok());
  ASSERT_NE(session.alarm_table(), nullptr);
  session.release_store();
  EXPECT_FALSE(session.has_store());
  EXPECT_EQ(session.model().hooks.tcp, nullptr) << "frames would feed a recorder that is gone";
  EXPECT_EQ(session.alarm_table(), nullptr);
  session.release_store();  // twice is harmless
}

}  // namespace
}  // namespace tarnix

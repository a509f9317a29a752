// The capture cycle: pacing by a go signal or by itself, stopping, swapping
// sources, and readers on other threads while frames flow.
#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <condition_variable>
#include <thread>

#include "capture/capture_thread.h"
#include "capture/fakes.h"
#include "capture/frames.h"

namespace tarnix {
namespace {

using namespace std::chrono_literals;
using testing::FakeClassifier;
using testing::FakeNamer;
using testing::FrameSpec;
using testing::make_frame;
using testing::temp_path;
using testing::TimedFrame;

// A source that produces frames from memory, as many as asked, forever.
class EndlessSource : public PacketSource {
 public:
  explicit EndlessSource(int hosts) : hosts_(hosts) {}
  int dispatch(int max, FrameFn fn, void* user) override {
    for (int i = 0; i < max; ++i) {
      FrameSpec s;
      const int n = static_cast<int>(count_ % static_cast<std::uint64_t>(hosts_));
      s.src_ip[2] = static_cast<std::uint8_t>(n / 200);
      s.src_ip[3] = static_cast<std::uint8_t>(n % 200 + 1);
      s.dst_ip[3] = static_cast<std::uint8_t>((n * 7) % 200 + 1);
      s.protocol = (n % 3 == 0) ? 6 : 17;
      s.dport = (n % 2) ? 80 : 53;
      frame_ = make_frame(s);
      FrameHeader h;
      h.time.sec = static_cast<std::int32_t>(1000 + count_ / 100000);
      h.time.usec = static_cast<std::int32_t>((count_ % 100000) * 10);
      h.caplen = static_cast<std::uint32_t>(frame_.size());
      h.len = h.caplen + 100;
      fn(user, h, frame_.data());
      ++count_;
    }
    return max;
  }
  bool stats(SourceStats& s) override {
    s.received = count_;
    return true;
  }
  const std::string& name() const override { return name_; }
  std::uint64_t count() const { return count_; }

 private:
  int hosts_;
  std::uint64_t count_ = 0;
  std::vector<std::uint8_t> frame_;
  std::string name_ = "endless";
};

// A source with nothing, ever.
class QuietSource : public PacketSource {
 public:
  int dispatch(int, FrameFn, void*) override { return 0; }
  bool stats(SourceStats&) override { return false; }
  const std::string& name() const override { return name_; }

 private:
  std::string name_ = "quiet";
};

// The display's side of the go hand-off: a frame handed over comes back as a
// go, at once (a paint that finishes before the drawing cycle has returned)
// or later from another thread (a paint in its own time).
struct Display {
  enum class Answer { kAtOnce, kLater };
  Display(CaptureLoop& loop, Answer answer) : loop_(loop), answer_(answer) {
    if (answer_ == Answer::kLater) painter_ = std::thread([this] { paint_loop(); });
  }
  ~Display() {
    {
      std::lock_guard<std::mutex> g(m_);
      done_ = true;
    }
    cv_.notify_all();
    if (painter_.joinable()) painter_.join();
  }
  void frame_posted() {
    std::lock_guard<std::mutex> g(m_);
    ++drawn_;
    if (answer_ == Answer::kAtOnce) {
      loop_.go();
    } else {
      posted_ = true;
    }
    cv_.notify_all();
  }
  bool wait_for_frames(int n) {
    std::unique_lock<std::mutex> lk(m_);
    return cv_.wait_for(lk, 20s, [&] { return drawn_ >= n; });
  }
  int drawn() {
    std::lock_guard<std::mutex> g(m_);
    return drawn_;
  }

 private:
  void paint_loop() {
    std::unique_lock<std::mutex> lk(m_);
    for (;;) {
      cv_.wait(lk, [&] { return done_ || posted_; });
      if (done_) return;
      posted_ = false;
      lk.unlock();
      std::this_thread::sleep_for(2ms);
      loop_.go();
      lk.lock();
    }
  }
  CaptureLoop& loop_;
  Answer answer_;
  std::mutex m_;
  std::condition_variable cv_;
  int drawn_ = 0;
  bool posted_ = false;
  bool done_ = false;
  std::thread painter_;
};

// While frames flow, every go is answered by another frame, however the
// paint and the drawing cycle interleave: a go that arrives before the cycle
// that drew has finished must not be lost (the map would freeze).
TEST(Loop, DrawingNeverStallsWhileFramesFlow) {
  for (Display::Answer answer : {Display::Answer::kAtOnce, Display::Answer::kLater}) {
    SCOPED_TRACE(answer == Display::Answer::kAtOnce ? "go at once" : "go later");
    FakeClassifier cl;
    TrafficModel model(&cl, nullptr, nullptr);
    Net* net = net_create(model, "endless");
    CaptureLoop::Options o;
    o.pacing = CaptureLoop::Pacing::kExternal;
    o.step_budget = 1ms;
    o.frame_interval = 0us;
    CaptureLoop loop(model, o);
    Display display(loop, answer);
    loop.on_cycle([&](Net&, bool draw) {
      if (draw) display.frame_posted();
    });
    loop.set_source(std::make_unique<EndlessSource>(50), net);
    loop.start();
    EXPECT_TRUE(display.wait_for_frames(200)) << "frames drawn: " << display.drawn();
    loop.stop();
  }
}

// Without a go nothing is drawn, but frames are still read and the model
// ticks: a hidden map holds no capture back. A quiet source draws no frame
// once the first has been drawn.
TEST(Loop, CaptureAndTicksGoOnWithoutPaints) {
  for (const bool frames : {true, false}) {
    SCOPED_TRACE(frames ? "frames flowing" : "a quiet source");
    FakeClassifier cl;
    TrafficModel model(&cl, nullptr, nullptr);
    Net* net = net_create(model, "n");
    CaptureLoop::Options o;
    o.pacing = CaptureLoop::Pacing::kExternal;
    o.period = 5ms;
    o.step_budget = 1ms;
    o.frame_interval = 0us;
    CaptureLoop loop(model, o);
    std::atomic<int> drawn{0};
    loop.on_cycle([&](Net&, bool draw) {
      if (draw) ++drawn;  // never answered with a go
    });
    if (frames)
      loop.set_source(std::make_unique<EndlessSource>(10), net);
    else
      loop.set_source(std::make_unique<QuietSource>(), net);
    loop.start();
    const auto t0 = std::chrono::steady_clock::now();
    while (loop.cycles() < 20 && std::chrono::steady_clock::now() - t0 < 20s) std::this_thread::sleep_for(1ms);
    loop.go();  // a paint, when frames flowed, asks for the next frame
    const std::uint64_t ticks = loop.cycles();
    while (loop.cycles() < ticks + 20 && std::chrono::steady_clock::now() - t0 < 20s)
      std::this_thread::sleep_for(1ms);
    loop.stop();
    EXPECT_GE(loop.cycles(), 40u);
    EXPECT_EQ(drawn.load(), frames ? 2 : 1);
    MutexLock g(net->lock);
    if (frames) {
      EXPECT_GT(net->counters.frames_seen, 1000u);
    }
  }
}

TEST(Loop, FileAtFullSpeedEndsOnce) {
  const std::string path = temp_path("loop.pcap");
  std::vector<TimedFrame> v;
  FrameSpec s;
  for (int i = 0; i < 5000; ++i) v.push_back({2000, i * 10, make_frame(s), 0});
  ASSERT_TRUE(testing::write_pcap(path, v));
  FakeClassifier cl;
  TrafficModel model(&cl, nullptr, nullptr);
  Net* net = net_create(model, path);
  CaptureLoop::Options o;
  o.run_flat_out = true;
  CaptureLoop loop(model, o);
  std::mutex m;
  std::condition_variable cv;
  int ends = 0;
  std::string err = "unset";
  loop.on_end([&](const std::string& e) {
    std::lock_guard<std::mutex> g(m);
    ++ends;
    err = e;
    cv.notify_all();
  });
  OpenResult r = open_file_source(path, "", 0);
  ASSERT_TRUE(r.source);
  loop.set_source(std::move(r.source), net);
  loop.start();
  {
    std::unique_lock<std::mutex> lk(m);
    ASSERT_TRUE(cv.wait_for(lk, 10s, [&] { return ends > 0; }));
  }
  std::this_thread::sleep_for(300ms);  // further cycles must not end it again
  loop.stop();
  EXPECT_EQ(ends, 1);
  EXPECT_EQ(err, "");
  MutexLock g(net->lock);
  EXPECT_EQ(net->counters.frames_seen, 5000u);
  EXPECT_EQ(link_find(*node_find(*net, NetAddress::ipv4(10, 0, 0, 1)), NetAddress::ipv4(10, 0, 0, 2))->frames,
            5000u);
  std::remove(path.c_str());
}

TEST(Loop, SwappingSourcesWhileRunning) {
  FakeClassifier cl;
  TrafficModel model(&cl, nullptr, nullptr);
  Net* a = net_create(model, "a");
  Net* b = net_create(model, "b");
  CaptureLoop loop(model, {CaptureLoop::Pacing::kSelf, 10ms, 5ms, true});
  loop.set_source(std::make_unique<EndlessSource>(10), a);
  loop.start();
  std::this_thread::sleep_for(100ms);
  std::unique_ptr<PacketSource> old = loop.set_source(std::make_unique<EndlessSource>(10), b);
  ASSERT_NE(old, nullptr);
  const std::uint64_t frozen = static_cast<EndlessSource*>(old.get())->count();
  std::uint64_t a_seen;
  {
    MutexLock g(a->lock);
    a_seen = a->counters.frames_seen;
  }
  EXPECT_EQ(a_seen, frozen);  // nothing reached the old network after the swap
  std::this_thread::sleep_for(100ms);
  loop.stop();
  MutexLock g(a->lock);
  EXPECT_EQ(a->counters.frames_seen, a_seen);
  MutexLock g2(b->lock);
  EXPECT_GT(b->counters.frames_seen, 0u);
}

// Readers on two other threads walk everything a window would show while
// the capture thread feeds frames, the resolver names hosts and the focus
// changes. Meant for ThreadSanitizer; in other builds it checks that the
// totals add up.
TEST(Loop, ReadersWhileFramesFlow) {
  FakeClassifier cl;
  FakeNamer namer;
  SharedFocus focus;
  focus.set(std::make_shared<FocusList>(FocusList{{testing::as_node(cl.tcp), 1}, {testing::as_node(cl.udp), 2}}));
  TrafficModel model(&cl, &namer, &focus);
  Net* net = net_create(model, "endless");
  net_set_current(model, net);
  CaptureLoop loop(model, {CaptureLoop::Pacing::kSelf, 5ms, 2ms, true});
  loop.set_source(std::make_unique<EndlessSource>(300), net);
  loop.start();

  std::atomic<bool> done{false};
  std::atomic<std::uint64_t> walks{0};
  auto reader = [&] {
    while (!done) {
      MutexLock g(net->lock);
      std::uint64_t sent = 0, carried = 0;
      net->host_list.foreach([&](Node* h) {
        sent += h->frames_sent;
        (void)node_display_name(*h);
        h->links.foreach([&](const NetAddress&, std::unique_ptr<Link>& l) {
          carried += l->frames;
          (void)l->dominant_protocol.load();
          for (LinkProtoNode* n = l->protocol_tree; n; n = n->child) (void)n->bytes;
        });
      });
      net->subnets.foreach([&](Subnet* s) { (void)s->host_count; });
      (void)net->top_hosts.snapshot();
      (void)net->top_links.snapshot();
      EXPECT_EQ(sent, carried);
      EXPECT_EQ(sent, net->counters.frames_accepted);
      walks.fetch_add(1);
    }
  };
  std::thread r1(reader), r2(reader);
  std::thread resolver([&] {
    while (!done) {
      namer.answer_all({{"10.0.0.1", "one.example"}, {"10.0.0.7", "seven"}});
      std::this_thread::sleep_for(1ms);
    }
  });
  std::thread focus_changer([&] {
    int i = 0;
    while (!done) {
      focus.set(std::make_shared<FocusList>(FocusList{{testing::as_node(cl.http), i++ % 30}}));
      link_refresh_dominant_all(*net);
      std::this_thread::sleep_for(2ms);
    }
  });
  const auto t0 = std::chrono::steady_clock::now();
  while (std::chrono::steady_clock::now() - t0 < 2s && (walks < 50 || loop.cycles() < 20))
    std::this_thread::sleep_for(10ms);
  done = true;
  r1.join();
  r2.join();
  resolver.join();
  focus_changer.join();
  loop.stop();
  EXPECT_GT(walks.load(), 0u);
  EXPECT_GT(loop.cycles(), 0u);
  MutexLock g(net->lock);
  EXPECT_EQ(net->hosts.count() > 0, true);
}

}  // namespace
}  // namespace tarnix

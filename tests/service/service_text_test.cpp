// What the service face writes: JSON text of wire values, the metrics
// exposition, and the access rules of the service port.
#include <gtest/gtest.h>

#include <map>
#include <set>
#include <sstream>

#include "service/access.h"
#include "service/json_text.h"
#include "service/metrics.h"

namespace tarnix::service {
namespace {

TEST(JsonQuote, WireTextBecomesOneValidString) {
  struct Case {
    std::string raw;
    std::string want;
  } cases[] = {
      {"plain", "\"plain\""},
      {"a\"b\\c", "\"a\\\"b\\\\c\""},
      {"line\nend\ttab", "\"line\\nend\\ttab\""},
      {std::string("nul\0x", 5), "\"nul\\u0000x\""},
      {"\x1b[31mred", "\"\\u001b[31mred\""},
      {"del\x7f", "\"del\\u007f\""},
      {"\xc2\x9b"
       "csi",
       "\"\\u009bcsi\""},                                            // a C1 control spelt in UTF-8
      {"caf\xc3\xa9 \xe2\x82\xac", "\"caf\xc3\xa9 \xe2\x82\xac\""},  // well-formed UTF-8 passes
      {"\xf0\x9f\x98\x80", "\"\xf0\x9f\x98\x80\""},
      {"bad\xff", "\"bad\xef\xbf\xbd\""},                            // not UTF-8 at all
      {"\xc0\xaf", "\"\xef\xbf\xbd\xef\xbf\xbd\""},                  // overlong '/'
      {"\xed\xa0\x80", "\"\xef\xbf\xbd\xef\xbf\xbd\xef\xbf\xbd\""},  // a surrogate
      {"cut\xe2\x82", "\"cut\xef\xbf\xbd\xef\xbf\xbd\""},            // sequence cut short at the end
  };
  for (const Case& c : cases) EXPECT_EQ(json_quote(c.raw), c.want) << c.raw;
}

TEST(PrometheusLabel, EscapesWhatTheFormatReadsAndKeepsItValidUtf8) {
  EXPECT_EQ(prometheus_label_value("a\"b\\c\nd"), "a\\\"b\\\\c\\nd");
  EXPECT_EQ(prometheus_label_value("esc\x1b"), "esc\xef\xbf\xbd");
  EXPECT_EQ(prometheus_label_value("x\xff"), "x\xef\xbf\xbd");
  EXPECT_EQ(prometheus_label_value("t\tu"), "t u");
}

// Reads an exposition back: each family's declared type, and every sample's
// name and labels as written.
struct Exposition {
  std::map<std::string, std::string> types;
  std::set<std::string> helped;
  std::vector<std::pair<std::string, std::string>> samples;  // name, {labels}
};

Exposition parse(const std::string& text) {
  Exposition e;
  std::istringstream in(text);
  for (std::string line; std::getline(in, line);) {
    if (line.rfind("# TYPE ", 0) == 0) {
      std::istringstream words(line.substr(7));
      std::string name, type;
      words >> name >> type;
      EXPECT_FALSE(e.types.count(name)) << "declared twice: " << name;
      e.types[name] = type;
    } else if (line.rfind("# HELP ", 0) == 0) {
      e.helped.insert(line.substr(7, line.find(' ', 7) - 7));
    } else {
      const std::size_t brace = line.find('{');
      EXPECT_NE(brace, std::string::npos) << line;
      if (brace == std::string::npos) continue;
      e.samples.emplace_back(line.substr(0, brace), line.substr(brace, line.rfind('}') - brace + 1));
    }
  }
  return e;
}

TEST(Metrics, FamiliesHaveTheirTypeAndEverySampleIsDeclared) {
  MetricsSnapshot s;
  s.sensor = "lab";
  s.interface = "eth0";
  s.recording = true;
  s.alarms = {{"busy", 3}, {"busy", 2}, {"quiet", 0}};
  s.top_hosts = {{"10.0.0.1", {}, {}, 5, 500}};
  s.top_links = {{"10.0.0.1", "10.0.0.2", "HTTP", 4, 400}};
  const Exposition e = parse(render_metrics(s));
  const std::map<std::string, std::string> want = {
      {"tarnix_frames_seen_total", "counter"},
      {"tarnix_frames_counted_total", "counter"},
      {"tarnix_frames_filtered_total", "counter"},
      {"tarnix_bytes_total", "counter"},
      {"tarnix_dropped_frames_total", "counter"},
      {"tarnix_hosts", "gauge"},
      {"tarnix_hosts_active", "gauge"},
      {"tarnix_links", "gauge"},
      {"tarnix_links_active", "gauge"},
      {"tarnix_evicted_hosts_total", "counter"},
      {"tarnix_evicted_links_total", "counter"},
      {"tarnix_load_percent", "gauge"},
      {"tarnix_http_requests_recorded_total", "counter"},
      {"tarnix_tls_names_recorded_total", "counter"},
      {"tarnix_requests_waiting", "gauge"},
      {"tarnix_requests_dropped_total", "counter"},
      {"tarnix_duplicate_addresses", "gauge"},
      {"tarnix_name_lookups_waiting", "gauge"},
      {"tarnix_name_lookups_refused_total", "counter"},
      {"tarnix_capture_reopens_total", "counter"},
      {"tarnix_alarm_firings_total", "counter"},
      {"tarnix_host_bytes_total", "counter"},
      {"tarnix_host_frames_total", "counter"},
      {"tarnix_link_bytes_total", "counter"},
      {"tarnix_link_frames_total", "counter"},
  };
  for (const auto& [name, type] : want) {
    ASSERT_TRUE(e.types.count(name)) << name;
    EXPECT_EQ(e.types.at(name), type) << name;
  }
  for (const auto& [name, type] : e.types) {
    EXPECT_TRUE(e.helped.count(name)) << name;
    EXPECT_EQ(type == "counter", name.size() > 6 && name.substr(name.size() - 6) == "_total") << name;
  }
  std::set<std::string> series;
  for (const auto& [name, labels] : e.samples) {
    EXPECT_TRUE(e.types.count(name)) << "undeclared " << name;
    EXPECT_EQ(labels.rfind("{sensor=\"lab\",interface=\"eth0\"", 0), 0u) << labels;
    EXPECT_TRUE(series.insert(name + labels).second) << "series twice: " << name << labels;
  }
  // Two alarms of one name are one series with their firings added.
  EXPECT_NE(render_metrics(s).find(
                "tarnix_alarm_firings_total{sensor=\"lab\",interface=\"eth0\",alarm=\"busy\"} 5\n"),
            std::string::npos);
}

TEST(Metrics, RequestFamiliesOnlyWhenRecording) {
  MetricsSnapshot s;
  EXPECT_EQ(parse(render_metrics(s)).types.count("tarnix_http_requests_recorded_total"), 0u);
}

TEST(Metrics, AHostileHostNameStaysInsideItsLabel) {
  MetricsSnapshot s;
  s.top_hosts = {{"evil\"} 1\ntarnix_fake_total{x=\"", {}, {}, 1, 1}};
  const Exposition e = parse(render_metrics(s));
  for (const auto& [name, labels] : e.samples) EXPECT_NE(name, "tarnix_fake_total");
}

TEST(Access, TokensMatchOnlyWhenEqual) {
  struct Case {
    const char* expected;
    const char* given;
    bool match;
  } cases[] = {
      {"s3cret-token", "s3cret-token", true},
      {"s3cret-token", "s3cret-tokeN", false},
      {"s3cret-token", "s3cret-toke", false},
      {"s3cret-token", "s3cret-token!", false},
      {"s3cret-token", "", false},
      {"", "", false},
  };
  for (const Case& c : cases) EXPECT_EQ(token_matches(c.expected, c.given), c.match) << c.given;
  EXPECT_FALSE(token_matches("abc", std::string_view("abc\0", 4)));
}

TEST(Access, BearerTokenIsReadFromItsHeaderOnly) {
  struct Case {
    const char* header;
    const char* token;
  } cases[] = {
      {"Bearer abc", "abc"}, {"bearer  abc ", "abc"}, {"BEARER x.y", "x.y"},
      {"Basic YWJj", ""},    {"Bearer", ""},          {"", ""},
  };
  for (const Case& c : cases) EXPECT_EQ(bearer_token(c.header), c.token) << c.header;
}

TEST(Access, ListenAddresses) {
  struct Case {
    const char* text;
    bool ok;
    const char* host;
    int port;
    bool loopback;
  } cases[] = {
      {"9100", true, "127.0.0.1", 9100, true},
      {"127.0.0.2:80", true, "127.0.0.2", 80, true},
      {"0.0.0.0:9100", true, "0.0.0.0", 9100, false},
      {"10.1.2.3:1", true, "10.1.2.3", 1, false},
      {"0", false, "", 0, false},
      {"65536", false, "", 0, false},
      {"host:9100", false, "", 0, false},
      {"10.1.2.3:", false, "", 0, false},
      {"9100x", false, "", 0, false},
      {"", false, "", 0, false},
  };
  for (const Case& c : cases) {
    ListenAddress a;
    std::string error;
    ASSERT_EQ(parse_listen(c.text, a, error), c.ok) << c.text;
    if (!c.ok) {
      EXPECT_FALSE(error.empty());
      continue;
    }
    EXPECT_EQ(a.host, c.host);
    EXPECT_EQ(a.port, c.port);
    EXPECT_EQ(a.loopback(), c.loopback) << c.text;
  }
}

}  // namespace
}  // namespace tarnix::service

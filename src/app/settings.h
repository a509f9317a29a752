// The persisted settings: plain values loaded once at start-up and saved once
// at shut-down, kept in the INI file of QSettings ("Halvard Software"/"Tarnix",
// group "1.3").
#pragma once

#include <QSettings>
#include <QString>
#include <QStringList>
#include <atomic>
#include <map>

namespace tarnix::app {

// A value that the user-interface thread changes (menus, Controls) while the
// capture thread reads it once per use. Each access is one atomic load or
// store, so readers never see a torn value and ThreadSanitizer stays quiet.
template <typename T>
class Tunable {
 public:
  Tunable() = default;
  Tunable(T v) : v_(v) {}  // NOLINT(google-explicit-constructor)
  Tunable(const Tunable& o) : v_(o.get()) {}
  Tunable& operator=(const Tunable& o) {
    set(o.get());
    return *this;
  }
  Tunable& operator=(T v) {
    set(v);
    return *this;
  }
  operator T() const { return get(); }  // NOLINT(google-explicit-constructor)
  T get() const { return v_.load(std::memory_order_relaxed); }
  void set(T v) { v_.store(v, std::memory_order_relaxed); }

 private:
  std::atomic<T> v_{};
};

struct Settings {
  // Texts.
  QString ethers;
  QString manufacturers;
  QString cfdump;
  QString alarms;
  QString protocols;
  QString dbpath;
  QString focus;
  // The database: empty "db connect" and "db server" 0 keep the SQLite file
  // in "dbpath"; "db server" 1 is a PostgreSQL server of our own with its
  // data in "dbpath"; a "db connect" string names a server shared with other
  // sensors. "sensor" names this one (empty: the host name).
  QString db_connect;
  QString sensor;
  // Reals (the two time-outs are stored as reals and held as whole seconds).
  Tunable<double> font_size;
  Tunable<double> link_scale;
  Tunable<double> node_scale;
  Tunable<double> max_node_radius;
  Tunable<int> node_timeout;
  Tunable<int> link_timeout;
  Tunable<double> net_size;
  Tunable<double> sample_interval;
  // Numbers.
  Tunable<int> max_link_width;
  Tunable<int> dynamic;
  Tunable<int> bytes;
  Tunable<int> show_name;
  Tunable<int> show_manufacturers;
  Tunable<int> snaplen;
  Tunable<int> dynamic_links;
  // Bounds of the model's hosts and links (0: none).
  Tunable<int> max_hosts;
  Tunable<int> max_links;
  Tunable<int> db_prune_time;
  Tunable<int> db_server;
  Tunable<int> interface;
  // Record the server names of TLS handshakes as HTTPS visits (read once,
  // when recording starts).
  Tunable<int> tls_names;
  // Ask the name service for host names (0: no query at all, as
  // --no-resolve), and name hosts by what DNS, mDNS, LLMNR and DHCP traffic
  // says (read at start).
  Tunable<int> resolve_names;
  Tunable<int> heard_names;
  // Window placements and column widths, by key ("wnode 0", "wnode x", ...).
  // Touched by the user-interface thread only.
  std::map<QString, int> placement;

  // A placement value; 0 for a key that was never loaded.
  int place(const QString& key) const;
  void set_place(const QString& key, int value) { placement[key] = value; }
};

// The keys of the settings, in the order settings_save writes them.
QStringList settings_save_order();
// Every key settings_load reads, in its order.
QStringList settings_load_order();

// The per-user settings store: INI file, organisation "Halvard Software",
// application "Tarnix".
QString settings_file_path();

// Reads every setting from group "1.3" of the store, writing the default of
// each missing value back under the key. Returns false, leaving `s` as it was,
// when the store cannot be opened for reading and writing.
bool settings_load(Settings& s, QSettings& store);
bool settings_load(Settings& s);

// Writes the saved settings in their fixed order. "ethers", "manufacturers",
// "dbpath", "bytes", "show manufacturers" and "snaplen" are never written back.
bool settings_save(const Settings& s, QSettings& store);
bool settings_save(const Settings& s);

// The group under which the values live.
inline constexpr const char* kSettingsGroup = "1.3";

}  // namespace tarnix::app

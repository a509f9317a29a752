#include "app/settings.h"

#include <QFile>
#include <QFileInfo>
#include <QLocale>
#include <charconv>
#include <cstdio>
#include <cstdlib>
#include <vector>

#include "os/files.h"

namespace tarnix::app {
namespace {

enum class Form { Text, Real, RealWhole, Number };

struct KeySpec {
  const char* name;
  Form form;
  QString Settings::*text = nullptr;
  Tunable<double> Settings::*real = nullptr;
  Tunable<int> Settings::*whole = nullptr;
  const char* text_default = nullptr;
  double value_default = 0;
};

KeySpec text(const char* n, QString Settings::*m, const char* d) {
  return {n, Form::Text, m, nullptr, nullptr, d, 0};
}
KeySpec real(const char* n, Tunable<double> Settings::*m, double d) {
  return {n, Form::Real, nullptr, m, nullptr, nullptr, d};
}
KeySpec real_whole(const char* n, Tunable<int> Settings::*m, double d) {
  return {n, Form::RealWhole, nullptr, nullptr, m, nullptr, d};
}
KeySpec number(const char* n, Tunable<int> Settings::*m, int d) {
  return {n, Form::Number, nullptr, nullptr, m, nullptr, double(d)};
}

// The scalar settings in load order: texts first, then reals and numbers.
const std::vector<KeySpec>& scalar_keys() {
  static const std::vector<KeySpec> keys = {
      text("ethers", &Settings::ethers, ".\\ethers"),
      text("manufacturers", &Settings::manufacturers, ".\\manf"),
      text("cfdump", &Settings::cfdump, ".\\cfdump.bin"),
      text("alarms", &Settings::alarms, ".\\alarm.adl"),
      text("protocols", &Settings::protocols, ".\\protocol.pdl"),
      text("dbpath", &Settings::dbpath, ".\\"),
      text("focus", &Settings::focus, "IP Networking"),
      text("db connect", &Settings::db_connect, ""),
      text("sensor", &Settings::sensor, ""),
      real("font size", &Settings::font_size, 0.5),
      real("link scale", &Settings::link_scale, 0.6),
      real("node scale", &Settings::node_scale, 0.2),
      real("max node radius", &Settings::max_node_radius, 0.5),
      real_whole("node timeout", &Settings::node_timeout, 10),
      real_whole("link timeout", &Settings::link_timeout, 5),
      real("net size", &Settings::net_size, 55),
      number("max link width", &Settings::max_link_width, 100),
      number("dynamic", &Settings::dynamic, 1),
      number("bytes", &Settings::bytes, 1),
      number("show name", &Settings::show_name, 1),
      number("show manufacturers", &Settings::show_manufacturers, 0),
      number("snaplen", &Settings::snaplen, 250),
      number("dynamic links", &Settings::dynamic_links, 1),
      number("max hosts", &Settings::max_hosts, 100000),
      number("max links", &Settings::max_links, 200000),
      real("sample interval", &Settings::sample_interval, 1),
      number("DB prune time", &Settings::db_prune_time, 28),
      number("db server", &Settings::db_server, 0),
      number("interface", &Settings::interface, 0),
      number("TLS names", &Settings::tls_names, 1),
      number("resolve names", &Settings::resolve_names, 1),
      number("heard names", &Settings::heard_names, 1),
  };
  return keys;
}

const KeySpec* find_scalar(const QString& key) {
  for (const KeySpec& k : scalar_keys())
    if (key == QLatin1String(k.name)) return &k;
  return nullptr;
}

struct WindowSpec {
  const char* prefix;
  int columns;
  int column_default;
  int x;
  int y;
};

const std::vector<WindowSpec>& windows() {
  static const std::vector<WindowSpec> w = {
      {"wnode", 5, 150, 400, 200},  {"wnet", 6, 150, 400, 200},   {"host", 2, 200, 200, 200},
      {"link", 3, 150, 400, 200},   {"alarm", 2, 150, 400, 200},  {"wurl", 4, 150, 200, 400},
      {"url", 2, 150, 200, 400},    {"wnurls", 2, 150, 200, 400}, {"wnurld", 2, 150, 200, 400},
      {"server", 2, 150, 400, 200}, {"client", 2, 150, 400, 200},
  };
  return w;
}

void window_keys(const char* prefix, std::vector<std::pair<QString, int>>& out) {
  for (const WindowSpec& w : windows()) {
    if (qstrcmp(w.prefix, prefix) != 0) continue;
    for (int i = 0; i < w.columns; ++i)
      out.emplace_back(QStringLiteral("%1 %2").arg(QLatin1String(w.prefix)).arg(i), w.column_default);
    out.emplace_back(QStringLiteral("%1 x").arg(QLatin1String(w.prefix)), w.x);
    out.emplace_back(QStringLiteral("%1 y").arg(QLatin1String(w.prefix)), w.y);
  }
}

void output_keys(std::vector<std::pair<QString, int>>& out) {
  for (int i = 0; i < 4; ++i) out.emplace_back(QStringLiteral("output url%1").arg(i), 200);
  for (int i = 0; i < 2; ++i) out.emplace_back(QStringLiteral("output alarm%1").arg(i), 200);
  out.emplace_back(QStringLiteral("output split"), 66);
}

// Every placement key with its default, in save order.
const std::vector<std::pair<QString, int>>& placement_keys() {
  static const std::vector<std::pair<QString, int>> keys = [] {
    std::vector<std::pair<QString, int>> k;
    for (const char* p :
         {"wnode", "wnet", "host", "link", "alarm", "wurl", "url", "wnurls", "wnurld", "server", "client"})
      window_keys(p, k);
    output_keys(k);
    return k;
  }();
  return keys;
}

// Save order: a name is either a scalar key or a window prefix ("@wnode") or
// the output window keys ("@output").
const QStringList& save_plan() {
  static const QStringList plan = {
      "cfdump",        "alarms",          "protocols",       "focus",        "font size",      "link scale",
      "node scale",    "max node radius", "node timeout",    "link timeout", "max link width", "dynamic",
      "show name",     "@wnode",          "@wnet",           "@host",        "@link",          "@alarm",
      "dynamic links", "net size",        "sample interval", "@wurl",        "@url",           "@wnurls",
      "@wnurld",       "@server",         "@client",         "@output",      "db connect",     "db server",
      "sensor",        "DB prune time",   "interface",       "TLS names",    "resolve names",  "heard names",
      "max hosts",     "max links",
  };
  return plan;
}

// Numbers are stored in the C locale whatever the user's: the desktop
// program runs in the user's locale, where "0.5" may be written "0,5".
QString real_text(double v) {
  return QLocale::c().toString(v, 'f', 6);
}

void diag(const char* fmt, const QString& key, const QString& value) {
  std::fprintf(stderr, fmt, key.toLocal8Bit().constData(), value.toLocal8Bit().constData());
}

// Decimal text to double the way atof reads it in the C locale (leading
// number, rest ignored); false when no number starts the text.
bool parse_real(const QString& text, double& out) {
  const QByteArray b = text.trimmed().toLatin1();
  const char* begin = b.constData();
  const char* const end = begin + b.size();
  if (begin != end && *begin == '+') ++begin;
  double v = 0;
  const auto [stop, ec] = std::from_chars(begin, end, v);
  // Out of a double's range counts as no number: the default is better
  // than infinity or zero for any of these settings.
  if (ec != std::errc() || stop == begin) return false;
  out = v;
  return true;
}

bool parse_number(const QString& text, int& out) {
  bool ok = false;
  int v = text.trimmed().toInt(&ok);
  if (ok) {
    out = v;
    return true;
  }
  double d = 0;
  if (parse_real(text, d) && d >= -2147483648.0 && d <= 2147483647.0) {
    out = int(d);
    return true;
  }
  return false;
}

// QSettings makes its folder and file with the umask's modes, and keeps the
// mode of a file that exists: made here first, both are the user's alone.
void make_store_private(const QSettings& store) {
  if (store.format() != QSettings::IniFormat) return;
  const QString file = store.fileName();
  if (file.isEmpty() || QFileInfo::exists(file)) return;
  const QByteArray path = QFile::encodeName(file);
  const QByteArray dir = QFile::encodeName(QFileInfo(file).absolutePath());
  if (os::make_private_dirs(dir.toStdString())) os::ensure_private_file(path.toStdString());
}

bool store_usable(QSettings& store) {
  make_store_private(store);
  if (store.status() != QSettings::NoError || !store.isWritable()) {
    std::fprintf(stderr, "settings_load: cannot open %s for reading and writing\n",
                 store.fileName().toLocal8Bit().constData());
    return false;
  }
  return true;
}

void load_scalar(Settings& s, const KeySpec& k, QSettings& store) {
  const QString key = QLatin1String(k.name);
  const bool present = store.contains(key);
  const QString stored = present ? store.value(key).toString() : QString();
  switch (k.form) {
    case Form::Text:
      if (present) {
        s.*k.text = stored;
      } else {
        store.setValue(key, QString::fromLatin1(k.text_default));
        s.*k.text = QString::fromLatin1(k.text_default);
      }
      break;
    case Form::Real:
    case Form::RealWhole: {
      double v = k.value_default;
      if (!present) {
        store.setValue(key, real_text(k.value_default));
      } else if (!parse_real(stored, v)) {
        diag("settings_load: Warning - \"%s\" holds no number (%s), using its default\n", key, stored);
        v = k.value_default;
      }
      if (k.form == Form::Real) {
        (s.*k.real).set(v);
      } else {
        // Whole seconds: truncated toward zero, clamped into the int range.
        if (v > 2147483647.0) v = 2147483647.0;
        if (v < -2147483648.0) v = -2147483648.0;
        (s.*k.whole).set(int(v));
      }
      break;
    }
    case Form::Number: {
      int v = int(k.value_default);
      if (!present) {
        store.setValue(key, v);
      } else if (!parse_number(stored, v)) {
        diag("settings_load: Warning - \"%s\" holds no number (%s), using its default\n", key, stored);
        v = int(k.value_default);
      }
      (s.*k.whole).set(v);
      break;
    }
  }
}

void save_scalar(const Settings& s, const KeySpec& k, QSettings& store) {
  const QString key = QLatin1String(k.name);
  switch (k.form) {
    case Form::Text:
      store.setValue(key, s.*k.text);
      break;
    case Form::Real:
      store.setValue(key, real_text((s.*k.real).get()));
      break;
    case Form::RealWhole:
      store.setValue(key, real_text(double((s.*k.whole).get())));
      break;
    case Form::Number:
      store.setValue(key, (s.*k.whole).get());
      break;
  }
}

}  // namespace

int Settings::place(const QString& key) const {
  auto it = placement.find(key);
  return it == placement.end() ? 0 : it->second;
}

QStringList settings_load_order() {
  QStringList out;
  for (const KeySpec& k : scalar_keys()) out << QLatin1String(k.name);
  for (const auto& [key, def] : placement_keys()) out << key;
  return out;
}

QStringList settings_save_order() {
  QStringList out;
  for (const QString& step : save_plan()) {
    if (!step.startsWith(QLatin1Char('@'))) {
      out << step;
      continue;
    }
    std::vector<std::pair<QString, int>> keys;
    if (step == QLatin1String("@output"))
      output_keys(keys);
    else
      window_keys(step.mid(1).toLatin1().constData(), keys);
    for (const auto& [key, def] : keys) out << key;
  }
  return out;
}

QString settings_file_path() {
  QSettings store(QSettings::IniFormat, QSettings::UserScope, QStringLiteral("Halvard Software"),
                  QStringLiteral("Tarnix"));
  return store.fileName();
}

bool settings_load(Settings& s, QSettings& store) {
  if (!store_usable(store)) return false;
  store.beginGroup(QLatin1String(kSettingsGroup));
  for (const KeySpec& k : scalar_keys()) load_scalar(s, k, store);
  for (const auto& [key, def] : placement_keys()) {
    int v = def;
    if (!store.contains(key)) {
      store.setValue(key, def);
    } else if (!parse_number(store.value(key).toString(), v)) {
      diag("settings_load: Warning - \"%s\" holds no number (%s), using its default\n", key,
           store.value(key).toString());
      v = def;
    }
    s.placement[key] = v;
  }
  store.endGroup();
  store.sync();
  return true;
}

bool settings_save(const Settings& s, QSettings& store) {
  make_store_private(store);
  if (!store.isWritable()) {
    std::fprintf(stderr, "settings_save: cannot open %s for writing\n",
                 store.fileName().toLocal8Bit().constData());
    return false;
  }
  store.beginGroup(QLatin1String(kSettingsGroup));
  for (const QString& key : settings_save_order()) {
    if (const KeySpec* k = find_scalar(key))
      save_scalar(s, *k, store);
    else
      store.setValue(key, s.place(key));
  }
  store.endGroup();
  store.sync();
  return store.status() == QSettings::NoError;
}

bool settings_load(Settings& s) {
  QSettings store(QSettings::IniFormat, QSettings::UserScope, QStringLiteral("Halvard Software"),
                  QStringLiteral("Tarnix"));
  return settings_load(s, store);
}

bool settings_save(const Settings& s) {
  QSettings store(QSettings::IniFormat, QSettings::UserScope, QStringLiteral("Halvard Software"),
                  QStringLiteral("Tarnix"));
  return settings_save(s, store);
}

}  // namespace tarnix::app

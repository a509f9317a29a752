#include "naming/ethers.h"

#include <algorithm>
#include <cctype>
#include <cstdio>
#include <fstream>
#include <sstream>

#include "core/host_name.h"

namespace tarnix {

namespace {

int hex_digit(char c) {
  if (c >= '0' && c <= '9') return c - '0';
  if (c >= 'a' && c <= 'f') return c - 'a' + 10;
  if (c >= 'A' && c <= 'F') return c - 'A' + 10;
  return -1;
}

std::string_view trim(std::string_view s) {
  while (!s.empty() && std::isspace(static_cast<unsigned char>(s.front()))) s.remove_prefix(1);
  while (!s.empty() && std::isspace(static_cast<unsigned char>(s.back()))) s.remove_suffix(1);
  return s;
}

// Splits at runs of blanks and tabs.
std::vector<std::string_view> fields(std::string_view line) {
  std::vector<std::string_view> out;
  std::size_t i = 0;
  while (i < line.size()) {
    while (i < line.size() && (line[i] == ' ' || line[i] == '\t')) ++i;
    std::size_t j = i;
    while (j < line.size() && line[j] != ' ' && line[j] != '\t') ++j;
    if (j > i) out.push_back(line.substr(i, j - i));
    i = j;
  }
  return out;
}

bool read_file(const std::string& path, std::string& out) {
  std::ifstream in(path, std::ios::binary);
  if (!in) return false;
  std::ostringstream s;
  s << in.rdbuf();
  out = s.str();
  return !in.bad();
}

template <typename F>
void each_line(std::string_view text, F&& f) {
  int number = 0;
  while (!text.empty()) {
    const std::size_t end = text.find('\n');
    std::string_view line = text.substr(0, end);
    if (!line.empty() && line.back() == '\r') line.remove_suffix(1);
    f(++number, line);
    if (end == std::string_view::npos) break;
    text.remove_prefix(end + 1);
  }
}

void problem(std::vector<NameFileProblem>* problems, const std::string& file, int line, std::string message) {
  if (problems != nullptr) problems->push_back({file, line, std::move(message)});
}

// Hexadecimal digits only, at most 12 (48 bits).
bool parse_hex_digits(std::string_view s, std::uint64_t& value) {
  if (s.empty() || s.size() > 12) return false;
  value = 0;
  for (char c : s) {
    const int d = hex_digit(c);
    if (d < 0) return false;
    value = value << 4 | static_cast<std::uint64_t>(d);
  }
  return true;
}

// The fields of one CSV line; quoted fields may hold commas and doubled quotes.
std::vector<std::string> csv_fields(std::string_view line) {
  std::vector<std::string> out(1);
  bool quoted = false;
  for (std::size_t i = 0; i < line.size(); ++i) {
    const char c = line[i];
    if (quoted) {
      if (c == '"' && i + 1 < line.size() && line[i + 1] == '"') {
        out.back() += '"';
        ++i;
      } else if (c == '"') {
        quoted = false;
      } else {
        out.back() += c;
      }
    } else if (c == '"') {
      quoted = true;
    } else if (c == ',') {
      out.emplace_back();
    } else {
      out.back() += c;
    }
  }
  return out;
}

}  // namespace

std::uint64_t ether_key(const std::uint8_t* six) {
  std::uint64_t k = 0;
  for (int i = 0; i < 6; ++i) k = k << 8 | six[i];
  return k;
}

bool parse_ether_strict(std::string_view text, std::uint8_t out[6]) {
  int n = 0;
  std::size_t i = 0;
  while (n < 6) {
    int digits = 0, value = 0;
    while (i < text.size() && digits < 2 && hex_digit(text[i]) >= 0) {
      value = value * 16 + hex_digit(text[i]);
      ++digits;
      ++i;
    }
    if (digits == 0) return false;
    out[n++] = static_cast<std::uint8_t>(value);
    if (n == 6) break;
    if (i >= text.size() || (text[i] != ':' && text[i] != '-')) return false;
    ++i;
  }
  return i == text.size();
}

// --- ethers -------------------------------------------------------------------

bool EtherNames::load(const std::string& path, std::vector<NameFileProblem>* problems) {
  std::string text;
  if (!read_file(path, text)) return false;
  load_text(text, path, problems);
  return true;
}

void EtherNames::load_text(std::string_view text, const std::string& file,
                           std::vector<NameFileProblem>* problems) {
  each_line(text, [&](int number, std::string_view line) {
    line = trim(line.substr(0, line.find('#')));
    if (line.empty()) return;
    const std::vector<std::string_view> f = fields(line);
    std::uint8_t mac[6];
    if (!parse_ether_strict(f[0], mac)) {
      problem(problems, file, number, "not an Ethernet address: " + std::string(f[0]));
      return;
    }
    if (f.size() < 2) {
      problem(problems, file, number, "no name after " + std::string(f[0]));
      return;
    }
    std::string_view name = f[1];
    if (!name.empty() && name.back() == '.') name.remove_suffix(1);
    if (!is_valid_host_name(name) && !is_ipv4_text(name)) {
      problem(problems, file, number, "not a host name: " + std::string(f[1]));
      return;
    }
    names_[ether_key(mac)] = std::string(name);
  });
}

std::string_view EtherNames::name_of(const NetAddress& ether) const {
  if (ether.type != &kEtherAddressType) return {};
  auto it = names_.find(ether_key(ether.bytes));
  return it == names_.end() ? std::string_view() : std::string_view(it->second);
}

// --- manufacturers ------------------------------------------------------------

std::string Manufacturers::short_of(std::string_view organisation) {
  organisation = trim(organisation);
  std::string out;
  for (char c : organisation) {
    if (c == ' ' || c == '\t' || c == ',') {
      if (!out.empty()) break;
      continue;
    }
    if (std::isalnum(static_cast<unsigned char>(c)) || c == '-') out += c;
    if (out.size() == 8) break;
  }
  return out;
}

void Manufacturers::add(int bits, std::uint64_t prefix, Maker maker) {
  if (bits <= 0 || bits > 48) return;
  const std::uint64_t mask = bits == 48 ? ~0ull >> 16 : ((1ull << bits) - 1) << (48 - bits);
  by_bits_[bits][prefix & mask] = std::move(maker);
}

const Manufacturers::Maker* Manufacturers::find(const NetAddress& ether) const {
  if (ether.type != &kEtherAddressType) return nullptr;
  const std::uint64_t key = ether_key(ether.bytes);
  for (const auto& [bits, table] : by_bits_) {
    const std::uint64_t mask = bits == 48 ? ~0ull >> 16 : ((1ull << bits) - 1) << (48 - bits);
    auto it = table.find(key & mask);
    if (it != table.end()) return &it->second;
  }
  return nullptr;
}

std::string Manufacturers::label(const NetAddress& ether) const {
  const Maker* m = find(ether);
  if (m == nullptr || m->short_name.empty()) return netaddr_text(ether);
  char tail[9];
  std::snprintf(tail, sizeof tail, "%02x:%02x:%02x", ether.bytes[3], ether.bytes[4], ether.bytes[5]);
  return m->short_name + "_" + tail;
}

std::size_t Manufacturers::size() const {
  std::size_t n = 0;
  for (const auto& [bits, table] : by_bits_) n += table.size();
  return n;
}

bool Manufacturers::load(const std::string& path, std::vector<NameFileProblem>* problems) {
  std::string text;
  if (!read_file(path, text)) return false;
  load_text(text, path, problems);
  return true;
}

void Manufacturers::load_text(std::string_view text, const std::string& file,
                              std::vector<NameFileProblem>* problems) {
  // oui.txt lists each block as "XX-XX-XX (hex) Org" followed by
  // "LOW-HIGH (base 16) Org" (or "XXXXXX (base 16)" for a whole MA-L).
  std::uint64_t txt_block = 0;
  bool have_block = false;
  // Its headings and address lines are neither: only the two kinds count.
  const bool ieee_txt = text.find("(base 16)") != std::string_view::npos;
  // A quoted CSV address may run over several lines.
  bool in_quotes = false;
  each_line(text, [&](int number, std::string_view raw) {
    const bool odd_quotes = std::count(raw.begin(), raw.end(), '"') % 2 == 1;
    if (in_quotes) {
      in_quotes = !odd_quotes;
      return;
    }
    in_quotes = odd_quotes;
    std::string_view line = trim(raw);
    if (line.empty() || line.front() == '#') return;
    if (line.starts_with("Registry,")) return;  // the CSV heading
    if (line.starts_with("MA-L,") || line.starts_with("MA-M,") || line.starts_with("MA-S,") ||
        line.starts_with("IAB,")) {
      const std::vector<std::string> f = csv_fields(line);
      std::uint64_t value = 0;
      if (f.size() < 3 || (f[1].size() != 6 && f[1].size() != 7 && f[1].size() != 9) ||
          !parse_hex_digits(f[1], value)) {
        problem(problems, file, number, "bad registry line");
        return;
      }
      const int bits = static_cast<int>(f[1].size()) * 4;
      add(bits, value << (48 - bits), Maker{short_of(f[2]), std::string(trim(f[2]))});
      return;
    }
    if (const std::size_t hex = line.find("(hex)"); hex != std::string_view::npos) {
      const std::string three(trim(line.substr(0, hex)));
      std::uint64_t v = 0;
      std::string digits;
      for (char c : three)
        if (c != '-' && c != ':') digits += c;
      have_block = digits.size() == 6 && parse_hex_digits(digits, v);
      txt_block = v;
      return;
    }
    if (const std::size_t b16 = line.find("(base 16)"); b16 != std::string_view::npos) {
      const std::string_view range = trim(line.substr(0, b16));
      const std::string org(trim(line.substr(b16 + 9)));
      const std::size_t dash = range.find('-');
      std::uint64_t v = 0;
      if (dash == std::string_view::npos) {
        if (range.size() != 6 || !parse_hex_digits(range, v)) {
          problem(problems, file, number, "bad registry line");
          return;
        }
        add(24, v << 24, Maker{short_of(org), org});
        return;
      }
      // LOW-HIGH: the digits both share, before the rest runs 0..F, extend
      // the block's three bytes.
      const std::string_view lo = range.substr(0, dash), hi = range.substr(dash + 1);
      if (!have_block || lo.size() != 6 || hi.size() != 6) {
        problem(problems, file, number, "bad registry range");
        return;
      }
      std::size_t same = 0;
      while (same < 6 && lo[same] == hi[same]) ++same;
      if (lo.substr(same).find_first_not_of('0') != std::string_view::npos ||
          hi.substr(same).find_first_not_of("Ff") != std::string_view::npos ||
          (same > 0 && !parse_hex_digits(lo.substr(0, same), v))) {
        problem(problems, file, number, "bad registry range");
        return;
      }
      const int bits = 24 + static_cast<int>(same) * 4;
      add(bits, (txt_block << 24) | (same > 0 ? v << (24 - same * 4) : 0), Maker{short_of(org), org});
      return;
    }
    if (ieee_txt) return;
    // manuf: address or address/bits, short name, optional long name.
    std::string_view body = line;
    const std::size_t tab = body.find_first_of(" \t");
    if (tab == std::string_view::npos) {
      problem(problems, file, number, "no maker name");
      return;
    }
    std::string_view address = body.substr(0, tab);
    std::string_view rest = trim(body.substr(tab));
    int bits = -1;
    if (const std::size_t slash = address.find('/'); slash != std::string_view::npos) {
      bits = 0;
      for (char c : address.substr(slash + 1)) {
        if (c < '0' || c > '9' || bits > 48) {
          bits = 99;
          break;
        }
        bits = bits * 10 + (c - '0');
      }
      address = address.substr(0, slash);
    }
    std::uint64_t value = 0;
    int bytes = 0;
    for (std::size_t i = 0; i <= address.size();) {
      const std::size_t sep = address.find_first_of(":-.", i);
      const std::string_view part = address.substr(i, sep == std::string_view::npos ? sep : sep - i);
      std::uint64_t b = 0;
      if (part.empty() || part.size() > 2 || !parse_hex_digits(part, b) || bytes == 6) {
        bytes = -1;
        break;
      }
      value = value << 8 | b;
      ++bytes;
      if (sep == std::string_view::npos) break;
      i = sep + 1;
    }
    if (bytes < 3 || (bits != -1 && (bits < 1 || bits > 8 * bytes))) {
      problem(problems, file, number, "not a maker prefix: " + std::string(address));
      return;
    }
    if (bits == -1) bits = 8 * bytes;
    value <<= 8 * (6 - bytes);
    const std::size_t split = rest.find('\t');
    std::string short_name(trim(rest.substr(0, split)));
    std::string long_name(split == std::string_view::npos ? short_name
                                                          : std::string(trim(rest.substr(split))));
    // A manuf short name may hold blanks; the label needs one word.
    for (char& c : short_name)
      if (c == ' ') c = '_';
    add(bits, value, Maker{std::move(short_name), std::move(long_name)});
  });
}

std::vector<std::string> Manufacturers::load_or_default(const std::string& path, const std::string& ieee_dir,
                                                        std::vector<NameFileProblem>* problems) {
  if (!path.empty() && load(path, problems)) return {path};
  std::vector<std::string> read;
  // The registries of each size; the .txt listing stands in for a missing CSV.
  for (const char* base : {"oui", "mam", "oui36", "iab"}) {
    const std::string csv = ieee_dir + "/" + base + ".csv";
    const std::string txt = ieee_dir + "/" + base + ".txt";
    if (load(csv, problems))
      read.push_back(csv);
    else if (load(txt, problems))
      read.push_back(txt);
  }
  return read;
}

}  // namespace tarnix

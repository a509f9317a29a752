// The parser's semantic actions and the entry points that run a parse.
#include <climits>
#include <cstdio>
#include <string>
#include <unordered_map>
#include <utility>
#include <vector>

#include "pdl/pdl_builder.h"
#include "pdl/protocol_tree.h"

namespace tarnix {

namespace {

constexpr std::size_t kTokenShown = 40;

std::string quoted(std::string_view text) {
  std::string out;
  out.reserve(text.size() + 2);
  out += '"';
  out.append(text);
  out += '"';
  return out;
}

// Cuts a text to at most `limit` bytes without splitting a UTF-8 sequence.
std::string cut(std::string text, std::size_t limit) {
  if (text.size() <= limit) return text;
  std::size_t end = limit;
  while (end > 0 && (static_cast<unsigned char>(text[end]) & 0xC0) == 0x80) --end;
  text.resize(end);
  return text;
}

}  // namespace

TreeBuilder::TreeBuilder(std::string_view source_name)
    : tree(std::make_unique<ProtocolTree>()), source(source_name) {}

void TreeBuilder::token(const char* text, std::size_t length) {
  token_line = line;
  for (std::size_t i = 0; i < length; ++i)
    if (text[i] == '\n') ++line;
  at_end = false;
  token_text.clear();
  for (std::size_t i = 0; i < length && token_text.size() < kTokenShown; ++i) {
    auto c = static_cast<unsigned char>(text[i]);
    if (c >= 0x20 && c < 0x7F) {
      token_text += static_cast<char>(c);
    } else {
      char hex[8];
      std::snprintf(hex, sizeof hex, "\\x%02x", c);
      token_text += hex;
    }
  }
  if (length > kTokenShown) token_text += "...";
}

void TreeBuilder::end_of_file() {
  token_line = line;
  at_end = true;
  token_text.clear();
}

bool TreeBuilder::fail(int at_line, const std::string& message) {
  if (error.empty()) {
    error_line = at_line;
    error = at_line > 0 ? source + ":" + std::to_string(at_line) + ": " + message : source + ": " + message;
  }
  return false;
}

protocol_symbol* TreeBuilder::symbol(std::string_view name) {
  protocol_symbols& table = tree->symbols_;
  if (protocol_symbol* found = table.find(name)) return found;
  protocol_symbol fresh;
  fresh.name = std::string(name);
  table.insert(fresh.name, fresh);
  return table.find(name);
}

protocol_node* TreeBuilder::node_for(protocol_symbol* s) {
  if (s->node == nullptr) {
    auto node = std::make_unique<protocol_node>();
    node->name = s->name;
    s->node = node.get();
    tree->nodes_.push_back(std::move(node));
  }
  return s->node;
}

protocol_symbol* TreeBuilder::identifier(std::string_view name) {
  if (name.size() > kProtocolNameMax) {
    fail(token_line, "the name " + quoted(name) + " is longer than " + std::to_string(kProtocolNameMax) +
                         " characters");
    return nullptr;
  }
  return symbol(name);
}

const char* TreeBuilder::description(std::string_view text) {
  if (text.size() > kProtocolDescriptionMax) {
    fail(token_line, "the description " + quoted(text) + " is longer than " +
                         std::to_string(kProtocolDescriptionMax) + " characters");
    return nullptr;
  }
  texts.emplace_back(text);
  return texts.back().c_str();
}

bool TreeBuilder::number(std::string_view digits, int base, std::int32_t& value) {
  std::uint64_t v = 0;
  for (char c : digits) {
    unsigned d = (c >= '0' && c <= '9') ? static_cast<unsigned>(c - '0')
                 : (c >= 'a' && c <= 'f') ? static_cast<unsigned>(c - 'a' + 10)
                                          : static_cast<unsigned>(c - 'A' + 10);
    v = v * static_cast<unsigned>(base) + d;
    if (base == 10) {
      if (v > 0xFFFFFFFFull) {
        return fail(token_line, "the number " + std::string(digits.substr(0, kTokenShown)) +
                                    " does not fit in 32 bits");
      }
    } else if (v > 0x7FFFFFFFull) {
      // Hexadecimal and binary numbers stop at the largest signed value.
      v = 0x7FFFFFFF;
      break;
    }
  }
  value = static_cast<std::int32_t>(static_cast<std::uint32_t>(v));
  return true;
}

void TreeBuilder::stray(unsigned char) {}

protocol_symbol* TreeBuilder::value_def(protocol_symbol* s, NumberPair values) {
  protocol_node* node = node_for(s);
  node->value_low = static_cast<std::uint32_t>(values.first);
  node->value_high = static_cast<std::uint32_t>(values.second);
  return s;
}

void TreeBuilder::primitive_def(protocol_symbol* s, const char* text, int at_line) {
  s->kind = kSymbolPrimitive;
  s->defined_line = at_line;
  node_for(s)->description = text;
}

bool TreeBuilder::protocol_head(protocol_symbol* s, const char* text, std::int32_t header_length,
                                int at_line) {
  if (s->body_line != 0) {
    return fail(at_line, "protocol " + quoted(s->name) + " is defined a second time (first at line " +
                             std::to_string(s->body_line) + ")");
  }
  protocol_node* node = node_for(s);
  node->description = text;
  node->header_length = header_length;
  s->body_line = at_line;
  s->defined_line = at_line;
  seen_protocol = true;
  current = s;
  return true;
}

bool TreeBuilder::field_def(std::uint32_t flags, NumberPair offsets, protocol_symbol* child, int at_line) {
  // A second field line would splice the protocol into a second chain of
  // children, which can join chains or close them into loops.
  if (child->parent != nullptr) {
    return fail(at_line, quoted(child->name) + " already has a field line in protocol " +
                             quoted(child->parent->name) + " (line " + std::to_string(child->field_line) +
                             "); a protocol can be named in one field line only");
  }
  protocol_node* node = node_for(child);
  node->flags = flags;
  node->first_offset = offsets.first;
  node->second_offset = offsets.second;
  node->two_offsets = offsets.first != offsets.second ? 1 : 0;
  child->parent = current != nullptr ? current->node : nullptr;
  child->field_line = at_line;
  return true;
}

void TreeBuilder::field_list(protocol_symbol* earlier, protocol_symbol* later) {
  later->node->next_sibling = earlier->node;
}

bool TreeBuilder::protocol_def(protocol_symbol* head, protocol_symbol* last_field, int at_line) {
  protocol_node* parent = head->node;
  std::string other_name = "OTHER_" + parent->name;
  protocol_symbol* other = symbol(other_name);
  if (other->node != nullptr) {
    return fail(other->field_line != 0 ? other->field_line : at_line,
                "the name " + quoted(other_name) + " belongs to the generated Other child of protocol " +
                    quoted(parent->name) + " and cannot be used in the file");
  }
  other->kind = kSymbolPrimitive;
  protocol_node* other_node = node_for(other);
  other_node->description = cut("Other " + parent->description, kProtocolDescriptionMax);
  other_node->value_low = 0;
  other_node->value_high = 0xFFFFFFFFu;
  other_node->flags = 0;
  other->parent = parent;
  other->field_line = at_line;

  parent->first_child = last_field->node;
  head->kind = kSymbolProtocol;
  protocol_node* end = parent->first_child;
  // Chains are acyclic because every protocol has at most one field line;
  // the bound only guards that reasoning.
  for (std::size_t steps = 0; end->next_sibling != nullptr; ++steps) {
    if (steps > tree->nodes_.size()) return fail(at_line, "the children of " + quoted(parent->name) + " loop");
    end = end->next_sibling;
  }
  end->next_sibling = other_node;
  current = nullptr;
  return true;
}

void TreeBuilder::syntax_error(std::string_view unexpected, std::string_view expected) {
  std::string message;
  if (at_end) {
    message = "parse error at the end of the file";
  } else {
    message = "parse error at '" + token_text + "'";
    if (unexpected == "character") {
      if (token_text == "\"")
        message += " (a description without its closing quote)";
      else if (token_text == "/")
        message += " (a comment without its closing */, or a stray '/')";
      else
        message += " (a character the language does not use)";
    } else if (unexpected == "primitive" && seen_protocol) {
      message += " (primitive lines must all come before the first protocol)";
    } else if (unexpected != token_text) {
      message += " (a " + std::string(unexpected) + ")";
    }
  }
  if (!expected.empty()) message += ": expected " + std::string(expected);
  fail(token_line, message);
}

bool TreeBuilder::check_cycles() {
  // Depth-first over the child links with an explicit stack, so a deeply
  // nested file cannot exhaust the call stack. Grey nodes are on the stack.
  enum : unsigned char { kWhite, kGrey, kBlack };
  std::unordered_map<const protocol_node*, unsigned char> colour;
  colour.reserve(tree->nodes_.size());
  for (const auto& start : tree->nodes_) {
    if (colour[start.get()] != kWhite) continue;
    std::vector<std::pair<const protocol_node*, const protocol_node*>> stack;  // node, next child to visit
    colour[start.get()] = kGrey;
    stack.emplace_back(start.get(), start->first_child);
    while (!stack.empty()) {
      auto& [node, child] = stack.back();
      if (child == nullptr) {
        colour[node] = kBlack;
        stack.pop_back();
        continue;
      }
      const protocol_node* next = child;
      child = child->next_sibling;
      unsigned char& c = colour[next];
      if (c == kGrey) {
        const protocol_symbol* s = tree->symbols_.find(next->name);
        return fail(s != nullptr ? s->field_line : 0,
                    "protocol " + quoted(next->name) + " is among its own children");
      }
      if (c == kWhite) {
        c = kGrey;
        stack.emplace_back(next, next->first_child);
      }
    }
  }
  return true;
}

PdlResult TreeBuilder::finish(int parse_status) {
  PdlResult result;
  bool ok = parse_status == 0 && error.empty();
  if (!ok && error.empty()) fail(token_line, "parse error");
  if (ok) ok = check_cycles();
  if (ok) {
    const protocol_symbol* root = tree->symbols_.find(std::string_view("ROOT"));
    if (root == nullptr || root->node == nullptr) {
      ok = fail(0, "no protocol named ROOT is defined, so there is no protocol tree");
    } else {
      tree->root_ = root->node;
    }
  }
  if (ok) {
    result.tree = std::move(tree);
  } else {
    tree.reset();
    result.error = error;
    result.error_line = error_line;
  }
  return result;
}

std::string pdl_open_error(std::string_view path) {
  return "Protocol Definition Language: Could not open file " + std::string(path) + " for parsing";
}

PdlResult pdl_parse_text(std::string_view text, std::string_view source_name) {
  TreeBuilder builder(source_name);
  if (text.size() > static_cast<std::size_t>(INT_MAX / 2)) {
    builder.fail(0, "the file is too large to be a protocol file");
    return builder.finish(1);
  }
  int status = pdl_run_parser(builder, text.data(), text.size());
  return builder.finish(status);
}

PdlResult pdl_parse(const std::string& path) {
  // The whole file is read first so that a read failure (a directory, an
  // I/O error) is reported here instead of inside the scanner, which would
  // end the process.
  std::FILE* in = std::fopen(path.c_str(), "rb");
  std::string text;
  bool read_ok = in != nullptr;
  if (in != nullptr) {
    char chunk[8192];
    std::size_t got;
    while ((got = std::fread(chunk, 1, sizeof chunk, in)) > 0) text.append(chunk, got);
    read_ok = std::ferror(in) == 0;
    std::fclose(in);
  }
  if (!read_ok) {
    std::printf("pdl_parse: Warning - %s not found\n", path.c_str());
    std::fflush(stdout);
    PdlResult result;
    result.error = pdl_open_error(path);
    result.unreadable = true;
    return result;
  }
  return pdl_parse_text(text, path);
}

}  // namespace tarnix

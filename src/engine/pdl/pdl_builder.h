// Internal to the parser: the state one parse carries from the scanner
// through the grammar actions to the finished tree. Each parse has its own,
// so parses may run side by side.
#pragma once

#include <cstddef>
#include <cstdint>
#include <deque>
#include <memory>
#include <string>
#include <string_view>

#include "pdl/protocol_tree.h"
#include "pdl/symbol.h"

namespace tarnix {

struct NumberPair {
  std::int32_t first;
  std::int32_t second;
};

struct TreeBuilder {
  explicit TreeBuilder(std::string_view source_name);

  std::unique_ptr<ProtocolTree> tree;
  std::string source;            // file name used in messages
  int line = 1;                  // line of the scanner's position
  int token_line = 1;            // line on which the last token began
  std::string token_text;        // the last token, shortened for messages
  bool at_end = false;           // the last token was the end of the file
  std::string error;             // first error, with file and line
  int error_line = 0;
  protocol_symbol* current = nullptr;  // protocol whose body is being read
  bool seen_protocol = false;
  std::deque<std::string> texts;       // descriptions until the parse ends

  // Scanner side.
  void token(const char* text, std::size_t length);
  void end_of_file();
  // Records the first error; returns false so callers can `return fail(...)`.
  bool fail(int at_line, const std::string& message);
  protocol_symbol* identifier(std::string_view name);
  const char* description(std::string_view text);
  bool number(std::string_view digits, int base, std::int32_t& value);
  void stray(unsigned char c);

  // Grammar actions, named after the rules they belong to.
  protocol_symbol* value_def(protocol_symbol* symbol, NumberPair values);
  void primitive_def(protocol_symbol* symbol, const char* text, int at_line);
  bool protocol_head(protocol_symbol* symbol, const char* text, std::int32_t header_length, int at_line);
  bool field_def(std::uint32_t flags, NumberPair offsets, protocol_symbol* child, int at_line);
  void field_list(protocol_symbol* earlier, protocol_symbol* later);
  bool protocol_def(protocol_symbol* head, protocol_symbol* last_field, int at_line);
  void syntax_error(std::string_view unexpected, std::string_view expected);

  PdlResult finish(int parse_status);

 private:
  protocol_symbol* symbol(std::string_view name);
  protocol_node* node_for(protocol_symbol* symbol);
  bool check_cycles();
};

// Runs the generated scanner and parser over the text. Returns the parser's
// status: 0 when the grammar accepted the whole input.
int pdl_run_parser(TreeBuilder& builder, const char* text, std::size_t length);

}  // namespace tarnix

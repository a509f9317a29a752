// The Protocol Definition Language: scanner, grammar, actions and errors.
#include <gtest/gtest.h>

#include <string>
#include <thread>
#include <vector>

#include "pdl/protocol_tree.h"
#include "pdl_test_util.h"

namespace tarnix {
namespace {

using pdltest::source_path;

PdlResult parse(const std::string& text) { return pdl_parse_text(text, "test.pdl"); }

// Child names of a node in chain order.
std::vector<std::string> children(const protocol_node* n) {
  std::vector<std::string> out;
  for (const protocol_node* c = n->first_child; c != nullptr; c = c->next_sibling) out.push_back(c->name);
  return out;
}

const protocol_symbol* symbol_of(const ProtocolTree& tree, const char* name) {
  return tree.symbols().find(std::string_view(name));
}

TEST(PdlParse, FilesWithoutRootGiveNoTree) {
  for (const char* text : {"", "   \n\t\r\n", "/* only a comment */", "/* one\n * two */\n/**/ /***/ /* a * b / c **/",
                           "primitive A : 1 \"a\"", "protocol NOTROOT : 0 \"x\" 0 { byte : 0 A }"}) {
    PdlResult r = parse(text);
    EXPECT_FALSE(r) << text;
    EXPECT_EQ(r.error, "test.pdl: no protocol named ROOT is defined, so there is no protocol tree") << text;
  }
}

TEST(PdlParse, RootWithOnePrimitiveHasItThenOther) {
  PdlResult r = parse("primitive A : 5 \"description\" protocol ROOT : 0 \"all\" 0 { byte : 0 A }");
  ASSERT_TRUE(r) << r.error;
  const protocol_node* root = r.tree->root();
  ASSERT_NE(root, nullptr);
  EXPECT_EQ(root->name, "ROOT");
  EXPECT_EQ(root->description, "all");
  EXPECT_EQ(children(root), (std::vector<std::string>{"A", "OTHER_ROOT"}));

  const protocol_node* a = r.tree->lookup("A");
  ASSERT_NE(a, nullptr);
  EXPECT_EQ(a->description, "description");
  EXPECT_EQ(a->value_low, 5u);
  EXPECT_EQ(a->value_high, 5u);
  EXPECT_EQ(a->width(), 1);
  EXPECT_FALSE(a->masked());
  EXPECT_EQ(a->first_child, nullptr);

  const protocol_node* other = r.tree->lookup("OTHER_ROOT");
  ASSERT_NE(other, nullptr);
  EXPECT_EQ(other->description, "Other all");
  EXPECT_EQ(other->width(), 0);
  EXPECT_EQ(other->value_low, 0u);
  EXPECT_EQ(other->value_high, 0xFFFFFFFFu);
  EXPECT_EQ(other->next_sibling, nullptr);

  EXPECT_EQ(symbol_of(*r.tree, "A")->kind, kSymbolPrimitive);
  EXPECT_EQ(symbol_of(*r.tree, "ROOT")->kind, kSymbolProtocol);
  EXPECT_EQ(symbol_of(*r.tree, "OTHER_ROOT")->kind, kSymbolPrimitive);
}

TEST(PdlParse, ChildrenAreChainedLastFieldLineFirst) {
  PdlResult r = parse(
      "protocol ROOT : 0 \"r\" 0 {\n"
      "  word : 12 B\n"
      "  word : 12 C\n"
      "}\n"
      "protocol B : 1 \"b\" 4 { byte : 0 X byte : 1 Y lword : 2 Z }\n");
  ASSERT_TRUE(r) << r.error;
  EXPECT_EQ(children(r.tree->root()), (std::vector<std::string>{"C", "B", "OTHER_ROOT"}));
  EXPECT_EQ(children(r.tree->lookup("B")), (std::vector<std::string>{"Z", "Y", "X", "OTHER_B"}));
  EXPECT_EQ(r.tree->lookup("B")->header_length, 4);
  // Defined after the field line that names it: still the same node.
  EXPECT_EQ(r.tree->lookup("B")->description, "b");
  EXPECT_EQ(r.tree->lookup("B")->width(), 2);
  EXPECT_EQ(r.tree->lookup("B")->first_offset, 12);
  EXPECT_EQ(r.tree->lookup("Z")->width(), 4);
  // C is named but never defined: a node with the value 0 only.
  const protocol_node* c = r.tree->lookup("C");
  EXPECT_EQ(c->value_low, 0u);
  EXPECT_EQ(c->value_high, 0u);
  EXPECT_EQ(symbol_of(*r.tree, "C")->kind, kSymbolUndefined);
}

TEST(PdlParse, TwoOffsetFlagOnlyForDifferentOffsets) {
  PdlResult r = parse("protocol ROOT : 0 \"r\" 0 { word : 2,2 X word : 2,0 Y word : 7 Z }");
  ASSERT_TRUE(r) << r.error;
  const protocol_node* x = r.tree->lookup("X");
  const protocol_node* y = r.tree->lookup("Y");
  const protocol_node* z = r.tree->lookup("Z");
  EXPECT_EQ(x->two_offsets, 0u);
  EXPECT_EQ(y->two_offsets, 1u);
  EXPECT_EQ(y->first_offset, 2);
  EXPECT_EQ(y->second_offset, 0);
  EXPECT_EQ(z->two_offsets, 0u);
  EXPECT_EQ(z->first_offset, 7);
  EXPECT_EQ(z->second_offset, 7);
}

TEST(PdlParse, NumberForms) {
  PdlResult r = parse(
      "primitive BIN : #1010 \"b\"\n"
      "primitive HEX : 0x1f,0xAbC \"h\"\n"
      "primitive BIG : 0xFFFFFFFF \"clamped\"\n"
      "primitive LONGHEX : 0x0000000000000001 \"leading zeros\"\n"
      "primitive LONGBIN : #111111111111111111111111111111111 \"clamped too\"\n"
      "primitive DEC : 4294967295 \"full 32 bits\"\n"
      "primitive ZERO : 000 \"z\"\n"
      "protocol ROOT : 0 \"r\" 0 { byte : 0 BIN }\n");
  ASSERT_TRUE(r) << r.error;
  EXPECT_EQ(r.tree->lookup("BIN")->value_low, 10u);
  EXPECT_EQ(r.tree->lookup("HEX")->value_low, 0x1Fu);
  EXPECT_EQ(r.tree->lookup("HEX")->value_high, 0xABCu);
  EXPECT_EQ(r.tree->lookup("BIG")->value_low, 2147483647u);
  EXPECT_EQ(r.tree->lookup("LONGHEX")->value_low, 1u);
  EXPECT_EQ(r.tree->lookup("LONGBIN")->value_low, 2147483647u);
  EXPECT_EQ(r.tree->lookup("DEC")->value_low, 0xFFFFFFFFu);
  EXPECT_EQ(r.tree->lookup("ZERO")->value_low, 0u);
}

TEST(PdlParse, KeywordsAreExactLowerCase) {
  PdlResult r = parse("protocol ROOT : 0 \"r\" 0 { octet : 1 A byte : 2 B word : 3 C lword : 4 D mask byte : 5 E "
                      "mask lword : 6 F }");
  ASSERT_TRUE(r) << r.error;
  EXPECT_EQ(r.tree->lookup("A")->width(), 1);
  EXPECT_EQ(r.tree->lookup("B")->width(), 1);
  EXPECT_EQ(r.tree->lookup("C")->width(), 2);
  EXPECT_EQ(r.tree->lookup("D")->width(), 4);
  EXPECT_EQ(r.tree->lookup("E")->flags, 1u | kProtocolMaskFlag);
  EXPECT_EQ(r.tree->lookup("F")->flags, 4u | kProtocolMaskFlag);
  EXPECT_FALSE(r.tree->lookup("A")->masked());

  // Keyword-like names are ordinary names.
  PdlResult names = parse("protocol ROOT : 0 \"r\" 0 { byte : 0 Byte byte : 1 bytes byte : 2 _word9 }");
  ASSERT_TRUE(names) << names.error;
  EXPECT_NE(names.tree->lookup("Byte"), nullptr);
  EXPECT_EQ(names.tree->lookup("byte"), nullptr);
}

// A refused file gives no tree and an error naming the file, the line and
// what was wrong there.
TEST(PdlParse, RefusedFilesSayWhereAndWhy) {
  const std::string name19(19, 'N');
  const std::string desc31(31, 'd');
  std::string with_nul("primitive A : 1 \"a\"");
  with_nul += '\0';
  with_nul += " protocol ROOT : 0 \"r\" 0 { byte : 0 A }";
  struct Case {
    std::string text;
    std::string error;
  };
  const Case cases[] = {
      // The grammar.
      {"protocol ROOT : 0 \"r\" 0 { byte : 0 A }\nprimitive B : 1 \"b\"",
       "test.pdl:2: parse error at 'primitive' (primitive lines must all come before the first protocol): "
       "expected the end of the file or protocol"},
      {"protocol ROOT : 0 \"r\" 0 { }", "test.pdl:1: parse error at '}': expected mask, byte, word or lword"},
      {"primitive ROOT : 0 \"r\" { byte : 0 A }",
       "test.pdl:1: parse error at '{': expected the end of the file, primitive or protocol"},
      {"protocol ROOT : 0 \"r\" { byte : 0 A }", "test.pdl:1: parse error at '{': expected a number"},
      {"protocol ROOT : 0 \"r\" 0 { byte : 0 A",
       "test.pdl:1: parse error at the end of the file: expected '}', "
       "mask, byte, word or lword"},
      {"protocol ROOT = 0 \"r\" 0 { byte : 0 A }",
       "test.pdl:1: parse error at '=' (a character the language does not use): expected ':'"},
      {"primitive A : 1 \"a\";",
       "test.pdl:1: parse error at ';' (a character the language does not use): "
       "expected the end of the file, primitive or protocol"},
      {"primitive A : -1 \"a\"",
       "test.pdl:1: parse error at '-' (a character the language does not use): "
       "expected a number"},
      {"primitive A : # \"a\"",
       "test.pdl:1: parse error at '#' (a character the language does not use): "
       "expected a number"},
      {"primitive A : #2 \"a\"",
       "test.pdl:1: parse error at '#' (a character the language does not use): "
       "expected a number"},
      {"primitive A : 1 \"a\" / ",
       "test.pdl:1: parse error at '/' (a comment without its closing */, or a "
       "stray '/'): expected the end of the file, primitive or protocol"},
      {"primitive A : 1 \"a\"\n/* never closed\n",
       "test.pdl:2: parse error at '/' (a comment without its "
       "closing */, or a stray '/'): expected the end of the file, "
       "primitive or protocol"},
      {"\n\nprimitive A : 1 \"never closed",
       "test.pdl:3: parse error at '\"' (a description without its "
       "closing quote): expected ',' or a description"},
      {"primitive A : 1 \"a\" \x01",
       "test.pdl:1: parse error at '\\x01' (a character the language does not "
       "use): expected the end of the file, primitive or protocol"},
      {"primitive A : 1 \"a\" \xc3\xa9",
       "test.pdl:1: parse error at '\\xc3' (a character the language does not "
       "use): expected the end of the file, primitive or protocol"},
      {"primitive A : 1,2,3 \"a\"", "test.pdl:1: parse error at ',': expected a description"},
      {"protocol ROOT : 0 \"r\" 0 { byte : 0 }", "test.pdl:1: parse error at '}': expected ',' or a name"},
      // A NUL byte is a character like any other, not the end of the file.
      {with_nul,
       "test.pdl:1: parse error at '\\x00' (a character the language does not use): expected the end of "
       "the file, primitive or protocol"},
      // Keywords are exact lower case.
      {"protocol ROOT : 0 \"r\" 0 {\n  Byte : 0 A\n}",
       "test.pdl:2: parse error at 'Byte' (a name): expected mask, byte, word or lword"},
      // Only a lower-case x makes hexadecimal: 0X1F is 0 followed by the name X1F.
      {"primitive A : 0X1F \"a\"",
       "test.pdl:1: parse error at 'X1F' (a name): expected ',' or a description"},
      // Digits then letters: a number, then a name.
      {"primitive A : 9a \"a\"", "test.pdl:1: parse error at 'a' (a name): expected ',' or a description"},
      // Decimal numbers that do not fit in 32 bits are refused, not wrapped.
      {"\nprimitive A : 4294967296 \"a\"", "test.pdl:2: the number 4294967296 does not fit in 32 bits"},
      {"protocol ROOT : 0 \"r\" 0 {\n byte : 0 " + name19 + "X }",
       "test.pdl:2: the name \"" + name19 + "X\" is longer than 19 characters"},
      {"\n\nprimitive A : 1 \"" + desc31 + "x\"",
       "test.pdl:3: the description \"" + desc31 + "x\" is longer than 31 characters"},
      // Structures that would corrupt the tree.
      {"protocol ROOT : 0 \"r\" 0 {\n byte : 0 A\n byte : 1 A }",
       "test.pdl:3: \"A\" already has a field line in protocol \"ROOT\" (line 2); a protocol can be named in "
       "one field line only"},
      {"protocol ROOT : 0 \"r\" 0 { byte : 0 P byte : 1 Q }\nprotocol P : 1 \"p\" 0 { byte : 0 A byte : 0 B "
       "}\n"
       "protocol Q : 2 \"q\" 0 { byte : 0 B byte : 0 A }",
       "test.pdl:3: \"B\" already has a field line in protocol \"P\" (line 2); a protocol can be named in "
       "one "
       "field line only"},
      {"protocol ROOT : 0 \"r\" 0 { byte : 0 A }\nprotocol ROOT : 1 \"again\" 0 { byte : 0 B }",
       "test.pdl:2: protocol \"ROOT\" is defined a second time (first at line 1)"},
      {"protocol ROOT : 0 \"r\" 0 { byte : 0 A }\nprotocol A : 1 \"a\" 0 {\n byte : 0 ROOT }",
       "test.pdl:3: protocol \"ROOT\" is among its own children"},
      {"protocol ROOT : 0 \"r\" 0 { byte : 0 ROOT }",
       "test.pdl:1: protocol \"ROOT\" is among its own children"},
      // A loop that ROOT does not reach is refused as well.
      {"protocol ROOT : 0 \"r\" 0 { byte : 0 X }\nprotocol A : 1 \"a\" 0 { byte : 0 B }\n"
       "protocol B : 1 \"b\" 0 {\n byte : 0 A }",
       "test.pdl:4: protocol \"A\" is among its own children"},
      {"protocol ROOT : 0 \"r\" 0 { byte : 0 OTHER_ROOT }",
       "test.pdl:1: the name \"OTHER_ROOT\" belongs to the generated Other child of protocol \"ROOT\" and "
       "cannot "
       "be used in the file"},
      {"protocol ROOT : 0 \"r\" 0 { byte : 0 A }\nprotocol X : 0 \"x\" 0 {\n byte : 0 OTHER_ROOT }",
       "test.pdl:3: \"OTHER_ROOT\" already has a field line in protocol \"ROOT\" (line 1); a protocol can be "
       "named in one field line only"},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.text);
    PdlResult r = parse(c.text);
    EXPECT_FALSE(r);
    EXPECT_EQ(r.tree, nullptr);
    EXPECT_EQ(r.error, c.error);
    EXPECT_EQ(r.error.rfind("test.pdl:" + std::to_string(r.error_line) + ": ", 0), 0u) << r.error_line;
  }
}

TEST(PdlParse, LinesCountThroughCommentsDescriptionsAndCarriageReturns) {
  PdlResult r = parse(
      "/* line 1\n"
      "   line 2 */ primitive A : 1 \"two\n"
      "lines\"\r\n"
      "\r\n"
      "protocol ROOT : 0 \"r\" 0 {\r\n"
      "  byte : 0 A\r\n"
      "  byte ; 1 B\r\n"
      "}\r\n");
  EXPECT_FALSE(r);
  EXPECT_EQ(r.error_line, 7);
  EXPECT_EQ(r.error, "test.pdl:7: parse error at ';' (a character the language does not use): expected ':'");

  // Descriptions may hold newlines; the description is taken without quotes.
  PdlResult ok = parse("primitive A : 1 \"two\nlines\" protocol ROOT : 0 \"r\" 0 { byte : 0 A }");
  ASSERT_TRUE(ok) << ok.error;
  EXPECT_EQ(ok.tree->lookup("A")->description, "two\nlines");
}

TEST(PdlParse, NameAndDescriptionLengthsAreChecked) {
  const std::string name19(19, 'N');
  const std::string desc31(31, 'd');
  PdlResult ok = parse("protocol ROOT : 0 \"" + desc31 + "\" 0 { byte : 0 " + name19 + " }\nprotocol " + name19 +
                       " : 1 \"" + desc31 + "\" 0 { byte : 0 A }");
  ASSERT_TRUE(ok) << ok.error;
  // The generated names may be longer than a written name; the generated
  // descriptions are cut to the description length.
  const protocol_node* other = ok.tree->lookup("OTHER_" + name19);
  ASSERT_NE(other, nullptr);
  EXPECT_EQ(other->description, "Other " + std::string(25, 'd'));
  EXPECT_EQ(ok.tree->lookup("OTHER_ROOT")->description.size(), kProtocolDescriptionMax);

  // Cutting never splits a UTF-8 character: 23 ASCII bytes then a 2-byte
  // character would straddle byte 31 of "Other ...".
  PdlResult utf8 = parse("protocol ROOT : 0 \"" + std::string(24, 'a') + "\xc3\xa9\" 0 { byte : 0 A }");
  ASSERT_TRUE(utf8) << utf8.error;
  EXPECT_EQ(utf8.tree->lookup("OTHER_ROOT")->description, "Other " + std::string(24, 'a'));
}

TEST(PdlParse, MissingOrUnreadableFileGivesTheOpenMessage) {
  for (const std::string& path : {source_path("tests/data/pdl/no-such-file.pdl"), source_path("tests/data/pdl")}) {
    testing::internal::CaptureStdout();
    PdlResult r = pdl_parse(path);
    std::string out = testing::internal::GetCapturedStdout();
    EXPECT_FALSE(r);
    EXPECT_EQ(r.error, "Protocol Definition Language: Could not open file " + path + " for parsing");
    EXPECT_EQ(r.error, pdl_open_error(path));
    EXPECT_TRUE(r.unreadable);
    EXPECT_EQ(out, "pdl_parse: Warning - " + path + " not found\n");
  }
}

TEST(PdlParse, FileErrorsNameTheFile) {
  PdlResult r = pdl_parse(source_path("tests/data/pdl/broken.pdl"));
  EXPECT_FALSE(r);
  EXPECT_FALSE(r.unreadable);
  EXPECT_EQ(r.error, source_path("tests/data/pdl/broken.pdl") +
                         ":6: parse error at 'Byte' (a name): expected '}', mask, byte, word or lword");
}

TEST(PdlParse, SymbolTableUsesSymbolHash) {
  EXPECT_EQ(symbol_hash(""), 0);
  // 'a' = 97: (0 ^ 97) << 1 = 194; 'b' = 98: (194 ^ 98) << 1 = 160 << 1 = 320.
  EXPECT_EQ(symbol_hash("ab"), 320);
  // Bytes above 0x7F are sign-extended: (0 ^ -1) << 1 = -2.
  EXPECT_EQ(symbol_hash("\xff"), -2);

  PdlResult r = parse("protocol ROOT : 0 \"r\" 0 { byte : 0 ab byte : 1 TCP }");
  ASSERT_TRUE(r) << r.error;
  const protocol_symbols& table = r.tree->symbols();
  // ROOT, ab, TCP, OTHER_ROOT.
  EXPECT_EQ(table.count(), 4);
  bool found = false;
  for (const auto* e = table.bucket_head(320 & 0xFF); e != nullptr; e = e->next) found |= e->key == "ab";
  EXPECT_TRUE(found);
  // Look-ups are exact and case-sensitive.
  EXPECT_NE(protocol_lookup(r.tree.get(), "TCP"), nullptr);
  EXPECT_EQ(protocol_lookup(r.tree.get(), "tcp"), nullptr);
  EXPECT_EQ(protocol_lookup(r.tree.get(), "TC"), nullptr);
  EXPECT_EQ(protocol_lookup(nullptr, "TCP"), nullptr);
}

TEST(PdlParse, FailedParsesKeepNothingAndParsesAreIndependent) {
  // Under AddressSanitizer a leak from the failed parses below fails the run.
  std::string big;
  for (int i = 0; i < 200; ++i) big += "primitive P" + std::to_string(i) + " : " + std::to_string(i) + " \"p\"\n";
  big += "protocol ROOT : 0 \"r\" 0 { byte : 0 P1 }\nprotocol ROOT : 0 \"r\" 0 { byte : 0 P2 }";
  PdlResult failed = parse(big);
  EXPECT_FALSE(failed);
  EXPECT_EQ(failed.tree, nullptr);
  EXPECT_FALSE(parse(big + " }"));

  // Two parses at once share no state (the scanner and parser are reentrant).
  std::string shipped_a, shipped_b;
  std::thread t1([&] {
    PdlResult r = pdl_parse(source_path("data/protocol.pdl"));
    if (r) shipped_a = protocol_tree_dump(*r.tree);
  });
  std::thread t2([&] {
    PdlResult r = pdl_parse(source_path("data/protocol.pdl"));
    if (r) shipped_b = protocol_tree_dump(*r.tree);
  });
  t1.join();
  t2.join();
  EXPECT_FALSE(shipped_a.empty());
  EXPECT_EQ(shipped_a, shipped_b);
}

TEST(PdlParse, DeepAndWideFilesStayWithinTheStack) {
  // 3000 protocols nested one inside the next, and one body of 3000 fields.
  std::string deep = "protocol ROOT : 0 \"r\" 0 { byte : 0 P0 }\n";
  for (int i = 0; i < 3000; ++i)
    deep += "protocol P" + std::to_string(i) + " : 0 \"p\" 1 { byte : 0 P" + std::to_string(i + 1) + " }\n";
  PdlResult r = parse(deep);
  ASSERT_TRUE(r) << r.error;
  EXPECT_EQ(r.tree->node_count(), 1u + 3001u + 3001u);
  EXPECT_NE(protocol_tree_dump(*r.tree).find("      P2 \"p\""), std::string::npos);

  std::string wide = "protocol ROOT : 0 \"r\" 0 {\n";
  for (int i = 0; i < 3000; ++i) wide += " byte : 0 W" + std::to_string(i) + "\n";
  wide += "}";
  PdlResult w = parse(wide);
  ASSERT_TRUE(w) << w.error;
  int n = 0;
  for (const protocol_node* c = w.tree->root()->first_child; c != nullptr; c = c->next_sibling) ++n;
  EXPECT_EQ(n, 3001);
}

TEST(PdlParse, DumpShowsTheTreeInChildOrder) {
  PdlResult r = parse(
      "primitive A : 6,9 \"range\"\n"
      "protocol ROOT : 0 \"all\" 0 { word : 12 IP mask byte : 1 FL }\n"
      "protocol IP : 0x0800 \"ip\" 14 { byte : 9 A }\n"
      "primitive FL : 0x02 \"flag\"");
  EXPECT_FALSE(r);  // primitive after protocol
  r = parse(
      "primitive A : 6,9 \"range\"\n"
      "primitive FL : 0x02 \"flag\"\n"
      "protocol ROOT : 0 \"all\" 0 { word : 12 IP mask byte : 1 FL lword : 2,6 X }\n"
      "protocol IP : 0x0800 \"ip\" 14 { byte : 9 A }\n");
  ASSERT_TRUE(r) << r.error;
  EXPECT_EQ(protocol_tree_dump(*r.tree),
            "ROOT \"all\": any frame, header 0\n"
            "  X \"\": lword at 2 or 6 = 0\n"
            "  FL \"flag\": mask byte at 1 has a bit of 2\n"
            "  IP \"ip\": word at 12 = 2048 (0x800), header 14\n"
            "    A \"range\": byte at 9 in 6 .. 9\n"
            "    OTHER_IP \"Other ip\": any frame\n"
            "  OTHER_ROOT \"Other all\": any frame\n");
  std::vector<std::string> warnings = protocol_tree_warnings(*r.tree);
  ASSERT_EQ(warnings.size(), 1u);
  EXPECT_EQ(warnings[0], "line 3: \"X\" is named in a field line but never defined; it matches only the value 0");

  PdlResult unreached = parse("primitive LOST : 1 \"l\"\nprimitive BACK : 9,6 \"b\"\n"
                              "protocol ROOT : 0 \"r\" 0 { byte : 0 BACK }");
  ASSERT_TRUE(unreached) << unreached.error;
  EXPECT_EQ(protocol_tree_warnings(*unreached.tree),
            (std::vector<std::string>{
                "line 1: \"LOST\" is defined but named in no field line, so no frame reaches it",
                "line 2: \"BACK\" has the range 9,6, which no value falls in"}));
}

}  // namespace
}  // namespace tarnix

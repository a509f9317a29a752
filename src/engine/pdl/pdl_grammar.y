/* Grammar of the Protocol Definition Language. LALR(1), no error recovery:
   the first token that no rule accepts ends the parse. The actions hand
   their work to TreeBuilder, which owns everything the parse creates. */

%code requires {
#include <cstdint>
#include "pdl/pdl_builder.h"
}

%code provides {
int pdl_yylex(PDL_YYSTYPE* lval, PDL_YYLTYPE* lloc, void* scanner);
}

%code {
#include <string>
namespace {
void pdl_yyerror(PDL_YYLTYPE* /*lloc*/, void* /*scanner*/, tarnix::TreeBuilder& b, const char* message) {
  /* Reached only for parser stack exhaustion; syntax errors are reported
     through pdl_yyreport_syntax_error below. */
  b.fail(b.token_line, message);
}
}  // namespace
}

%define api.prefix {pdl_yy}
%define api.pure full
%locations
%define parse.error custom
%define parse.lac full
%lex-param {void* scanner}
%parse-param {void* scanner} {tarnix::TreeBuilder& b}

%union {
  std::int32_t number;
  std::uint32_t flags;
  tarnix::NumberPair pair;
  tarnix::protocol_symbol* symbol;
  const char* text;
}

%token COMMA "," COLON ":" OPEN "{" CLOSE "}"
%token <symbol> IDENT "name"
%token <text> STRING "description"
%token <number> NUMBER "number"
%token PRIMITIVE "primitive" PROTOCOL "protocol" MASK "mask"
%token BYTE "byte" WORD "word" LWORD "lword"
%token STRAY "character"

%type <symbol> value_def protocol_head field_list field_def
%type <pair> number_pair
%type <flags> mask_opt width

%start pdl_file
/* An empty list against a list that starts with its first element: a
   following "primitive" or "protocol" always starts a definition (shift). */
%expect 2

%%

/* rule 1 */
begin:
  %empty { b.current = nullptr; }
  ;

/* rule 2 */
pdl_file:
  begin primitive_list protocol_list
  ;

/* rules 3-5 */
primitive_list:
  primitive_list primitive_def
  | primitive_def
  | %empty
  ;

/* rule 6 */
primitive_def:
  PRIMITIVE value_def STRING { b.primitive_def($2, $3, @1.first_line); }
  ;

/* rule 7 */
value_def:
  IDENT COLON number_pair { $$ = b.value_def($1, $3); }
  ;

/* rules 8-9 */
number_pair:
  NUMBER COMMA NUMBER { $$ = tarnix::NumberPair{$1, $3}; }
  | NUMBER { $$ = tarnix::NumberPair{$1, $1}; }
  ;

/* rules 10-12 */
protocol_list:
  %empty
  | protocol_list protocol_def
  | protocol_def
  ;

/* rule 13 */
protocol_def:
  protocol_head OPEN field_list CLOSE { if (!b.protocol_def($1, $3, @4.first_line)) YYABORT; }
  ;

/* rule 14 */
protocol_head:
  PROTOCOL value_def STRING NUMBER {
    if (!b.protocol_head($2, $3, $4, @1.first_line)) YYABORT;
    $$ = $2;
  }
  ;

/* rules 15-16 */
field_list:
  field_list field_def { b.field_list($1, $2); $$ = $2; }
  | field_def { $$ = $1; }
  ;

/* rule 17 */
field_def:
  mask_opt width COLON number_pair IDENT {
    if (!b.field_def($1 | $2, $4, $5, @2.first_line)) YYABORT;
    $$ = $5;
  }
  ;

/* rules 18-19 */
mask_opt:
  MASK { $$ = tarnix::kProtocolMaskFlag; }
  | %empty { $$ = 0; }
  ;

/* rules 20-22 */
width:
  BYTE { $$ = 1; }
  | WORD { $$ = 2; }
  | LWORD { $$ = 4; }
  ;

%%

static int yyreport_syntax_error(const yypcontext_t* ctx, void* /*scanner*/, tarnix::TreeBuilder& b) {
  enum { kMaxExpected = 8 };
  yysymbol_kind_t expected[kMaxExpected];
  int n = yypcontext_expected_tokens(ctx, expected, kMaxExpected);
  std::string wanted;
  if (n > 0) {
    for (int i = 0; i < n; ++i) {
      if (i > 0) wanted += (i + 1 == n) ? " or " : ", ";
      std::string name = yysymbol_name(expected[i]);
      if (name.size() >= 2 && name.front() == '"' && name.back() == '"') name = name.substr(1, name.size() - 2);
      if (name == "end of file") name = "the end of the file";
      else if (name.size() == 1) name = "'" + name + "'";
      else if (name == "name" || name == "number" || name == "description") name = "a " + name;
      wanted += name;
    }
  }
  std::string got = yysymbol_name(yypcontext_token(ctx));
  if (got.size() >= 2 && got.front() == '"' && got.back() == '"') got = got.substr(1, got.size() - 2);
  b.syntax_error(got, wanted);
  return 0;
}

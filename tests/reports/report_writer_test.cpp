// The writer's operations in each form, byte for byte, and the escaping that
// keeps names and URLs from the wire from changing the markup.
#include <gtest/gtest.h>

#include "reports/report_writer.h"

namespace tarnix {
namespace {

struct LineCase {
  LineKind kind;
  ReportForm form;
  const char* text;
  const char* expected;
};

TEST(ReportWriter, EachLineKindInEachForm) {
  const LineCase cases[] = {
      {LineKind::kLine, ReportForm::kText, "abc", "abc\n"},
      {LineKind::kLine, ReportForm::kRtf, "abc", "\\par     {\\plain\\f3\\fs12 abc  }"},
      {LineKind::kLine, ReportForm::kHtml, "abc", "abc<BR>"},
      {LineKind::kLine, ReportForm::kCsv, "abc", "\"abc\",\n"},
      {LineKind::kLine, ReportForm::kCsv, "\n", ""},
      {LineKind::kSmall, ReportForm::kRtf, "s", "\\par     {\\f3\\fs10 s  }"},
      {LineKind::kHeading, ReportForm::kRtf, "h", "\\par     {\\f3\\fs12\\b h  }"},
      {LineKind::kHeading, ReportForm::kHtml, "h", "<B>h</B><BR>"},
      {LineKind::kItalic, ReportForm::kRtf, "i", "\\par     {\\i i  }"},
      {LineKind::kItalic, ReportForm::kHtml, "i", "<I>i</I><BR>"},
      {LineKind::kUnderline, ReportForm::kRtf, "u", "\\par     {\\ul u  }"},
      {LineKind::kUnderline, ReportForm::kHtml, "u", "u<BR>"},
      // Escaping of what comes from the wire.
      {LineKind::kLine, ReportForm::kHtml, "<script>&\"'", "&lt;script&gt;&amp;&quot;&#39;<BR>"},
      {LineKind::kLine, ReportForm::kRtf, "a\\b{c}\xe9\xc3\xa9",
       "\\par     {\\plain\\f3\\fs12 a\\\\x5cb\\{c\\}\\\\xe9\\'e9  }"},
      // Leading and trailing line breaks are layout; one inside is text.
      {LineKind::kLine, ReportForm::kText, "\nhost: a\x1b[2J\nb\x07\n", "\nhost: a\\x1b[2J\\x0ab\\x07\n\n"},
      {LineKind::kLine, ReportForm::kHtml, "\x1b]2;t\x07<b>", "\\x1b]2;t\\x07&lt;b&gt;<BR>"},
      {LineKind::kLine, ReportForm::kCsv, "\n=cmd|' /C calc'!A0\n", "\"'=cmd|' /C calc'!A0\",\n"},
      {LineKind::kLine, ReportForm::kCsv, "say \"hi\"\n", "\"say \"\"hi\"\"\",\n"},
      {LineKind::kLine, ReportForm::kText, "<raw>", "<raw>\n"},
  };
  for (const LineCase& c : cases)
    EXPECT_EQ(report_line(c.form, c.kind, c.text), c.expected)
        << "form " << static_cast<int>(c.form) << " " << c.text;
}

TEST(ReportWriter, BeginEndAndLink) {
  EXPECT_EQ(
      report_begin(ReportForm::kRtf).rfind("{\\rtf1\\ansi \\deff4\\deflang1033{\\fonttbl{\\f3\\fcourier", 0),
      0u);
  EXPECT_EQ(report_end(ReportForm::kRtf), "}");
  EXPECT_EQ(report_begin(ReportForm::kHtml), "<HTML><BODY>");
  EXPECT_EQ(report_end(ReportForm::kHtml), "</BODY></HTML>");
  EXPECT_EQ(report_begin(ReportForm::kText), "");
  EXPECT_EQ(report_link(ReportForm::kHtml, "http://h/\"><x>"),
            "<A HREF=\"http://h/&quot;&gt;&lt;x&gt;\">http://h/&quot;&gt;&lt;x&gt;</A>");
  EXPECT_EQ(report_link(ReportForm::kText, "http://h/"), "");
  EXPECT_EQ(report_link(ReportForm::kHtml, "javascript:alert(1)"), "javascript:alert(1)");  // no link
  EXPECT_EQ(report_csv_row({"-1+2", "\x1b"}), "\"'-1+2\",\"\\x1b\"\n");
  EXPECT_EQ(report_csv_row({"a,b", "c\"d", ""}), "\"a,b\",\"c\"\"d\",\"\"\n");
}

}  // namespace
}  // namespace tarnix

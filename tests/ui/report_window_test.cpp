// The report window over real report files, and the reports' private
// directory under the temporary location.
#include <gtest/gtest.h>
#include <sys/stat.h>
#include <unistd.h>

#include <QApplication>
#include <QDir>
#include <QElapsedTimer>
#include <QFile>
#include <QPrinter>
#include <QTemporaryDir>
#include <QTextBlock>
#include <QTextDocument>
#include <QTextEdit>

#include "reports/report_writer.h"
#include "ui/reports/report_center.h"
#include "ui/reports/report_window.h"
#include "ui/reports/rtf_reader.h"

namespace tarnix::ui {
namespace {

QByteArray read_all(const QString& path) {
  QFile f(path);
  return f.open(QIODevice::ReadOnly) ? f.readAll() : QByteArray();
}

TEST(RtfReader, ReadsWhatTheWriterWrites) {
  std::string rtf = report_begin(ReportForm::kRtf);
  rtf += report_line(ReportForm::kRtf, LineKind::kHeading, "hostname: a\\b{c}");
  rtf += report_line(ReportForm::kRtf, LineKind::kLine, "\n");
  rtf += report_line(ReportForm::kRtf, LineKind::kSmall, "caf\xc3\xa9 <x>");
  rtf += report_line(ReportForm::kRtf, LineKind::kItalic, "it");
  rtf += report_end(ReportForm::kRtf);
  QTextDocument doc;
  rtf_read(QByteArray::fromStdString(rtf), doc);
  // Every line starts with the four spaces after its "\par".
  EXPECT_EQ(doc.toPlainText(),
            QString::fromUtf8("\n    hostname: a\\x5cb{c}  \n      \n    caf\u00e9 <x>  \n    it  "));
  auto format_of = [&doc](const char* text) { return doc.find(QString::fromUtf8(text)).charFormat(); };
  const QTextCharFormat heading = format_of("a\\x5cb{c}");
  EXPECT_TRUE(heading.fontWeight() == QFont::Bold && heading.fontPointSize() == 6.0 &&
              heading.fontFixedPitch());
  EXPECT_DOUBLE_EQ(format_of("<x>").fontPointSize(), 5.0);
  EXPECT_EQ(format_of("<x>").fontWeight(), QFont::Normal);
  EXPECT_TRUE(format_of("it").fontItalic());
}

TEST(ReportWindow, PageMargins) {
  struct Case {
    double w, h;
    QMarginsF expected;
  };
  const Case cases[] = {{12240, 15840, {1080, 1440, 1080, 1440}},
                        {3600, 15840, {0, 1440, 0, 1440}},
                        {3601, 4320, {1080, 0, 1080, 0}}};
  for (const Case& c : cases) EXPECT_EQ(report_page_margins(c.w, c.h), c.expected) << c.w << "x" << c.h;
}

TEST(ReportWindow, ShowsSavesFindsPrintsAndTakesItsFilesAlong) {
  QTemporaryDir tmp;
  ASSERT_TRUE(tmp.isValid());
  const QByteArray old_tmpdir = qgetenv("TMPDIR");
  qputenv("TMPDIR", QFile::encodeName(tmp.path()));
  // A link planted under the name a report once had in the shared
  // temporary directory.
  const QString victim = tmp.filePath("victim");
  QFile v(victim);
  ASSERT_TRUE(v.open(QIODevice::WriteOnly) && v.write("keep") == 4);
  v.close();
  ASSERT_TRUE(QFile::link(victim, tmp.filePath("hostrep.txt")));

  auto center = std::make_unique<ReportCenter>([] {
    ReportSources s;
    s.started = 875620800;
    return s;
  });
  ASSERT_TRUE(center->directory().startsWith(tmp.path() + "/tarnix-"));
  QPointer<ReportWindow> w = center->start(ReportKind::kHost);
  ASSERT_TRUE(w);
  center->wait();
  QElapsedTimer t;
  t.start();
  while (!w->isVisible() && t.elapsed() < 5000) QApplication::processEvents();
  ASSERT_TRUE(w->isVisible());
  EXPECT_EQ(read_all(victim), "keep");
  EXPECT_TRUE(QFileInfo(tmp.filePath("hostrep.txt")).isSymLink());

  const QString base = w->base_path();
  EXPECT_TRUE(base.startsWith(center->directory() + "/hostrep-")) << base.toStdString();
  struct stat st {};
  ASSERT_EQ(::stat(QFile::encodeName(base + ".rtf").constData(), &st), 0);
  EXPECT_EQ(st.st_mode & 0777, 0600u);
  EXPECT_TRUE(w->view()->toPlainText().contains("Report of Monitored Host Statistics"));

  // Save As: a new file gets the chosen form; an existing one stays as it was.
  const QString saved = tmp.filePath("saved.html");
  EXPECT_TRUE(w->save_copy(SaveType::kHtml, saved));
  EXPECT_EQ(read_all(saved), read_all(base + ".html"));
  EXPECT_FALSE(w->save_copy(SaveType::kText, saved));
  EXPECT_EQ(read_all(saved), read_all(base + ".html"));
  EXPECT_TRUE(w->save_copy(SaveType::kCsv, tmp.filePath("saved.dat")));
  EXPECT_TRUE(read_all(tmp.filePath("saved.dat")).startsWith("\"Report of Monitored Host Statistics\","));

  // Find: forwards from the selection, case as asked, nothing after the end.
  EXPECT_TRUE(w->find_next("recording started", true, false));
  EXPECT_EQ(w->view()->textCursor().selectedText(), "recording started");
  EXPECT_FALSE(w->find_next("RECORDING STARTED", true, false));
  w->view()->moveCursor(QTextCursor::End);
  EXPECT_FALSE(w->find_next("Report", false, false));

  // Print to PDF: pages come out.
  const QString pdf = tmp.filePath("report.pdf");
  {
    QPrinter printer(QPrinter::HighResolution);
    printer.setOutputFormat(QPrinter::PdfFormat);
    printer.setOutputFileName(pdf);
    EXPECT_TRUE(w->print_to(printer));
  }
  const QByteArray bytes = read_all(pdf);
  EXPECT_TRUE(bytes.startsWith("%PDF"));
  // Private whatever the umask, like every file the program writes.
  EXPECT_EQ(QFile::permissions(pdf),
            QFile::ReadOwner | QFile::WriteOwner | QFile::ReadUser | QFile::WriteUser);
  EXPECT_GE(bytes.count("/Type /Page\n") + bytes.count("/Type /Page\r") + bytes.count("/Type /Page "), 1);

  w->close();
  QApplication::processEvents();
  QApplication::sendPostedEvents(nullptr, QEvent::DeferredDelete);
  EXPECT_FALSE(w);
  for (const char* ext : {".txt", ".rtf", ".html", ".csv"}) EXPECT_FALSE(QFile::exists(base + ext)) << ext;
  const QString dir = center->directory();
  center.reset();
  EXPECT_FALSE(QDir(dir).exists());
  if (old_tmpdir.isNull())
    qunsetenv("TMPDIR");
  else
    qputenv("TMPDIR", old_tmpdir);
}

}  // namespace
}  // namespace tarnix::ui

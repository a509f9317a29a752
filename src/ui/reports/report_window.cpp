#include "ui/reports/report_window.h"

#include <fcntl.h>
#include <unistd.h>

#include <QAbstractTextDocumentLayout>
#include <QApplication>
#include <QCheckBox>
#include <QDialog>
#include <QDialogButtonBox>
#include <QFile>
#include <QFileDialog>
#include <QHBoxLayout>
#include <QLabel>
#include <QLineEdit>
#include <QMenuBar>
#include <QMessageBox>
#include <QPainter>
#include <QPrintDialog>
#include <QPrinter>
#include <QPushButton>
#include <QStyle>
#include <QTextCursor>
#include <QTextDocument>
#include <QTextDocumentFragment>
#include <QTextEdit>
#include <QToolBar>
#include <QVBoxLayout>
#include <memory>

#include "app/messages.h"
#include "os/files.h"
#include "reports/reports.h"
#include "ui/reports/rtf_reader.h"

namespace tarnix::ui {

namespace {

const char kTypeText[] = "Text files {*.*} (*.*)";
const char kTypeCsv[] = "Comma Separated Data {*.DAT;*.dat} (*.DAT *.dat)";
const char kTypeRtf[] = "Rich text files {*.RTF;*.rtf} (*.RTF *.rtf)";
const char kTypeHtml[] = "HTML files {*.HTML;*.html} (*.HTML *.html)";

// The one find dialog of all report windows, and the view it searches: the
// report window that had the focus last.
QPointer<QDialog> g_find;
QPointer<ReportWindow> g_target;

const char* extension_of(SaveType type) {
  switch (type) {
    case SaveType::kText:
      return ".txt";
    case SaveType::kCsv:
      return ".csv";
    case SaveType::kRtf:
      return ".rtf";
    case SaveType::kHtml:
      return ".html";
  }
  return ".txt";
}

void error_box(QWidget* parent, const QString& text) {
  QMessageBox::warning(parent, app::kErrorTitle, text);
}

}  // namespace

QMarginsF report_page_margins(double width_twips, double height_twips) {
  const double side = width_twips > 3600 ? 1080 : 0;
  const double top = height_twips > 4320 ? 1440 : 0;
  return QMarginsF(side, top, side, top);
}

ReportWindow::ReportWindow(const QString& title, QWidget* parent) : QMainWindow(parent) {
  setAttribute(Qt::WA_DeleteOnClose);
  setWindowTitle(title);
  setObjectName(QStringLiteral("report class"));
  view_ = new QTextEdit(this);
  view_->setObjectName(QStringLiteral("report view"));
  view_->setReadOnly(true);
  view_->setLineWrapMode(QTextEdit::NoWrap);
  view_->setHorizontalScrollBarPolicy(Qt::ScrollBarAlwaysOn);
  view_->setVerticalScrollBarPolicy(Qt::ScrollBarAlwaysOn);
  view_->setTextInteractionFlags(Qt::TextSelectableByMouse | Qt::TextSelectableByKeyboard);
  setCentralWidget(view_);

  QStyle* st = style();
  auto make = [this](int id, const QString& label, auto slot) {
    auto* a = new QAction(label, this);
    a->setObjectName(QString::number(id));
    connect(a, &QAction::triggered, this, slot);
    return a;
  };
  QAction* save = make(kReportSaveAs, QStringLiteral("&SaveAs"), &ReportWindow::save_as);
  QAction* print_action = make(kReportPrint, QStringLiteral("&Print"), &ReportWindow::print);
  QAction* close_action = make(kReportClose, QStringLiteral("&Close"), &QWidget::close);
  QAction* all = make(kReportSelectAll, QStringLiteral("&Select All"), &ReportWindow::select_all);
  QAction* copy_action = make(kReportCopy, QStringLiteral("C&opy"), &ReportWindow::copy);
  QAction* find_action = make(kReportFind, QStringLiteral("&Find"), &ReportWindow::find);

  QMenu* file = menuBar()->addMenu(QStringLiteral("&File"));
  file->addAction(save);
  file->addAction(print_action);
  file->addAction(close_action);
  QMenu* edit = menuBar()->addMenu(QStringLiteral("&Edit"));
  edit->addAction(all);
  edit->addAction(copy_action);
  edit->addAction(find_action);

  QToolBar* bar = addToolBar(QStringLiteral("Report"));
  bar->setObjectName(QStringLiteral("report toolbar"));
  bar->setMovable(false);
  bar->setIconSize(QSize(16, 16));
  auto button = [&](QAction* a, QStyle::StandardPixmap icon, const QString& tip) {
    QAction* b = bar->addAction(st->standardIcon(icon), tip);
    b->setToolTip(tip);
    connect(b, &QAction::triggered, a, &QAction::trigger);
  };
  button(save, QStyle::SP_DialogSaveButton, QStringLiteral("Save As"));
  button(print_action, QStyle::SP_FileDialogDetailedView, QStringLiteral("Print"));
  button(copy_action, QStyle::SP_FileDialogContentsView, QStringLiteral("Copy"));
  button(find_action, QStyle::SP_FileDialogContentsView, QStringLiteral("Find"));
  bar->addSeparator();
  button(close_action, QStyle::SP_TrashIcon, QStringLiteral("Close Window"));
  resize(760, 520);
}

ReportWindow::~ReportWindow() {
  if (!base_.isEmpty()) report_remove_files(base_.toStdString());
}

QAction* ReportWindow::command(int id) const {
  return findChild<QAction*>(QString::number(id), Qt::FindDirectChildrenOnly);
}

void ReportWindow::report_ready(const QString& base_path) {
  base_ = base_path;
  QFile f(base_ + QStringLiteral(".rtf"));
  // A file that cannot be read leaves the view empty; the window shows.
  if (f.open(QIODevice::ReadOnly)) rtf_read(f.readAll(), *view_->document());
  view_->document()->setModified(false);
  view_->moveCursor(QTextCursor::Start);
  show();
}

void ReportWindow::report_failed(const QString& why) {
  error_box(nullptr, QStringLiteral("The report could not be written.\n%1").arg(why));
  deleteLater();
}

bool ReportWindow::save_copy(SaveType type, const QString& target) {
  if (base_.isEmpty()) return false;
  QFile from(base_ + QLatin1String(extension_of(type)));
  if (!from.open(QIODevice::ReadOnly)) return false;
  // Never over an existing file, nor through a link planted under its name;
  // like every copy of the record, the user's alone.
  const int fd = ::open(QFile::encodeName(target).constData(),
                        O_WRONLY | O_CREAT | O_EXCL | O_NOFOLLOW | O_CLOEXEC, 0600);
  if (fd < 0) return false;
  QFile to;
  bool ok = to.open(fd, QIODevice::WriteOnly, QFileDevice::AutoCloseHandle);
  while (ok && !from.atEnd()) {
    const QByteArray chunk = from.read(1 << 16);
    ok = to.write(chunk) == chunk.size();
  }
  ok = ok && to.flush();
  to.close();
  if (!ok) QFile::remove(target);
  return ok;
}

void ReportWindow::save_as() {
  QFileDialog dialog(this, QStringLiteral("Save As"));
  dialog.setAcceptMode(QFileDialog::AcceptSave);
  dialog.setFileMode(QFileDialog::AnyFile);
  dialog.setNameFilters({kTypeText, kTypeCsv, kTypeRtf, kTypeHtml});
  dialog.setDefaultSuffix(QStringLiteral("txt"));
  // An existing file is left alone (below), so there is nothing to confirm.
  dialog.setOption(QFileDialog::DontConfirmOverwrite);
  if (dialog.exec() != QDialog::Accepted || dialog.selectedFiles().isEmpty()) return;
  const QStringList filters = dialog.nameFilters();
  const int chosen = std::max<int>(0, static_cast<int>(filters.indexOf(dialog.selectedNameFilter())));
  save_copy(static_cast<SaveType>(chosen), dialog.selectedFiles().first());
}

void ReportWindow::copy() {
  view_->copy();
}

void ReportWindow::select_all() {
  view_->selectAll();
}

bool ReportWindow::find_next(const QString& text, bool match_case, bool whole_word) {
  if (text.isEmpty()) return false;
  QTextDocument::FindFlags flags;
  if (match_case) flags |= QTextDocument::FindCaseSensitively;
  if (whole_word) flags |= QTextDocument::FindWholeWords;
  QTextCursor from = view_->textCursor();
  const int start = from.hasSelection() ? from.selectionStart() + 1 : from.position();
  QTextCursor found = view_->document()->find(text, start, flags);
  if (found.isNull()) return false;
  view_->setTextCursor(found);
  return true;
}

void ReportWindow::focusInEvent(QFocusEvent* e) {
  g_target = this;
  QMainWindow::focusInEvent(e);
}

void ReportWindow::changeEvent(QEvent* e) {
  if (e->type() == QEvent::ActivationChange && isActiveWindow()) g_target = this;
  QMainWindow::changeEvent(e);
}

void ReportWindow::find() {
  g_target = this;
  if (g_find) {
    g_find->raise();
    g_find->activateWindow();
    return;
  }
  auto* d = new QDialog(this);
  d->setObjectName(QStringLiteral("find dialog"));
  d->setWindowTitle(QStringLiteral("Find"));
  d->setAttribute(Qt::WA_DeleteOnClose);
  auto* what = new QLineEdit(d);
  what->setObjectName(QStringLiteral("find what"));
  what->setMaxLength(127);
  auto* word = new QCheckBox(QStringLiteral("Match &whole word only"), d);
  word->setObjectName(QStringLiteral("whole word"));
  auto* match = new QCheckBox(QStringLiteral("Match &case"), d);
  match->setObjectName(QStringLiteral("match case"));
  auto* next = new QPushButton(QStringLiteral("&Find Next"), d);
  next->setObjectName(QStringLiteral("find next"));
  next->setDefault(true);
  auto* cancel = new QPushButton(QStringLiteral("Cancel"), d);
  auto* row = new QHBoxLayout;
  row->addWidget(new QLabel(QStringLiteral("Fi&nd what:"), d));
  row->addWidget(what);
  auto* buttons = new QVBoxLayout;
  buttons->addWidget(next);
  buttons->addWidget(cancel);
  auto* left = new QVBoxLayout;
  left->addLayout(row);
  left->addWidget(word);
  left->addWidget(match);
  auto* top = new QHBoxLayout(d);
  top->addLayout(left);
  top->addLayout(buttons);
  connect(cancel, &QPushButton::clicked, d, &QDialog::close);
  connect(next, &QPushButton::clicked, d, [what, word, match] {
    ReportWindow* w = g_target;
    if (w == nullptr) return;
    if (!w->find_next(what->text(), match->isChecked(), word->isChecked()))
      QMessageBox::information(g_find, QStringLiteral("Find"), QStringLiteral("Text not found."));
  });
  g_find = d;
  d->show();
}

bool ReportWindow::print_to(QPrinter& printer) {
  std::unique_ptr<QTextDocument> doc;
  if (printer.printRange() == QPrinter::Selection && view_->textCursor().hasSelection()) {
    doc = std::make_unique<QTextDocument>();
    QTextCursor(doc.get()).insertFragment(view_->textCursor().selection());
  } else {
    doc.reset(view_->document()->clone());
  }
  printer.setFullPage(true);
  // A report printed to a file is as private as the report itself: made
  // here first, the file is the user's alone (an existing one keeps its mode).
  if (printer.outputFormat() == QPrinter::PdfFormat && !printer.outputFileName().isEmpty()) {
    std::string why;
    if (!os::ensure_private_file(QFile::encodeName(printer.outputFileName()).toStdString(), &why)) {
      error_box(
          this,
          QStringLiteral("Cannot write %1: %2").arg(printer.outputFileName(), QString::fromStdString(why)));
      return false;
    }
  }
  QPainter painter;
  if (!painter.begin(&printer)) {
    error_box(this, QStringLiteral("An error occured while trying to print"));
    return false;
  }
  // The abort dialog: its Cancel stops after the page being printed.
  abort_ = false;
  QDialog abort_dialog(this);
  abort_dialog.setWindowTitle(windowTitle());
  abort_dialog.setObjectName(QStringLiteral("print abort dialog"));
  auto* layout = new QVBoxLayout(&abort_dialog);
  layout->addWidget(new QLabel(QStringLiteral("Printing"), &abort_dialog));
  auto* cancel = new QPushButton(QStringLiteral("Cancel"), &abort_dialog);
  layout->addWidget(cancel);
  connect(cancel, &QPushButton::clicked, this, [this] { abort_ = true; });
  abort_dialog.setModal(false);
  abort_dialog.show();
  cancel->setFocus();
  setEnabled(false);

  const double dpi = printer.resolution();
  const QRectF paper = printer.paperRect(QPrinter::DevicePixel);
  const QMarginsF m = report_page_margins(paper.width() * 1440 / dpi, paper.height() * 1440 / dpi);
  const QRectF body(m.left() * dpi / 1440, m.top() * dpi / 1440,
                    paper.width() - (m.left() + m.right()) * dpi / 1440,
                    paper.height() - (m.top() + m.bottom()) * dpi / 1440);
  doc->documentLayout()->setPaintDevice(&printer);
  doc->setDocumentMargin(0);
  doc->setPageSize(body.size());
  const int pages = doc->pageCount();
  const int first = printer.fromPage() > 0 ? printer.fromPage() : 1;
  const int last = printer.toPage() > 0 ? std::min(printer.toPage(), pages) : pages;
  const int copies = std::max(1, printer.copyCount());
  const bool collate = printer.collateCopies();
  const int runs = collate ? copies : 1;
  const int each = collate ? 1 : copies;
  bool started = false;
  for (int run = 0; run < runs && !abort_; ++run) {
    for (int page = first; page <= last && !abort_; ++page) {
      for (int k = 0; k < each && !abort_; ++k) {
        if (started) printer.newPage();
        started = true;
        painter.save();
        painter.translate(body.left(), body.top() - (page - 1) * body.height());
        const QRectF band(0, (page - 1) * body.height(), body.width(), body.height());
        painter.setClipRect(band);
        QAbstractTextDocumentLayout::PaintContext ctx;
        ctx.clip = band;
        doc->documentLayout()->draw(&painter, ctx);
        painter.restore();
        QApplication::processEvents();
      }
    }
  }
  if (abort_)
    printer.abort();
  else
    painter.end();
  setEnabled(true);
  return !abort_;
}

void ReportWindow::print() {
  QPrinter printer(QPrinter::HighResolution);
  printer.setDocName(QStringLiteral("Report"));
  printer.setCopyCount(1);
  QPrintDialog dialog(&printer, this);
  dialog.setMinMax(0, 0xFFFF);
  if (view_->textCursor().hasSelection()) dialog.setOption(QAbstractPrintDialog::PrintSelection);
  if (dialog.exec() != QDialog::Accepted) return;
  print_to(printer);
}

}  // namespace tarnix::ui

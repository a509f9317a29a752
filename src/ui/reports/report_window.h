// The report window: a read-only rich-text view of one report, loaded from
// the RTF file its generator wrote, with Save As (copies one of the report's
// files, never over an existing one), Print, Copy, Select All and Find.
// Closing the window deletes its report files.
#pragma once

#include <QMainWindow>
#include <QMarginsF>
#include <QPointer>
#include <QString>

class QTextEdit;
class QPrinter;
class QDialog;
class QLineEdit;
class QCheckBox;

namespace tarnix::ui {

// Menu command ids of the report window.
enum ReportCommand : int {
  kReportPrint = 10000,
  kReportSaveAs = 10001,
  kReportCopy = 10002,
  kReportSelectAll = 10003,
  kReportFind = 10004,
  kReportClose = 10005,
};

// The Save As file types, in the dialog's order.
enum class SaveType { kText, kCsv, kRtf, kHtml };

// Print margins in twips for a page of the given size in twips: 1080 left
// and right on a page wider than 3600, 1440 top and bottom on one taller
// than 4320, none otherwise.
QMarginsF report_page_margins(double width_twips, double height_twips);

class ReportWindow : public QMainWindow {
  Q_OBJECT
 public:
  explicit ReportWindow(const QString& title, QWidget* parent = nullptr);
  ~ReportWindow() override;

  QTextEdit* view() const { return view_; }
  const QString& base_path() const { return base_; }
  QAction* command(int id) const;

  // Copies the report's file of the type to `target`; false (and nothing
  // written) when the target exists or cannot be created.
  bool save_copy(SaveType type, const QString& target);
  // The next match after the selection's start; false when there is none.
  bool find_next(const QString& text, bool match_case, bool whole_word);
  // Prints the document (or its selection) on a printer already set up;
  // false when printing could not start.
  bool print_to(QPrinter& printer);

 public Q_SLOTS:
  // The generator has written and closed the files under base_path.
  void report_ready(const QString& base_path);
  // The generator could not write them: says so and goes away.
  void report_failed(const QString& why);

  void save_as();
  void print();
  void copy();
  void select_all();
  void find();

 protected:
  void focusInEvent(QFocusEvent* e) override;
  void changeEvent(QEvent* e) override;

 private:
  void find_requested();

  QTextEdit* view_;
  QString base_;
  bool abort_ = false;
};

}  // namespace tarnix::ui

#include "ui/main_window.h"

#include <QApplication>
#include <QCloseEvent>
#include <QFile>
#include <QMenuBar>
#include <QMessageBox>
#include <QResizeEvent>
#include <QScreen>
#include <QTextBrowser>
#include <QUrl>

#include "app/paths.h"
#include "ui/about_dialog.h"
#include "ui/panel.h"

namespace tarnix::ui {
namespace {

// The client area: lays the three children out on every size change.
class MainArea : public QWidget {
 public:
  explicit MainArea(QWidget* parent) : QWidget(parent) {}
  QWidget* map = nullptr;
  QWidget* panel = nullptr;
  QWidget* output = nullptr;

  void relayout() {
    const MainLayout l = main_layout(width(), height());
    if (map) map->setGeometry(l.map);
    if (panel) panel->setGeometry(l.panel);
    if (output) output->setGeometry(l.output);
  }

 protected:
  void resizeEvent(QResizeEvent* e) override {
    QWidget::resizeEvent(e);
    relayout();
  }
};

QWidget* framed_placeholder(const QString& name, QWidget* parent) {
  auto* w = new QWidget(parent);
  w->setObjectName(name);
  w->setAutoFillBackground(true);
  return w;
}

}  // namespace

MainLayout main_layout(int w, int h) {
  MainLayout l;
  l.map = QRect(0, 0, std::max(w - 300, 0), std::max(h - 120, 0));
  l.panel = QRect(w - 300, 0, 300, std::max(h - 120, 0));
  l.output = QRect(0, h - 120, w, 120);
  return l;
}

QString main_title(const QString& adapter, const QString& description) {
  const QString d = description.trimmed();
  const QString title = d.isEmpty() ? QStringLiteral("Tarnix — %1").arg(adapter.trimmed())
                                    : QStringLiteral("Tarnix — %1 (%2)").arg(adapter.trimmed(), d);
  return title.left(2047);
}

MainWindow::MainWindow(app::Settings& settings, QWidget* parent) : QMainWindow(parent), settings_(settings) {
  setObjectName(QStringLiteral("Tarnix"));
  setWindowTitle(QStringLiteral("Tarnix"));
  auto* area = new MainArea(this);
  area->setObjectName(QStringLiteral("main_area"));
  area_ = area;
  map_ = framed_placeholder(QStringLiteral("Network"), area);
  panel_ = new Panel(area);
  output_ = framed_placeholder(QStringLiteral("output"), area);
  area->map = map_;
  area->panel = panel_;
  area->output = output_;
  setCentralWidget(area);
  build_menu();
  if (QScreen* s = QGuiApplication::primaryScreen()) {
    const QRect work = s->availableGeometry();
    setGeometry(0, 0, work.right() + 1, work.bottom() + 1);
  }
}

void MainWindow::set_map_window(QWidget* w) {
  auto* area = static_cast<MainArea*>(area_);
  w->setParent(area);
  delete map_;
  map_ = area->map = w;
  area->relayout();
  w->show();
}

void MainWindow::set_output_area(QWidget* w) {
  auto* area = static_cast<MainArea*>(area_);
  w->setParent(area);
  delete output_;
  output_ = area->output = w;
  area->relayout();
  w->show();
}

QAction* MainWindow::add(QMenu* menu, int id, const QString& label) {
  QAction* a = menu->addAction(label);
  a->setObjectName(QString::number(id));
  a->setEnabled(false);  // until a window or handler is given to it
  actions_[id] = a;
  connect(a, &QAction::triggered, this, [this, id] {
    auto it = handlers_.find(id);
    if (it != handlers_.end() && it->second) it->second();
  });
  return a;
}

void MainWindow::build_menu() {
  QMenuBar* bar = menuBar();
  bar->setObjectName(QStringLiteral("TARNIX"));

  QMenu* file = bar->addMenu(QStringLiteral("&File"));
  add(file, kCmdAdapter, QStringLiteral("&Adapter"));
  add(file, kCmdOpenCaptureFile, QStringLiteral("&Open Capture File..."));
  add(file, kCmdDbOptions, QStringLiteral("&DB Options"));
  file->addSeparator();
  add(file, kCmdQuit, QStringLiteral("&Quit"));

  QMenu* custom = bar->addMenu(QStringLiteral("&Custom"));
  add(custom, kCmdFocusBuilder, QStringLiteral("&Custom Protocol Focus"));
  add(custom, kCmdAlarmsBuilder, QStringLiteral("&Alarms Builder"));

  QMenu* hosts = bar->addMenu(QStringLiteral("&Hosts"));
  add(hosts, kCmdIpAddress, QStringLiteral("IP &Address"));
  add(hosts, kCmdLocalName, QStringLiteral("Local &Name"));
  add(hosts, kCmdHostList, QStringLiteral("Host List"));
  add(hosts, kCmdDuplicateIp, QStringLiteral("Duplicate IP detect"));

  QMenu* stats = bar->addMenu(QStringLiteral("&Statistics"));
  add(stats, kCmdCumulativeHosts, QStringLiteral("Cumulative Hosts"));
  add(stats, kCmdDynamicHosts, QStringLiteral("Dynamic Hosts"));
  stats->addSeparator();
  add(stats, kCmdCumulativeLinks, QStringLiteral("Cumulative Links"));
  add(stats, kCmdDynamicLinks, QStringLiteral("Dynamic Links"));

  QMenu* summaries = bar->addMenu(QStringLiteral("&Traffic Summaries"));
  add(summaries, kCmdTopUrls, QStringLiteral("Top &URLs"));
  add(summaries, kCmdTopHosts, QStringLiteral("Top &Hosts"));
  add(summaries, kCmdTopLinks, QStringLiteral("Top &Links"));
  add(summaries, kCmdTopAlarms, QStringLiteral("Top &Alarms"));
  add(summaries, kCmdTopUrlClients, QStringLiteral("Top URL &Clients"));
  add(summaries, kCmdTopUrlServers, QStringLiteral("Top URL &Servers"));

  QMenu* reports = bar->addMenu(QStringLiteral("Traffic &Reports"));
  add(reports, kCmdUrlsReport, QStringLiteral("&URLs Report"));
  add(reports, kCmdHostReport, QStringLiteral("&Host Report"));
  add(reports, kCmdStatsReport, QStringLiteral("&Statistics Report"));
  add(reports, kCmdAlarmsReport, QStringLiteral("&Alarms Report"));

  QMenu* help = bar->addMenu(QStringLiteral("H&elp"));
  add(help, kCmdAbout, QStringLiteral("&About"));
  help->addSeparator();
  add(help, kCmdHelp, QStringLiteral("&Help"));

  for (int id : {kCmdIpAddress, kCmdLocalName, kCmdCumulativeHosts, kCmdDynamicHosts, kCmdCumulativeLinks,
                 kCmdDynamicLinks, kCmdDuplicateIp})
    actions_[id]->setCheckable(true);

  // The commands this window carries out itself.
  set_command(kCmdQuit, [this] { close(); });
  set_command(kCmdIpAddress, [this] { choose(kCmdIpAddress, kCmdLocalName, settings_.show_name, 0); });
  set_command(kCmdLocalName, [this] { choose(kCmdLocalName, kCmdIpAddress, settings_.show_name, 1); });
  set_command(kCmdCumulativeHosts,
              [this] { choose(kCmdCumulativeHosts, kCmdDynamicHosts, settings_.dynamic, 0); });
  set_command(kCmdDynamicHosts,
              [this] { choose(kCmdDynamicHosts, kCmdCumulativeHosts, settings_.dynamic, 1); });
  set_command(kCmdCumulativeLinks,
              [this] { choose(kCmdCumulativeLinks, kCmdDynamicLinks, settings_.dynamic_links, 0); });
  set_command(kCmdDynamicLinks,
              [this] { choose(kCmdDynamicLinks, kCmdCumulativeLinks, settings_.dynamic_links, 1); });
  set_command(kCmdAbout, [this] { show_about(); });
  set_command(kCmdHelp, [this] { show_help(); });
}

QAction* MainWindow::command(int id) const {
  auto it = actions_.find(id);
  return it == actions_.end() ? nullptr : it->second;
}

void MainWindow::set_command(int id, std::function<void()> action) {
  QAction* a = command(id);
  if (!a) return;
  handlers_[id] = std::move(action);
  a->setEnabled(bool(handlers_[id]));
}

void MainWindow::choose(int on, int off, app::Tunable<int>& setting, int value) {
  setting = value;
  actions_[on]->setChecked(true);
  actions_[off]->setChecked(false);
}

void MainWindow::set_check_marks_from_settings() {
  const bool dyn = settings_.dynamic == 1, links = settings_.dynamic_links == 1,
             name = settings_.show_name == 1;
  actions_[kCmdDynamicHosts]->setChecked(dyn);
  actions_[kCmdCumulativeHosts]->setChecked(!dyn);
  actions_[kCmdDynamicLinks]->setChecked(links);
  actions_[kCmdCumulativeLinks]->setChecked(!links);
  actions_[kCmdLocalName]->setChecked(name);
  actions_[kCmdIpAddress]->setChecked(!name);
}

void MainWindow::set_main_title(const QString& adapter, const QString& description) {
  setWindowTitle(main_title(adapter, description));
}

void MainWindow::show_about() {
  AboutDialog about(this);
  about.exec();
  if (about_closed_) about_closed_();
}

void MainWindow::show_help() {
  const QString index =
      help_index_.isEmpty() ? app::find_shipped_file(QStringLiteral("help/index.html")) : help_index_;
  QFile f(index);
  if (index.isEmpty() || !f.open(QIODevice::ReadOnly)) {
    QWidget* owner = QApplication::focusWidget() ? QApplication::focusWidget()->window() : this;
    QMessageBox box(QMessageBox::Critical, QStringLiteral("Tarnix Notification"),
                    QStringLiteral("Unable to activate help"), QMessageBox::Ok, owner);
    box.setObjectName(QStringLiteral("help_failed"));
    box.exec();
    return;
  }
  auto* viewer = findChild<QTextBrowser*>(QStringLiteral("help_viewer"));
  if (!viewer) {
    viewer = new QTextBrowser(this);
    viewer->setObjectName(QStringLiteral("help_viewer"));
    viewer->setWindowFlag(Qt::Window);
    viewer->setWindowTitle(QStringLiteral("Tarnix Help"));
    viewer->setOpenExternalLinks(true);
    viewer->resize(640, 560);
  }
  viewer->setSource(QUrl::fromLocalFile(index));
  viewer->show();
  viewer->raise();
}

void MainWindow::closeEvent(QCloseEvent* e) {
  if (!closed_) {
    closed_ = true;
    if (close_hook_) close_hook_();
  }
  e->accept();
}

}  // namespace tarnix::ui

#include "ui/monitor/panel_monitors.h"

#include "capture/net.h"
#include "ui/main_window.h"
#include "ui/monitor/load.h"
#include "ui/monitor/output.h"
#include "ui/panel.h"

namespace tarnix::ui {

PanelMonitors install_panel_monitors(MainWindow& window, TrafficModel& model, app::Settings& settings,
                                     std::time_t start_time) {
  PanelMonitors m;
  QFont axis(QStringLiteral("Arial"));
  axis.setPixelSize(10);
  axis.setBold(true);
  axis.setItalic(true);
  QFont label(QStringLiteral("Arial"));
  label.setPixelSize(13);
  label.setBold(true);

  TrafficModel* mp = &model;
  m.load = new LoadChart;
  m.load->setObjectName(QStringLiteral("load_chart"));
  m.load->set_source([mp]() -> std::atomic<std::uint32_t>* {
    Net* n = net_current(*mp);
    return n ? &n->load_percent : nullptr;
  });
  m.load->set_fonts(&axis, &label);
  m.load->set_reset_after_sample(false);
  m.load->strip()->set_axis_floor(10);
  m.load->set_bottom_margin(3);

  m.urls = new LoadChart;
  m.urls->setObjectName(QStringLiteral("url_chart"));
  m.urls->set_source([mp]() -> std::atomic<std::uint32_t>* {
    Net* n = net_current(*mp);
    return n ? &n->urls.seen : nullptr;
  });
  m.urls->set_fonts(&axis, &label);
  m.urls->set_format(QStringLiteral("Urls: %d"), QStringLiteral("URLs Accessed"));
  m.urls->set_bottom_margin(3);

  m.stats = new UrlStats;
  m.stats->setObjectName(QStringLiteral("url_stats"));
  m.stats->set_start_time(start_time);

  Panel* panel = window.panel();
  panel->install(Panel::LoadChart, m.load);
  panel->install(Panel::UrlChart, m.urls);
  panel->install(Panel::UrlStats, m.stats);

  m.output = new OutputArea(settings);
  window.set_output_area(m.output);
  return m;
}

}  // namespace tarnix::ui

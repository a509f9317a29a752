#include "app/messages.h"

#include <cstdio>

namespace tarnix::app {

void StderrMessenger::show(const Message& m) {
  QString line =
      m.title + QStringLiteral(": ") + QString(m.text).replace(QLatin1Char('\n'), QLatin1Char(' '));
  if (!m.detail.isEmpty()) line += QStringLiteral(" (") + m.detail + QLatin1Char(')');
  std::fprintf(stderr, "%s\n", line.toLocal8Bit().constData());
}

}  // namespace tarnix::app

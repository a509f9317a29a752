// How the program tells the user something: a modal message box in the
// desktop program, a line on standard error in tests and headless runs.
#pragma once

#include <QString>
#include <QStringList>
#include <vector>

namespace tarnix::app {

enum class MessageIcon { Exclamation, Stop, Information };

struct Message {
  QString text;
  QString title;
  MessageIcon icon = MessageIcon::Exclamation;
  QString detail;  // extra lines behind the message (a library's reason), may be empty
};

class Messenger {
 public:
  virtual ~Messenger() = default;
  virtual void show(const Message& m) = 0;
};

// Titles the program uses.
inline const QString kErrorTitle = QStringLiteral("Tarnix Error");
inline const QString kNoticeTitle = QStringLiteral("Tarnix Notification");
inline const QString kPlainTitle = QStringLiteral("Tarnix");

// Writes every message to standard error.
class StderrMessenger final : public Messenger {
 public:
  void show(const Message& m) override;
};

// Keeps every message; for tests.
class RecordingMessenger final : public Messenger {
 public:
  void show(const Message& m) override { shown.push_back(m); }
  QStringList texts() const {
    QStringList out;
    for (const Message& m : shown) out << m.text;
    return out;
  }
  std::vector<Message> shown;
};

}  // namespace tarnix::app

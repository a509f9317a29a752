// The Protocol Key: the active focus's name and, line by line, each focused
// protocol in its link colour, then "Other".
#pragma once

#include <QGroupBox>
#include <QLabel>
#include <QString>
#include <QWidget>
#include <array>
#include <functional>
#include <vector>

namespace tarnix::ui {

inline constexpr int kKeyLines = 18;
inline constexpr int kKeyListed = 17;
inline constexpr int kOtherPaletteIndex = 32;
inline constexpr int kPaletteSize = 33;

struct KeyEntry {
  QString name;       // the protocol's name
  int palette_index;  // 0..31
};

struct KeyLine {
  QString text;           // empty for an unused line
  int palette_index = 0;  // colour of the text
};

struct KeyContent {
  QString title;
  std::array<KeyLine, kKeyLines> lines;
};

// What the key shows: with no focus, "No Focus" and empty lines; otherwise the
// focus name, at most 17 entries in order, then "Other" in colour 32.
KeyContent protocol_key_content(const QString* focus_name, const std::vector<KeyEntry>& entries);

class ProtocolKey : public QWidget {
  Q_OBJECT
 public:
  explicit ProtocolKey(QWidget* parent = nullptr);

  // protocol_key_show with the active focus, or protocol_key_clear with none.
  void show_focus(const QString* focus_name, const std::vector<KeyEntry>& entries,
                  const std::array<QRgb, kPaletteSize>& palette);
  void clear_focus();

  // Enables "Protocol Editor" in the key's popup menu.
  void set_editor(std::function<void()> open_editor) { editor_ = std::move(open_editor); }

  QString title_text() const { return title_->text(); }
  QString line_text(int k) const { return lines_[std::size_t(k)]->text(); }
  QColor line_colour(int k) const;

 protected:
  void resizeEvent(QResizeEvent* e) override;
  void contextMenuEvent(QContextMenuEvent* e) override;

 private:
  void apply(const KeyContent& c, const std::array<QRgb, kPaletteSize>& palette);
  void layout_area();
  void fit(QLabel* line, int y, int height);

  QGroupBox* box_;
  QWidget* area_;
  QLabel* title_;
  std::array<QLabel*, kKeyLines> lines_{};
  QFont key_font_;
  std::function<void()> editor_;
};

}  // namespace tarnix::ui

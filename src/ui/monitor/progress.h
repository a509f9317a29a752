// The small window that long database jobs and report builders show while
// they run: a caption and one progress bar filling it.
//
// Every call may come from any thread. The calls are posted to the GUI thread
// in order, so a worker never waits for the window: it can create, step and
// destroy it while the GUI is busy, and the window catches up.
#pragma once

#include <QString>

class QWidget;

namespace tarnix::ui {

struct Progress;  // opaque

// A tool-style, topmost window owned by the main window with the title as
// caption and one progress bar filling it, at (x, y) size w x h in screen
// pixels; bar range 0..range, its step and start position.
Progress* progress_create(int x, int y, int w, int h, int range, int step, int start, const QString& title);
void progress_step(Progress* p);     // advances by its step
void progress_destroy(Progress* p);  // destroys window and bar; p is invalid afterwards

// The job changing its mind part-way (a count learnt late, a phase's label).
void progress_set_range(Progress* p, int range);
void progress_set_position(Progress* p, int position);
void progress_set_step(Progress* p, int step);
void progress_set_text(Progress* p, const QString& text);

// Where callers put it: below the menu bar at the main window's left.
inline constexpr int kProgressX = 5, kProgressY = 44, kProgressW = 295, kProgressH = 40;

// The window of `p`, or null before the GUI thread has built it. GUI thread only.
QWidget* progress_window(Progress* p);

}  // namespace tarnix::ui

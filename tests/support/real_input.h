// Real input for tests of the windows: the mouse and the keyboard of an X
// server, driven with xdotool, so that clicks and keys reach the program the way
// a person's do, through the window system, its popups and grabs included.
#pragma once

#include <QPoint>
#include <QString>

class QWidget;

namespace test_support {

// Whether this process runs on an X server that xdotool can drive; the tests of
// the e2e label run on a virtual screen with a window manager.
bool RealInputAvailable();
// Moves the pointer to the centre of w (or to a point of the screen) and clicks
// the left button once.
void RealClick(const QWidget* w);
void RealClick(QPoint global);
// Types text into whatever has the keyboard focus.
void RealType(const QString& text);
// Presses and releases one key, by its X name ("Return", "Escape").
void RealKey(const char* key);

}  // namespace test_support

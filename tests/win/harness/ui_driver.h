// Driving a program's windows from a test, the way a user reaches them: messages to the
// real controls, or real key strokes through the X server.
#pragma once

#include <windows.h>

#include <functional>
#include <string>
#include <vector>

namespace harness {

// Child windows of `parent` in window order, optionally of one class.
std::vector<HWND> Children(HWND parent, const char* className = nullptr);
// The first child of this class with exactly this text; null when there is none.
HWND ChildWithText(HWND parent, const char* className, const std::string& text);
// A window's text; empty when its program does not answer within a few seconds.
std::string Text(HWND window);
std::string ClassOf(HWND window);
void SetText(HWND control, const std::string& text);

// Position and size of a child in its parent's client area, and a window's client size.
RECT RectInParent(HWND child);
SIZE ClientSize(HWND window);

// Input as the user gives it, queued to the program's thread: a button press, a click on a
// label, and a key press delivered to the given control (as the focused one would get it).
void Click(HWND button);
void ClickLabel(HWND label);
void PressKey(HWND target, UINT virtualKey);

// Real key strokes through the X server, to `window` (brought to the front first), in
// xdotool's names: "Tab", "alt+F1", "shift+F1", "Return", "z" ...
// False when they could not be sent. They arrive some time after this returns.
bool SendRealKeys(HWND window, const std::string& keys);

// The same, sent again (up to three times in all) while `done` does not hold within a few
// seconds: the X focus can lag behind Wine's foreground window, and strokes that reach a
// window disabled by a modal box are dropped. Only for keys whose repeat is harmless once
// `done` holds. False when the keys could not be sent or `done` never held.
bool SendRealKeysUntil(HWND window, const std::string& keys, const std::function<bool()>& done);

// Pixels at 96 DPI in the system's font resolution, as the program scales its layout.
int Scaled(int pixels96);

}  // namespace harness

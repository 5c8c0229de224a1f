#pragma once

#include <QString>

#include <functional>

// Framework services the windows use, thin over Qt, with seams for tests.
namespace Services {

// The system beep. Tests install a hook to count beeps instead.
void Beep();
void setBeepHook(std::function<void()> hook); // empty: the real beep
int beepCount();                              // beeps since start (or last reset)
void resetBeepCount();

// Opens a web or mail URL with the system's handler. Tests install a hook.
bool ShowURL(const QString& url);
void setShowUrlHook(std::function<bool(const QString&)> hook);

// Whether the Shift key is held at this moment.
bool ShiftKeyDown();
void setShiftKeyOverride(int state); // -1: real keyboard, 0 up, 1 down (tests)

} // namespace Services

#include "Services.h"

#include <QApplication>
#include <QDesktopServices>
#include <QGuiApplication>
#include <QUrl>

namespace Services {
namespace {
std::function<void()> gBeepHook;
std::function<bool(const QString&)> gUrlHook;
int gBeeps = 0;
int gShift = -1;
} // namespace

void Beep()
{
    ++gBeeps;
    if (gBeepHook)
        gBeepHook();
    else
        QApplication::beep();
}

void setBeepHook(std::function<void()> hook)
{
    gBeepHook = std::move(hook);
}

int beepCount()
{
    return gBeeps;
}

void resetBeepCount()
{
    gBeeps = 0;
}

bool ShowURL(const QString& url)
{
    if (gUrlHook)
        return gUrlHook(url);
    return QDesktopServices::openUrl(QUrl(url));
}

void setShowUrlHook(std::function<bool(const QString&)> hook)
{
    gUrlHook = std::move(hook);
}

bool ShiftKeyDown()
{
    if (gShift >= 0)
        return gShift == 1;
    return QGuiApplication::queryKeyboardModifiers().testFlag(Qt::ShiftModifier);
}

void setShiftKeyOverride(int state)
{
    gShift = state;
}

} // namespace Services

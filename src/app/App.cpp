#include "App.h"

#include "Module1.h"
#include "MsgDlg.h"
#include "about/Window2.h"
#include "link/TransSepaWindow.h"
#include "remote/RemoconWindow.h"
#include "settings/PreferClass.h"

#include <QApplication>
#include <QCoreApplication>
#include <QDir>

App::App(QObject* parent) : QObject(parent)
{
    connect(qApp, &QCoreApplication::aboutToQuit, this, &App::Event_Close);
}

App::~App()
{
    Event_Close();
}

TransSepaWindow* App::transSepaWindow() const
{
    return mTransSepa;
}

RemoconWindow* App::remoconWindow() const
{
    return mRemocon;
}

void App::Init(const QString& baseFolder)
{
    // A missing file is written with the defaults by the constructor; a
    // missing folder leaves the defaults in memory only.
    delete gPref;
    gPref = baseFolder.isEmpty() ? new PreferClass(QString::fromLatin1(cProgramName))
                                 : new PreferClass(QString::fromLatin1(cProgramName), baseFolder);
    gPref->ReadData();
    gEOM = QByteArray(1, '\r');
    // From here on a save is one the user asked for (OK in the port
    // settings): one that fails is told, or the user would believe the
    // settings kept. They stay in effect for this run all the same.
    PreferClass::setSaveFailureHandler(&App::SaveFailed);
}

void App::SaveFailed(const QString& file, const QString& reason)
{
    QApplication::beep();
    MsgDlg(2, QStringLiteral("OK"), QString(), QString(),
           QStringLiteral("設定を保存できませんでした..."),
           QDir::toNativeSeparators(file) + QLatin1Char('\n') + reason + QLatin1Char('\n') +
               QStringLiteral("設定はこの実行の間だけ有効です。"),
           QString());
}

void App::Event_Open()
{
    Window2::instance()->Welcome(); // returns once the splash has closed

    Init();

    mTransSepa = new TransSepaWindow;
    mTransSepa->move(cOffScreenLeft, mTransSepa->y());

    mRemocon = new RemoconWindow;
    mRemocon->show();
    emit started();
}

void App::Event_Close()
{
    if (mClosed)
        return;
    mClosed = true;
    // The remote first (it reads gTw), then the controller window, whose
    // closing ends the link in its ordinary way.
    delete mRemocon.data();
    if (mTransSepa) {
        mTransSepa->close();
        delete mTransSepa.data();
    }
}

#pragma once

// Helpers for the console's tests: wire traces and the answers to the modal dialogs the console
// opens (its questions, alerts and file dialogs).
#include <QAbstractButton>
#include <QApplication>
#include <QByteArray>
#include <QFileDialog>
#include <QFileInfo>
#include <QLineEdit>
#include <QMessageBox>
#include <QPointer>
#include <QTimer>

#include <functional>

inline QByteArray H(const char* hex)
{
    return QByteArray::fromHex(hex);
}

// The wire of a read of `length` addresses from `address` with the given code: code, address
// low, address high, 00 for each.
inline QByteArray ReadWire(quint8 code, int address, int length)
{
    QByteArray wire;
    for (int a = address; a < address + length; ++a)
        wire += QByteArray(1, char(code)) + char(a & 0xFF) + char(a >> 8) + '\0';
    return wire;
}

// One refresh of all eight servo groups (D4..DB, six 00 each), then, after the first of every
// four refreshes, the moving flag (B0 00).
inline QByteArray PollWire(bool moving = true)
{
    QByteArray wire;
    for (int g = 1; g <= 8; ++g)
        wire += QByteArray(1, char(0xD3 + g)) + QByteArray(6, '\0');
    return moving ? wire + H("B000") : wire;
}

// The identification, checksum and program header reads of a full identify.
inline QByteArray IdentifyWire(const QByteArray& name)
{
    return H("F000") + name.left(5) + ReadWire(0xF7, 0x04F2, 2) + ReadWire(0xF2, 0, 16);
}

// Answers the modal dialogs as they show up, in order, each with the next handler. What each
// showed is kept: the class, then for an alert its title, text and explanation.
class ModalAnswers : public QObject
{
public:
    using Handler = std::function<void(QWidget*)>;

    ModalAnswers()
    {
        connect(&mTimer, &QTimer::timeout, this, [this] {
            QWidget* modal = QApplication::activeModalWidget();
            if (!modal || !modal->isVisible() || modal == mLast || mQueue.isEmpty())
                return;
            mLast = modal;
            if (auto* box = qobject_cast<QMessageBox*>(modal))
                seen << QStringLiteral("QMessageBox|%1|%2|%3")
                            .arg(box->windowTitle(), box->text(), box->informativeText());
            else
                seen << QString::fromLatin1(modal->metaObject()->className());
            mQueue.takeFirst()(modal);
        });
        mTimer.start(10);
    }

    void then(Handler handler) { mQueue << std::move(handler); }
    // Presses the alert's button with this caption.
    void press(const QString& caption)
    {
        then([caption](QWidget* w) {
            auto* box = qobject_cast<QMessageBox*>(w);
            for (QAbstractButton* b : box ? box->buttons() : QList<QAbstractButton*>()) {
                if (b->text() == caption) {
                    b->click();
                    return;
                }
            }
            w->close();
        });
    }
    // Chooses this file in the file dialog.
    void choose(const QString& path)
    {
        then([path](QWidget* w) {
            auto* dialog = qobject_cast<QFileDialog*>(w);
            if (!dialog) {
                w->close();
                return;
            }
            // Typed into the name field, as a user does: the dialog's selectFile() leaves a
            // field that has the focus alone.
            const QFileInfo info(path);
            dialog->setDirectory(info.absolutePath());
            if (auto* name = dialog->findChild<QLineEdit*>(QStringLiteral("fileNameEdit")))
                name->setText(info.fileName());
            static_cast<QDialog*>(dialog)->accept(); // QFileDialog::accept, as its button does
            if (dialog->isVisible())
                dialog->close(); // refused: the test sees an empty choice, not a hang
        });
    }
    bool done() const { return mQueue.isEmpty(); }

    QStringList seen;

private:
    QList<Handler> mQueue;
    QPointer<QWidget> mLast; // the dialog answered last, while it still exists
    QTimer mTimer;
};

#pragma once

#include <QByteArray>
#include <QObject>
#include <QString>

// Why a port could not be opened, or why it failed while open. The link turns
// these into words for the user; the raw system text stays in errorString().
enum class SerialError
{
    None,
    PermissionDenied, // the user may not use the device (on Debian: not in "dialout")
    Busy,             // another program holds the device
    NotFound,         // no such device (unplugged, wrong path)
    DeviceGone,       // the device vanished while open (USB unplugged, pty hung up)
    NotSerialDevice,  // the path names a file, a folder or a device that is no terminal
    Other
};

// One way of reaching a controller: a real device, the built-in virtual
// controller, or a test fake. Serial owns exactly one at a time.
//
// Contract every backend keeps:
//  - write() hands the bytes to the device unchanged; flush() (the link's
//    xmitWait) pushes them out before it returns.
//  - dataAvailable is emitted from the event loop whenever bytes arrive,
//    never from inside write().
//  - readAll() returns every byte received since the last call, possibly none.
//  - errorOccurred is emitted for failures while open. A device that is gone
//    (DeviceGone) is closed by the backend before it reports so.
class SerialBackend : public QObject
{
    Q_OBJECT
public:
    using QObject::QObject;
    ~SerialBackend() override = default;

    // 9600 8N1 without handshake is the only line the controller speaks; the
    // speed is passed so a backend can honour it (or imitate its timing).
    virtual bool open(qint32 baud) = 0;
    virtual void close() = 0;
    virtual bool isOpen() const = 0;
    virtual qint64 write(const QByteArray& bytes) = 0;
    virtual void flush() = 0;
    virtual QByteArray readAll() = 0;
    // A chance to look for data that arrived without a notification.
    virtual void poll() {}
    // Drops every received byte not read yet, in the device and in any
    // buffer on the way: what arrives afterwards is an answer to what is
    // written afterwards.
    virtual void discardInput() { (void)readAll(); }
    virtual void setBaud(qint32 baud) { Q_UNUSED(baud); }

    SerialError lastError() const { return mLastError; }
    QString errorString() const { return mErrorString; }

signals:
    void dataAvailable();
    void errorOccurred(SerialError error, const QString& text);

protected:
    void setLastError(SerialError error, const QString& text)
    {
        mLastError = error;
        mErrorString = text;
    }

private:
    SerialError mLastError = SerialError::None;
    QString mErrorString;
};

#include "QSerialPortBackend.h"

#include <QFile>
#include <QFileInfo>

#include <cerrno>

#include <fcntl.h>
#include <poll.h>
#include <sys/file.h>
#include <sys/ioctl.h>
#include <sys/stat.h>
#include <unistd.h>

#ifdef Q_OS_LINUX
#include <linux/serial.h>
#endif

namespace {

// USB-serial adapters hold received bytes for up to 16 ms before passing
// them on; a lock-step protocol pays that on every byte. Ask the driver to
// pass each byte on at once. Devices without the ioctl (pseudo-terminals,
// Bluetooth) refuse it, and that is fine: they have no such delay.
void requestLowLatency([[maybe_unused]] QSerialPort& port)
{
#ifdef Q_OS_LINUX
    const int fd = static_cast<int>(port.handle());
    if (fd < 0)
        return;
    serial_struct ss{};
    if (::ioctl(fd, TIOCGSERIAL, &ss) == 0) {
        ss.flags |= ASYNC_LOW_LATENCY;
        (void)::ioctl(fd, TIOCSSERIAL, &ss);
    }
#endif
}

// Opens the device the way QSerialPort does, without waiting for a carrier
// and without making it our terminal. A descriptor, or -1 with errno set.
int openDevice(const QString& path)
{
    const QByteArray name = QFile::encodeName(path);
    return ::open(name.constData(), O_RDWR | O_NOCTTY | O_NONBLOCK | O_CLOEXEC);
}

// A serial line is a terminal: a character device that answers the terminal
// calls (USB adapters, rfcomm, pseudo-terminals). A regular file, a FIFO or
// /dev/null is none.
bool isTerminal(int fd)
{
    struct stat st
    {
    };
    return ::fstat(fd, &st) == 0 && S_ISCHR(st.st_mode) && ::isatty(fd) == 1;
}

// What the path names instead of a terminal, for the error text.
QString kindOf(int fd)
{
    struct stat st
    {
    };
    if (::fstat(fd, &st) != 0)
        return qt_error_string(errno);
    if (S_ISREG(st.st_mode))
        return QStringLiteral("a regular file");
    if (S_ISFIFO(st.st_mode))
        return QStringLiteral("a FIFO");
    if (S_ISSOCK(st.st_mode))
        return QStringLiteral("a socket");
    if (S_ISCHR(st.st_mode))
        return QStringLiteral("a device that is no terminal");
    return QStringLiteral("not a terminal");
}

// Whether a program holds the terminal in exclusive mode (TIOCEXCL, as
// QSerialPort does). Others then cannot open it, except the superuser, whom
// the mode does not stop: so ask.
bool heldExclusively([[maybe_unused]] int fd)
{
#ifdef TIOCGEXCL
    int exclusive = 0;
    return ::ioctl(fd, TIOCGEXCL, &exclusive) == 0 && exclusive != 0;
#else
    return false;
#endif
}

} // namespace

QSerialPortBackend::QSerialPortBackend(const QString& devicePath, QObject* parent)
    : SerialBackend(parent), mPath(devicePath)
{
    mPort.setPortName(devicePath);
    connect(&mPort, &QSerialPort::readyRead, this, &SerialBackend::dataAvailable);
    connect(&mPort, &QSerialPort::errorOccurred, this, &QSerialPortBackend::onError);
}

QSerialPortBackend::~QSerialPortBackend()
{
    close();
}

SerialError QSerialPortBackend::mapError(QSerialPort::SerialPortError error)
{
    switch (error) {
    case QSerialPort::NoError:
        return SerialError::None;
    case QSerialPort::PermissionError:
        return SerialError::PermissionDenied;
    case QSerialPort::DeviceNotFoundError:
        return SerialError::NotFound;
    case QSerialPort::ResourceError:
        return SerialError::DeviceGone;
    case QSerialPort::OpenError:
        return SerialError::Busy;
    default:
        return SerialError::Other;
    }
}

SerialError QSerialPortBackend::classifyErrno(int error)
{
    switch (error) {
    case EBUSY:
        return SerialError::Busy;
    case EACCES:
    case EPERM:
    case EROFS:
        return SerialError::PermissionDenied;
    case ENOENT:
    case ENOTDIR:
    case ENODEV:
    case ENXIO:
        return SerialError::NotFound;
    case EISDIR:
        return SerialError::NotSerialDevice;
    default:
        return SerialError::Other;
    }
}

SerialError QSerialPortBackend::classifyOpenFailure(QSerialPort::SerialPortError error,
                                                    const QString& path)
{
    if (error != QSerialPort::PermissionError)
        return error == QSerialPort::OpenError ? SerialError::Busy : mapError(error);
    const int fd = openDevice(path);
    if (fd >= 0) {
        // The device itself opens: what refused was the lock file that
        // another program holding the device keeps.
        ::close(fd);
        return SerialError::Busy;
    }
    return classifyErrno(errno);
}

SerialError QSerialPortBackend::probe(const QString& path)
{
    const int fd = openDevice(path);
    if (fd < 0)
        return classifyErrno(errno);
    SerialError result = SerialError::None;
    if (!isTerminal(fd))
        result = SerialError::NotSerialDevice;
    else if (::flock(fd, LOCK_SH | LOCK_NB) != 0)
        result = errno == EWOULDBLOCK ? SerialError::Busy : classifyErrno(errno);
    else if (heldExclusively(fd))
        result = SerialError::Busy;
    // Closed as found: no settings made, nothing flushed, no modem line set.
    ::close(fd);
    return result;
}

bool QSerialPortBackend::lockDevice()
{
    const int fd = openDevice(mPath);
    if (fd < 0) {
        const int error = errno;
        setLastError(classifyErrno(error), qt_error_string(error));
        return false;
    }
    SerialError refusal = SerialError::None;
    QString text;
    if (!isTerminal(fd)) {
        refusal = SerialError::NotSerialDevice;
        text = kindOf(fd);
    } else if (::flock(fd, LOCK_EX | LOCK_NB) != 0) {
        // The lock is on the device, not on the name it was reached by: two
        // paths to one device (a symbolic link and its node) meet here, and
        // so do two programs of the superuser, whom the terminal's exclusive
        // mode does not stop.
        // Either way it is told in the system's words for a busy device, as
        // the open of a terminal held exclusively reads to other users.
        const int error = errno;
        refusal = error == EWOULDBLOCK ? SerialError::Busy : classifyErrno(error);
        text = qt_error_string(error == EWOULDBLOCK ? EBUSY : error);
    } else if (heldExclusively(fd)) {
        refusal = SerialError::Busy;
        text = qt_error_string(EBUSY);
    }
    if (refusal != SerialError::None) {
        ::close(fd);
        setLastError(refusal, text);
        return false;
    }
    mLockFd = fd;
    return true;
}

void QSerialPortBackend::unlockDevice()
{
    if (mLockFd < 0)
        return;
    ::close(mLockFd); // and with it the lock
    mLockFd = -1;
}

bool QSerialPortBackend::open(qint32 baud)
{
    if (mPort.isOpen())
        return true;
    mGone = false;
    mClosing = false;
    mPort.setBaudRate(baud);
    mPort.setDataBits(QSerialPort::Data8);
    mPort.setParity(QSerialPort::NoParity);
    mPort.setStopBits(QSerialPort::OneStop);
    mPort.setFlowControl(QSerialPort::NoFlowControl);
    // The device is ours before QSerialPort configures the line: a port
    // another program holds is left as it is.
    if (!lockDevice())
        return false;
    if (!mPort.open(QIODevice::ReadWrite)) {
        setLastError(classifyOpenFailure(mPort.error(), mPath), mPort.errorString());
        unlockDevice();
        return false;
    }
    // Modem lines: some adapters power the controller's interface from DTR.
    mPort.setDataTerminalReady(true);
    requestLowLatency(mPort);
    setLastError(SerialError::None, {});
    return true;
}

void QSerialPortBackend::close()
{
    if (!mPort.isOpen()) {
        unlockDevice();
        return;
    }
    // Throw away anything not yet sent, so closing never waits on a device
    // that stopped taking data. What fails while closing is no news.
    mClosing = true;
    mPort.clear(QSerialPort::AllDirections);
    mPort.close();
    unlockDevice();
    mClosing = false;
}

bool QSerialPortBackend::isOpen() const
{
    return mPort.isOpen();
}

qint64 QSerialPortBackend::write(const QByteArray& bytes)
{
    const qint64 n = mPort.write(bytes);
    // Hand the byte to the device now rather than on a later pass of the
    // event loop: every exchange waits for it.
    mPort.flush();
    return n;
}

void QSerialPortBackend::flush()
{
    mPort.flush();
}

QByteArray QSerialPortBackend::readAll()
{
    return mPort.readAll();
}

void QSerialPortBackend::setBaud(qint32 baud)
{
    if (mPort.isOpen())
        mPort.setBaudRate(baud);
}

void QSerialPortBackend::discardInput()
{
    if (!mPort.isOpen())
        return;
    // QSerialPort's own buffer first, then the driver's queue (tcflush).
    (void)mPort.readAll();
    mPort.clear(QSerialPort::Input);
}

bool QSerialPortBackend::deviceGone() const
{
    if (!QFileInfo::exists(mPath))
        return true;
    const int fd = static_cast<int>(mPort.handle());
    if (fd < 0)
        return true;
    pollfd p{fd, POLLIN | POLLOUT, 0};
    return ::poll(&p, 1, 0) > 0 && (p.revents & (POLLHUP | POLLERR | POLLNVAL)) != 0;
}

void QSerialPortBackend::onError(QSerialPort::SerialPortError error)
{
    if (error == QSerialPort::NoError || !mPort.isOpen() || mClosing)
        return;
    // Pseudo-terminals and network bridges have no modem lines and refuse
    // their ioctls (setting DTR, for one). Nothing failed that the protocol
    // needs.
    if (error == QSerialPort::UnsupportedOperationError)
        return;

    SerialError e = mapError(error);
    QString text = mPort.errorString();
    // A read that fails or finds the end of the stream means the device has
    // hung up (pseudo-terminal closed, adapter pulled). QSerialPort reports
    // the end of the stream as a ReadError with a stale system text and
    // keeps its read notifier armed, so it would fail again at every turn of
    // the event loop.
    // A write that fails on a line that has hung up (EIO) or on a device node
    // that was removed is the same loss, seen from the other direction.
    const bool lost = error == QSerialPort::ReadError || error == QSerialPort::ResourceError ||
                      (error == QSerialPort::WriteError && deviceGone());
    if (lost) {
        if (mGone)
            return;
        mGone = true;
        e = SerialError::DeviceGone;
        if (error == QSerialPort::ReadError)
            text = QStringLiteral("The device hung up");
    }
    setLastError(e, text);

    // Report from the event loop, not from inside QSerialPort's notifier:
    // the receiver may close or delete this port in its handler. A device
    // that is gone is closed first, so that it stops waking the loop.
    QMetaObject::invokeMethod(
        this,
        [this, e, text] {
            if (e == SerialError::DeviceGone)
                close();
            emit errorOccurred(e, text);
        },
        Qt::QueuedConnection);
}

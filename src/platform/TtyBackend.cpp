#include "TtyBackend.h"

#include <QFile>

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
void requestLowLatency([[maybe_unused]] int fd)
{
#ifdef Q_OS_LINUX
    serial_struct ss{};
    if (::ioctl(fd, TIOCGSERIAL, &ss) == 0) {
        ss.flags |= ASYNC_LOW_LATENCY;
        (void)::ioctl(fd, TIOCSSERIAL, &ss);
    }
#endif
}

speed_t SpeedCode(qint32 baud)
{
    switch (baud) {
    case 1200:
        return B1200;
    case 2400:
        return B2400;
    case 4800:
        return B4800;
    case 19200:
        return B19200;
    case 38400:
        return B38400;
    case 57600:
        return B57600;
    case 115200:
        return B115200;
    default:
        return B9600; // the controller's own speed
    }
}

// Opens the device without waiting for a carrier and without making it our
// terminal. A descriptor, or -1 with errno set.
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

// Whether a program holds the terminal in exclusive mode (TIOCEXCL, as this
// program and most serial tools do). Others then cannot open it, except the superuser, whom
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

TtyBackend::TtyBackend(const QString& devicePath, QObject* parent)
    : SerialBackend(parent), mPath(devicePath)
{
}

TtyBackend::~TtyBackend()
{
    close();
}

SerialError TtyBackend::classifyErrno(int error)
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
    case ENOTTY:
        return SerialError::NotSerialDevice;
    default:
        return SerialError::Other;
    }
}

SerialError TtyBackend::probe(const QString& path)
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

int TtyBackend::lockDevice()
{
    const int fd = openDevice(mPath);
    if (fd < 0) {
        const int error = errno;
        setLastError(classifyErrno(error), qt_error_string(error));
        return -1;
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
        // mode does not stop. Told in the system's words for a busy device,
        // as the open of a terminal held exclusively reads to other users.
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
        return -1;
    }
    return fd;
}

bool TtyBackend::configure(qint32 baud)
{
    termios tio{};
    if (::tcgetattr(mFd, &tio) != 0)
        return false;
    if (!mSavedOk) {
        mSaved = tio;
        mSavedOk = true;
    }
    // Raw 8-bit bytes both ways, no parity, one stop bit, no handshake of
    // any kind, the modem's carrier ignored. A read returns what is there;
    // with nothing there it fails with EAGAIN (the descriptor does not
    // block), so that a read of nothing means the line has hung up. (With
    // VMIN 0 an empty read would also return nothing.)
    ::cfmakeraw(&tio);
    tio.c_cflag &= ~(CSIZE | PARENB | CSTOPB | CRTSCTS);
    tio.c_cflag |= CS8 | CLOCAL | CREAD;
    tio.c_iflag &= ~(IXON | IXOFF | IXANY);
    tio.c_cc[VMIN] = 1;
    tio.c_cc[VTIME] = 0;
    ::cfsetispeed(&tio, SpeedCode(baud));
    ::cfsetospeed(&tio, SpeedCode(baud));
    return ::tcsetattr(mFd, TCSANOW, &tio) == 0;
}

bool TtyBackend::open(qint32 baud)
{
    if (mFd >= 0)
        return true;
    mGone = false;
    mSavedOk = false;
    mIn.clear();
    mOut.clear();
    // The device is ours before the line is configured: a port another
    // program holds is left as it is.
    mFd = lockDevice();
    if (mFd < 0)
        return false;
    // Others (but the superuser) cannot open it while we use it.
    (void)::ioctl(mFd, TIOCEXCL);
    if (!configure(baud)) {
        const int error = errno;
        ::close(std::exchange(mFd, -1));
        setLastError(classifyErrno(error), qt_error_string(error));
        return false;
    }
    // Modem lines: some adapters power the controller's interface from DTR.
    // Pseudo-terminals and bridges have none and refuse: nothing the
    // protocol needs.
    int dtr = TIOCM_DTR;
    (void)::ioctl(mFd, TIOCMBIS, &dtr);
    requestLowLatency(mFd);

    mReadNotifier = std::make_unique<QSocketNotifier>(mFd, QSocketNotifier::Read);
    connect(mReadNotifier.get(), &QSocketNotifier::activated, this, [this] {
        const qsizetype before = mIn.size();
        const bool alive = readAvailable();
        // The receiver may close this port in its handler: nothing after it.
        if (alive && mIn.size() > before)
            emit dataAvailable();
    });
    mWriteNotifier = std::make_unique<QSocketNotifier>(mFd, QSocketNotifier::Write);
    mWriteNotifier->setEnabled(false);
    connect(mWriteNotifier.get(), &QSocketNotifier::activated, this, &TtyBackend::writePending);
    setLastError(SerialError::None, {});
    return true;
}

void TtyBackend::close()
{
    if (mFd < 0)
        return;
    mReadNotifier.reset();
    mWriteNotifier.reset();
    // Throw away anything not yet sent, so closing never waits on a device
    // that stopped taking data, and leave the line as it was found.
    (void)::tcflush(mFd, TCIOFLUSH);
    if (mSavedOk)
        (void)::tcsetattr(mFd, TCSANOW, &mSaved);
    (void)::ioctl(mFd, TIOCNXCL);
    ::close(std::exchange(mFd, -1)); // and with it the lock
    mIn.clear();
    mOut.clear();
}

bool TtyBackend::readAvailable()
{
    char buf[4096];
    for (;;) {
        const ssize_t n = ::read(mFd, buf, sizeof buf);
        if (n > 0) {
            mIn.append(buf, qsizetype(n));
            if (size_t(n) < sizeof buf)
                return true;
            continue;
        }
        if (n < 0 && errno == EINTR)
            continue;
        if (n < 0 && (errno == EAGAIN || errno == EWOULDBLOCK))
            return true;
        // The end of the stream, or EIO: the line has hung up (a
        // pseudo-terminal's other end closed, an adapter pulled).
        lost(n == 0 ? EIO : errno);
        return false;
    }
}

void TtyBackend::lost(int error)
{
    if (mGone)
        return;
    mGone = true;
    // A dead descriptor left watched would wake the event loop for ever.
    if (mReadNotifier)
        mReadNotifier->setEnabled(false);
    if (mWriteNotifier)
        mWriteNotifier->setEnabled(false);
    const QString text =
        error == EIO ? QStringLiteral("The device hung up") : qt_error_string(error);
    setLastError(SerialError::DeviceGone, text);
    // Told from the event loop, not from inside a notifier or a write: the
    // receiver may close or delete this port in its handler.
    QMetaObject::invokeMethod(
        this,
        [this, text] {
            close();
            emit errorOccurred(SerialError::DeviceGone, text);
        },
        Qt::QueuedConnection);
}

qint64 TtyBackend::write(const QByteArray& bytes)
{
    if (mFd < 0 || mGone)
        return -1;
    // Handed to the device now rather than on a later pass of the event
    // loop: every exchange waits for it.
    mOut.append(bytes);
    writePending();
    return bytes.size();
}

void TtyBackend::writePending()
{
    while (mFd >= 0 && !mOut.isEmpty()) {
        const ssize_t n = ::write(mFd, mOut.constData(), size_t(mOut.size()));
        if (n > 0) {
            mOut.remove(0, qsizetype(n));
            continue;
        }
        if (n < 0 && errno == EINTR)
            continue;
        if (n < 0 && (errno == EAGAIN || errno == EWOULDBLOCK))
            break; // the rest when the device takes more
        const int error = errno;
        if (error == EIO || error == ENXIO || error == ENODEV || error == EPIPE) {
            lost(error);
            return;
        }
        // Anything else is a failure the user decides about; the device is
        // still there.
        const QString text = qt_error_string(error);
        setLastError(SerialError::Other, text);
        mOut.clear();
        QMetaObject::invokeMethod(
            this, [this, text] { emit errorOccurred(SerialError::Other, text); },
            Qt::QueuedConnection);
        return;
    }
    if (mWriteNotifier)
        mWriteNotifier->setEnabled(!mOut.isEmpty());
}

void TtyBackend::flush()
{
    writePending();
}

QByteArray TtyBackend::readAll()
{
    QByteArray out;
    out.swap(mIn);
    return out;
}

void TtyBackend::poll()
{
    // Bytes that arrived while their notification is still to come.
    if (mFd >= 0 && !mGone)
        (void)readAvailable();
}

void TtyBackend::setBaud(qint32 baud)
{
    if (mFd >= 0)
        (void)configure(baud);
}

void TtyBackend::discardInput()
{
    if (mFd < 0)
        return;
    // What was read already, then the driver's queue.
    mIn.clear();
    (void)::tcflush(mFd, TCIFLUSH);
}

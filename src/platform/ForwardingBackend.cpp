#include "ForwardingBackend.h"

ForwardingBackend::ForwardingBackend(std::unique_ptr<SerialBackend> inner)
    : mInner(std::move(inner))
{
    connect(mInner.get(), &SerialBackend::dataAvailable, this, &SerialBackend::dataAvailable);
    connect(mInner.get(), &SerialBackend::errorOccurred, this,
            [this](SerialError error, const QString& text) {
                setLastError(error, text);
                emit errorOccurred(error, text);
            });
}

bool ForwardingBackend::open(qint32 baud)
{
    const bool ok = mInner->open(baud);
    setLastError(mInner->lastError(), mInner->errorString());
    return ok;
}

qint64 ForwardingBackend::write(const QByteArray& bytes)
{
    written(bytes);
    return mInner->write(bytes);
}

QByteArray ForwardingBackend::readAll()
{
    const QByteArray bytes = mInner->readAll();
    if (!bytes.isEmpty())
        received(bytes);
    return bytes;
}

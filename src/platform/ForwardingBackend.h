#pragma once

#include "SerialBackend.h"

#include <memory>

// A backend that hands every call on to another and lets a subclass look at
// the bytes on their way: the command line's trace, a benchmark's count.
class ForwardingBackend : public SerialBackend
{
public:
    explicit ForwardingBackend(std::unique_ptr<SerialBackend> inner);

    bool open(qint32 baud) override;
    void close() override { mInner->close(); }
    bool isOpen() const override { return mInner->isOpen(); }
    qint64 write(const QByteArray& bytes) override;
    void flush() override { mInner->flush(); }
    QByteArray readAll() override;
    void poll() override { mInner->poll(); }
    // The device's own discard: the default would only read what the port
    // has buffered, leaving the driver's queue to pass for answers.
    void discardInput() override { mInner->discardInput(); }
    void setBaud(qint32 baud) override { mInner->setBaud(baud); }

protected:
    virtual void written(const QByteArray& bytes) { (void)bytes; }
    // Bytes read (never empty).
    virtual void received(const QByteArray& bytes) { (void)bytes; }

private:
    std::unique_ptr<SerialBackend> mInner;
};

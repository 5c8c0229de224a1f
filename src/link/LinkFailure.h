#pragma once

#include "platform/SerialBackend.h"

#include <QByteArray>
#include <QMetaType>
#include <QString>

// Why an exchange with the controller did not finish, and where it stood.
// The link records one whenever an exchange fails; the windows turn it into
// an alert, the command line into its message and exit code, board jobs into
// their result.
enum class LinkFault
{
    None,
    NotOpened,  // the port could not be opened (see openError)
    NoReply,    // no answer within the reply bound
    WrongReply, // an answer the protocol fixes came back different
    LineNoise,  // more than one byte where one answer was due
    Lost,       // the device went away (unplugged, hung up)
    Closed,     // the link was closed while the exchange ran
};

struct LinkFailure
{
    LinkFault fault = LinkFault::None;
    QByteArray cmd;       // the exchange (mMcpCmd) as it stood
    qint32 addr = 0;      // mMcpAddr
    qint32 step = 0;      // mMcpStep
    qint32 replies = 0;   // answers taken by this exchange before it failed
    QByteArray sent;      // the byte whose answer failed (empty: none sent yet)
    QByteArray expected;  // the answer the protocol fixes; empty when any byte would do
    QByteArray received;  // what came instead (all bytes of the read for LineNoise)
    QString expectedText; // for answers fixed by a rule rather than a byte
    SerialError openError = SerialError::None; // NotOpened, Lost
    QString systemText;                        // the system's words, when it gave any

    bool isNull() const { return fault == LinkFault::None; }
};

Q_DECLARE_METATYPE(LinkFailure)

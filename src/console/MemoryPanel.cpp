#include "MemoryPanel.h"

#include "ConsoleJobs.h"
#include "JobProgress.h"
#include "link/BoardJobs.h"
#include "platform/Services.h"

#include <QComboBox>
#include <QDir>
#include <QFileDialog>
#include <QFontDatabase>
#include <QFormLayout>
#include <QHBoxLayout>
#include <QLabel>
#include <QLineEdit>
#include <QPlainTextEdit>
#include <QPushButton>
#include <QRegularExpressionValidator>
#include <QSaveFile>
#include <QSpinBox>
#include <QVBoxLayout>

#include <cerrno>

namespace {

constexpr qint32 kAddressSpace = 0x10000;

QString Hex(qint32 value, int digits)
{
    return QStringLiteral("%1").arg(value, digits, 16, QLatin1Char('0')).toUpper();
}

const Memory kMemories[] = {Memory::Sram, Memory::IntRom, Memory::ExtRom};

QString MemoryCaption(Memory memory)
{
    switch (memory) {
    case Memory::Sram:
        return QStringLiteral("スタティックRAM");
    case Memory::IntRom:
        return QStringLiteral("内部ROM");
    case Memory::ExtRom:
        return QStringLiteral("外部ROM");
    }
    return {};
}

} // namespace

MemoryPanel::MemoryPanel(ConsoleJobs* jobs, QWidget* parent) : QWidget(parent), mJobs(jobs)
{
    setObjectName(QStringLiteral("MemoryPanel"));
    auto* layout = new QVBoxLayout(this);

    auto* form = new QFormLayout;
    mMemory = new QComboBox(this);
    mMemory->setObjectName(QStringLiteral("MemoryCB"));
    for (Memory m : kMemories)
        mMemory->addItem(QStringLiteral("%1 (%2)").arg(MemoryCaption(m), MemoryName(m)));
    form->addRow(QStringLiteral("メモリ(&Y):"), mMemory);

    mAddress = new QLineEdit(QStringLiteral("0000"), this);
    mAddress->setObjectName(QStringLiteral("AddressED"));
    mAddress->setValidator(new QRegularExpressionValidator(
        QRegularExpression(QStringLiteral("[0-9A-Fa-f]{1,4}")), mAddress));
    mAddress->setMaximumWidth(mAddress->fontMetrics().horizontalAdvance(QStringLiteral("FFFFFF")) +
                              16);
    form->addRow(QStringLiteral("先頭アドレス（16進）(&A):"), mAddress);

    mLength = new QSpinBox(this);
    mLength->setObjectName(QStringLiteral("LengthNB"));
    mLength->setRange(1, kAddressSpace);
    mLength->setValue(256);
    mLength->setSuffix(QStringLiteral(" バイト"));
    form->addRow(QStringLiteral("長さ(&N):"), mLength);
    layout->addLayout(form);

    auto* buttons = new QHBoxLayout;
    mRead = new QPushButton(QStringLiteral("読込み(&R)"), this);
    mRead->setObjectName(QStringLiteral("ReadPB"));
    mSave = new QPushButton(QStringLiteral("ファイルに保存...(&S)"), this);
    mSave->setObjectName(QStringLiteral("SavePB"));
    mSave->setEnabled(false);
    buttons->addWidget(mRead);
    buttons->addWidget(mSave);
    buttons->addStretch(1);
    layout->addLayout(buttons);
    connect(mRead, &QPushButton::clicked, this, &MemoryPanel::read);
    connect(mSave, &QPushButton::clicked, this, &MemoryPanel::save);

    mProgress = new JobProgress(QStringLiteral("メモリの読込み"), this);
    layout->addWidget(mProgress);
    connect(mProgress, &JobProgress::cancelRequested, this, [this] {
        if (mJob)
            mJobs->cancel(mJob);
    });

    mResult = new QLabel(this);
    mResult->setObjectName(QStringLiteral("ResultST"));
    mResult->setWordWrap(true);
    mResult->setTextInteractionFlags(Qt::TextSelectableByMouse);
    layout->addWidget(mResult);

    mView = new QPlainTextEdit(this);
    mView->setObjectName(QStringLiteral("HexView"));
    mView->setAccessibleName(QStringLiteral("メモリの内容"));
    mView->setReadOnly(true);
    mView->setLineWrapMode(QPlainTextEdit::NoWrap);
    mView->setFont(QFontDatabase::systemFont(QFontDatabase::FixedFont));
    // Read-only text takes Tab as a move to the next control.
    mView->setTabChangesFocus(true);
    layout->addWidget(mView, 1);
}

QString MemoryPanel::hexDump(qint32 address, const QByteArray& bytes)
{
    QStringList lines;
    for (qsizetype at = 0; at < bytes.size(); at += 16) {
        const QByteArray row = bytes.mid(at, 16);
        QString hex;
        QString ascii;
        for (qsizetype i = 0; i < row.size(); ++i) {
            const auto b = quint8(row.at(i));
            hex += Hex(b, 2) + QLatin1Char(' ');
            if (i == 7)
                hex += QLatin1Char(' ');
            ascii += b >= 0x20 && b < 0x7F ? QChar(b) : QChar('.');
        }
        lines << QStringLiteral("%1  %2 |%3|")
                     .arg(Hex(address + qint32(at), 4), hex.leftJustified(49), ascii);
    }
    return lines.join(QLatin1Char('\n'));
}

bool MemoryPanel::saveFile(const QString& path, const QByteArray& bytes, QString* error)
{
    QSaveFile file(path);
    errno = 0;
    if (!file.open(QIODevice::WriteOnly | QIODevice::Unbuffered) ||
        file.write(bytes) != bytes.size() || !file.commit()) {
        if (error)
            *error = errno ? qt_error_string(errno) : file.errorString();
        return false;
    }
    return true;
}

void MemoryPanel::read()
{
    if (mJob)
        return;
    bool ok = false;
    const qint32 address = mAddress->text().toInt(&ok, 16);
    const qint32 length = mLength->value();
    if (!ok || address < 0 || qint64(address) + length > kAddressSpace) {
        mResult->setText(QStringLiteral("範囲がアドレス空間（0000〜FFFF）を越えています。"));
        return;
    }
    const Memory memory = kMemories[std::clamp(mMemory->currentIndex(), 0, 2)];
    mJob = std::make_shared<ReadMemoryJob>(QStringLiteral("read"), memory, address, length);
    mDataMemory = mMemory->currentIndex();
    mRead->setEnabled(false);
    mResult->setText(QStringLiteral("%1 の %2 から %3 バイトを読込み中...")
                         .arg(MemoryCaption(memory), Hex(address, 4))
                         .arg(length));
    mProgress->follow(mJob);
    if (!mJobs->submit(
            mJob, [this](BoardJob&) { finished(); }, [this](BoardJob&) { mProgress->update(); })) {
        mJob.reset();
        mProgress->follow(nullptr);
        mRead->setEnabled(true);
        mResult->setText(QStringLiteral("コントローラーがありません。"));
    }
}

void MemoryPanel::finished()
{
    const std::shared_ptr<ReadMemoryJob> job = std::exchange(mJob, nullptr);
    mProgress->follow(nullptr);
    mRead->setEnabled(true);
    const QString where =
        QStringLiteral("%1 %2").arg(MemoryCaption(job->memory()), Hex(job->address(), 4));
    switch (job->state()) {
    case BoardJob::State::Done:
        mData = job->data();
        mDataAddress = job->address();
        mView->setPlainText(hexDump(mDataAddress, mData));
        mSave->setEnabled(true);
        mResult->setText(
            QStringLiteral("%1 から %2 バイトを読み込みました。").arg(where).arg(mData.size()));
        break;
    case BoardJob::State::Cancelled:
        mResult->setText(QStringLiteral("%1 からの読込みを中止しました（%2 / %3 バイト）。")
                             .arg(where)
                             .arg(job->done())
                             .arg(job->total()));
        break;
    default: {
        const QString why =
            job->failure().isNull() ? job->error() : ConsoleJobs::faultText(job->failure());
        mResult->setText(QStringLiteral("%1 からの読込みに失敗しました: %2").arg(where, why));
        break;
    }
    }
}

void MemoryPanel::save()
{
    if (mData.isEmpty())
        return;
    const QString name =
        QStringLiteral("%1-%2-%3.bin")
            .arg(MemoryName(kMemories[std::clamp(mDataMemory, 0, 2)]), Hex(mDataAddress, 4))
            .arg(mData.size());
    const QString path = QFileDialog::getSaveFileName(this, QStringLiteral("メモリの保存"),
                                                      QDir::home().filePath(name));
    if (path.isEmpty())
        return;
    QString error;
    if (saveFile(path, mData, &error)) {
        mResult->setText(
            QStringLiteral("%1 バイトを %2 に保存しました。").arg(mData.size()).arg(path));
    } else {
        Services::Beep();
        mResult->setText(QStringLiteral("%1 に保存できませんでした: %2").arg(path, error));
    }
}

#pragma once

#include <QStringList>
#include <QTimer>
#include <QWidget>

class QPlainTextEdit;
class QPushButton;

// The link's traffic: every byte written ("W: ") and read ("R: "), one line
// each, as the link logs them. The link logs only while this pane is on
// screen; the lines gathered arrive in the view a few times a second, and
// the view keeps the last cMaxLines.
class TrafficPanel : public QWidget
{
    Q_OBJECT
public:
    static constexpr int cMaxLines = 5000;
    static constexpr int cFlushMs = 50;

    explicit TrafficPanel(QWidget* parent = nullptr);
    ~TrafficPanel() override;

    QPlainTextEdit* view() const { return mView; }
    QPushButton* clearButton() const { return mClear; }
    // Shows what has arrived so far at once.
    void flush();

protected:
    void showEvent(QShowEvent* event) override;
    void hideEvent(QHideEvent* event) override;

private:
    void setLogging(bool on);
    void append(const QString& text);

    QPlainTextEdit* mView = nullptr;
    QPushButton* mClear = nullptr;
    QStringList mPending;
    QString mPartial; // a line not yet ended
    QTimer mFlush;
    bool mLogging = false;
};

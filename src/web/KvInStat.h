// KvInStat: the status window that accompanies a web component's Execute: four numbered steps with a
// glyph each, the remote and local file names, a status line, a progress bar and a Cancel button. With a
// QApplication it is a modeless Qt window laid out at fixed positions; without one it is a progress line
// on standard error. Both implement TKvInetStatusView, declared with the web component that owns the
// window (kviupdate), so the component drives either the same way and never includes this unit.
#pragma once

#include "web/kviupdate.h"

#include <QWidget>

class QLabel;
class QProgressBar;
class QPushButton;
class QFrame;

namespace KvInet {

/// The status line of an action ("" for iaIdle, which leaves the line unchanged), read from the message
/// texts at the moment of the call.
QString StatusActionText(TKvIAction Action);
/// The step (1..4) an action marks and the glyph it puts there; false for iaIdle.
bool StatusActionStep(TKvIAction Action, int& Step, int& Glyph);
/// The progress line: strKvInProgress with bytes so far, total, and the whole percentage (0 when the
/// total is unknown).
QString StatusProgressText(int64_t CurValue, int64_t MaxValue);

/// The status window as Qt widgets, placed as the original form at 96 dots per inch.
class TfrmKvInetUpdate : public QWidget, public TKvInetStatusView {
    Q_OBJECT
public:
    explicit TfrmKvInetUpdate(QWidget* Parent = nullptr);
    ~TfrmKvInetUpdate() override;

    void Prepare(const TKvInetStatusDialog& Settings, bool ShowFileNames, const QString& Remote,
                 const QString& Local) override;
    void ShowStatus() override;
    void ShowAction(TKvIAction Action) override;
    void ShowProgress(int64_t CurValue, int64_t MaxValue) override;

    /// The six step glyphs: 0 running, 1 warning, 2 connected, 3 compared, 4 downloaded, 5 disconnected.
    static QPixmap Glyph(int Index);

    QFrame* pnlDescription;
    QLabel* lblCaption;
    QLabel* imgBackground;
    QLabel* imgDescription;
    QLabel* lblDescription;
    QLabel* imgLogo;
    QLabel* lblRemote;
    QLabel* lblLocal;
    QLabel* lblRemoteFileName;
    QLabel* lblLocalFileName;
    QLabel* imgStep[4];
    QLabel* lblStep[4];
    QLabel* lblStatus;
    QProgressBar* pbStatus;
    QPushButton* btnCancel;

protected:
    void FormCreate();
    void btnCancelClick();
};

/// The status window without widgets: one line on standard error, redrawn in place on a terminal.
class TKvInetStatusLine : public TKvInetStatusView {
public:
    TKvInetStatusLine();
    ~TKvInetStatusLine() override;
    void Prepare(const TKvInetStatusDialog& Settings, bool ShowFileNames, const QString& Remote,
                 const QString& Local) override;
    void ShowStatus() override;
    void ShowAction(TKvIAction Action) override;
    void ShowProgress(int64_t CurValue, int64_t MaxValue) override;

private:
    void Draw(const QString& Text, bool Final);
    bool FTerminal;
    bool FOpenLine = false;
    int FLastPercent = -1;
    int64_t FLastDrawMs = 0;
    QString FHeader;
};

} // namespace KvInet

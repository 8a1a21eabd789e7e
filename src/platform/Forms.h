// Forms: the application-level user interface services the components use: message dialogs, pumping the
// event queue, and whether real windows can be shown. With a QApplication they are Qt Widgets on its thread
// and nothing on any other thread; without one (console programs, services, tests) nothing ever blocks on a
// window: errors go to stderr, information to stdout. An application that uses another toolkit installs its
// own handler. Also the timer and the picture holder of the components that refresh a picture, and the
// binding that shows such a picture in a label.
#pragma once

#include "platform/Classes.h"

#include <QByteArray>
#include <QString>
#include <QTimer>
#include <QUrl>

#include <functional>

class QLabel;

namespace KvInet {

enum TMsgDlgType { mtWarning, mtError, mtInformation, mtConfirmation, mtCustom };

/// Buttons of a message dialog, combinable; also the results (mrOk = mbOK ...).
enum TMsgDlgBtn : unsigned { mbYes = 1, mbNo = 2, mbOK = 4, mbCancel = 8 };
enum TModalResult { mrNone = 0, mrOk = 1, mrCancel = 2, mrYes = 6, mrNo = 7 };

/// Handler for message dialogs: type, text, buttons (a TMsgDlgBtn set); returns a TModalResult.
using TMessageDlgHandler = std::function<int(TMsgDlgType, const QString&, unsigned)>;

/// Where the calling thread's windows, dialogs and prompts go; every visual path asks this one question.
enum class TUserInterface {
    uiWidgets, ///< a QApplication exists and the caller is on its thread: Qt widgets
    uiConsole, ///< no QApplication (console programs, services): the terminal, stdout and stderr
    uiNone,    ///< a QApplication exists and the caller is on another thread: nothing is shown
};
/// The user interface of the calling thread (see TUserInterface).
TUserInterface UserInterface();
/// True when widgets may be created here: a QApplication exists and the caller is on its thread.
bool HasWidgets();

/// Shows a modal message dialog and returns the button chosen. On a console (no QApplication): information
/// and confirmation texts go to stdout, warnings and errors to stderr. Off the GUI thread of a widget
/// application nothing is shown (the caller keeps the text in its LastError). Either way the result is the
/// first of OK, Yes, Cancel, No that Buttons holds. An installed handler is called on any thread.
int MessageDlg(const QString& Msg, TMsgDlgType DlgType, unsigned Buttons);
/// An information message with an OK button.
void ShowMessage(const QString& Msg);
/// Replaces the message dialog (null restores the default); returns the previous handler.
TMessageDlgHandler SetMessageDlgHandler(TMessageDlgHandler Handler);

/// Processes pending events of the application's queue once (no-op without an application object).
void ProcessMessages();

/// Handler for opening a link: returns whether the link was handed over.
using TOpenURLHandler = std::function<bool(const QUrl&)>;
/// Opens a link with the desktop's handler for its kind (a browser, a mail program), never through a
/// shell; on a console the link is printed on stdout; off the GUI thread of a widget application nothing
/// is opened and the result is false. The caller decides which links may be opened.
bool OpenURL(const QUrl& Url);
/// Replaces the link opener (null restores the default); returns the previous handler.
TOpenURLHandler SetOpenURLHandler(TOpenURLHandler Handler);

/// The title of the application (its display name), used as the caption of message dialogs.
QString ApplicationTitle();

/// A timer on the thread's event queue: fires OnTimer every Interval milliseconds while Enabled, Interval
/// is above 0 and OnTimer is assigned. Each change of Enabled, Interval or OnTimer starts the count anew.
class TTimer : public TComponent {
    Q_OBJECT
    Q_PROPERTY(bool Enabled READ Enabled WRITE SetEnabled)
    Q_PROPERTY(int Interval READ Interval WRITE SetInterval)
public:
    /// Enabled, Interval 1000, no OnTimer.
    explicit TTimer(TComponent* AOwner = nullptr);

    bool Enabled() const { return FEnabled; }
    void SetEnabled(bool Value);
    /// Milliseconds between two events; 0 stops the timer (an interval of 0 would fire without pause).
    int Interval() const { return FInterval; }
    /// Raises EConvertError for a negative value (nothing changed).
    void SetInterval(int Value);
    const TNotifyEvent& OnTimer() const { return FOnTimer; }
    void SetOnTimer(TNotifyEvent Value);
    /// Whether the timer is counting now (Enabled, Interval above 0, OnTimer assigned).
    bool Running() const { return FTimer.isActive(); }

private:
    void UpdateTimer();

    QTimer FTimer;
    bool FEnabled = true;
    int FInterval = 1000;
    TNotifyEvent FOnTimer;
};

/// A picture holder: a component holding one encoded picture (Picture: the bytes of a PNG, JPEG... file, as
/// read). It is no widget and decodes nothing, so programs without Qt Gui can use it; BindImageToLabel
/// decodes and shows it in a QLabel. Freeing it tells the components that asked (FreeNotification).
class TImage : public TComponent {
    Q_OBJECT
    Q_PROPERTY(QByteArray Picture READ Picture WRITE SetPicture)
public:
    explicit TImage(TComponent* AOwner = nullptr) : TComponent(AOwner) {}

    const QByteArray& Picture() const { return FPicture; }
    /// Replaces the picture, then fires OnChange and PictureChanged.
    void SetPicture(const QByteArray& Value);
    /// Reads a picture file, its format recognised from the content, never from the name (IsPicture of
    /// platform/Pictures). False when the file holds no picture this program can read: the picture is then
    /// left as it was and Error says why.
    bool LoadFromFile(const QString& FileName, QString& Error);
    /// Fired after every change of the picture.
    const TNotifyEvent& OnChange() const { return FOnChange; }
    void SetOnChange(TNotifyEvent Value) { FOnChange = std::move(Value); }

signals:
    /// The same moment as OnChange, for views (BindImageToLabel): OnChange stays the application's.
    void PictureChanged();

private:
    QByteArray FPicture;
    TNotifyEvent FOnChange;
};

/// Shows Image's picture in Label now and after every change, until either is freed (the label then keeps
/// the last picture). Needs a QApplication, as any widget does.
void BindImageToLabel(TImage* Image, QLabel* Label);

} // namespace KvInet

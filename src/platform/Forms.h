// Forms: the application-level user interface services the components use: message dialogs, pumping the
// event queue, and whether real windows can be shown. With a QApplication they are Qt Widgets; without one
// (console programs, services, tests) nothing ever blocks on a window: errors go to stderr, information to
// stdout. An application that uses another toolkit installs its own handler.
#pragma once

#include <QString>
#include <QUrl>

#include <functional>

namespace KvInet {

enum TMsgDlgType { mtWarning, mtError, mtInformation, mtConfirmation, mtCustom };

/// Buttons of a message dialog, combinable; also the results (mrOk = mbOK ...).
enum TMsgDlgBtn : unsigned { mbYes = 1, mbNo = 2, mbOK = 4, mbCancel = 8 };
enum TModalResult { mrNone = 0, mrOk = 1, mrCancel = 2, mrYes = 6, mrNo = 7 };

/// Handler for message dialogs: type, text, buttons (a TMsgDlgBtn set); returns a TModalResult.
using TMessageDlgHandler = std::function<int(TMsgDlgType, const QString&, unsigned)>;

/// True when a QApplication exists, so that widgets may be created.
bool HasWidgets();

/// Shows a modal message dialog and returns the button chosen. Without widgets: information and
/// confirmation texts go to stdout, warnings and errors to stderr, and the result is the first of OK, Yes,
/// Cancel, No that Buttons holds.
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
/// shell; without widgets the link is printed on stdout. The caller decides which links may be opened.
bool OpenURL(const QUrl& Url);
/// Replaces the link opener (null restores the default); returns the previous handler.
TOpenURLHandler SetOpenURLHandler(TOpenURLHandler Handler);

/// The title of the application (its display name), used as the caption of message dialogs.
QString ApplicationTitle();

} // namespace KvInet

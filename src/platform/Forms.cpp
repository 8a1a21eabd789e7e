// Forms: message dialogs and the event queue, with or without widgets.
#include "platform/Forms.h"

#include "platform/Pictures.h"
#include "platform/QtPictures.h"

#include <QApplication>
#include <QCoreApplication>
#include <QDesktopServices>
#include <QFile>
#include <QLabel>
#include <QMessageBox>
#include <QPixmap>
#include <QThread>

#include <cstdio>

namespace KvInet {

namespace {
TMessageDlgHandler& MessageHandler() {
    static TMessageDlgHandler handler;
    return handler;
}

TOpenURLHandler& OpenHandler() {
    static TOpenURLHandler handler;
    return handler;
}

// The answer of a dialog nobody sees.
int UnseenAnswer(unsigned Buttons) {
    if (Buttons & mbOK)
        return mrOk;
    if (Buttons & mbYes)
        return mrYes;
    if (Buttons & mbCancel)
        return mrCancel;
    return (Buttons & mbNo) ? mrNo : mrOk;
}

int ConsoleMessage(TMsgDlgType Type, const QString& Msg, unsigned Buttons) {
    const QByteArray text = Msg.toUtf8();
    FILE* out = (Type == mtError || Type == mtWarning) ? stderr : stdout;
    std::fwrite(text.constData(), 1, size_t(text.size()), out);
    std::fputc('\n', out);
    std::fflush(out);
    return UnseenAnswer(Buttons);
}

int WidgetMessage(TMsgDlgType Type, const QString& Msg, unsigned Buttons) {
    QMessageBox box;
    box.setWindowTitle(ApplicationTitle());
    box.setText(Msg);
    switch (Type) {
    case mtWarning:
        box.setIcon(QMessageBox::Warning);
        break;
    case mtError:
        box.setIcon(QMessageBox::Critical);
        break;
    case mtInformation:
        box.setIcon(QMessageBox::Information);
        break;
    case mtConfirmation:
        box.setIcon(QMessageBox::Question);
        break;
    case mtCustom:
        break;
    }
    QMessageBox::StandardButtons buttons;
    if (Buttons & mbYes)
        buttons |= QMessageBox::Yes;
    if (Buttons & mbNo)
        buttons |= QMessageBox::No;
    if (Buttons & mbOK)
        buttons |= QMessageBox::Ok;
    if (Buttons & mbCancel)
        buttons |= QMessageBox::Cancel;
    box.setStandardButtons(buttons ? buttons : QMessageBox::Ok);
    switch (box.exec()) {
    case QMessageBox::Yes:
        return mrYes;
    case QMessageBox::No:
        return mrNo;
    case QMessageBox::Cancel:
        return mrCancel;
    default:
        return mrOk;
    }
}
} // namespace

TUserInterface UserInterface() {
    // A widget made on another thread crashes the application, and a modal loop there never sees the
    // user's input: off the GUI thread a widget application shows nothing. A console program keeps its
    // terminal on every thread.
    const QCoreApplication* app = QCoreApplication::instance();
    if (!qobject_cast<const QApplication*>(app))
        return TUserInterface::uiConsole;
    return app->thread() == QThread::currentThread() ? TUserInterface::uiWidgets : TUserInterface::uiNone;
}

bool HasWidgets() {
    return UserInterface() == TUserInterface::uiWidgets;
}

int MessageDlg(const QString& Msg, TMsgDlgType DlgType, unsigned Buttons) {
    if (MessageHandler())
        return MessageHandler()(DlgType, Msg, Buttons);
    switch (UserInterface()) {
    case TUserInterface::uiWidgets:
        return WidgetMessage(DlgType, Msg, Buttons);
    case TUserInterface::uiConsole:
        return ConsoleMessage(DlgType, Msg, Buttons);
    case TUserInterface::uiNone:
        break;
    }
    return UnseenAnswer(Buttons);
}

void ShowMessage(const QString& Msg) {
    MessageDlg(Msg, mtInformation, mbOK);
}

TMessageDlgHandler SetMessageDlgHandler(TMessageDlgHandler Handler) {
    TMessageDlgHandler old = std::move(MessageHandler());
    MessageHandler() = std::move(Handler);
    return old;
}

void ProcessMessages() {
    if (QCoreApplication::instance())
        QCoreApplication::processEvents();
}

bool OpenURL(const QUrl& Url) {
    if (OpenHandler())
        return OpenHandler()(Url);
    switch (UserInterface()) {
    case TUserInterface::uiWidgets:
        return QDesktopServices::openUrl(Url);
    case TUserInterface::uiNone:
        return false;
    case TUserInterface::uiConsole:
        break;
    }
    const QByteArray text = Url.toString(QUrl::FullyEncoded).toUtf8();
    std::fwrite(text.constData(), 1, size_t(text.size()), stdout);
    std::fputc('\n', stdout);
    std::fflush(stdout);
    return true;
}

TOpenURLHandler SetOpenURLHandler(TOpenURLHandler Handler) {
    TOpenURLHandler old = std::move(OpenHandler());
    OpenHandler() = std::move(Handler);
    return old;
}

QString ApplicationTitle() {
    const QString name = QCoreApplication::applicationName();
    return name.isEmpty() ? QStringLiteral("KvInet") : name;
}

// ---- TTimer ----------------------------------------------------------------------------------------------

TTimer::TTimer(TComponent* AOwner) : TComponent(AOwner) {
    // A child, so that moving the component to another thread moves its timer along.
    FTimer.setParent(this);
    FTimer.setTimerType(Qt::CoarseTimer);
    QObject::connect(&FTimer, &QTimer::timeout, this, [this] {
        // The handler may free or stop this timer: a copy runs.
        if (TNotifyEvent handler = FOnTimer)
            handler(this);
    });
}

void TTimer::SetEnabled(bool Value) {
    FEnabled = Value;
    UpdateTimer();
}

void TTimer::SetInterval(int Value) {
    if (Value < 0)
        throw EConvertError(
            QStringLiteral("%1 is not a valid interval: 0 (stopped) or more milliseconds").arg(Value));
    FInterval = Value;
    UpdateTimer();
}

void TTimer::SetOnTimer(TNotifyEvent Value) {
    FOnTimer = std::move(Value);
    UpdateTimer();
}

void TTimer::UpdateTimer() {
    FTimer.stop();
    if (FEnabled && FInterval > 0 && FOnTimer)
        FTimer.start(FInterval);
}

// ---- TImage ----------------------------------------------------------------------------------------------

void TImage::SetPicture(const QByteArray& Value) {
    FPicture = Value;
    if (FOnChange)
        FOnChange(this);
    emit PictureChanged();
}

bool TImage::LoadFromFile(const QString& FileName, QString& Error) {
    QFile file(FileName);
    if (!file.open(QIODevice::ReadOnly)) {
        Error = QStringLiteral("Cannot open file \"%1\". %2").arg(FileName, file.errorString());
        return false;
    }
    const QByteArray picture = file.readAll();
    if (file.error() != QFileDevice::NoError) {
        Error = QStringLiteral("Cannot read file \"%1\". %2").arg(FileName, file.errorString());
        return false;
    }
    // The content decides: a page saved under a picture's name is no picture, whatever it is called.
    if (!IsPicture(picture)) {
        Error = QStringLiteral("not a picture");
        return false;
    }
    SetPicture(picture);
    return true;
}

void BindImageToLabel(TImage* Image, QLabel* Label) {
    if (!Image || !Label)
        return;
    const auto show = [Image, Label] {
        Label->setPixmap(QPixmap::fromImage(DecodePicture(Image->Picture())));
    };
    show();
    // The connection ends with either object.
    QObject::connect(Image, &TImage::PictureChanged, Label, show);
}

} // namespace KvInet

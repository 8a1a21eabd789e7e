// Forms: message dialogs and the event queue, with or without widgets.
#include "platform/Forms.h"

#include <QApplication>
#include <QCoreApplication>
#include <QDesktopServices>
#include <QMessageBox>

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

int ConsoleMessage(TMsgDlgType Type, const QString& Msg, unsigned Buttons) {
    const QByteArray text = Msg.toUtf8();
    FILE* out = (Type == mtError || Type == mtWarning) ? stderr : stdout;
    std::fwrite(text.constData(), 1, size_t(text.size()), out);
    std::fputc('\n', out);
    std::fflush(out);
    if (Buttons & mbOK)
        return mrOk;
    if (Buttons & mbYes)
        return mrYes;
    if (Buttons & mbCancel)
        return mrCancel;
    return (Buttons & mbNo) ? mrNo : mrOk;
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

bool HasWidgets() {
    return qobject_cast<QApplication*>(QCoreApplication::instance()) != nullptr;
}

int MessageDlg(const QString& Msg, TMsgDlgType DlgType, unsigned Buttons) {
    if (MessageHandler())
        return MessageHandler()(DlgType, Msg, Buttons);
    return HasWidgets() ? WidgetMessage(DlgType, Msg, Buttons) : ConsoleMessage(DlgType, Msg, Buttons);
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
    if (HasWidgets())
        return QDesktopServices::openUrl(Url);
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

} // namespace KvInet

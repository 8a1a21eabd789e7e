// KvILogOn: the logon prompt: an installed function, the dialog, the terminal, or Cancel.
#include "socket/KvILogOn.h"

#include "platform/Forms.h"
#include "platform/System.h"

#include <QFrame>
#include <QLabel>
#include <QLineEdit>
#include <QPainter>
#include <QPainterPath>
#include <QPushButton>

#include <cstdio>
#include <string>

namespace KvInet {

namespace {

TKvLogonPrompt& InstalledPrompt() {
    static TKvLogonPrompt prompt;
    return prompt;
}

const char* const DefaultCaption = "Enter Password";

// A brass key lying diagonally, bow at the upper left.
QPixmap KeyPicture() {
    QPixmap pixmap(24, 24);
    pixmap.fill(Qt::transparent);
    QPainter p(&pixmap);
    p.setRenderHint(QPainter::Antialiasing);
    const QColor brass(214, 168, 40);
    const QColor edge(110, 80, 10);
    p.setPen(QPen(edge, 1.2));
    p.setBrush(brass);
    p.translate(12, 12);
    p.rotate(45);
    QPainterPath key;
    key.addEllipse(QPointF(-6.5, 0), 5, 5);
    key.addRect(QRectF(-2, -1.5, 12, 3));
    key.addRect(QRectF(6, 1.5, 2, 3));
    key.addRect(QRectF(9, 1.5, 1.8, 2.2));
    key = key.simplified();
    key.addEllipse(QPointF(-7.5, 0), 1.8, 1.8); // the hole in the bow
    key.setFillRule(Qt::OddEvenFill);
    p.drawPath(key);
    return pixmap;
}

// A bevel that draws only the etched line along its top edge.
class TopLine : public QFrame {
public:
    using QFrame::QFrame;

protected:
    void paintEvent(QPaintEvent*) override {
        QPainter p(this);
        p.setPen(palette().color(QPalette::Dark));
        p.drawLine(0, 0, width() - 1, 0);
        p.setPen(palette().color(QPalette::Light));
        p.drawLine(0, 1, width() - 1, 1);
    }
};

bool DialogPrompt(const QString& Caption, QString& User, QString& Password) {
    TfrmKvILogon form;
    if (!Caption.isEmpty())
        form.setWindowTitle(Caption);
    form.edLogin->setText(User);
    form.edPassword->setText(Password);
    if (form.exec() != QDialog::Accepted)
        return false;
    User = form.edLogin->text();
    Password = form.edPassword->text();
    return true;
}

// An empty answer keeps the value shown in brackets, as an edit box pre-filled with it would.
bool TerminalPrompt(const QString& Caption, QString& User, QString& Password) {
    const QString title = Caption.isEmpty() ? QString::fromLatin1(DefaultCaption) : Caption;
    QString prompt = title + QStringLiteral("\nUser ID");
    if (!User.isEmpty())
        prompt += QStringLiteral(" [%1]").arg(User);
    prompt += QStringLiteral(": ");
    std::fputs(prompt.toLocal8Bit().constData(), stderr);
    std::fflush(stderr);
    std::string user, password;
    if (!ReadConsoleLine(user, true))
        return false;
    std::fputs(Password.isEmpty() ? "Password: " : "Password [unchanged]: ", stderr);
    std::fflush(stderr);
    if (!ReadConsoleLine(password, false))
        return false;
    if (!user.empty())
        User = QString::fromLocal8Bit(user.c_str());
    if (!password.empty())
        Password = QString::fromLocal8Bit(password.c_str());
    return true;
}

} // namespace

TfrmKvILogon::TfrmKvILogon(QWidget* Parent) : QDialog(Parent) {
    setObjectName(QStringLiteral("frmKvILogon"));
    setWindowTitle(QString::fromLatin1(DefaultCaption));
    QFont f(QStringLiteral("MS Sans Serif"));
    f.setPixelSize(11);
    setFont(f);
    setFixedSize(305, 105);
    move(200, 108);

    imgKey = new QLabel(this);
    imgKey->setObjectName(QStringLiteral("imgKey"));
    imgKey->setPixmap(KeyPicture());
    imgKey->setGeometry(16, 8, 24, 24);
    imgKey->setAttribute(Qt::WA_TranslucentBackground);

    auto label = [this](const char* Name, const char* Caption, int Left, int Top, int Width) {
        auto* l = new QLabel(QString::fromLatin1(Caption), this);
        l->setObjectName(QString::fromLatin1(Name));
        l->setGeometry(Left, Top, Width, 13);
        l->setAlignment(Qt::AlignRight | Qt::AlignVCenter);
        l->setAttribute(Qt::WA_TranslucentBackground);
        return l;
    };
    lblLogin = label("lblLogin", "User ID:", 48, 12, 88);
    lblPassword = label("lblPassword", "Password:", 16, 37, 120);

    edLogin = new QLineEdit(this);
    edLogin->setObjectName(QStringLiteral("edLogin"));
    edLogin->setGeometry(144, 8, 150, 21);
    edPassword = new QLineEdit(this);
    edPassword->setObjectName(QStringLiteral("edPassword"));
    edPassword->setGeometry(144, 32, 150, 21);
    // Masked: a password on the screen is there for anyone behind the user to read.
    edPassword->setEchoMode(QLineEdit::Password);
    lblLogin->setBuddy(edLogin);
    lblPassword->setBuddy(edPassword);

    bvlButtons = new TopLine(this);
    bvlButtons->setObjectName(QStringLiteral("bvlButtons"));
    bvlButtons->setGeometry(8, 64, 289, 17);

    btnOk = new QPushButton(QStringLiteral("&OK"), this);
    btnOk->setObjectName(QStringLiteral("btnOk"));
    btnOk->setGeometry(139, 72, 75, 25);
    btnOk->setDefault(true);
    connect(btnOk, &QPushButton::clicked, this, &QDialog::accept);
    btnCancel = new QPushButton(QStringLiteral("&Cancel"), this);
    btnCancel->setObjectName(QStringLiteral("btnCancel"));
    btnCancel->setGeometry(219, 72, 75, 25);
    btnCancel->setAutoDefault(false);
    // QDialog maps Escape to reject, which is what Cancel does.
    connect(btnCancel, &QPushButton::clicked, this, &QDialog::reject);

    setTabOrder(edLogin, edPassword);
    setTabOrder(edPassword, btnOk);
    setTabOrder(btnOk, btnCancel);
    edLogin->setFocus();
}

bool KvInAskLogon(const QString& Caption, QString& User, QString& Password) {
    if (InstalledPrompt())
        return InstalledPrompt()(Caption, User, Password);
    switch (UserInterface()) {
    case TUserInterface::uiWidgets:
        return DialogPrompt(Caption, User, Password);
    case TUserInterface::uiConsole:
        return ConsoleIsTerminal() && TerminalPrompt(Caption, User, Password);
    case TUserInterface::uiNone:
        break; // a widget application's worker: no dialog there, and its user is not at the terminal
    }
    return false;
}

TKvLogonPrompt SetLogonPrompt(TKvLogonPrompt Prompt) {
    TKvLogonPrompt old = std::move(InstalledPrompt());
    InstalledPrompt() = std::move(Prompt);
    return old;
}

bool TKvLogonChallenge::Answer(const QString& Caption, QString& User, QString& Password) {
    // The count of sends since the last confirmed answer: a cancel counts as a demand already refused.
    ++FTries;
    if (FPrompt)
        FTries = KvInAskLogon(Caption, User, Password) ? 0 : 2;
    return FTries <= 1;
}

} // namespace KvInet

// test-gui
// The logon dialog: layout against its table, tab order, OK/Cancel/Escape, the password mask, and
// KvInAskLogon driven through the real dialog; a screenshot goes to the build tree.
#include "socket/KvILogOn.h"

#include "support/TestSupport.h"

#include <QApplication>
#include <QFrame>
#include <QLabel>
#include <QLineEdit>
#include <QPushButton>
#include <QTest>
#include <QTimer>

using namespace KvInet;

namespace {

void PollDialog(std::function<void(TfrmKvILogon*)> Action) {
    auto* form = qobject_cast<TfrmKvILogon*>(QApplication::activeModalWidget());
    if (form && form->isVisible())
        Action(form);
    else
        QTimer::singleShot(10, [Action] { PollDialog(Action); });
}

/// Runs Action on the modal dialog as soon as it is shown.
void OnDialog(std::function<void(TfrmKvILogon*)> Action) {
    QTimer::singleShot(0, [Action] { PollDialog(Action); });
}

} // namespace

TEST(KvILogOn, LayoutAsDesigned) {
    TfrmKvILogon form;
    EXPECT_EQ(form.objectName(), QStringLiteral("frmKvILogon"));
    EXPECT_EQ(form.windowTitle(), QStringLiteral("Enter Password"));
    EXPECT_EQ(form.size(), QSize(305, 105));
    EXPECT_EQ(form.pos(), QPoint(200, 108));
    EXPECT_EQ(form.font().pixelSize(), 11);
    struct {
        QWidget* Widget;
        QRect Geometry;
    } layout[] = {
        {form.imgKey, QRect(16, 8, 24, 24)},        {form.lblLogin, QRect(48, 12, 88, 13)},
        {form.lblPassword, QRect(16, 37, 120, 13)}, {form.edLogin, QRect(144, 8, 150, 21)},
        {form.edPassword, QRect(144, 32, 150, 21)}, {form.bvlButtons, QRect(8, 64, 289, 17)},
        {form.btnOk, QRect(139, 72, 75, 25)},       {form.btnCancel, QRect(219, 72, 75, 25)},
    };
    for (const auto& l : layout)
        EXPECT_EQ(l.Widget->geometry(), l.Geometry) << l.Widget->objectName().toStdString();
    EXPECT_EQ(form.lblLogin->text(), QStringLiteral("User ID:"));
    EXPECT_EQ(form.lblPassword->text(), QStringLiteral("Password:"));
    EXPECT_TRUE(form.lblLogin->alignment() & Qt::AlignRight);
    EXPECT_TRUE(form.lblPassword->alignment() & Qt::AlignRight);
    EXPECT_EQ(form.btnOk->text(), QStringLiteral("&OK"));
    EXPECT_EQ(form.btnCancel->text(), QStringLiteral("&Cancel"));
    EXPECT_TRUE(form.btnOk->isDefault());
    EXPECT_FALSE(form.btnCancel->isDefault());
    EXPECT_EQ(form.edPassword->echoMode(), QLineEdit::Password);
    ASSERT_FALSE(form.imgKey->pixmap().isNull());
    EXPECT_EQ(form.imgKey->pixmap().size(), QSize(24, 24));

    form.show();
    ASSERT_TRUE(QTest::qWaitForWindowExposed(&form));
    QApplication::setActiveWindow(&form);
    form.edLogin->setFocus();
    QStringList order;
    QWidget* w = form.edLogin;
    for (int i = 0; i < 4; ++i) {
        order << w->objectName();
        w = w->nextInFocusChain();
        while (!(w->focusPolicy() & Qt::TabFocus))
            w = w->nextInFocusChain();
    }
    EXPECT_EQ(order, QStringList({QStringLiteral("edLogin"), QStringLiteral("edPassword"), QStringLiteral("btnOk"),
                                  QStringLiteral("btnCancel")}));
    form.edLogin->setText(QStringLiteral("alice"));
    form.edPassword->setText(QStringLiteral("secret"));
    KvTest::SaveScreenshot(&form, QStringLiteral("logon"));
}

TEST(KvILogOn, OkReturnsTheTypedTexts) {
    OnDialog([](TfrmKvILogon* form) {
        EXPECT_EQ(form->windowTitle(), QStringLiteral("Proxy Server authorization"));
        EXPECT_EQ(form->edLogin->text(), QStringLiteral("bob"));
        EXPECT_EQ(form->edPassword->text(), QStringLiteral("old"));
        form->edLogin->selectAll();
        QTest::keyClicks(form->edLogin, QStringLiteral("carol"));
        QTest::keyClick(form->edLogin, Qt::Key_Tab);
        form->edPassword->clear();
        QTest::keyClicks(form->edPassword, QStringLiteral("pw 2"));
        QTest::keyClick(form->edPassword, Qt::Key_Return); // the default button
    });
    QString user = QStringLiteral("bob"), password = QStringLiteral("old");
    EXPECT_TRUE(KvInAskLogon(QStringLiteral("Proxy Server authorization"), user, password));
    EXPECT_EQ(user, QStringLiteral("carol"));
    EXPECT_EQ(password, QStringLiteral("pw 2"));

    OnDialog([](TfrmKvILogon* form) {
        EXPECT_EQ(form->windowTitle(), QStringLiteral("Enter Password")); // empty caption
        QTest::mouseClick(form->btnOk, Qt::LeftButton);
    });
    EXPECT_TRUE(KvInAskLogon(QString(), user, password));
    EXPECT_EQ(user, QStringLiteral("carol"));
}

TEST(KvILogOn, CancelAndEscapeKeepTheValues) {
    for (const bool escape : {false, true}) {
        OnDialog([escape](TfrmKvILogon* form) {
            form->edLogin->setText(QStringLiteral("typed"));
            if (escape)
                QTest::keyClick(form->edLogin, Qt::Key_Escape);
            else
                QTest::mouseClick(form->btnCancel, Qt::LeftButton);
        });
        QString user = QStringLiteral("u"), password = QStringLiteral("p");
        EXPECT_FALSE(KvInAskLogon(QStringLiteral("HTTP Server authorization"), user, password));
        EXPECT_EQ(user, QStringLiteral("u"));
        EXPECT_EQ(password, QStringLiteral("p"));
    }
}

TEST(KvILogOn, InstalledPromptWins) {
    const TKvLogonPrompt previous = SetLogonPrompt([](const QString&, QString& User, QString&) {
        User = QStringLiteral("scripted");
        return true;
    });
    QString user, password;
    EXPECT_TRUE(KvInAskLogon(QString(), user, password));
    EXPECT_EQ(user, QStringLiteral("scripted"));
    SetLogonPrompt(previous);
}

// The retry rule shared by the web components (401 and 407 on one count) and the socket base.
TEST(KvILogOn, ChallengeRetryRule) {
    struct Case {
        const char* Name;
        bool Prompt;
        QList<bool> Answers;  // what the user answers at each prompt
        QList<bool> Expected; // Answer's result at each demand
    } cases[] = {
        {"prompt off: stored credentials once", false, {}, {true, false}},
        {"prompt on: confirmed, confirmed, cancelled", true, {true, true, false}, {true, true, false}},
        {"prompt on: cancel at once", true, {false}, {false}},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.Name);
        int asked = 0;
        SetLogonPrompt([&](const QString& Caption, QString& User, QString& Password) {
            EXPECT_EQ(Caption, "Server");
            const bool ok = asked < c.Answers.size() && c.Answers[asked];
            ++asked;
            if (ok) {
                User = QStringLiteral("user%1").arg(asked);
                Password = QStringLiteral("pw");
            }
            return ok;
        });
        TKvLogonChallenge challenge(c.Prompt);
        QString user = "stored", password = "secret";
        for (qsizetype i = 0; i < c.Expected.size(); ++i) {
            const QString before = user;
            EXPECT_EQ(challenge.Answer("Server", user, password), c.Expected[i]) << "demand " << i + 1;
            // A cancelled prompt keeps what was stored; a confirmed one replaces it.
            const bool confirmed = c.Prompt && c.Answers[i];
            EXPECT_EQ(user, confirmed ? QStringLiteral("user%1").arg(i + 1) : before);
        }
        EXPECT_EQ(asked, c.Prompt ? c.Expected.size() : 0);
        SetLogonPrompt(nullptr);
    }
}

// KvILogOn: the modal prompt for a user name and a password, used when a proxy or a web server asks for
// credentials. With a QApplication it is a dialog on the GUI thread and Cancel on any other thread; in a
// console program it asks on the terminal (the password without echo) when standard input is one; otherwise
// it answers Cancel. An application can install its own prompt, which is asked on any thread.
#pragma once

#include <QDialog>
#include <QString>

#include <functional>

class QLabel;
class QLineEdit;
class QPushButton;
class QFrame;

namespace KvInet {

/// A replacement prompt: same contract as KvInAskLogon.
using TKvLogonPrompt = std::function<bool(const QString& Caption, QString& User, QString& Password)>;

/// Asks for credentials under Caption ("Enter Password" when empty), showing User and Password as the
/// initial texts. Returns true when the user confirmed, and only then replaces User and Password.
bool KvInAskLogon(const QString& Caption, QString& User, QString& Password);

/// Installs a prompt used instead of the built-in one (null restores it); returns the previous one.
TKvLogonPrompt SetLogonPrompt(TKvLogonPrompt Prompt);

/// Answers the demands for credentials of one exchange (a server's 401, a proxy's 407; both share one
/// count). With the prompt on, each demand asks the user (KvInAskLogon): a confirmed answer replaces User
/// and Password and is tried, a cancel gives up. With the prompt off, the stored credentials are tried
/// once: the first demand is answered with them, the second gives up.
class TKvLogonChallenge {
public:
    explicit TKvLogonChallenge(bool Prompt) : FPrompt(Prompt) {}
    /// One demand, asked under Caption. True: send again with User and Password. False: give up.
    bool Answer(const QString& Caption, QString& User, QString& Password);

private:
    bool FPrompt;
    int FTries = 0;
};

/// The logon dialog: a key picture, "User ID:" and "Password:" edit boxes (the password masked), OK
/// (default) and Cancel (Escape). Client area 305 by 105 at (200, 108). Needs a QApplication.
class TfrmKvILogon : public QDialog {
    Q_OBJECT
public:
    explicit TfrmKvILogon(QWidget* Parent = nullptr);

    QLabel* imgKey;
    QLabel* lblLogin;
    QLabel* lblPassword;
    QLineEdit* edLogin;
    QLineEdit* edPassword;
    QFrame* bvlButtons;
    QPushButton* btnOk;
    QPushButton* btnCancel;
};

} // namespace KvInet

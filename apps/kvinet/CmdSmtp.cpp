// kvinet smtp: sends one message through an SMTP server (TKvISMTP) and prints the server's acceptance.
#include "Cli.h"
#include "SocketOptions.h"

#include "platform/SysUtils.h"
#include "socket/KvISMTP.h"

#include <QFile>

#include <cstdio>

namespace KvCli {

namespace {
const char* const synopsis = "--host HOST --from ADDRESS --to LIST [options]";
const char* const description =
    "Sends one e-mail message. LIST is a comma-separated address list (\"Ann <ann@example.com>, "
    "bob@example.com\").\n"
    "The text comes from --body-file (\"-\" reads standard input, UTF-8); every --attach adds a file, sent "
    "in\n"
    "base64 under its own name. On success the server's acceptance (\"250 ...\") is printed; a refusal is\n"
    "printed on standard error with exit status 1. A QUIT that fails after the acceptance is only a warning\n"
    "(standard error, exit status 0): the message is on its way.";

// The body text, which must be UTF-8: any other encoding would be altered without a word.
QString ReadBody(const QString& Name) {
    QFile file;
    const bool opened = Name == QLatin1String("-") ? file.open(stdin, QIODevice::ReadOnly)
                                                   : (file.setFileName(Name), file.open(QIODevice::ReadOnly));
    if (!opened)
        throw KvInet::EFOpenError(
            QStringLiteral("Cannot open file \"%1\". %2").arg(Name, file.errorString()));
    const QByteArray bytes = file.readAll();
    if (!QByteArrayView(bytes).isValidUtf8()) {
        const QList<QByteArray> lines = bytes.split('\n');
        qsizetype line = 0;
        while (line < lines.size() && QByteArrayView(lines[line]).isValidUtf8())
            ++line;
        throw KvInet::Exception(
            QStringLiteral("the body (%1) is not UTF-8 text (line %2); convert it first, e.g. with iconv")
                .arg(Name == QLatin1String("-") ? QStringLiteral("standard input") : Name)
                .arg(line + 1));
    }
    return QString::fromUtf8(bytes);
}
int Run(const Invocation& Call) {
    Args args(Call, QString::fromLatin1(synopsis), QString::fromLatin1(description));
    args.Option(QStringLiteral("from"), QStringLiteral("ADDRESS"),
                QStringLiteral("sender (\"Name <address>\")"));
    args.Option(QStringLiteral("to"), QStringLiteral("LIST"), QStringLiteral("recipients"));
    args.Option(QStringLiteral("cc"), QStringLiteral("LIST"), QStringLiteral("copy recipients"));
    args.Option(QStringLiteral("bcc"), QStringLiteral("LIST"),
                QStringLiteral("blind copy recipients (envelope only)"));
    args.Option(QStringLiteral("reply-to"), QStringLiteral("LIST"), QStringLiteral("addresses for replies"));
    args.Option(QStringLiteral("subject"), QStringLiteral("TEXT"), QStringLiteral("subject line"));
    args.Option(QStringLiteral("body-file"), QStringLiteral("FILE"),
                QStringLiteral("message text, \"-\" for stdin"));
    args.Option(QStringLiteral("attach"), QStringLiteral("FILE"), QStringLiteral("attach a file"), true);
    args.Option(QStringLiteral("user"), QStringLiteral("USER"), QStringLiteral("log in with AUTH LOGIN"));
    args.Option(QStringLiteral("password"), QStringLiteral("PASSWORD"),
                QStringLiteral("password for --user"));
    args.Option(QStringLiteral("priority"), QStringLiteral("1..5"),
                QStringLiteral("X-Priority (1 highest, 3 normal)"));
    args.Option(QStringLiteral("tls"), QStringLiteral("none|starttls|implicit"),
                QStringLiteral("none (default), starttls (required) or implicit (port 465 by default)"));
    if (!args.Parse(Call.Arguments, 0, 0))
        return ExitOk;
    for (const char* missing : {"host", "from", "to"})
        if (!args.Has(QString::fromLatin1(missing)))
            throw UsageError(QStringLiteral("--%1 is required").arg(QString::fromLatin1(missing)));
    if (args.Has(QStringLiteral("password")) && !args.Has(QStringLiteral("user")))
        throw UsageError(QStringLiteral("--password needs --user"));

    KvInet::TKvISMTP smtp;
    const QString tls = args.Value(QStringLiteral("tls"), QStringLiteral("none"));
    if (tls == QLatin1String("none"))
        smtp.SetSecurity(KvInet::ssNone);
    else if (tls == QLatin1String("starttls"))
        smtp.SetSecurity(KvInet::ssStartTLS);
    else if (tls == QLatin1String("implicit"))
        smtp.SetSecurity(KvInet::ssImplicitTLS);
    else
        throw UsageError(QStringLiteral("--tls must be none, starttls or implicit"));
    if (smtp.Security() == KvInet::ssImplicitTLS)
        smtp.SetPort(465);
    ApplySocketOptions(args, smtp);
    smtp.SetCACertFile(args.Value(QStringLiteral("cafile")));
    smtp.From()->SetText(args.Value(QStringLiteral("from")));
    smtp.Recipients()->SetEMailAddresses(args.Value(QStringLiteral("to")));
    smtp.CC()->SetEMailAddresses(args.Value(QStringLiteral("cc")));
    smtp.BCC()->SetEMailAddresses(args.Value(QStringLiteral("bcc")));
    smtp.ReplyTo()->SetEMailAddresses(args.Value(QStringLiteral("reply-to")));
    smtp.SetSubject(args.Value(QStringLiteral("subject")));
    smtp.SetPriority(KvInet::TKvISMTPPriority(args.IntValue(QStringLiteral("priority"), 3, 1, 5) - 1));
    // Addresses are checked here, before anything is read or connected: a mistake in them is the caller's.
    if (KvInet::Trim(smtp.From()->Address()).isEmpty() && KvInet::Trim(smtp.From()->Name()).isEmpty())
        throw UsageError(QStringLiteral("--from needs an address"));
    if (smtp.Recipients()->Count() + smtp.CC()->Count() + smtp.BCC()->Count() == 0)
        throw UsageError(QStringLiteral("--to, --cc and --bcc give no recipient"));
    try {
        smtp.CheckEnvelope();
    } catch (const KvInet::EKvISMTPError& e) {
        throw UsageError(e.Message());
    }
    if (args.Has(QStringLiteral("body-file")))
        smtp.Body()->SetText(ReadBody(args.Value(QStringLiteral("body-file"))));
    for (const QString& file : args.Values(QStringLiteral("attach"))) {
        KvInet::TKvIEMailAttachment* attachment = smtp.Attachments()->Add();
        attachment->SetFileName(file);
        attachment->DetectContentType();
    }
    if (args.Has(QStringLiteral("user"))) {
        smtp.Login()->SetUseLogin(true);
        smtp.Login()->SetUserID(args.Value(QStringLiteral("user")));
        smtp.Login()->SetPassword(args.Value(QStringLiteral("password")));
    }
    // The reply to the end of the data is the acceptance; the one to QUIT comes after it.
    QString accepted;
    smtp.SetOnAfterExecute([&](QObject*, QString&) { accepted = smtp.LastReply(); });

    try {
        smtp.Execute();
    } catch (const KvInet::EKvISMTPError& e) {
        // "Error 250" from the greeting says little by itself: show what the server said (on one line, its
        // control characters made visible).
        const QString reply = KvInet::TKvISMTP::ReplyText(e.Reply());
        WriteError(
            QStringLiteral("kvinet smtp: %1").arg(e.Message()) +
            (reply.isEmpty() || e.Message().contains(reply) ? QString() : QStringLiteral(": ") + reply));
        return ExitFailed;
    }
    if (!smtp.LastError().isEmpty()) {
        WriteError(QStringLiteral("kvinet smtp: %1").arg(smtp.LastError()));
        return ExitFailed;
    }
    if (args.Has(QStringLiteral("verbose"))) {
        // LastReply is QUIT's by now; the acceptance is the reply to the end of the data.
        const auto show = [](const QString& What, const QString& Reply) {
            const QStringList lines =
                Reply.isEmpty() ? QStringList{QStringLiteral("(none)")} : Reply.split(QStringLiteral("\r\n"));
            for (const QString& line : lines)
                WriteError(QStringLiteral("* reply to %1: %2").arg(What, EscapeLine(line)));
        };
        show(QStringLiteral("the end of the data"), accepted);
        show(QStringLiteral("QUIT"), smtp.LastReply());
    }
    // Accepted: a goodbye that went wrong afterwards does not undo that, and exit 1 would make a script send
    // the mail again.
    if (!smtp.Warning().isEmpty())
        WriteError(QStringLiteral("kvinet smtp: warning: %1").arg(smtp.Warning()));
    WriteText(KvInet::TKvISMTP::ReplyText(accepted));
    return ExitOk;
}

// Mail is not sent through a proxy.
const Command reg{"smtp", "send an e-mail message through an SMTP server", Run,
                  SocketCommonOptions | coCAFile, cgSocket};

} // namespace

} // namespace KvCli

// test-servers: smtp scripted
// test-timeout: 240
// TKvISMTP and "kvinet smtp" against a real SMTP server (aiosmtpd): plain, AUTH LOGIN, STARTTLS with a
// private CA and implicit TLS. What the server stored is read back with Python's mail parser and compared
// with what was sent, attachments byte for byte; the envelope comes from the server's own record. A scripted
// peer covers what aiosmtpd never does: refusing EHLO, multi-line and 251 replies, a refused greeting,
// closing instead of answering; and the table of hostile peers and inputs at the end (plain text injected
// after STARTTLS, a bad goodbye after the acceptance, endless, malformed and dripping replies, bad addresses,
// bodies and MIME values, the charset of text attachments, and hostile message content that must reach a
// reader whole).
#include "socket/KvISMTP.h"

#include "MailParse.h"
#include "support/CommandCases.h"

#include <QCoreApplication>
#include <QDir>
#include <QJsonArray>
#include <QJsonDocument>
#include <QJsonObject>
#include <QRegularExpression>
#include <QTemporaryDir>

#include <functional>
#include <thread>

using namespace KvInet;
using namespace KvTest;
using namespace KvTest::Script;

namespace {

QString Env(const char* Key) {
    return ServerEnv(QStringLiteral("smtp"), QString::fromLatin1(Key));
}
int Port(const char* Key) {
    return ServerPort(QStringLiteral("smtp"), QString::fromLatin1(Key));
}

int SpoolCount() {
    return int(QDir(Env("KV_SMTP_SPOOL")).entryList({QStringLiteral("*.json")}, QDir::Files).size());
}

struct Stored {
    ParsedMail Mail;
    QJsonObject Envelope;
    QByteArray Raw;
};

// The message the server queued under the number its acceptance reply names ("... queued as 0003").
Stored StoredMessage(const QString& Acceptance) {
    const auto match = QRegularExpression(QStringLiteral("queued as (\\d+)")).match(Acceptance);
    EXPECT_TRUE(match.hasMatch()) << Acceptance.toStdString();
    const QString base = Env("KV_SMTP_SPOOL") + u'/' + match.captured(1);
    Stored s;
    s.Raw = ReadFile(base + QStringLiteral(".eml"));
    s.Mail = ParseMailFile(base + QStringLiteral(".eml"));
    s.Envelope = QJsonDocument::fromJson(ReadFile(base + QStringLiteral(".json"))).object();
    return s;
}

QStringList Recipients(const QJsonObject& Envelope) {
    QStringList list;
    for (const QJsonValue& v : Envelope[QStringLiteral("rcpt_tos")].toArray())
        list << v.toString();
    return list;
}

class SMTPServer : public ::testing::Test {
protected:
    void SetUp() override {
        smtp.SetHost(QStringLiteral("localhost"));
        smtp.SetTimeout(30);
        smtp.SetCACertFile(Env("KV_CA_FILE"));
        smtp.From()->SetText(QStringLiteral("Ann Sender <ann@example.com>"));
        smtp.Recipients()->SetEMailAddresses(QStringLiteral("bob@example.com"));
        smtp.SetSubject(QStringLiteral("test"));
        smtp.Body()->SetText(QStringLiteral("Hello."));
        smtp.SetOnAfterExecute([this](QObject*, QString&) { acceptance = smtp.LastReply(); });
    }
    void UseLogin(const QString& Password) {
        smtp.Login()->SetUseLogin(true);
        smtp.Login()->SetUserID(Env("KV_SMTP_USER"));
        smtp.Login()->SetPassword(Password);
    }

    TKvISMTP smtp;
    QString acceptance;
};

TEST_F(SMTPServer, FullMessageOverStartTLSWithLoginArrivesAsSent) {
    QTemporaryDir dir;
    const QByteArray binary = AllBytes(100 * 1024);
    const QByteArray csv = "id,name\r\n1,Ann\r\n.\r\n2,Bob\r\n";
    WriteFile(dir.filePath("blob.bin"), binary);
    WriteFile(dir.filePath("table.csv"), csv);

    smtp.SetPort(Port("KV_SMTP_AUTH_PORT"));
    smtp.SetSecurity(ssStartTLS);
    UseLogin(Env("KV_SMTP_PASSWORD"));
    smtp.From()->SetText(QStringLiteral("\"Åsa Berg, Sales\" <asa@example.com>"));
    smtp.Recipients()->SetEMailAddresses(QStringLiteral("Bob Jones <bob@example.com>, carol@example.com"));
    smtp.CC()->SetEMailAddresses(QStringLiteral("Dan <dan@example.com>"));
    smtp.BCC()->SetEMailAddresses(QStringLiteral("eve@example.com, Frank <frank@example.com>"));
    smtp.ReplyTo()->SetEMailAddresses(QStringLiteral("replies@example.com, Desk <desk@example.com>"));
    smtp.SetSubject(QStringLiteral("Report for Q1 – final"));
    smtp.SetPriority(spHigh);
    smtp.Body()->SetText(QStringLiteral("Hi all,\r\n.\r\n..\r\n.hidden\r\nend"));
    auto* a1 = smtp.Attachments()->Add();
    a1->SetFileName(dir.filePath("blob.bin"));
    a1->DetectContentType();
    auto* a2 = smtp.Attachments()->Add();
    a2->SetFileName(dir.filePath("table.csv"));
    a2->SetAttachmentName(QStringLiteral("Übersicht.csv"));
    a2->SetContentType(QStringLiteral("text/csv"));

    EXPECT_EQ(smtp.Execute(), "");
    ASSERT_EQ(smtp.LastError(), "");
    EXPECT_FALSE(smtp.Connected());
    EXPECT_TRUE(smtp.LastReply().startsWith(QStringLiteral("221")));

    const Stored s = StoredMessage(acceptance);
    EXPECT_EQ(s.Envelope[QStringLiteral("mail_from")].toString(), "asa@example.com");
    EXPECT_EQ(Recipients(s.Envelope), QStringList({"bob@example.com", "carol@example.com", "dan@example.com",
                                                   "eve@example.com", "frank@example.com"}));
    EXPECT_EQ(s.Envelope[QStringLiteral("auth_user")].toString(), Env("KV_SMTP_USER"));
    EXPECT_EQ(s.Envelope[QStringLiteral("auth_mechanism")].toString(), "LOGIN");
    EXPECT_TRUE(s.Envelope[QStringLiteral("tls")].toBool());

    const ParsedMail& m = s.Mail;
    EXPECT_TRUE(m.Defects.isEmpty()) << m.Defects.join(u' ').toStdString();
    EXPECT_EQ(m.Header("From"), "\"Åsa Berg, Sales\" <asa@example.com>");
    EXPECT_EQ(m.Header("To"), "Bob Jones <bob@example.com>, carol@example.com");
    EXPECT_EQ(m.Header("Cc"), "Dan <dan@example.com>");
    EXPECT_TRUE(m.Headers("Bcc").isEmpty());
    EXPECT_FALSE(s.Raw.contains("eve@example.com"));
    EXPECT_FALSE(s.Raw.contains("frank@example.com"));
    EXPECT_EQ(m.Header("Reply-To"), "replies@example.com, Desk <desk@example.com>");
    EXPECT_EQ(m.Header("Subject"), "Report for Q1 – final");
    EXPECT_EQ(m.Header("X-Priority"), "2");
    EXPECT_EQ(m.Header("MIME-Version"), "1.0");
    EXPECT_TRUE(m.Header("X-Mailer").startsWith(QStringLiteral("Norvalith mailer (")));
    EXPECT_FALSE(m.Header("Message-Id").isEmpty());
    EXPECT_FALSE(m.Header("Date").isEmpty());
    EXPECT_EQ(m.ContentType, "multipart/mixed");
    EXPECT_EQ(m.Body, "Hi all,\n.\n..\n.hidden\nend\n");
    ASSERT_EQ(m.Attachments.size(), 2);
    EXPECT_EQ(m.Attachments[0].FileName, "blob.bin");
    EXPECT_EQ(m.Attachments[0].ContentType, "application/octet-stream");
    EXPECT_EQ(m.Attachments[0].Encoding, "base64");
    EXPECT_TRUE(m.Attachments[0].Data == binary) << "binary attachment differs";
    EXPECT_EQ(m.Attachments[1].FileName, "Übersicht.csv");
    EXPECT_EQ(m.Attachments[1].ContentType, "text/csv");
    EXPECT_EQ(m.Attachments[1].Data, csv);
}

TEST_F(SMTPServer, SeveralMessagesOnOneConnectionLogInOnce) {
    smtp.SetPort(Port("KV_SMTP_AUTH_PORT"));
    UseLogin(Env("KV_SMTP_PASSWORD"));
    smtp.Connect();
    ASSERT_TRUE(smtp.Connected());
    QStringList accepted;
    for (const char* subject : {"first", "second"}) {
        smtp.SetSubject(QString::fromLatin1(subject));
        smtp.Send();
        accepted << smtp.LastReply();
    }
    smtp.Disconnect();
    EXPECT_FALSE(smtp.Connected());
    EXPECT_EQ(StoredMessage(accepted[0]).Mail.Header("Subject"), "first");
    const Stored second = StoredMessage(accepted[1]);
    EXPECT_EQ(second.Mail.Header("Subject"), "second");
    EXPECT_FALSE(second.Envelope[QStringLiteral("tls")].toBool());
}

TEST_F(SMTPServer, ImplicitTLSFromTheFirstByteWithAn8bitPart) {
    QTemporaryDir dir;
    WriteFile(dir.filePath("menu.txt"), "Crème brûlée\r\n");
    smtp.SetPort(Port("KV_SMTP_TLS_PORT"));
    smtp.SetSecurity(ssImplicitTLS);
    auto* a = smtp.Attachments()->Add();
    a->SetFileName(dir.filePath("menu.txt"));
    a->SetEncoding(QStringLiteral("8bit"));
    ASSERT_EQ(smtp.Execute(), "");
    ASSERT_EQ(smtp.LastError(), "");
    const Stored s = StoredMessage(acceptance);
    EXPECT_TRUE(s.Envelope[QStringLiteral("tls")].toBool());
    EXPECT_EQ(s.Envelope[QStringLiteral("mail_options")].toArray().first().toString(), "BODY=8BITMIME");
    ASSERT_EQ(s.Mail.Attachments.size(), 1);
    EXPECT_EQ(s.Mail.Attachments[0].Data, "Crème brûlée\n"); // a reader gives text its own line ends
}

TEST_F(SMTPServer, RefusalsEndInTheRightError) {
    const int before = SpoolCount();
    // A wrong password: the 535 reply becomes Execute's text and LastError.
    smtp.SetPort(Port("KV_SMTP_AUTH_PORT"));
    UseLogin(QStringLiteral("wrong"));
    QString result = smtp.Execute();
    EXPECT_TRUE(result.startsWith(QStringLiteral("Error 235: 535"))) << result.toStdString();
    EXPECT_EQ(smtp.LastError(), result);
    smtp.Disconnect();

    // Login needed but not given: the server refuses the sender.
    smtp.Login()->SetUseLogin(false);
    result = smtp.Execute();
    EXPECT_TRUE(result.startsWith(QStringLiteral("Error 250: 530"))) << result.toStdString();
    smtp.Disconnect();

    // One refused recipient stops the message.
    smtp.SetPort(Port("KV_SMTP_PORT"));
    smtp.Recipients()->SetEMailAddresses(QStringLiteral("ok@example.com, reject-me@example.com"));
    result = smtp.Execute();
    EXPECT_TRUE(result.startsWith(QStringLiteral("Error 250: 550"))) << result.toStdString();
    EXPECT_TRUE(result.contains(QStringLiteral("reject-me@example.com"))) << result.toStdString();
    smtp.Disconnect();

    // STARTTLS required, server without it: the connection is refused before anything is sent.
    smtp.Recipients()->SetEMailAddresses(QStringLiteral("bob@example.com"));
    smtp.SetPort(Port("KV_SMTP_NOTLS_PORT"));
    smtp.SetSecurity(ssStartTLS);
    try {
        smtp.Execute();
        ADD_FAILURE() << "Execute went on without STARTTLS";
    } catch (const EKvISMTPError& e) {
        EXPECT_EQ(e.Message(), "The server does not offer STARTTLS");
    }
    EXPECT_FALSE(smtp.Connected());

    // STARTTLS with certificate checking and no trust in the test CA.
    smtp.SetPort(Port("KV_SMTP_PORT"));
    smtp.SetCACertFile(QString());
    try {
        smtp.Execute();
        ADD_FAILURE() << "an untrusted certificate was accepted";
    } catch (const Exception& e) {
        EXPECT_TRUE(e.Message().contains(QStringLiteral("certificate"), Qt::CaseInsensitive))
            << e.Message().toStdString();
    }
    EXPECT_FALSE(smtp.Connected());
    EXPECT_EQ(SpoolCount(), before);
}

TEST_F(SMTPServer, CertificateProblemsReachTheCallerOnAnotherThread) {
    // Made on this thread, run on another: the handshake's reasons must be gathered inside its wait there,
    // not queued back to this thread, which is blocked meanwhile.
    smtp.SetPort(Port("KV_SMTP_PORT"));
    smtp.SetSecurity(ssStartTLS);
    smtp.SetCACertFile(QString());
    QString message;
    std::thread worker([&] {
        try {
            smtp.Execute();
        } catch (const Exception& e) {
            message = e.Message();
        }
    });
    worker.join();
    QCoreApplication::processEvents(); // where a queued handler would run, too late
    EXPECT_TRUE(message.contains(QStringLiteral("certificate"), Qt::CaseInsensitive))
        << message.toStdString();
}

TEST(SMTPCommand, SendsThroughTheServerAndReportsRefusals) {
    QTemporaryDir dir;
    const QByteArray binary = AllBytes(3000);
    WriteFile(dir.filePath("photo.jpg"), binary);
    const QStringList common = {"smtp",
                                "--host",
                                "localhost",
                                "--port",
                                Env("KV_SMTP_PORT"),
                                "--from",
                                "Ann <ann@example.com>",
                                "--to",
                                "bob@example.com"};
    ProcessResult r = Kvinet(common + QStringList{"--cc",        "Carl <carl@example.com>",
                                                  "--bcc",       "dee@example.com",
                                                  "--reply-to",  "desk@example.com",
                                                  "--subject",   "Grüße",
                                                  "--body-file", "-",
                                                  "--attach",    dir.filePath("photo.jpg"),
                                                  "--user",      Env("KV_SMTP_USER"),
                                                  "--password",  Env("KV_SMTP_PASSWORD"),
                                                  "--priority",  "5",
                                                  "--tls",       "starttls",
                                                  "--cafile",    Env("KV_CA_FILE")},
                             "Line one\n.\nLine three\n");
    ASSERT_EQ(r.ExitCode, 0) << r.Err.toStdString();
    const QString acceptance = QString::fromUtf8(r.Out).trimmed();
    EXPECT_TRUE(acceptance.startsWith(QStringLiteral("250 "))) << r.Out.toStdString();
    const Stored s = StoredMessage(acceptance);
    EXPECT_EQ(Recipients(s.Envelope),
              QStringList({"bob@example.com", "carl@example.com", "dee@example.com"}));
    EXPECT_TRUE(s.Envelope[QStringLiteral("tls")].toBool());
    EXPECT_EQ(s.Mail.Header("Subject"), "Grüße");
    EXPECT_EQ(s.Mail.Header("X-Priority"), "5");
    EXPECT_EQ(s.Mail.Header("Reply-To"), "desk@example.com");
    EXPECT_EQ(s.Mail.Body, "Line one\n.\nLine three\n");
    ASSERT_EQ(s.Mail.Attachments.size(), 1);
    EXPECT_EQ(s.Mail.Attachments[0].FileName, "photo.jpg");
    EXPECT_EQ(s.Mail.Attachments[0].ContentType, "image/jpeg");
    EXPECT_TRUE(s.Mail.Attachments[0].Data == binary);

    r = Kvinet(common + QStringList{"--user", Env("KV_SMTP_USER"), "--password", "wrong"});
    EXPECT_EQ(r.ExitCode, 1);
    EXPECT_TRUE(r.Err.contains("535")) << r.Err.toStdString();
    EXPECT_TRUE(r.Out.isEmpty());

    r = Kvinet({"smtp", "--host", "localhost", "--port", Env("KV_SMTP_NOTLS_PORT"), "--from", "a@example.com",
                "--to", "b@example.com", "--tls", "starttls"});
    EXPECT_EQ(r.ExitCode, 1);
    EXPECT_TRUE(r.Err.contains("does not offer STARTTLS")) << r.Err.toStdString();

    r = Kvinet({"smtp", "--host", "localhost", "--to", "b@example.com"});
    EXPECT_EQ(r.ExitCode, 2);
}

TEST(SMTPDialog, CommandsRepliesAndDataAsTheProtocolWantsThem) {
    ScriptedSession peer(Steps({
        Send("220-mail.example.test greets you\r\n220 ready\r\n"),
        ReadLine(),
        Send("502 5.5.1 EHLO not implemented\r\n"),
        ReadLine(),
        Send("250 mail.example.test\r\n"),
        ReadLine(),
        Send("250 flushed\r\n"),
        ReadLine(),
        Send("334 VXNlcm5hbWU6\r\n"),
        ReadLine(),
        Send("334 UGFzc3dvcmQ6\r\n"),
        ReadLine(),
        Send("235 welcome\r\n"),
        ReadLine(),
        Send("250 sender ok\r\n"),
        ReadLine(),
        Send("250 ok\r\n"),
        ReadLine(),
        Send("251 not local, will forward\r\n"),
        ReadLine(),
        Send("250-ok\r\n250 really\r\n"),
        ReadLine(),
        Send("354 go ahead\r\n"),
        ReadUntil("\r\n.\r\n"),
        Send("250 queued\r\n"),
        ReadLine(),
        Close(), // QUIT: closed without a reply, as some servers do
    }));
    TKvISMTP smtp;
    smtp.SetHost(QStringLiteral("127.0.0.1"));
    smtp.SetPort(peer.Port());
    smtp.SetTimeout(30);
    smtp.Login()->SetUseLogin(true);
    smtp.Login()->SetUserID(QStringLiteral("user"));
    smtp.Login()->SetPassword(QStringLiteral("pass"));
    smtp.From()->SetAddress(QStringLiteral("a@example.com"));
    smtp.Recipients()->Add()->SetAddress(QStringLiteral("to@example.com"));
    smtp.CC()->Add()->SetAddress(QStringLiteral("cc@example.com"));
    smtp.BCC()->Add()->SetAddress(QStringLiteral("bcc@example.com"));
    smtp.Body()->SetText(QStringLiteral("first\r\n.\r\n..two\r\nlast"));
    EXPECT_EQ(smtp.Execute(), "");
    EXPECT_EQ(smtp.LastError(), "");
    EXPECT_FALSE(smtp.Connected());

    const QByteArray r = peer.Received();
    const QRegularExpression greeting(QStringLiteral("^EHLO (\\S+)\r\nHELO \\1\r\n"));
    EXPECT_TRUE(greeting.match(QString::fromLatin1(r)).hasMatch()) << r.left(80).toStdString();
    const qsizetype rset = r.indexOf("RSET\r\n");
    ASSERT_GT(rset, 0);
    const QByteArray commands =
        "RSET\r\nauth LOGIN\r\ndXNlcg==\r\ncGFzcw==\r\nMAIL FROM:<a@example.com>\r\n"
        "RCPT TO:<to@example.com>\r\nRCPT TO:<cc@example.com>\r\nRCPT TO:<bcc@example.com>\r\n"
        "DATA\r\n";
    EXPECT_EQ(r.mid(rset, commands.size()), commands);
    EXPECT_TRUE(r.endsWith("\r\n\r\nfirst\r\n..\r\n...two\r\nlast\r\n.\r\nQUIT\r\n"))
        << r.right(80).toStdString();
    EXPECT_EQ(r.count("\r\n.\r\n"), 1);
}

TEST(SMTPDialog, RefusedGreetingAndLostConnectionAreFailures) {
    {
        ScriptedSession peer(Steps({Send("554 5.3.2 no service for you\r\n"), ReadLine(), Close()}));
        TKvISMTP smtp;
        smtp.SetHost(QStringLiteral("127.0.0.1"));
        smtp.SetPort(peer.Port());
        smtp.Recipients()->Add()->SetAddress(QStringLiteral("to@example.com"));
        try {
            smtp.Execute();
            ADD_FAILURE() << "a refused greeting went unnoticed";
        } catch (const EKvISMTPError& e) {
            EXPECT_EQ(e.Message(), "Error 250");
            EXPECT_EQ(e.Reply(), "554 5.3.2 no service for you");
        }
        EXPECT_FALSE(smtp.Connected());
        EXPECT_EQ(peer.Received(), ""); // no QUIT into a refused conversation
    }
    {
        ScriptedSession peer(Steps({Send("220 ready\r\n"), ReadLine(), Send("250 hi\r\n"), ReadLine(),
                                    Send("250 ok\r\n"), ReadLine(), Close()}));
        TKvISMTP smtp;
        smtp.SetHost(QStringLiteral("127.0.0.1"));
        smtp.SetPort(peer.Port());
        smtp.Recipients()->Add()->SetAddress(QStringLiteral("to@example.com"));
        const QString result = smtp.Execute();
        EXPECT_FALSE(result.isEmpty());
        EXPECT_EQ(smtp.LastError(), result);
        EXPECT_TRUE(peer.Received().contains("MAIL FROM:<>\r\n"));
    }
}

// ---- hostile peers and inputs ------------------------------------------------------------------------

// The usual dialogue of one message to one recipient up to the end of the data, the server announcing
// Extensions after EHLO; then the steps After.
QJsonObject ThroughTheData(const QJsonArray& After,
                           const QByteArray& Extensions = "250 peer.example.test\r\n") {
    QJsonArray steps{Send("220 peer.example.test ready\r\n"),
                     ReadLine(),
                     Send(Extensions),
                     ReadLine(),
                     Send("250 flushed\r\n"),
                     ReadLine(),
                     Send("250 sender ok\r\n"),
                     ReadLine(),
                     Send("250 recipient ok\r\n"),
                     ReadLine(),
                     Send("354 go ahead\r\n"),
                     ReadUntil("\r\n.\r\n")};
    for (const QJsonValue& step : After)
        steps.append(step);
    return Steps(steps);
}

// What a reader finds in the message a scripted peer received after DATA (dots unstuffed).
ParsedMail ReceivedMail(const QByteArray& Received) {
    const qsizetype start = Received.indexOf("DATA\r\n") + 6;
    QByteArray data = Received.mid(start, Received.indexOf("\r\n.\r\n", start) + 2 - start);
    data.replace("\r\n..", "\r\n.");
    if (data.startsWith(".."))
        data.remove(0, 1);
    return ParseMail(data);
}

TEST(SMTPHostile, TheToolGivesTheRightStatusAndMessage) {
    QByteArray longReply;
    for (int i = 0; i < 600; ++i)
        longReply += "250-EXTENSION" + QByteArray::number(i) + "\r\n";
    longReply += "250 END\r\n";
    // Three lines of a million bytes: each under the socket's general line limit.
    QByteArray hugeEhlo;
    for (int i = 0; i < 3; ++i)
        hugeEhlo += "250-" + QByteArray(1000 * 1000, 'x') + "\r\n";
    hugeEhlo += "250 END\r\n";
    QTemporaryDir dir;
    WriteFile(dir.filePath("utf8.txt"), "Gr\xc3\xbc\xc3\x9f"
                                        "e\r\n");
    WriteFile(dir.filePath("ascii.txt"), "plain\r\n");
    WriteFile(dir.filePath("latin1.txt"), "caf\xe9\r\n");
    const QStringList host{"smtp", "--host", "127.0.0.1", "--port", "PORT"};
    const QStringList smtp = host + QStringList{"--from", "a@example.com"};
    const QStringList mail = smtp + QStringList{"--to", "b@example.com"};
    const QStringList starttls = mail + QStringList{"--tls", "starttls", "--cafile", Env("KV_CA_FILE")};
    RunCommandCases({
        {.What = "plain text injected after the 220 to STARTTLS is refused, not read as TLS",
         .Args = starttls,
         .Script = Steps({Send("220 ready\r\n"), ReadLine(), Send("250-peer\r\n250 STARTTLS\r\n"), ReadLine(),
                          Send("220 go ahead\r\n250-fake\r\n250 AUTH PLAIN\r\n250 2.0.0 queued as 666\r\n"),
                          ReadAll(3000)}),
         .Exit = 1,
         .Err =
             Contains("kvinet smtp: Plain text arrived before the TLS handshake; the connection was closed"),
         .Received = Matches("EHLO \\S+\r\nSTARTTLS\r\n")},
        {.What = "plain text sent ahead of the 220 is refused as well",
         .Args = starttls,
         .Script = Steps({Send("220 ready\r\n"), ReadLine(),
                          Send("250-peer\r\n250 STARTTLS\r\n220 go ahead\r\n250 2.0.0 queued as 666\r\n"),
                          ReadLine(), ReadAll(3000)}),
         .Exit = 1,
         .Err = Contains("Plain text arrived before the TLS handshake"),
         .Received = Matches("EHLO \\S+\r\nSTARTTLS\r\n")},
        {.What = "accepted, then QUIT refused: a warning, the acceptance is the result",
         .Args = mail,
         .Script =
             ThroughTheData({Send("250 2.0.0 queued as 0042\r\n"), ReadLine(), Send("500 5.5.1 what?\r\n")}),
         .Out = Matches("250 2\\.0\\.0 queued as 0042\n"),
         .Err = Contains("kvinet smtp: warning: the message was accepted, but QUIT failed: 500 5.5.1 what?"),
         .Received = Matches("(?s).*QUIT\r\n")},
        {.What = "accepted, then no answer to QUIT: a warning, the acceptance is the result",
         .Args = mail + QStringList{"--timeout", "2"},
         .Script = ThroughTheData({Send("250 2.0.0 queued as 0043\r\n"), ReadLine(), Hang()}),
         .Out = Matches("250 2\\.0\\.0 queued as 0043\n"),
         .Err = Contains("kvinet smtp: warning: the message was accepted, but QUIT failed: Socket error: "
                         "Connection timed out"),
         .Received = Matches("(?s).*QUIT\r\n")},
        {.What = "a refusal of the data is still a failure",
         .Args = mail,
         .Script = ThroughTheData({Send("554 5.6.0 no thanks\r\n"), ReadLine()}),
         .Exit = 1,
         .Err = Contains("kvinet smtp: Error 250: 554 5.6.0 no thanks")},
        {.What = "an EHLO reply over the line limit drops the connection: no HELO into the rest of it",
         .Args = mail,
         .Script = Steps({Send("220 ready\r\n"), ReadLine(), Send(longReply), ReadAll(3000)}),
         .Exit = 1,
         .Err =
             Contains("kvinet smtp: The server's reply has more than 512 lines; the connection was closed"),
         .Received = Matches("EHLO \\S+\r\n")},
        {.What = "a reply with a raw CR is printed with the CR made visible",
         .Args = mail,
         .Script = Steps({Send("220 ready\r\n"), ReadLine(), Send("250 peer\r\n"), ReadLine(),
                          Send("250 ok\r\n"), ReadLine(), Send("250 ok\r\n"), ReadLine(),
                          Send("550 5.1.1 no\rsuch\x1b[2J user\r\n"), ReadLine()}),
         .Exit = 1,
         .Err = Contains("kvinet smtp: Error 250: 550 5.1.1 no\\x0Dsuch\\x1B[2J user")},
        {.What = "a multi-line refusal of the greeting is shown on one line",
         .Args = mail,
         .Script = Steps({Send("554-go away\r\n554 really\r\n"), ReadLine()}),
         .Exit = 1,
         .Err = Contains("kvinet smtp: Error 250: 554-go away 554 really"),
         .Received = Matches("")},
        {.What = "an address followed by a name with a comma is refused before connecting",
         .Args = smtp + QStringList{"--to", "a@example.com (Ann, Jr.)"},
         .Exit = 2,
         .Err = Contains(
             "Invalid address in Recipients item 1 (\"a@example.com (Ann\"): the address holds a space"),
         .Refused = true},
        {.What = "an empty address in angle brackets is refused",
         .Args = smtp + QStringList{"--to", "Ann <>"},
         .Exit = 2,
         .Err = Contains("Invalid address in Recipients item 1 (\"Ann <>\"): the address is empty"),
         .Refused = true},
        {.What = "a sender without an address is refused",
         .Args = host + QStringList{"--to", "b@example.com", "--from", "Ann <>"},
         .Exit = 2,
         .Err = Contains("Invalid address in From (\"Ann <>\"): the address is empty"),
         .Refused = true},
        {.What = "an address without @ is refused",
         .Args = mail + QStringList{"--cc", "bob"},
         .Exit = 2,
         .Err = Contains("Invalid address in CC item 1 (\"bob\"): the address has no \"@\""),
         .Refused = true},
        {.What = "an unbalanced quote is refused",
         .Args = smtp + QStringList{"--to", "\"bob@example.com"},
         .Exit = 2,
         .Err = Contains("the address has an unbalanced '\"'"),
         .Refused = true},
        {.What = "an unbalanced parenthesis is refused",
         .Args = mail + QStringList{"--bcc", "c(d@example.com"},
         .Exit = 2,
         .Err = Contains(
             "Invalid address in BCC item 1 (\"c(d@example.com\"): the address has an unbalanced \"(\""),
         .Refused = true},
        {.What = "a reply-to address is checked too",
         .Args = mail + QStringList{"--reply-to", "x@"},
         .Exit = 2,
         .Err =
             Contains("Invalid address in ReplyTo item 1 (\"x@\"): the address has nothing after its \"@\""),
         .Refused = true},
        {.What = "no recipient at all is a usage error",
         .Args = smtp + QStringList{"--to", " , "},
         .Exit = 2,
         .Err = Contains("--to, --cc and --bcc give no recipient"),
         .Refused = true},
        {.What = "a body that is not UTF-8 is refused, not altered",
         .Args = mail + QStringList{"--body-file", "-"},
         .Input = "ok\ncaf\xe9\n",
         .Exit = 1,
         .Err = Contains("kvinet smtp: the body (standard input) is not UTF-8 text (line 2)"),
         .Refused = true},
        // Every line of a reply carries the first line's code, and a line is at most 512 bytes (the EHLO
        // line of exactly 512 passes).
        {.What = "a 554 behind a 250- line at the end of the data is no acceptance",
         .Args = mail,
         .Script = ThroughTheData({Send("250-queued?\r\n554 5.7.1 rejected\r\n"), ReadAll(3000)},
                                  "250-" + QByteArray(506, 'x') + "\r\n250 peer\r\n"),
         .Exit = 1,
         .Err =
             Contains("kvinet smtp: Malformed reply from the server: \"554 5.7.1 rejected\" follows a line "
                      "with the code 250; the connection was closed"),
         .Received = Matches("(?s).*\r\n\\.\r\n")},
        {.What = "a refused recipient behind a 250- line stops the message",
         .Args = mail,
         .Script = Steps({Send("220 ready\r\n"), ReadLine(), Send("250 peer\r\n"), ReadLine(),
                          Send("250 ok\r\n"), ReadLine(), Send("250 ok\r\n"), ReadLine(),
                          Send("250-ok\r\n550 5.1.1 no such user\r\n"), ReadAll(3000)}),
         .Exit = 1,
         .Err = Contains("\"550 5.1.1 no such user\" follows a line with the code 250"),
         .Received = Matches("(?s).*RCPT TO:<b@example.com>\r\n")},
        {.What = "2500 is not 250",
         .Args = mail,
         .Script = ThroughTheData({Send("2500 queued\r\n"), ReadAll(3000)}),
         .Exit = 1,
         .Err =
             Contains("kvinet smtp: Malformed reply from the server: \"2500 queued\" does not start with a "
                      "three-digit code followed by a space or a hyphen")},
        {.What = "250x is not 250",
         .Args = mail,
         .Script = Steps({Send("220 ready\r\n"), ReadLine(), Send("250 peer\r\n"), ReadLine(),
                          Send("250 ok\r\n"), ReadLine(), Send("250x sender ok\r\n"), ReadAll(3000)}),
         .Exit = 1,
         .Err = Contains("\"250x sender ok\" does not start with a three-digit code"),
         .Received = Matches("(?s).*MAIL FROM:<a@example.com>\r\n")},
        {.What = "an EHLO reply line of 513 bytes drops the connection",
         .Args = mail,
         .Script = Steps({Send("220 ready\r\n"), ReadLine(),
                          Send("250-" + QByteArray(507, 'x') + "\r\n250 ok\r\n"), ReadAll(3000)}),
         .Exit = 1,
         .Err =
             Contains("kvinet smtp: The server's reply has a line longer than 512 bytes; the connection was "
                      "closed"),
         .Received = Matches("EHLO \\S+\r\n")},
        {.What = "a huge multi-line EHLO reply fails at its first line, not after taking it all in",
         .Args = mail,
         .Script = Steps({Send("220 ready\r\n"), ReadLine(), Send(hugeEhlo), ReadAll(3000)}),
         .Exit = 1,
         .Err = Contains("The server's reply has a line longer than 512 bytes")},
        {.What = "a greeting dripping a line a second is held by --timeout",
         .Args = mail + QStringList{"--timeout", "3"},
         .Script = Steps({Send(QByteArray("220-wait\r\n").repeated(40), 40, 1000), ReadAll(3000)}),
         .Exit = 1,
         .Err = Contains("kvinet smtp: No complete reply within 3 seconds"),
         .Received = Matches("")},
        {.What = "--verbose shows the acceptance as such, and QUIT's reply as QUIT's",
         .Args = mail + QStringList{"--verbose"},
         .Script =
             ThroughTheData({Send("250 2.0.0 queued as 0044\r\n"), ReadLine(), Send("221 2.0.0 bye\r\n")}),
         .Out = Matches("250 2\\.0\\.0 queued as 0044\n"),
         .Err = Contains("* reply to the end of the data: 250 2.0.0 queued as 0044\n"
                         "* reply to QUIT: 221 2.0.0 bye\n")},
        // Text attachments name the charset their bytes are in.
        {.What = "text attachments get charset=utf-8, us-ascii or none by their bytes",
         .Args = mail + QStringList{"--attach", dir.filePath("utf8.txt"), "--attach",
                                    dir.filePath("ascii.txt"), "--attach", dir.filePath("latin1.txt")},
         .Port = Port("KV_SMTP_NOTLS_PORT"),
         .Out = Matches("250 .*\n"),
         .Then =
             [](const ProcessResult& R) {
                 const Stored s = StoredMessage(QString::fromUtf8(R.Out));
                 ASSERT_EQ(s.Mail.Attachments.size(), 3);
                 EXPECT_EQ(s.Mail.Attachments[0].Charset, "utf-8");
                 EXPECT_EQ(s.Mail.Attachments[1].Charset, "us-ascii");
                 EXPECT_EQ(s.Mail.Attachments[2].Charset, "");
             }},
    });
}

// MIME values the tool has no option for, set on the component (which sends to b@example.com from
// a@example.com): values that would add a parameter or break the header line are refused before anything is
// connected, and a caller's own charset stays the only one of its part.
TEST(SMTPHostile, CallerMIMEValuesAddNoParameterAndNoSecondCharset) {
    QTemporaryDir dir;
    WriteFile(dir.filePath("utf8.txt"), "Gr\xc3\xbc\xc3\x9f"
                                        "e\r\n");
    const struct {
        const char* What;
        std::function<void(TKvISMTP&)> Set;
        const char* Error; // a piece of LastError; "" for a message the real server accepts
        std::function<void(const Stored&)> Check = {};
    } cases[] = {
        {"a CharSet that would add a parameter is refused unconnected",
         [](TKvISMTP& S) { S.SetCharSet(QStringLiteral("utf-8\"; boundary=\"zzz")); },
         "Invalid CharSet (\"utf-8\"; boundary=\"zzz\"): a MIME token cannot hold '\"'"},
        {"a ContentType that would add a parameter is refused unconnected",
         [](TKvISMTP& S) {
             S.Attachments()->Add()->SetFileName(QStringLiteral("/nonexistent/a.txt"));
             S.Attachments()->Add()->SetContentType(QStringLiteral("text/plain\"; boundary=\"zzz"));
         },
         "Invalid ContentType in Attachments item 2 (\"text/plain\"; boundary=\"zzz\"): '\"' stands where "
         "\"; name=value\" or the end should"},
        {"a ContentType with an unbalanced quote is refused",
         [](TKvISMTP& S) {
             S.Attachments()->Add()->SetContentType(QStringLiteral("text/plain; name=\"a.txt"));
         },
         "(\"text/plain; name=\"a.txt\"): it has an unbalanced quote"},
        {"a ContentType with a control character is refused",
         [](TKvISMTP& S) { S.Attachments()->Add()->SetContentType(QStringLiteral("text/plain\x1b[2J")); },
         "(\"text/plain\\x1B[2J\"): it holds a control character"},
        {"a ContentType with its own charset gets no second one",
         [&dir](TKvISMTP& S) {
             S.SetPort(Port("KV_SMTP_NOTLS_PORT"));
             auto* a = S.Attachments()->Add();
             a->SetFileName(dir.filePath("utf8.txt"));
             a->SetContentType(QStringLiteral("text/plain; Charset=\"iso-8859-1\""));
         },
         "",
         [](const Stored& S) {
             ASSERT_EQ(S.Mail.Attachments.size(), 1);
             EXPECT_EQ(S.Mail.Attachments[0].Charset, "iso-8859-1");
             EXPECT_EQ(S.Raw.count("harset="), 2) << S.Raw.toStdString(); // the text part's and this one
         }},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.What);
        TKvISMTP smtp;
        smtp.SetHost(QStringLiteral("127.0.0.1"));
        smtp.SetPort(UnusedPort());
        smtp.From()->SetAddress(QStringLiteral("a@example.com"));
        smtp.Recipients()->Add()->SetAddress(QStringLiteral("b@example.com"));
        QString accepted;
        smtp.SetOnAfterExecute([&](QObject*, QString&) { accepted = smtp.LastReply(); });
        c.Set(smtp);
        try {
            smtp.Execute();
        } catch (const Exception&) {
            // LastError holds it.
        }
        const QString error = smtp.LastError();
        EXPECT_FALSE(error.contains(u'\r') || error.contains(u'\x1b'))
            << "a raw control character in the message";
        if (*c.Error) {
            EXPECT_TRUE(error.contains(QString::fromUtf8(c.Error))) << error.toStdString();
            EXPECT_EQ(accepted, "");
        } else {
            EXPECT_EQ(error, "");
            EXPECT_TRUE(QRegularExpression(QStringLiteral("\\A250 .*\\z")).match(accepted).hasMatch())
                << accepted.toStdString();
            c.Check(StoredMessage(accepted));
        }
    }
}

// Hostile content through the real server: everything reaches a reader as it was sent.
TEST(SMTPHostile, HostileContentArrivesWhole) {
    QTemporaryDir dir;
    const QByteArray binary = AllBytes(5000);
    const QString longName = QString(230, u'n') + QStringLiteral("-\u00e9t\u00e9.bin"); // over one line
    WriteFile(dir.filePath(longName), binary);
    WriteFile(dir.filePath("=?utf-8?B?SGFja2Vk?=.txt"), "plain\r\n");
    // The body quotes a message of this very mailer: its delimiter lines must not end the text part.
    const QByteArray body = "Forwarded:\n------------NorvalithSMTP\nContent-Type: text/plain\n\nquoted\n"
                            "------------NorvalithSMTP--\nend\n";
    const QString longPerson =
        QStringList(30, QStringLiteral("Longname")).join(u' ') + QStringLiteral(", Jr.");
    const QString subject = QStringLiteral("=?utf-8?B?SGFja2Vk?= and \x07 bell ") + QString(600, u's') +
                            QStringLiteral(" ") + QStringList(90, QStringLiteral("word")).join(u' ');
    const ProcessResult r = Kvinet(
        {"smtp", "--host", "localhost", "--port", Env("KV_SMTP_NOTLS_PORT"), "--from",
         "=?utf-8?B?SGFja2Vk?= <ann@example.com>", "--to",
         u'"' + longPerson +
             QStringLiteral(
                 "\" <bob@example.com>, \"Z\u00f6e \u00c5str\u00f6m-Lindqvist, Ph.D. \u00e9\u00e9\u00e9 ") +
             QString(300, u'\u00e9') + QStringLiteral("\" <zoe@example.com>"),
         "--subject", subject, "--body-file", "-", "--attach", dir.filePath(longName), "--attach",
         dir.filePath("=?utf-8?B?SGFja2Vk?=.txt")},
        body);
    ASSERT_EQ(r.ExitCode, 0) << r.Err.toStdString();
    const Stored s = StoredMessage(QString::fromUtf8(r.Out));
    for (const QByteArray& line : s.Raw.split('\n'))
        // 998 and the CR at most; 78 unless a long run of encoded text needed a longer word.
        EXPECT_LE(line.size(), line.contains("=?utf-8?B?") ? 999 : 79) << line.left(100).constData();
    const ParsedMail& m = s.Mail;
    EXPECT_TRUE(m.Defects.isEmpty()) << m.Defects.join(u' ').toStdString();
    // The name is the text as typed, not "Hacked".
    EXPECT_EQ(m.Header("From"), "=?utf-8?B?SGFja2Vk?= <ann@example.com>");
    EXPECT_EQ(m.Header("To"),
              u'"' + longPerson +
                  QStringLiteral("\" <bob@example.com>, \"Z\u00f6e \u00c5str\u00f6m-Lindqvist, Ph.D. "
                                 "\u00e9\u00e9\u00e9 ") +
                  QString(300, u'\u00e9') + QStringLiteral("\" <zoe@example.com>"));
    EXPECT_EQ(m.Header("Subject"), subject);
    EXPECT_EQ(m.Body, QString::fromLatin1(body));
    ASSERT_EQ(m.Attachments.size(), 2);
    EXPECT_EQ(m.Attachments[0].FileName, longName);
    EXPECT_TRUE(m.Attachments[0].Data == binary);
    EXPECT_EQ(m.Attachments[1].FileName, "=?utf-8?B?SGFja2Vk?=.txt");
    EXPECT_EQ(m.Attachments[1].Data, "plain\r\n"); // base64: every byte as it was
    EXPECT_EQ(Recipients(s.Envelope), QStringList({"bob@example.com", "zoe@example.com"}));
}

// 8-bit parts go to a server that does not announce 8BITMIME in quoted-printable, and to one that does as
// they are, with BODY=8BITMIME.
TEST(SMTPHostile, EightBitPartsOnlyWhereTheServerTakesThem) {
    QTemporaryDir dir;
    const QByteArray menu = "Cr\xc3\xa8me br\xc3\xbbl\xc3\xa9"
                            "e\r\n";
    WriteFile(dir.filePath("menu.txt"), menu);
    for (const bool announced : {false, true}) {
        SCOPED_TRACE(announced ? "8BITMIME announced" : "no 8BITMIME");
        ScriptedSession peer(ThroughTheData({Send("250 queued\r\n"), ReadLine(), Send("221 bye\r\n")},
                                            announced ? "250-peer\r\n250 8BITMIME\r\n" : "250 peer\r\n"));
        TKvISMTP smtp;
        smtp.SetHost(QStringLiteral("127.0.0.1"));
        smtp.SetPort(peer.Port());
        smtp.SetTimeout(20);
        smtp.From()->SetAddress(QStringLiteral("a@example.com"));
        smtp.Recipients()->Add()->SetAddress(QStringLiteral("b@example.com"));
        smtp.SetCharSet(QStringLiteral("utf-8"));
        smtp.SetEncoding(QStringLiteral("8bit"));
        smtp.Body()->SetText(QStringLiteral("Grüße"));
        auto* a = smtp.Attachments()->Add();
        a->SetFileName(dir.filePath("menu.txt"));
        a->SetEncoding(QStringLiteral("8bit"));
        EXPECT_EQ(smtp.Execute(), "");
        EXPECT_EQ(smtp.LastError(), "");
        const QByteArray received = peer.Received();
        EXPECT_EQ(received.contains("MAIL FROM:<a@example.com> BODY=8BITMIME\r\n"), announced);
        const bool eightBit =
            std::any_of(received.begin(), received.end(), [](char c) { return uchar(c) >= 0x80; });
        EXPECT_EQ(eightBit, announced);
        const ParsedMail m = ReceivedMail(received);
        EXPECT_TRUE(m.Defects.isEmpty()) << m.Defects.join(u' ').toStdString();
        EXPECT_EQ(m.Body, QStringLiteral("Grüße\n"));
        EXPECT_EQ(m.BodyEncoding, announced ? "8bit" : "quoted-printable");
        ASSERT_EQ(m.Attachments.size(), 1);
        EXPECT_EQ(m.Attachments[0].Encoding, announced ? "8bit" : "quoted-printable");
        EXPECT_EQ(m.Attachments[0].Data, "Cr\xc3\xa8me br\xc3\xbbl\xc3\xa9"
                                         "e\n");
    }
}

} // namespace

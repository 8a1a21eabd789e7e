// The e-mail model's parsing and formatting, and the message the SMTP client composes, read back by a real
// mail parser.
#include "socket/KvISMTP.h"

#include "MailParse.h"

#include <QRegularExpression>
#include <QTemporaryDir>

#include <ctime>

using namespace KvInet;
using namespace KvTest;

namespace {

struct Parsed {
    const char* Text;
    const char* Address;
    const char* Name;
};

TEST(EMailAddress, ParsesTheBracketedFormsAndBareAddresses) {
    const Parsed cases[] = {
        {"John Doe <john@example.com>", "john@example.com", "John Doe"},
        {"<john@example.com>", "john@example.com", ""},
        {"  \"Doe, John\"  <  john@example.com  >", "john@example.com", "Doe, John"},
        {"john@example.com ( John Doe )", "john@example.com", "John Doe"},
        {"\"'Bob'\" <bob@example.com>", "bob@example.com", "Bob"},
        {"'\"'Bob'\"' <bob@example.com>", "bob@example.com", "Bob"},
        {"\"Bob' <bob@example.com>", "bob@example.com", "\"Bob'"},
        {"\" <q@example.com>", "q@example.com", "\""},
        {" john@example.com ", " john@example.com ", ""}, // a bare address is not trimmed
        {"john@example.com>", "", ""},                    // closing bracket without an opening one
        {"John Doe)", "", ""},
        {"", "", ""},
    };
    for (const Parsed& c : cases) {
        TKvIEMailAddress a;
        a.SetName(QStringLiteral("old"));
        a.SetText(QString::fromUtf8(c.Text));
        EXPECT_EQ(a.Address(), QString::fromUtf8(c.Address)) << c.Text;
        EXPECT_EQ(a.Name(), QString::fromUtf8(c.Name)) << c.Text;
    }
}

TEST(EMailAddress, FormatsAndParsesBack) {
    TKvIEMailAddress a;
    a.SetAddress(QStringLiteral("ann@example.com"));
    EXPECT_EQ(a.GetText(), "ann@example.com");
    a.SetName(QStringLiteral("Ann Smith"));
    EXPECT_EQ(a.GetText(), "Ann Smith <ann@example.com>");
    TKvIEMailAddress b;
    b.SetText(a.GetText());
    EXPECT_EQ(b.Address(), a.Address());
    EXPECT_EQ(b.Name(), a.Name());

    a.SetName(QStringLiteral("ANN@EXAMPLE.COM")); // the address in capitals adds nothing
    EXPECT_EQ(a.GetText(), "ann@example.com");
    a.SetName(QStringLiteral("ann@example.com")); // the comparison is exact, not case-blind
    EXPECT_EQ(a.GetText(), "ann@example.com <ann@example.com>");
}

TEST(EMailAddresses, SplitsAtCommasOutsideTheFirstQuotes) {
    TKvIEMailAddresses list(nullptr);
    list.SetEMailAddresses(QStringLiteral("\"Doe, John\" <jd@example.com>, ann@example.com ,, x (Ex)"));
    ASSERT_EQ(list.Count(), 3);
    EXPECT_EQ(list.Items(0)->Name(), "Doe, John");
    EXPECT_EQ(list.Items(0)->Address(), "jd@example.com");
    EXPECT_EQ(list.Items(1)->Address(), "ann@example.com");
    EXPECT_EQ(list.Items(2)->Name(), "Ex");
    // A name with a comma is quoted, so that the list text reads back into the same items.
    EXPECT_EQ(list.GetEMailAddresses(), "\"Doe, John\" <jd@example.com>, ann@example.com, Ex <x>");

    // After the second quote commas separate again; a third quote does not protect the next comma.
    list.SetEMailAddresses(QStringLiteral("\"a\" b, c, \"d\"\"e, f\""));
    ASSERT_EQ(list.Count(), 4);
    EXPECT_EQ(list.Items(3)->Address(), "f\"");

    list.SetEMailAddresses(QStringLiteral("a@example.com; b@example.com"));
    ASSERT_EQ(list.Count(), 1);
    EXPECT_EQ(list.Items(0)->Address(), "a@example.com; b@example.com");

    list.SetEMailAddresses(QStringLiteral(" , ,\t, "));
    EXPECT_EQ(list.Count(), 0);
    EXPECT_EQ(list.GetEMailAddresses(), "");

    list.SetEMailAddresses(QStringLiteral("a@example.com, B <b@example.com>"));
    TStringList lines;
    lines.Add(QStringLiteral("kept"));
    list.FillTStrings(&lines);
    EXPECT_EQ(lines.Text(), "kept\r\na@example.com\r\nB <b@example.com>\r\n");
}

// The list text of any names reads back into the same items: a comma or a double quote in a name would
// otherwise split the item or join it to the next one.
TEST(EMailAddresses, ListTextReadsBackIntoTheSameItems) {
    const char* const names[] = {"Doe, John",  "Ann \"Nancy\" Smith", "Odd \" quote",   "Both \"x\", and y",
                                 "Plain Name", "Trailing, \"",        "\"Quoted\", Jr."};
    TKvIEMailAddresses list(nullptr);
    for (int i = 0; i < int(std::size(names)); ++i) {
        auto* a = list.Add();
        a->SetName(QString::fromUtf8(names[i]));
        a->SetAddress(QStringLiteral("p%1@example.com").arg(i));
    }
    const QString text = list.GetEMailAddresses();
    TKvIEMailAddresses back(nullptr);
    back.SetEMailAddresses(text);
    ASSERT_EQ(back.Count(), list.Count()) << text.toStdString();
    for (int i = 0; i < list.Count(); ++i) {
        EXPECT_EQ(back.Items(i)->Address(), list.Items(i)->Address()) << names[i];
        // The list text has no escape for a double quote: inside the quotes it becomes a single one.
        QString expected = QString::fromUtf8(names[i]);
        if (expected.contains(u',') || expected.contains(u'"'))
            expected.replace(u'"', u'\'');
        if (expected.startsWith(u'\'') && expected.endsWith(u'\''))
            expected = expected.mid(1, expected.size() - 2); // surrounding quotes are stripped, as ever
        EXPECT_EQ(back.Items(i)->Name(), expected) << names[i];
    }
    TKvIEMailAddress a;
    a.SetName(QStringLiteral("Doe, John"));
    a.SetAddress(QStringLiteral("jd@example.com"));
    EXPECT_EQ(a.GetText(), "\"Doe, John\" <jd@example.com>");
    a.SetName(QStringLiteral("Ann \"Nancy\" Smith"));
    EXPECT_EQ(a.GetText(), "\"Ann 'Nancy' Smith\" <jd@example.com>");
}

TEST(SMTPEnvelope, RefusesAddressesThatCannotBeSentNamingTheItem) {
    const struct {
        const char* To;
        const char* Message; // "" when the list is fine
    } cases[] = {
        {"a@example.com", ""},
        {"\"Doe, John\" <jd@example.com>, b@example.com", ""},
        {"x(comment)@example.com", ""},
        {"\"quoted\"@example.com", ""},
        {"a@example.com (Ann, Jr.)",
         "Invalid address in Recipients item 1 (\"a@example.com (Ann\"): the address holds a space"},
        {"ok@example.com, Ann <>", "Invalid address in Recipients item 2 (\"Ann <>\"): the address is empty"},
        {"ok@example.com, Jr.)", "Invalid address in Recipients item 2: the address is empty"},
        {"bob", "Invalid address in Recipients item 1 (\"bob\"): the address has no \"@\""},
        {"@example.com", "the address has nothing before its \"@\""},
        {"bob@", "the address has nothing after its \"@\""},
        {"\"bob@example.com", "the address has an unbalanced '\"'"},
        {"a(b@example.com", "the address has an unbalanced \"(\""},
        {"a)b(@example.com", "the address has an unbalanced \"(\""},
        {"a\tb@example.com", "the address holds a control character"},
        {"j\u00f6rg@example.com", "the address holds a character beyond ASCII"},
        {"<a<b@example.com>", "the address holds an angle bracket"},
    };
    for (const auto& c : cases) {
        TKvISMTP smtp;
        smtp.From()->SetText(QStringLiteral("Ann <ann@example.com>"));
        smtp.Recipients()->SetEMailAddresses(QString::fromUtf8(c.To));
        try {
            smtp.CheckEnvelope();
            EXPECT_STREQ(c.Message, "") << c.To;
        } catch (const EKvISMTPError& e) {
            EXPECT_TRUE(*c.Message && e.Message().contains(QString::fromUtf8(c.Message)))
                << c.To << ": " << e.Message().toStdString();
        }
    }
    TKvISMTP smtp;
    smtp.Recipients()->SetEMailAddresses(QStringLiteral("b@example.com"));
    EXPECT_NO_THROW(smtp.CheckEnvelope()); // an empty From is the null sender
    smtp.From()->SetText(QStringLiteral("Ann <>"));
    EXPECT_THROW(smtp.CheckEnvelope(), EKvISMTPError);
    smtp.From()->SetText(QString(250, u'a') + QStringLiteral("@example.com"));
    EXPECT_THROW(smtp.CheckEnvelope(), EKvISMTPError); // longer than a path may be
    smtp.From()->SetText(QStringLiteral("a@example.com"));
    smtp.Recipients()->SetEMailAddresses(QString());
    try {
        smtp.CheckEnvelope();
        ADD_FAILURE() << "no recipients passed";
    } catch (const EKvISMTPError& e) {
        EXPECT_EQ(e.Message(), "No recipients: Recipients, CC and BCC are all empty");
    }
    // Execute refuses before connecting (there is nothing listening on this port).
    smtp.SetHost(QStringLiteral("127.0.0.1"));
    smtp.SetPort(1);
    smtp.Recipients()->SetEMailAddresses(QStringLiteral("Ann <>"));
    EXPECT_EQ(smtp.Execute(), "Invalid address in Recipients item 1 (\"Ann <>\"): the address is empty");
    EXPECT_EQ(smtp.LastError(), smtp.Execute());
}

// The component owns its lists and settings through the QObject tree: freeing it frees each of them once
// (a leak or a double free shows under the sanitizers).
TEST(EMailModel, ComponentFreesItsListsAndSettings) {
    auto* owner = new TComponent;
    auto* smtp = new TKvISMTP(owner);
    smtp->Recipients()->Add()->SetText(QStringLiteral("a@example.com"));
    smtp->Attachments()->Add()->SetFileName(QStringLiteral("/tmp/a"));
    smtp->From()->SetText(QStringLiteral("b@example.com"));
    const QList<QPointer<QObject>> parts = {smtp->Body(),       smtp->Recipients(), smtp->CC(),
                                            smtp->BCC(),        smtp->ReplyTo(),    smtp->Login(),
                                            smtp->Attachments()};
    for (const QPointer<QObject>& part : parts)
        EXPECT_EQ(part->parent(), smtp) << part->metaObject()->className();
    const QPointer<QObject> item = smtp->Recipients()->Items(0);
    delete owner;
    EXPECT_TRUE(item.isNull());
    for (const QPointer<QObject>& part : parts)
        EXPECT_TRUE(part.isNull());
}

TEST(EMailAttachment, AnnouncedNameAndContentType) {
    TKvIEMailAttachment a;
    EXPECT_EQ(a.GetAttachmentName(), "");
    a.SetFileName(QStringLiteral("/home/ann/reports/q1.pdf"));
    EXPECT_EQ(a.GetAttachmentName(), "q1.pdf");
    a.SetFileName(QStringLiteral("C:\\Reports\\q2.html"));
    EXPECT_EQ(a.GetAttachmentName(), "q2.html");
    a.DetectContentType();
    EXPECT_EQ(a.ContentType(), "text/html");
    a.SetFileName(QStringLiteral("D:noext"));
    EXPECT_EQ(a.GetAttachmentName(), "noext");
    a.DetectContentType();
    EXPECT_EQ(a.ContentType(), "application/octet-stream");
    a.SetAttachmentName(QStringLiteral("shown.txt"));
    EXPECT_EQ(a.GetAttachmentName(), "shown.txt");
}

// ---- dates -----------------------------------------------------------------------------------------------

class SMTPProbe : public TKvISMTP {
public:
    using TKvISMTP::EMailFormatDate;
    using TKvISMTP::GetTimeZoneString;
    using TKvISMTP::LeadZero;
    using TKvISMTP::UniqueMessageID;
    QString LocalHostName() const override { return HostName; }
    QString HostName = QStringLiteral("mail.example.org");
};

class LocalZone {
public:
    explicit LocalZone(const char* Zone) : FOld(qgetenv("TZ")), FHad(qEnvironmentVariableIsSet("TZ")) {
        qputenv("TZ", Zone);
        tzset();
    }
    ~LocalZone() {
        if (FHad)
            qputenv("TZ", FOld);
        else
            qunsetenv("TZ");
        tzset();
    }

private:
    QByteArray FOld;
    bool FHad;
};

TEST(SMTPDate, FormatsTheDateWithTheZoneInForceAtThatDate) {
    EXPECT_EQ(SMTPProbe::LeadZero(7, 2), "07");
    EXPECT_EQ(SMTPProbe::LeadZero(2008, 2), "2008");
    EXPECT_EQ(SMTPProbe::LeadZero(0, 3), "000");

    const TDateTime saturday = EncodeDate(2008, 1, 5) + EncodeTime(9, 4, 3, 0);
    const struct {
        const char* Zone;
        const char* Expected;
    } zones[] = {
        {"Europe/Berlin", "Sat, 5 Jan 2008 09:04:03 +0100"},
        {"Asia/Kolkata", "Sat, 5 Jan 2008 09:04:03 +0530"}, // no daylight saving there
        {"America/New_York", "Sat, 5 Jan 2008 09:04:03 -0500"},
        {"UTC", "Sat, 5 Jan 2008 09:04:03 GMT"},
        {"Asia/Kathmandu", "Sat, 5 Jan 2008 09:04:03 +0545"},
    };
    for (const auto& z : zones) {
        LocalZone zone(z.Zone);
        EXPECT_EQ(SMTPProbe::EMailFormatDate(saturday), z.Expected) << z.Zone;
    }
    LocalZone zone("Europe/Berlin");
    EXPECT_EQ(SMTPProbe::EMailFormatDate(EncodeDate(2008, 7, 15) + EncodeTime(23, 59, 59, 0)),
              "Tue, 15 Jul 2008 23:59:59 +0200");
    EXPECT_EQ(SMTPProbe::GetTimeZoneString(EncodeDate(2008, 1, 5)), "+0100");
}

TEST(SMTPDate, MessageIdCarriesTheMinuteEightLettersAndTheHost) {
    const QRegularExpression form(QStringLiteral("^<(\\d{12})([a-t]{8})@mail\\.example\\.org>$"));
    QSet<QString> seen;
    for (int i = 0; i < 20; ++i) {
        const QString id = SMTPProbe::UniqueMessageID(QStringLiteral("mail.example.org"));
        const auto match = form.match(id);
        ASSERT_TRUE(match.hasMatch()) << id.toStdString();
        seen << match.captured(2);
    }
    EXPECT_GT(seen.size(), 15);
}

// ---- the composed message --------------------------------------------------------------------------------

QStringList HeaderNames(const QByteArray& Message) {
    QStringList names;
    for (const QByteArray& line : Message.left(Message.indexOf("\r\n\r\n")).split('\n'))
        if (!line.startsWith(' ') && line.contains(':'))
            names << QString::fromLatin1(line.left(line.indexOf(':')));
    return names;
}

TEST(SMTPMessage, PlainTextMessageHasTheHeaderInOrderThenAnEmptyLineThenTheBody) {
    LocalZone zone("Europe/Berlin");
    SMTPProbe smtp;
    smtp.From()->SetText(QStringLiteral("Ann Sender <ann@example.com>"));
    smtp.Recipients()->SetEMailAddresses(QStringLiteral("bob@example.com, \"Doe, John\" <jd@example.com>"));
    smtp.CC()->SetEMailAddresses(QStringLiteral("Carl <carl@example.com>"));
    smtp.BCC()->SetEMailAddresses(QStringLiteral("hidden@example.com"));
    smtp.ReplyTo()->SetEMailAddresses(QStringLiteral("r1@example.com, R Two <r2@example.com>"));
    smtp.SetDate(EncodeDate(2008, 1, 5) + EncodeTime(9, 4, 3, 0));
    smtp.SetPriority(spHighest);
    smtp.SetSubject(QStringLiteral("Quarterly figures"));
    smtp.Body()->SetText(QStringLiteral("Hello,\r\n.\r\n..two dots\r\nBye"));

    const QByteArray m = smtp.ComposeMessage();
    EXPECT_EQ(HeaderNames(m),
              QStringList({"Message-Id", "From", "To", "Cc", "Reply-To", "Date", "X-Priority", "X-Mailer",
                           "Subject", "MIME-Version", "Content-Type", "Content-Transfer-Encoding"}));
    const qsizetype body = m.indexOf("\r\n\r\n") + 4;
    EXPECT_EQ(m.mid(body), "Hello,\r\n.\r\n..two dots\r\nBye\r\n"); // dots are doubled on the wire only
    EXPECT_TRUE(m.contains("\r\nDate: Sat, 5 Jan 2008 09:04:03 +0100\r\n"));
    EXPECT_TRUE(m.contains("\r\nX-Priority: 1\r\n"));
    EXPECT_TRUE(m.contains("\r\nX-Mailer: Norvalith mailer ("));
    EXPECT_TRUE(m.contains("\r\nContent-Type: Text/Plain; charset=us-ascii\r\n"
                           "Content-Transfer-Encoding: 7bit\r\n\r\n"));
    EXPECT_TRUE(m.startsWith("Message-Id: <"));
    EXPECT_TRUE(m.contains("@mail.example.org>\r\n"));

    const ParsedMail p = ParseMail(m);
    EXPECT_TRUE(p.Defects.isEmpty()) << p.Defects.join(u' ').toStdString();
    EXPECT_EQ(p.Header("From"), "Ann Sender <ann@example.com>");
    EXPECT_EQ(p.Header("To"), "bob@example.com, \"Doe, John\" <jd@example.com>");
    EXPECT_EQ(p.Header("Cc"), "Carl <carl@example.com>");
    EXPECT_EQ(p.Header("Bcc"), "");
    EXPECT_EQ(p.Header("Reply-To"), "r1@example.com, R Two <r2@example.com>");
    EXPECT_EQ(p.Header("Subject"), "Quarterly figures");
    EXPECT_EQ(p.ContentType, "text/plain");
    EXPECT_EQ(p.Body, "Hello,\n.\n..two dots\nBye\n");
    EXPECT_FALSE(p.Multipart);
}

TEST(SMTPMessage, OptionalHeadersAndPriorities) {
    SMTPProbe smtp;
    const QByteArray bare = smtp.ComposeMessage();
    EXPECT_EQ(HeaderNames(bare), QStringList({"Message-Id", "Date", "X-Priority", "X-Mailer", "MIME-Version",
                                              "Content-Type", "Content-Transfer-Encoding"}));
    EXPECT_TRUE(bare.endsWith("Content-Transfer-Encoding: 7bit\r\n\r\n"));
    EXPECT_TRUE(bare.contains("\r\nX-Priority: 3\r\n"));
    smtp.SetPriority(spLowest);
    EXPECT_TRUE(smtp.ComposeMessage().contains("\r\nX-Priority: 5\r\n"));
}

TEST(SMTPMessage, TextBeyondAsciiArrivesIntact) {
    SMTPProbe smtp;
    const QString subject = QStringLiteral("Grüße aus Köln — 価格表 😀 ") + QString(40, u'é');
    const QString name = QStringLiteral("Zoë Åström, Ph.D.");
    smtp.SetSubject(subject);
    smtp.From()->SetName(name);
    smtp.From()->SetAddress(QStringLiteral("zoe@example.com"));
    smtp.Recipients()->Add()->SetText(QStringLiteral("Quote \"Q\" Person <q@example.com>"));
    smtp.Body()->SetText(QStringLiteral("Prix: 10 € = ça va\r\ntrailing space \r\nx") + QString(200, u'y'));

    const QByteArray m = smtp.ComposeMessage();
    for (const QByteArray& line : m.split('\n')) {
        EXPECT_LE(line.size(), 78) << line.constData();
        for (char c : line)
            EXPECT_TRUE(uchar(c) < 0x80) << line.constData();
    }
    const ParsedMail p = ParseMail(m);
    EXPECT_TRUE(p.Defects.isEmpty()) << p.Defects.join(u' ').toStdString();
    EXPECT_EQ(p.Header("Subject"), subject);
    EXPECT_EQ(p.Header("From"), u'"' + name + QStringLiteral("\" <zoe@example.com>"));
    EXPECT_EQ(p.Header("To"), "\"Quote \\\"Q\\\" Person\" <q@example.com>");
    EXPECT_EQ(p.BodyCharset, "utf-8");
    EXPECT_EQ(p.BodyEncoding, "quoted-printable");
    EXPECT_EQ(p.Body, QStringLiteral("Prix: 10 € = ça va\ntrailing space \nx") + QString(200, u'y') + u'\n');

    // A character set that can carry the text keeps it, in quoted-printable since 7bit cannot.
    smtp.SetCharSet(QStringLiteral("iso-8859-1"));
    smtp.Body()->SetText(QStringLiteral("ça"));
    const ParsedMail latin = ParseMail(smtp.ComposeMessage());
    EXPECT_EQ(latin.BodyCharset, "iso-8859-1");
    EXPECT_EQ(latin.BodyEncoding, "quoted-printable");
    EXPECT_EQ(latin.Body, "ça\n");
}

TEST(SMTPMessage, AttachmentsArriveByteForByteUnderTheirAnnouncedNames) {
    QTemporaryDir dir;
    const QByteArray binary = AllBytes(100 * 1024);
    const QByteArray text = "line one\r\n.line two\r\n";
    WriteFile(dir.filePath("data.bin"), binary);
    WriteFile(dir.filePath("notes.txt"), text);
    WriteFile(dir.filePath("lf.txt"), "unix\nline\n");

    SMTPProbe smtp;
    smtp.Body()->SetText(QStringLiteral("See attached."));
    auto* a1 = smtp.Attachments()->Add();
    a1->SetFileName(dir.filePath("data.bin"));
    a1->SetContentType(QStringLiteral("application/octet-stream"));
    auto* a2 = smtp.Attachments()->Add();
    a2->SetFileName(dir.filePath("notes.txt"));
    a2->SetAttachmentName(QStringLiteral("Notizen für \"Q1\".txt"));
    a2->SetContentType(QStringLiteral("text/plain"));
    a2->SetEncoding(QStringLiteral("7bit"));
    auto* a3 = smtp.Attachments()->Add();
    a3->SetFileName(dir.filePath("lf.txt"));
    a3->SetEncoding(QStringLiteral("quoted-printable"));
    auto* a4 = smtp.Attachments()->Add();
    a4->SetFileName(dir.filePath("data.bin"));
    a4->SetAttachmentName(QStringLiteral("copy.bin"));
    a4->SetEncoding(QStringLiteral("Quoted-Printable"));

    const QByteArray m = smtp.ComposeMessage();
    EXPECT_FALSE(m.contains(dir.path().toUtf8())); // the local path stays private
    EXPECT_EQ(m.count("------------NorvalithSMTP--"), 1);
    EXPECT_TRUE(m.endsWith("\r\n------------NorvalithSMTP--\r\n"));
    const ParsedMail p = ParseMail(m);
    EXPECT_TRUE(p.Defects.isEmpty()) << p.Defects.join(u' ').toStdString();
    EXPECT_EQ(p.ContentType, "multipart/mixed");
    EXPECT_EQ(p.Body, "See attached.\n");
    ASSERT_EQ(p.Attachments.size(), 4);
    EXPECT_EQ(p.Attachments[0].FileName, "data.bin");
    EXPECT_EQ(p.Attachments[0].Encoding, "base64");
    EXPECT_EQ(p.Attachments[0].Disposition, "attachment");
    EXPECT_TRUE(p.Attachments[0].Data == binary);
    EXPECT_EQ(p.Attachments[1].FileName, "Notizen für \"Q1\".txt");
    EXPECT_EQ(p.Attachments[1].ContentType, "text/plain");
    EXPECT_EQ(p.Attachments[1].Data, "line one\n.line two\n"); // a reader gives text its own line ends
    EXPECT_TRUE(m.contains("\r\n\r\nline one\r\n.line two\r\n\r\n------------NorvalithSMTP\r\n"));
    EXPECT_EQ(p.Attachments[2].FileName, "lf.txt");
    EXPECT_EQ(p.Attachments[2].ContentType, "text/plain"); // detected when not given
    EXPECT_EQ(p.Attachments[2].Data, "unix\nline\n");
    EXPECT_EQ(p.Attachments[3].FileName, "copy.bin");
    EXPECT_TRUE(p.Attachments[3].Data == binary);
    const QRegularExpression encoded(QStringLiteral("^[A-Za-z0-9+/=]+\r$"));
    for (const QByteArray& line : m.split('\n')) {
        if (encoded.match(QString::fromLatin1(line)).hasMatch()) {
            ASSERT_LE(line.size(), 77); // 76 characters and the CR
        }
        ASSERT_LE(line.size(), 999);
    }
}

TEST(SMTPMessage, RefusesInjectedLinesAndEncodingsItCannotProduce) {
    QTemporaryDir dir;
    WriteFile(dir.filePath("lf.txt"), "unix\nline\n");
    WriteFile(dir.filePath("bin"), QByteArray("a\0b", 3));
    const auto refused = [](SMTPProbe& Smtp, const char* Fragment) {
        try {
            Smtp.ComposeMessage();
            ADD_FAILURE() << "no refusal, expected one about " << Fragment;
        } catch (const Exception& e) {
            EXPECT_TRUE(e.Message().contains(QString::fromUtf8(Fragment))) << e.Message().toStdString();
        }
    };
    {
        SMTPProbe s;
        s.SetSubject(QStringLiteral("hi\r\nBcc: victim@example.com"));
        refused(s, "Invalid Subject: line breaks are not allowed");
    }
    {
        SMTPProbe s;
        s.From()->SetName(QStringLiteral("Evil\nX-Spam: no"));
        s.From()->SetAddress(QStringLiteral("e@example.com"));
        refused(s, "Invalid From: line breaks");
    }
    {
        SMTPProbe s;
        s.CC()->Add()->SetAddress(QStringLiteral("x@example.com>\r\nRCPT TO:<y@example.com"));
        refused(s, "Invalid CC: line breaks");
    }
    {
        SMTPProbe s;
        s.Recipients()->Add()->SetAddress(QStringLiteral("jörg@example.com"));
        refused(s,
                "Invalid address in Recipients item 1 (\"jörg@example.com\"): the address holds a character "
                "beyond ASCII");
    }
    {
        SMTPProbe s;
        auto* a = s.Attachments()->Add();
        a->SetFileName(dir.filePath("lf.txt"));
        a->SetAttachmentName(QStringLiteral("a\r\nb"));
        refused(s, "Invalid AttachmentName: line breaks");
    }
    {
        SMTPProbe s;
        auto* a = s.Attachments()->Add();
        a->SetFileName(dir.filePath("lf.txt"));
        a->SetEncoding(QStringLiteral("7bit"));
        refused(s, "line break other than CR LF");
        a->SetFileName(dir.filePath("bin"));
        a->SetEncoding(QStringLiteral("8bit"));
        refused(s, "NUL");
        a->SetEncoding(QStringLiteral("uuencode"));
        refused(s, "Transfer encoding \"uuencode\" of attachment");
    }
    {
        SMTPProbe s;
        s.SetEncoding(QStringLiteral("x-gzip"));
        refused(s, "Transfer encoding \"x-gzip\" of the text");
    }
    {
        SMTPProbe s;
        s.Attachments()->Add()->SetFileName(dir.filePath("missing.pdf"));
        EXPECT_THROW(s.ComposeMessage(), EFOpenError);
    }
}

// The boundary stays the fixed one unless a part holds a line starting with its delimiter; then it grows,
// and the message still reads back whole.
TEST(SMTPMessage, ABodyQuotingThisMailerKeepsItsAttachments) {
    QTemporaryDir dir;
    WriteFile(dir.filePath("a.bin"), AllBytes(300));
    WriteFile(dir.filePath("t.txt"), "x\r\n------------NorvalithSMTP-- in a text attachment\r\n");
    SMTPProbe smtp;
    auto* a = smtp.Attachments()->Add();
    a->SetFileName(dir.filePath("a.bin"));

    smtp.Body()->SetText(QStringLiteral("just text\r\n-----------NorvalithSMTP (one hyphen short)"));
    QByteArray m = smtp.ComposeMessage();
    EXPECT_TRUE(m.contains("Content-Type: multipart/mixed; boundary=\"----------NorvalithSMTP\"\r\n"));
    EXPECT_EQ(m.count("------------NorvalithSMTP\r\n"), 2);

    const QStringList hostile = {
        QStringLiteral("Forwarded:\r\n------------NorvalithSMTP\r\nContent-Type: text/plain\r\n\r\nquoted\r\n"
                       "------------NorvalithSMTP--\r\nafter"),
        QStringLiteral("------------NorvalithSMTP-- at the very start"),
        QStringLiteral("------------NorvalithSMTPX"),
    };
    for (const QString& body : hostile) {
        smtp.Body()->SetText(body);
        m = smtp.ComposeMessage();
        EXPECT_FALSE(m.contains("boundary=\"----------NorvalithSMTP\"")) << body.toStdString();
        const ParsedMail p = ParseMail(m);
        EXPECT_TRUE(p.Defects.isEmpty()) << p.Defects.join(u' ').toStdString();
        EXPECT_EQ(p.Body, QString(body).replace(QStringLiteral("\r\n"), QStringLiteral("\n")) + u'\n');
        ASSERT_EQ(p.Attachments.size(), 1) << body.toStdString();
        EXPECT_TRUE(p.Attachments[0].Data == AllBytes(300));
    }
    // The same for an attachment sent as text.
    smtp.Body()->SetText(QStringLiteral("plain"));
    auto* t = smtp.Attachments()->Add();
    t->SetFileName(dir.filePath("t.txt"));
    t->SetEncoding(QStringLiteral("7bit"));
    m = smtp.ComposeMessage();
    EXPECT_FALSE(m.contains("boundary=\"----------NorvalithSMTP\""));
    const ParsedMail p = ParseMail(m);
    ASSERT_EQ(p.Attachments.size(), 2);
    EXPECT_EQ(p.Attachments[1].Data, "x\n------------NorvalithSMTP-- in a text attachment\n");
}

TEST(SMTPMessage, LongNamesFoldAndReadBack) {
    QTemporaryDir dir;
    const QString longFile = QString(200, u'f') + QStringLiteral(".txt");
    const QString longWide = QString(150, u'\u00fc') + QStringLiteral(" \u65e5\u672c.pdf");
    WriteFile(dir.filePath("data"), "data");
    SMTPProbe smtp;
    const QString person = QStringList(40, QStringLiteral("Name")).join(u' ');
    const QString wide = QStringList(40, QStringLiteral("N\u00e4me")).join(u' ');
    const QString unbroken = QString(1200, u'A');
    smtp.From()->SetName(person);
    smtp.From()->SetAddress(QStringLiteral("a@example.com"));
    smtp.Recipients()->Add()->SetText(wide + QStringLiteral(" <w@example.com>"));
    smtp.CC()->Add()->SetText(unbroken + QStringLiteral(" <u@example.com>"));
    smtp.SetSubject(QStringList(100, QStringLiteral("subject")).join(u' '));
    for (const QString& name : {longFile, longWide}) {
        auto* a = smtp.Attachments()->Add();
        a->SetFileName(dir.filePath("data"));
        a->SetAttachmentName(name);
    }
    const QByteArray m = smtp.ComposeMessage();
    for (const QByteArray& line : m.split('\n'))
        EXPECT_LE(line.size(), line.contains("=?utf-8?B?") ? 999 : 79) << line.left(90).constData();
    const ParsedMail p = ParseMail(m);
    EXPECT_TRUE(p.Defects.isEmpty()) << p.Defects.join(u' ').toStdString();
    EXPECT_EQ(p.Header("From"), person + QStringLiteral(" <a@example.com>"));
    EXPECT_EQ(p.Header("To"), wide + QStringLiteral(" <w@example.com>"));
    EXPECT_TRUE(p.Header("Cc").endsWith(QStringLiteral(" <u@example.com>")));
    EXPECT_EQ(p.Header("Subject"), QStringList(100, QStringLiteral("subject")).join(u' '));
    ASSERT_EQ(p.Attachments.size(), 2);
    EXPECT_EQ(p.Attachments[0].FileName, longFile);
    EXPECT_EQ(p.Attachments[1].FileName, longWide);
    EXPECT_EQ(p.Attachments[1].Data, "data");
    // Ordinary names keep their one-line form.
    SMTPProbe plain;
    auto* a = plain.Attachments()->Add();
    a->SetFileName(dir.filePath("data"));
    a->SetAttachmentName(QStringLiteral("q1.pdf"));
    a->SetContentType(QStringLiteral("application/pdf"));
    EXPECT_TRUE(
        plain.ComposeMessage().contains("Content-Type: application/pdf; name=\"q1.pdf\"\r\n"
                                        "Content-Transfer-Encoding: base64\r\n"
                                        "Content-Disposition: attachment; filename=\"q1.pdf\"\r\n\r\n"));
}

// Text that a reader would reinterpret goes out as encoded words (or, in a file name, in the RFC 2231
// form), so that it reads back as typed.
TEST(SMTPMessage, TextReadersWouldReinterpretIsEncoded) {
    QTemporaryDir dir;
    WriteFile(dir.filePath("data"), "data");
    SMTPProbe smtp;
    const QString trick = QStringLiteral("=?utf-8?B?SGFja2Vk?=");
    smtp.SetSubject(trick);
    smtp.From()->SetName(trick);
    smtp.From()->SetAddress(QStringLiteral("a@example.com"));
    smtp.Recipients()->Add()->SetText(QStringLiteral("Bell\x07 Ringer <b@example.com>"));
    auto* a = smtp.Attachments()->Add();
    a->SetFileName(dir.filePath("data"));
    a->SetAttachmentName(trick + QStringLiteral(".txt"));
    const QByteArray m = smtp.ComposeMessage();
    EXPECT_FALSE(m.contains(trick.toLatin1()));
    EXPECT_FALSE(m.contains('\x07'));
    const ParsedMail p = ParseMail(m);
    EXPECT_TRUE(p.Defects.isEmpty()) << p.Defects.join(u' ').toStdString();
    EXPECT_EQ(p.Header("Subject"), trick);
    EXPECT_EQ(p.Header("From"), trick + QStringLiteral(" <a@example.com>"));
    EXPECT_EQ(p.Header("To"), QStringLiteral("Bell\x07 Ringer <b@example.com>"));
    ASSERT_EQ(p.Attachments.size(), 1);
    EXPECT_EQ(p.Attachments[0].FileName, trick + QStringLiteral(".txt"));
}

} // namespace

// test-servers: dns scripted
// The DNS resolver against dnsmasq over TCP, the bytes on the wire against the scripted server, and the
// kvinet dns command.
#include "support/ScriptedPeer.h"

#include "platform/WireText.h"
#include "socket/KvIDNS.h"

#include <QRegularExpression>

#include <gtest/gtest.h>

using namespace KvInet;
using namespace KvTest;

namespace {

QString DnsPort() {
    return ServerEnv(QStringLiteral("dns"), QStringLiteral("KV_DNS_PORT"));
}

// The answer lines of a lookup with the TTL column taken out ("NAME IN TYPE DATA").
struct Lookup {
    QString Raw;
    TKvIDNSAnswer Answer;
    QStringList Lines;
    QString Error;
};

Lookup Ask(const QString& Domain, const TKvIDNSRequests& Requests) {
    TKvIDNSResolver resolver;
    resolver.SetAddress(QStringLiteral("127.0.0.1"));
    resolver.SetPort(DnsPort().toInt());
    resolver.SetTimeout(20);
    resolver.SetDomain(Domain);
    resolver.SetRequests(Requests);
    Lookup l;
    l.Raw = resolver.Execute();
    l.Error = resolver.LastError();
    l.Answer.DecodeWire(l.Raw, dfTCP);
    for (const TKvIDNSRecord& r : l.Answer.Answers()) {
        QStringList fields = r.Text().split(u' ');
        fields.removeAt(1);
        l.Lines << fields.join(u' ');
    }
    return l;
}

TEST(DNSServer, RecordsOfEveryKind) {
    // dnsmasq keeps the connection open after answering: an empty LastError shows that the resolver stopped
    // reading once the answer was complete instead of running into the time-out.
    Lookup a = Ask(QStringLiteral("www.test.example"), {irA});
    EXPECT_TRUE(a.Error.isEmpty()) << a.Error.toStdString();
    EXPECT_FALSE(a.Answer.Malformed()) << a.Answer.Problem().toStdString();
    EXPECT_EQ(a.Lines, QStringList{QStringLiteral("www.test.example. IN A 192.0.2.10")});
    ASSERT_EQ(a.Answer.Messages().size(), 1);
    EXPECT_EQ(a.Answer.Messages()[0].ID, 0x12A2);
    EXPECT_TRUE(a.Answer.Messages()[0].AA);

    EXPECT_EQ(Ask(QStringLiteral("www.test.example"), {irAAAA}).Lines,
              QStringList{QStringLiteral("www.test.example. IN AAAA 2001:db8::10")});

    EXPECT_EQ(Ask(QStringLiteral("alias.test.example"), {irName}).Lines,
              QStringList{QStringLiteral("alias.test.example. IN CNAME www.test.example.")});
    EXPECT_EQ(Ask(QStringLiteral("test.example"), {irMX}).Lines,
              QStringList{QStringLiteral("test.example. IN MX 10 mail.test.example.")});
    EXPECT_EQ(Ask(QStringLiteral("txt.test.example"), {irText}).Lines,
              QStringList{QStringLiteral("txt.test.example. IN TXT \"first string\" \"second string\"")});
    EXPECT_EQ(Ask(QStringLiteral("192.0.2.10"), {irPTR}).Lines,
              QStringList{QStringLiteral("10.2.0.192.in-addr.arpa. IN PTR www.test.example.")});
    EXPECT_EQ(Ask(QStringLiteral("test.example"), {irSOA}).Lines,
              QStringList{QStringLiteral("test.example. IN SOA ns.test.example. hostmaster.test.example. "
                                         "2024010101 1200 180 1209600 600")});
    EXPECT_EQ(Ask(QStringLiteral("_sip._tcp.test.example"), {irSRV}).Lines,
              QStringList{QStringLiteral("_sip._tcp.test.example. IN SRV 10 20 5060 sip.test.example.")});
}

TEST(DNSServer, MissingNameAndLargeAnswer) {
    const Lookup nx = Ask(QStringLiteral("nothing.test.example"), {irA});
    EXPECT_TRUE(nx.Error.isEmpty()) << nx.Error.toStdString();
    EXPECT_EQ(nx.Answer.RCode(), 3);
    EXPECT_TRUE(nx.Lines.isEmpty());

    // About 2 KB of TXT strings: more than a UDP answer holds, whole over TCP.
    const Lookup big = Ask(QStringLiteral("big.test.example"), {irText});
    EXPECT_TRUE(big.Error.isEmpty()) << big.Error.toStdString();
    EXPECT_GT(big.Raw.size(), 2000);
    ASSERT_EQ(big.Answer.Answers().size(), 4);
    QList<QByteArray> strings;
    for (const TKvIDNSRecord& r : big.Answer.Answers())
        strings += r.Strings;
    ASSERT_EQ(strings.size(), 20);
    for (const QByteArray& s : strings) {
        EXPECT_EQ(s.size(), 100);
        EXPECT_EQ(s.count(s[0]), 100);
    }
}

TEST(DNSServer, TwoTypesInOneExecute) {
    const Lookup both = Ask(QStringLiteral("test.example"), {irMX, irSOA});
    EXPECT_TRUE(both.Error.isEmpty()) << both.Error.toStdString();
    EXPECT_EQ(both.Answer.RCode(), 0);
    ASSERT_EQ(both.Answer.Messages().size(), 2);
    EXPECT_EQ(both.Answer.Messages()[0].ID, 0x12A2);
    EXPECT_EQ(both.Answer.Messages()[1].ID, 0x12A3);
    ASSERT_EQ(both.Lines.size(), 2);
    EXPECT_TRUE(both.Lines[0].startsWith(QStringLiteral("test.example. IN SOA ")));
    EXPECT_EQ(both.Lines[1], QStringLiteral("test.example. IN MX 10 mail.test.example."));
}

TEST(DNSServer, QueryBytesOnTheWire) {
    // The query for www.example.com type A exactly as documented, nothing after it; the server answers in two
    // pieces and keeps the connection open.
    const char* expected = "002112a201000001000000000000"
                           "03777777076578616d706c6503636f6d0000010001";
    // Length, header (one question, one answer), the question as asked, "www.example.com. 5 IN A 192.0.2.7".
    const char* reply = "003112a281800001000100000000"
                        "03777777076578616d706c6503636f6d0000010001"
                        "c00c00010001000000050004c0000207";
    ScriptedSession session((QStringLiteral(R"({"steps": [{"read_bytes": 35}, {"send_hex": "%1", "blocks": 2,
        "delay_ms": 100}, {"hang": true}]})")
                                 .arg(QLatin1String(reply))));
    TKvIDNSResolver resolver;
    resolver.SetAddress(QStringLiteral("127.0.0.1"));
    resolver.SetPort(session.Port());
    resolver.SetTimeout(20);
    resolver.SetDomain(QStringLiteral("www.example.com"));
    resolver.SetRequests({irA});
    const QString raw = resolver.Execute();
    EXPECT_TRUE(resolver.LastError().isEmpty()) << resolver.LastError().toStdString();
    EXPECT_EQ(WireToBytes(raw).toHex(), QByteArray(reply));
    EXPECT_EQ(session.Received().toHex(), QByteArray(expected));
}

TEST(DNSServer, TwoTypesGoOneAfterTheOtherAndSurviveAClose) {
    // The first connection answers the A question and closes; the MX question then goes on a new one.
    ScriptedSession session(QString::fromUtf8(R"({"connections": [
        {"steps": [{"read_bytes": 22}, {"send_hex": "001412a281800001000000000000026d780000010001"},
                   {"close": true}]},
        {"steps": [{"read_bytes": 22}, {"send_hex": "001412a381830001000000000000026d7800000f0001"},
                   {"hang": true}]}]})"));
    TKvIDNSResolver resolver;
    resolver.SetAddress(QStringLiteral("127.0.0.1"));
    resolver.SetPort(session.Port());
    resolver.SetTimeout(20);
    resolver.SetDomain(QStringLiteral("mx"));
    resolver.SetRequests({irMX, irA});
    const QString raw = resolver.Execute();
    EXPECT_TRUE(resolver.LastError().isEmpty()) << resolver.LastError().toStdString();
    EXPECT_EQ(WireToBytes(raw).toHex(), QByteArray("001412a281800001000000000000026d780000010001"
                                                   "001412a381830001000000000000026d7800000f0001"));
    // The MX question may have gone out on the first connection too, before its close was noticed.
    EXPECT_TRUE(session.Received(1).toHex().startsWith("001412a201000001000000000000026d780000010001"));
    EXPECT_EQ(session.Received(2).toHex(), QByteArray("001412a301000001000000000000026d7800"
                                                      "000f0001"));
}

TEST(DNSServer, AQuestionLeftUnansweredTwiceIsAFailure) {
    // The A question is answered; the MX question meets a close on two connections in a row.
    ScriptedSession session(QString::fromUtf8(R"({"connections": [
        {"steps": [{"read_bytes": 22}, {"send_hex": "001412a281800001000000000000026d780000010001"},
                   {"read_bytes": 22}, {"close": true}]},
        {"steps": [{"read_bytes": 22}, {"close": true}]}]})"));
    TKvIDNSResolver resolver;
    resolver.SetAddress(QStringLiteral("127.0.0.1"));
    resolver.SetPort(session.Port());
    resolver.SetTimeout(20);
    resolver.SetDomain(QStringLiteral("mx"));
    resolver.SetRequests({irMX, irA});
    EXPECT_EQ(resolver.Execute(), QStringLiteral("No answer from server"));
    EXPECT_EQ(resolver.LastError(), QStringLiteral("No answer from server"));
}

TEST(DNSServer, NamesThatCannotBeEncodedAreRefused) {
    TKvIDNSResolver resolver;
    resolver.SetAddress(QStringLiteral("127.0.0.1"));
    resolver.SetPort(DnsPort().toInt());
    resolver.SetDomain(QString(64, u'x') + QStringLiteral(".test.example"));
    resolver.SetRequests({irA});
    resolver.Execute();
    EXPECT_TRUE(resolver.LastError().contains(QStringLiteral("63"))) << resolver.LastError().toStdString();
}

TEST(DNSCommand, LinesStatusAndRaw) {
    const auto dns = [](const QStringList& Args) {
        return Kvinet(QStringList{QStringLiteral("dns")} + Args +
                      QStringList{QStringLiteral("--host"), QStringLiteral("127.0.0.1"),
                                  QStringLiteral("--port"), DnsPort()});
    };
    const ProcessResult mx =
        dns({QStringLiteral("test.example"), QStringLiteral("--type"), QStringLiteral("MX,SOA")});
    EXPECT_EQ(mx.ExitCode, 0) << mx.Err.toStdString();
    const QStringList lines = QString::fromUtf8(mx.Out).split(u'\n', Qt::SkipEmptyParts);
    ASSERT_EQ(lines.size(), 2) << mx.Out.toStdString();
    EXPECT_TRUE(
        QRegularExpression(QStringLiteral("^test\\.example\\. \\d+ IN SOA ns\\.test\\.example\\. "
                                          "hostmaster\\.test\\.example\\. 2024010101 1200 180 1209600 600$"))
            .match(lines[0])
            .hasMatch())
        << lines[0].toStdString();
    EXPECT_TRUE(
        QRegularExpression(QStringLiteral("^test\\.example\\. \\d+ IN MX 10 mail\\.test\\.example\\.$"))
            .match(lines[1])
            .hasMatch())
        << lines[1].toStdString();

    const ProcessResult txt =
        dns({QStringLiteral("txt.test.example"), QStringLiteral("--type"), QStringLiteral("txt")});
    EXPECT_TRUE(txt.Out.endsWith(" IN TXT \"first string\" \"second string\"\n")) << txt.Out.toStdString();

    const ProcessResult nx = dns({QStringLiteral("nothing.test.example")});
    EXPECT_EQ(nx.ExitCode, 1);
    EXPECT_EQ(nx.Out, QByteArray("status: NXDOMAIN\n"));

    const ProcessResult raw = dns({QStringLiteral("www.test.example"), QStringLiteral("--raw")});
    EXPECT_EQ(raw.ExitCode, 0);
    const QByteArray bytes = QByteArray::fromHex(raw.Out.trimmed());
    EXPECT_EQ(bytes.mid(2, 2).toHex(), QByteArray("12a2"));
    EXPECT_TRUE(bytes.contains(QByteArray::fromHex("0004c000020a"))) << raw.Out.toStdString();

    const ProcessResult bad = dns({QStringLiteral("x"), QStringLiteral("--type"), QStringLiteral("AAAAA")});
    EXPECT_EQ(bad.ExitCode, 2);
}

} // namespace

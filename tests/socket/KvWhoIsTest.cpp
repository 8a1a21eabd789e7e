// test-servers: scripted
// The whois client: the built-in server list, the server choice by suffix, the query line, and an exchange
// with the scripted server (recorded bytes compared with the literal query).
#include "socket/KvWhoIs.h"

#include "support/ScriptedPeer.h"

using namespace KvInet;
using namespace KvTest::Script;

namespace {

class TTestWhoIs : public TKvWhoIs {
public:
    using TKvWhoIs::GetQuery;
};

const char* const SingleLabels =
    "ac ae aero af ag am as asia at au be bg bi biz bj br bt bz ca cat cc cd ch ck cl cn co com coop cx cz de dk "
    "dm dz edu ee eu fi fo fr gl gov gs hk hm hn hu ie il in info int io iq ir is it je jobs jp ke kg kr la li lt "
    "lu lv ly ma md me mil mobi ms mu mx my name net nf ng nl no nu nz org pl pr pro pt ro ru sa sb sc se sg sh si "
    "sk sm st su tc tel tf th tj tk tl tm to tp tr travel tw tv tz ua uk us uy uz vc ve vg ws xxx";

} // namespace

TEST(KvWhoIs, BuiltInServerList) {
    TKvWhoIs whois;
    const TStrings* list = whois.ServerList();
    ASSERT_EQ(list->Count(), 149);
    EXPECT_EQ(list->Get(0), QStringLiteral("*=whois.arin.net"));
    QStringList singles, pairs;
    for (int i = 1; i < list->Count(); ++i) {
        const QString name = list->Names(i);
        (name.contains(u'.') ? pairs : singles) << name;
        EXPECT_FALSE(list->ValueFromIndex(i).isEmpty()) << name.toStdString();
    }
    EXPECT_EQ(singles.join(u' '), QString::fromLatin1(SingleLabels));
    EXPECT_EQ(pairs.size(), 18);
    EXPECT_EQ(whois.Port(), 43);
    EXPECT_TRUE(whois.AutoSelectServer());
    EXPECT_EQ(whois.Host(), QString());
}

TEST(KvWhoIs, ServerChoiceBySuffix) {
    TKvWhoIs probe;
    const QString com = probe.ServerList()->Values(QStringLiteral("com"));
    const QString uk = probe.ServerList()->Values(QStringLiteral("uk"));
    const QString star = probe.ServerList()->Values(QStringLiteral("*"));
    struct {
        const char* Domain;
        QString Host;
    } cases[] = {
        {"example.com", com},       {"EXAMPLE.COM", com},       {"shop.example.co.uk", uk},
        {"name.br.com", com},       {"example.zz", star},       {"192.0.2.1", QStringLiteral("whois.arin.net")},
        {"192.0.2.1.5", star},      {"example.", star},         {"com", com},
        {"300.1.2.3", star},        {"1.2.3", star},
    };
    for (const auto& c : cases) {
        TKvWhoIs whois;
        whois.SetDomain(QString::fromLatin1(c.Domain));
        EXPECT_EQ(whois.Host(), c.Host) << c.Domain;
        EXPECT_EQ(whois.Domain(), QString::fromLatin1(c.Domain));
    }
}

TEST(KvWhoIs, ChoiceRulesAroundTheApplication) {
    TKvWhoIs whois;
    whois.SetAutoSelectServer(false);
    whois.SetHost(QStringLiteral("mine.example"));
    whois.SetDomain(QStringLiteral("example.com"));
    EXPECT_EQ(whois.Host(), QStringLiteral("mine.example"));

    TKvWhoIs again;
    again.SetDomain(QStringLiteral("example.com"));
    again.SetHost(QStringLiteral("mine.example"));
    again.SetDomain(QStringLiteral("example.com")); // same domain: no new choice
    EXPECT_EQ(again.Host(), QStringLiteral("mine.example"));

    // Without a usable "*" line the built-in fallback is taken; a numeric server lands in Address.
    TKvWhoIs custom;
    TStringList lines;
    lines.Add(QStringLiteral("test=192.0.2.43"));
    custom.SetServerList(&lines);
    custom.SetDomain(QStringLiteral("a.zz"));
    EXPECT_EQ(custom.Host(), QStringLiteral("whois.arin.net"));
    custom.SetDomain(QStringLiteral("a.test"));
    EXPECT_EQ(custom.Host(), QString());
    EXPECT_EQ(custom.Address(), QStringLiteral("192.0.2.43"));
}

TEST(KvWhoIs, QueryLine) {
    TTestWhoIs whois;
    whois.SetDomain(QStringLiteral("192.0.2.1"));
    EXPECT_EQ(whois.GetQuery(), QStringLiteral("domain 192.0.2.1\r\n"));
    whois.SetDomain(QStringLiteral("example.com"));
    EXPECT_EQ(whois.GetQuery(), QStringLiteral("example.com\r\n"));
    whois.SetHost(QStringLiteral("WHOIS.ARIN.NET")); // the comparison keeps case
    EXPECT_EQ(whois.GetQuery(), QStringLiteral("example.com\r\n"));
    // One encoding for the whole name: Latin-1 a byte a character, a name beyond it whole as UTF-8.
    whois.SetDomain(QString::fromUtf8("m\u00fcller.de"));
    EXPECT_EQ(whois.GetQuery(), QStringLiteral("m\u00fcller.de\r\n"));
    whois.SetDomain(QString::fromUtf8("m\u00fc\u65e5.de"));
    EXPECT_EQ(whois.GetQuery(), QString::fromLatin1("m\xc3\xbc\xe6\x97\xa5.de\r\n"));
}

TEST(KvWhoIs, ExchangeWithAScriptedServer) {
    const QString reply = QStringLiteral("Domain Name: EXAMPLE.COM\r\nRegistrar: Test Registrar\r\n"
                                         ">>> Last update of whois database <<<\r\n");
    KvTest::ScriptedSession server(Steps({ReadRequest(), Send(reply.toUtf8(), 3, 100)}));
    TKvWhoIs whois;
    whois.SetDomain(QStringLiteral("example.com"));
    whois.SetAddress(QStringLiteral("127.0.0.1"));
    whois.SetPort(server.Port());
    EXPECT_EQ(whois.Execute(), reply);
    EXPECT_EQ(whois.LastError(), QString());
    EXPECT_EQ(server.Received(), QByteArray("example.com\r\nProxy-Connection: Keep-Alive\r\n\r\n"));
}

TEST(KvWhoIs, AServerThatClosesWithoutAWordIsAFailure) {
    KvTest::ScriptedSession server(Steps({ReadRequest(), Close()}));
    TKvWhoIs whois;
    whois.SetDomain(QStringLiteral("example.com"));
    whois.SetAddress(QStringLiteral("127.0.0.1"));
    whois.SetPort(server.Port());
    EXPECT_EQ(whois.Execute(), QString());
    EXPECT_EQ(whois.LastError(), QStringLiteral("No answer from server"));
}

TEST(KvWhoIs, LineBreakInTheDomainIsRefused) {
    KvTest::ScriptedSession server(Steps({ReadAll()}));
    TKvWhoIs whois;
    whois.SetDomain(QStringLiteral("example.com\r\nextra line"));
    whois.SetAddress(QStringLiteral("127.0.0.1"));
    whois.SetPort(server.Port());
    EXPECT_EQ(whois.Execute(), QStringLiteral("Invalid Domain: line breaks are not allowed"));
    EXPECT_EQ(whois.LastError(), QStringLiteral("Invalid Domain: line breaks are not allowed"));
    EXPECT_EQ(server.Connections(), 0); // refused before anything is connected
}

TEST(KvWhoIs, NotFoundAnswerIsScreened) {
    KvTest::ScriptedSession server(Steps({ReadRequest(), Send("Error: 404 no such domain\r\n")}));
    TKvWhoIs whois;
    whois.SetDomain(QStringLiteral("nosuch.example"));
    whois.SetAddress(QStringLiteral("127.0.0.1"));
    whois.SetPort(server.Port());
    EXPECT_EQ(whois.Execute(), QStringLiteral("File not found"));
}

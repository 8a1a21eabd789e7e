// test-servers: scripted nginx squid
// The weather client: the request bytes (scripted server, compared with literal strings), the temperature
// read from pages of our own making, pages that must not pass for a temperature, the Zip and TrackingType
// rules, the page served by nginx directly and through squid, and the kvinet command.
#include "socket/KvIWeath.h"

#include "support/ScriptedPeer.h"

#include <QDateTime>
#include <QDir>
#include <QMetaProperty>

using namespace KvInet;
using KvTest::ScriptedSession;
using namespace KvTest::Script;

namespace {

class TTestWeather : public TKvWeatherInfo {
public:
    using TKvWeatherInfo::GetQuery;
};

QByteArray Page(const QByteArray& Cell) {
    return "<html><body><table><tr><td CLASS=obsTempTextA>" + Cell +
           "&deg;F</td></tr></table></body></html>\n";
}

QByteArray Ok(const QByteArray& Body) {
    return "HTTP/1.1 200 OK\r\nContent-Type: text/html\r\nContent-Length: " +
           QByteArray::number(Body.size()) + "\r\n\r\n" + Body;
}

// The reply in two pieces, a moment apart.
QJsonObject Answer(const QByteArray& Reply) {
    return Steps({ReadRequest(), Send(Reply, 2, 50)});
}

QByteArray Path(const QByteArray& Key) {
    return "/weather/local/" + Key + "?lswe=" + Key + "&lswa=WeatherLocalUndeclared&GO=GO&whatprefs=";
}

// A local page in nginx's document root, served whatever the query string.
void PutPageInNginx(const QString& Zip, const QByteArray& Body) {
    const QString root = KvTest::ServerEnv("nginx", "KV_NGINX_ROOT");
    QDir().mkpath(root + "/weather/local");
    KvTest::WriteFile(root + "/weather/local/" + Zip, Body);
}

} // namespace

TEST(KvWeather, DefaultsAndZipRules) {
    TTestWeather weather;
    EXPECT_EQ(weather.Host(), QStringLiteral("www.weather.com"));
    EXPECT_EQ(weather.Port(), 80);
    EXPECT_EQ(weather.TrackingType(), wttZip);
    EXPECT_EQ(weather.Temperature(), 0);

    // Another tracking type has no key; the same Zip again keeps it, a new one makes it wttZip again.
    const auto other = static_cast<TKvWeatherTrackingType>(1);
    weather.SetZip(QStringLiteral("10001"));
    weather.SetTrackingType(other);
    weather.SetZip(QStringLiteral("10001"));
    EXPECT_EQ(weather.TrackingType(), other);
    EXPECT_TRUE(weather.GetQuery().startsWith("GET " + Path("") + "   HTTP/1.0\r\n"));
    weather.SetZip(QStringLiteral("10002"));
    EXPECT_EQ(weather.TrackingType(), wttZip);
    EXPECT_TRUE(weather.GetQuery().startsWith("GET " + Path("10002") + "   HTTP/1.0\r\n"));
}

TEST(KvWeather, TrackingTypeStreamsByName) {
    TKvWeatherInfo weather;
    const QMetaProperty property =
        weather.metaObject()->property(weather.metaObject()->indexOfProperty("TrackingType"));
    ASSERT_TRUE(property.isEnumType());
    EXPECT_STREQ(property.enumerator().valueToKey(property.read(&weather).toInt()), "wttZip");
    EXPECT_TRUE(property.write(&weather, QStringLiteral("wttZip")));
    EXPECT_FALSE(property.write(&weather, QStringLiteral("wttCity")));
}

TEST(KvWeather, RequestBytes) {
    struct {
        const char* Name;
        bool Numeric;
        const char* Zip;
        QByteArray Key;
    } cases[] = {
        {"a name on the Host line", false, "SW1A 1AA", "SW1A%201AA"},
        {"a numeric address with its port", true, "10001", "10001"},
        {"a key that tries to add lines and parameters", false, "1&GO=x#\r\nX: 1%",
         "1%26GO%3Dx%23%0D%0AX%3A%201%25"},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.Name);
        ScriptedSession server(Answer(Ok(Page("72"))));
        TKvWeatherInfo weather;
        weather.SetHost(c.Numeric ? QStringLiteral("127.0.0.1") : QStringLiteral("localhost"));
        weather.SetPort(server.Port());
        weather.SetZip(QString::fromLatin1(c.Zip));
        weather.Execute();
        EXPECT_EQ(weather.LastError(), QString());
        EXPECT_EQ(weather.Temperature(), 72);
        const QByteArray host = (c.Numeric ? "127.0.0.1:" : "localhost:") + QByteArray::number(server.Port());
        // Three blanks before the version; the request ends once, with nothing after its empty line.
        EXPECT_EQ(server.Received(), "GET " + Path(c.Key) + "   HTTP/1.0\r\nHost: " + host +
                                         "\r\nProxy-Connection: Keep-Alive\r\n\r\n");
    }
}

TEST(KvWeather, ProxyGetsTheAbsoluteForm) {
    ScriptedSession proxy(HttpReply(Ok(Page("-3"))));
    TKvWeatherInfo weather;
    weather.SetZip(QStringLiteral("10 001"));
    weather.Proxy()->SetServer(QStringLiteral("127.0.0.1"));
    weather.Proxy()->SetPort(proxy.Port());
    weather.Proxy()->SetUseProxy(true);
    weather.SetLoginPrompt(false);
    weather.Execute();
    EXPECT_EQ(weather.LastError(), QString());
    EXPECT_EQ(weather.Temperature(), -3);
    EXPECT_EQ(proxy.Received(),
              "GET http://www.weather.com" + Path("10%20001") + " HTTP/1.0\r\nHost: www.weather.com\r\n\r\n");
}

TEST(KvWeather, TemperatureFromThePage) {
    struct Case {
        const char* Name;
        QByteArray Reply;
        int Temperature;
        QString Error; // LastError contains it ("" for none)
    } cases[] = {
        {"positive", Ok(Page("72")), 72, ""},
        {"minus sign and two digits", Ok(Page("-12")), -12, ""},
        {"zero is a temperature", Ok(Page("0")), 0, ""},
        {"the first marker counts", Ok(Page("5") + Page("9")), 5, ""},
        {"marker at the very end", Ok("<td CLASS=obsTempTextA>"), 0, "not a number"},
        {"a cell that starts with a letter", Ok(Page("N/A")), 0, "not a number"},
        {"a sign alone", Ok(Page("-")), 0, "not a number"},
        {"signs among the digits", Ok(Page("12-3")), 0, "not a number"},
        {"beyond 32 bits", Ok(Page("99999999999")), 0, "out of range: 99999999999"},
        {"no marker", Ok("<html>70 degrees</html>"), 0, "no temperature in the page"},
        {"lower-case marker", Ok("<td class=obsTempTextA>70"), 0, "no temperature in the page"},
        {"server error page", "HTTP/1.0 500 Internal Server Error\r\n\r\n" + Page("70"), 0, "500 Internal"},
        {"forbidden", "HTTP/1.1 403 Forbidden\r\n\r\n" + Page("70"), 0, "403 Forbidden"},
        {"not found (the base's screening)", "HTTP/1.0 404 Not Found\r\n\r\n" + Page("70"), 0,
         "File not found"},
        {"not HTTP", Page("70"), 0, "not an HTTP response"},
        {"cut short of its Content-Length", Ok(Page("70") + QByteArray(100, ' ')).chopped(60), 0,
         "bytes its body announced"},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.Name);
        ScriptedSession peer(HttpReply(c.Reply));
        TKvWeatherInfo weather;
        weather.SetAddress(QStringLiteral("127.0.0.1"));
        weather.SetPort(peer.Port());
        weather.SetZip(QStringLiteral("1"));
        weather.Execute();
        EXPECT_EQ(weather.Temperature(), c.Temperature);
        if (c.Error.isEmpty())
            EXPECT_EQ(weather.LastError(), QString());
        else
            EXPECT_TRUE(weather.LastError().contains(c.Error)) << weather.LastError().toStdString();
    }
}

TEST(KvWeather, OnAfterExecuteSeesThePageFirst) {
    ScriptedSession peer(HttpReply(Ok(Page("20"))));
    TKvWeatherInfo weather;
    weather.SetAddress(QStringLiteral("127.0.0.1"));
    weather.SetPort(peer.Port());
    int fired = 0;
    weather.SetOnAfterExecute([&](QObject* Sender, QString& Text) {
        ++fired;
        EXPECT_EQ(Sender, &weather);
        EXPECT_TRUE(Text.contains(QStringLiteral("CLASS=obsTempTextA>20")));
        Text.replace(QStringLiteral(">20"), QStringLiteral(">21")); // the handler's text is the one read
    });
    weather.Execute();
    EXPECT_EQ(fired, 1);
    EXPECT_EQ(weather.Temperature(), 21);
}

TEST(KvWeather, AFailedRunLeavesNoOldTemperature) {
    TKvWeatherInfo weather;
    weather.SetAddress(QStringLiteral("127.0.0.1"));
    {
        ScriptedSession peer(HttpReply(Ok(Page("30"))));
        weather.SetPort(peer.Port());
        weather.Execute();
        ASSERT_EQ(weather.Temperature(), 30);
    }
    {
        ScriptedSession peer(HttpReply("HTTP/1.0 404 Not Found\r\n\r\n"));
        weather.SetPort(peer.Port());
        weather.Execute();
        EXPECT_EQ(weather.Temperature(), 0);
    }
    {
        ScriptedSession peer(HttpReply(Ok(Page("30"))));
        weather.SetPort(peer.Port());
        weather.Execute();
        ASSERT_EQ(weather.Temperature(), 30);
    }
    weather.SetPort(KvTest::UnusedPort());
    EXPECT_ANY_THROW(weather.Execute());
    EXPECT_EQ(weather.Temperature(), 0);
}

TEST(KvWeather, DrippingPageIsBounded) {
    // 2.5 s, a byte every 0.1 s.
    ScriptedSession peer(
        Steps({ReadRequest(), Send("HTTP/1.0 200 OK\r\n\r\n"), Send(QByteArray(25, 'x'), 25, 100)}));
    TKvWeatherInfo weather;
    weather.SetAddress(QStringLiteral("127.0.0.1"));
    weather.SetPort(peer.Port());
    weather.SetTotalTimeout(1);
    weather.Execute();
    EXPECT_EQ(weather.LastError(), QStringLiteral("The operation took longer than 1 seconds"));
    EXPECT_EQ(weather.Temperature(), 0);
}

TEST(KvWeatherNginx, PageServedByNginx) {
    const QString zip =
        QString::number(QDateTime::currentMSecsSinceEpoch()); // the access log outlives the server
    PutPageInNginx(zip, Page("-7"));
    TKvWeatherInfo weather;
    weather.SetAddress(QStringLiteral("127.0.0.1"));
    weather.SetPort(KvTest::ServerPort("nginx", "KV_NGINX_PORT"));
    weather.SetZip(zip);
    weather.Execute();
    EXPECT_EQ(weather.LastError(), QString());
    EXPECT_EQ(weather.Temperature(), -7);
    const QByteArray log = KvTest::ReadFile(KvTest::ServerEnv("nginx", "KV_NGINX_ACCESS_LOG"));
    EXPECT_TRUE(log.contains("\"GET " + Path(zip.toLatin1()) + "   HTTP/1.0\" 200"))
        << log.right(400).constData();

    // A page nginx does not have is its 404: "File not found".
    weather.SetZip(QStringLiteral("no-such-zip"));
    EXPECT_EQ(weather.Execute(), QStringLiteral("File not found"));
    EXPECT_EQ(weather.Temperature(), 0);
}

TEST(KvWeatherSquid, PageThroughSquid) {
    PutPageInNginx(QStringLiteral("60601"), Page("15"));
    TKvWeatherInfo weather;
    weather.SetAddress(QStringLiteral("127.0.0.1"));
    weather.SetPort(KvTest::ServerPort("nginx", "KV_NGINX_PORT"));
    weather.SetZip(QStringLiteral("60601"));
    weather.Proxy()->SetServer(QStringLiteral("127.0.0.1"));
    weather.Proxy()->SetPort(KvTest::ServerPort("squid", "KV_SQUID_PORT"));
    weather.Proxy()->SetUseProxy(true);
    weather.Proxy()->SetUser(KvTest::ServerEnv("squid", "KV_SQUID_USER"));
    weather.Proxy()->SetPassword(KvTest::ServerEnv("squid", "KV_SQUID_PASSWORD"));
    weather.SetLoginPrompt(false);
    weather.Execute();
    EXPECT_EQ(weather.LastError(), QString());
    EXPECT_EQ(weather.Temperature(), 15);
}

TEST(KvWeatherTool, BareIntegerOrExitOne) {
    const struct {
        QByteArray Reply;
        int Exit;
        QByteArray Out;
        const char* Err;
    } cases[] = {
        {Ok(Page("-12")), 0, "-12\n", ""},
        {Ok(Page("0")), 0, "0\n", ""},
        {Ok("<html>no reading today</html>"), 1, "", "no temperature in the page"},
        {"HTTP/1.0 502 Bad Gateway\r\n\r\n" + Page("70"), 1, "", "502 Bad Gateway"},
    };
    for (const auto& c : cases) {
        ScriptedSession server(Answer(c.Reply));
        const KvTest::ProcessResult r = KvTest::Kvinet(
            {"weather", "10001", "--host", "127.0.0.1", "--port", QString::number(server.Port())});
        EXPECT_EQ(r.ExitCode, c.Exit) << r.Err.constData();
        EXPECT_EQ(r.Out, c.Out);
        EXPECT_TRUE(r.Err.contains(c.Err)) << r.Err.constData();
    }
    EXPECT_EQ(KvTest::Kvinet({"weather", "1", "2"}).ExitCode, 2);
}

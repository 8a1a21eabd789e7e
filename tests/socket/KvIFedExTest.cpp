// test-servers: scripted nginx squid
// The parcel tracker: the table flattening as one table of fragments, the request bytes (scripted server,
// compared with literal strings), the page's sections, pages that must not pass for results (scripted
// peers), the page served by nginx directly and through squid, and the kvinet command.
#include "socket/KvIFedEx.h"

#include "support/ScriptedPeer.h"

#include <QDateTime>
#include <QDir>

using namespace KvInet;
using KvTest::ScriptedSession;
using namespace KvTest::Script;

namespace {

const QByteArray Target = "/cgi-bin/tracking?template_type=plugin&action=track&language=english&cntry_code=us"
                          "&tracknumbers=";

// A tracking page of our own making, with both sections the tracker cuts out.
const QByteArray Page = "<html><body><h1>Track</h1>\r\n"
                        "<!-- shipment info -->\n"
                        "<table>\n"
                        "<tr><td>Tracking number</td><td>1234 5678</td></tr>\n"
                        "<tr><td>Status</td><td>Delivered</td></tr>\n"
                        "<tr><td>Signed by</td><td>J.&nbsp;SMITH</td></tr>\n"
                        "</table>\n"
                        "<!-- BEGIN Scan Activity -->\n"
                        "<table>\n"
                        "<tr><td>Date</td><td>Activity</td><td>Location</td></tr>\n"
                        "<tr><td>Mar 3</td> <td>Delivered</td> <td>MEMPHIS, TN</td></tr>\n"
                        "<tr><td>Mar 2</td><td>Left origin &amp; on its way</td><td>ATLANTA, GA</td></tr>\n"
                        "</table>\n"
                        "<!-- END Scan Activity -->\n"
                        "</body></html>\n";

const QStringList ShipmentLines{"Tracking number=1234 5678", "Status=Delivered", "Signed by=J.SMITH"};
const QStringList ActivityLines{"Date=Activity=Location", "Mar 3=Delivered=MEMPHIS, TN",
                                "Mar 2=Left origin & on its way=ATLANTA, GA"};

QByteArray Ok(const QByteArray& Body) {
    return "HTTP/1.1 200 OK\r\nContent-Type: text/html\r\nContent-Length: " +
           QByteArray::number(Body.size()) + "\r\n\r\n" + Body;
}

QStringList Lines(const TStrings* List) {
    QStringList lines;
    for (int i = 0; i < List->Count(); ++i)
        lines << List->Get(i);
    return lines;
}

// The reply in three pieces, a moment apart.
QJsonObject Answer(const QByteArray& Reply) {
    return Steps({ReadRequest(), Send(Reply, 3, 50)});
}

void ToLoopback(TKvFedExTracker& Tracker, int Port) {
    Tracker.SetAddress(QStringLiteral("127.0.0.1"));
    Tracker.SetPort(Port);
}

// The tracking page in nginx's document root, which serves it whatever the query string.
void PutPageInNginx(const QByteArray& Body) {
    const QString root = KvTest::ServerEnv("nginx", "KV_NGINX_ROOT");
    QDir().mkpath(root + "/cgi-bin");
    KvTest::WriteFile(root + "/cgi-bin/tracking", Body);
}

} // namespace

TEST(KvFedEx, FlattenTable) {
    const struct {
        const char* Fragment;
        const char* Flat;
    } cases[] = {
        {"", ""},
        {"<tr><td>Status</td><td>Delivered</td></tr>", "Status=Delivered\r\n"},
        {"<tr><td>a</td><td>b</td></tr>\r\n<tr><td>c</td><td>d</td></tr>", "a=b\r\nc=d\r\n"},
        // Upper-case tags neither separate cells nor end rows.
        {"<TR><TD>a</TD><TD>b</TD></TR>", "ab"},
        {"<tr><td>a</TD><td>b</td></tr>", "ab\r\n"},
        // Entities go after the walk; the "&" left by "&amp;" stops the replacing at the next pass.
        {"<tr><td>A&nbsp;B</td><td>x &amp; y</td></tr>", "AB=x & y\r\n"},
        {"<td>1&deg;</td><td>&lt;b&gt;</td></tr>", "1\u00B0=<b>\r\n"},
        // Runs of blanks shrink to their last blank; blanks before a tag or a line break vanish.
        {"<td>  a  b  </td><td>\tc\t</td></tr>", " a b=\tc\r\n"},
        {"a \r\nb", "ab"},
        {"a ", "a "},
        // An empty cell adds no second separator; "=" runs in the text become one.
        {"<td>a</td><td></td><td>b</td></tr>", "a=b\r\n"},
        {"<td>a==b</td><td>c====d</td></tr>", "a=b=c=d\r\n"},
        {"<td>a=</td></tr>", "a\r\n"},
        // Nothing is separated or ended on an empty output, nor twice in a row.
        {"</td></tr>x", "x"},
        {"<tr><tr>a</tr>", "a\r\n"},
        {"<td>a</td></tr></tr><tr>b", "a\r\nb"},
        // A tag that merely ends in "tr" ends a line too; tests near the edges of the fragment fail safely.
        {"a<b class=tr>c", "a\r\nc"},
        {"a</t", "a"},
        {"r>a", "ra"},
        {"a<td", "a"},
    };
    for (const auto& c : cases)
        EXPECT_EQ(TKvFedExTracker::FlattenTable(QString::fromUtf8(c.Fragment)), QString::fromUtf8(c.Flat))
            << c.Fragment;
}

TEST(KvFedEx, Defaults) {
    TKvFedExTracker tracker;
    EXPECT_EQ(tracker.Host(), QStringLiteral("www.fedex.com"));
    EXPECT_EQ(tracker.Port(), 80);
    EXPECT_EQ(tracker.TrackingNumber(), QString());
    tracker.SetTrackingNumber(QStringLiteral("1234 5678"));
    EXPECT_EQ(tracker.TrackingNumber(), QStringLiteral("1234 5678"));
    EXPECT_EQ(tracker.ShipmentInfo()->Count(), 0);
    EXPECT_EQ(tracker.Activity()->Count(), 0);
}

TEST(KvFedEx, RequestBytesAndSections) {
    ScriptedSession server(Answer(Ok(Page)));
    TKvFedExTracker tracker;
    ToLoopback(tracker, server.Port());
    tracker.SetTrackingNumber(QStringLiteral("1234 5678"));
    bool fired = false;
    tracker.SetOnAfterExecute([&](QObject*, QString&) { fired = true; });
    tracker.Execute();
    EXPECT_EQ(tracker.LastError(), QString());
    // Three blanks before the version, the carrier's name on the Host line, one empty line at the end.
    EXPECT_EQ(server.Received(), "GET " + Target +
                                     "1234%205678   HTTP/1.0\r\nHost: www.fedex.com\r\n"
                                     "Proxy-Connection: Keep-Alive\r\n\r\n");
    EXPECT_EQ(Lines(tracker.ShipmentInfo()), ShipmentLines);
    EXPECT_EQ(Lines(tracker.Activity()), ActivityLines);
    EXPECT_FALSE(fired); // the tracker never fires OnAfterExecute
}

TEST(KvFedEx, TrackingNumberCannotChangeTheRequest) {
    ScriptedSession server(Answer(Ok(Page)));
    TKvFedExTracker tracker;
    ToLoopback(tracker, server.Port());
    tracker.SetTrackingNumber(QString::fromUtf8("A&b=c#d?e%f/g\r\nX: y é~-._"));
    tracker.Execute();
    EXPECT_EQ(server.Received(), "GET " + Target +
                                     "A%26b%3Dc%23d%3Fe%25f%2Fg%0D%0AX%3A%20y%20%C3%A9~-._   HTTP/1.0\r\n"
                                     "Host: www.fedex.com\r\nProxy-Connection: Keep-Alive\r\n\r\n");
}

TEST(KvFedEx, ProxyGetsTheAbsoluteForm) {
    ScriptedSession proxy(HttpReply(Ok(Page)));
    TKvFedExTracker tracker;
    tracker.SetTrackingNumber(QStringLiteral("42"));
    tracker.Proxy()->SetServer(QStringLiteral("127.0.0.1"));
    tracker.Proxy()->SetPort(proxy.Port());
    tracker.Proxy()->SetUseProxy(true);
    tracker.Proxy()->SetUser(QStringLiteral("u"));
    tracker.Proxy()->SetPassword(QStringLiteral("p"));
    tracker.SetLoginPrompt(false);
    tracker.Execute();
    EXPECT_EQ(tracker.LastError(), QString());
    EXPECT_EQ(proxy.Received(), "GET http://www.fedex.com" + Target +
                                    "42 HTTP/1.0\r\nHost: www.fedex.com\r\n"
                                    "Proxy-Authorization: Basic dTpw\r\n\r\n");
    EXPECT_EQ(Lines(tracker.Activity()), ActivityLines);
}

// Pages that are no tracking results: never taken for one, always a LastError.
TEST(KvFedEx, PagesThatAreNoResults) {
    const QByteArray noShipment = QByteArray(Page).replace("<!-- shipment info -->", "");
    const QByteArray noEnd = QByteArray(Page).replace("<!-- END Scan Activity -->", "");
    const QByteArray noBegin = QByteArray(Page).replace("<!-- BEGIN Scan Activity -->", "");
    struct Case {
        const char* Name;
        QJsonObject Peer;
        QString Error;
        QStringList Shipment;
        QStringList Activity;
        qint64 MaxReply = 0;
    } cases[] = {
        {"server error page",
         HttpReply("HTTP/1.0 500 Internal Server Error\r\n\r\n" + Page),
         "The server answered \"HTTP/1.0 500 Internal Server Error\"",
         {},
         {}},
        {"forbidden",
         HttpReply("HTTP/1.1 403 Forbidden\r\nContent-Length: 0\r\n\r\n"),
         "403 Forbidden",
         {},
         {}},
        {"redirect",
         HttpReply("HTTP/1.1 302 Found\r\nLocation: /elsewhere\r\n\r\n" + Page),
         "302 Found",
         {},
         {}},
        {"not found (the base's screening)",
         HttpReply("HTTP/1.0 404 Not Found\r\n\r\n" + Page),
         "File not found",
         {},
         {}},
        {"not HTTP at all", HttpReply(Page), "not an HTTP response", {}, {}},
        {"cut short of its Content-Length",
         HttpReply(Ok(Page).left(Ok(Page).size() - 40)),
         "bytes its body announced",
         {},
         {}},
        {"ended inside the header",
         HttpReply("HTTP/1.0 200 OK\r\nContent-Type: text/html\r\n"),
         "header section",
         {},
         {}},
        // A missing marker empties its sections instead of cutting from the start of the reply.
        {"no shipment marker",
         HttpReply(Ok(noShipment)),
         "no shipment information in the page",
         {},
         ActivityLines},
        {"no end marker", HttpReply(Ok(noEnd)), "no scan activity in the page", ShipmentLines, {}},
        {"no begin marker", HttpReply(Ok(noBegin)), "no shipment information in the page", {}, {}},
        {"closed without a word", Steps({ReadRequest()}), "No answer from server", {}, {}},
        {"endless page",
         Steps({ReadRequest(), Send("HTTP/1.0 200 OK\r\n\r\n<!-- shipment info -->"),
                SendRepeated(QByteArray(1 << 16, 'x'), 100)}),
         "The reply is larger than 1048576 bytes",
         {},
         {},
         1 << 20},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.Name);
        ScriptedSession peer(c.Peer);
        TKvFedExTracker tracker;
        ToLoopback(tracker, peer.Port());
        tracker.SetTrackingNumber(QStringLiteral("1"));
        if (c.MaxReply)
            tracker.SetMaxReplySize(c.MaxReply);
        tracker.Execute();
        EXPECT_TRUE(tracker.LastError().contains(c.Error)) << tracker.LastError().toStdString();
        EXPECT_EQ(Lines(tracker.ShipmentInfo()), c.Shipment);
        EXPECT_EQ(Lines(tracker.Activity()), c.Activity);
    }
}

TEST(KvFedEx, AFailedRunLeavesNoOldResults) {
    TKvFedExTracker tracker;
    {
        ScriptedSession peer(HttpReply(Ok(Page)));
        ToLoopback(tracker, peer.Port());
        tracker.Execute();
        ASSERT_EQ(Lines(tracker.Activity()), ActivityLines);
    }
    // A port nobody listens on any more: the connection is refused, and the last page's lines go too.
    tracker.SetPort(KvTest::UnusedPort());
    EXPECT_ANY_THROW(tracker.Execute());
    EXPECT_FALSE(tracker.LastError().isEmpty());
    EXPECT_EQ(tracker.ShipmentInfo()->Count(), 0);
    EXPECT_EQ(tracker.Activity()->Count(), 0);
}

TEST(KvFedExNginx, PageServedByNginx) {
    PutPageInNginx(Page);
    TKvFedExTracker tracker;
    tracker.SetHost(QStringLiteral("localhost"));
    tracker.SetPort(KvTest::ServerPort("nginx", "KV_NGINX_PORT"));
    // Unique per run: the access log outlives the server.
    const QString stamp = QString::number(QDateTime::currentMSecsSinceEpoch());
    tracker.SetTrackingNumber(QStringLiteral("7777 ") + stamp);
    tracker.Execute();
    EXPECT_EQ(tracker.LastError(), QString());
    EXPECT_EQ(Lines(tracker.ShipmentInfo()), ShipmentLines);
    EXPECT_EQ(Lines(tracker.Activity()), ActivityLines);
    // nginx took the request line with its three blanks.
    const QByteArray log = KvTest::ReadFile(KvTest::ServerEnv("nginx", "KV_NGINX_ACCESS_LOG"));
    EXPECT_TRUE(log.contains("\"GET " + Target + "7777%20" + stamp.toLatin1() + "   HTTP/1.0\" 200"))
        << log.right(400).constData();
}

TEST(KvFedExSquid, PageThroughSquid) {
    PutPageInNginx(Page);
    TKvFedExTracker tracker;
    tracker.SetAddress(QStringLiteral("127.0.0.1"));
    tracker.SetPort(KvTest::ServerPort("nginx", "KV_NGINX_PORT"));
    tracker.SetTrackingNumber(QStringLiteral("8888"));
    tracker.Proxy()->SetServer(QStringLiteral("127.0.0.1"));
    tracker.Proxy()->SetPort(KvTest::ServerPort("squid", "KV_SQUID_PORT"));
    tracker.Proxy()->SetUseProxy(true);
    tracker.Proxy()->SetUser(KvTest::ServerEnv("squid", "KV_SQUID_USER"));
    tracker.Proxy()->SetPassword(KvTest::ServerEnv("squid", "KV_SQUID_PASSWORD"));
    tracker.SetLoginPrompt(false);
    tracker.Execute();
    EXPECT_EQ(tracker.LastError(), QString());
    EXPECT_EQ(Lines(tracker.Activity()), ActivityLines);
}

TEST(KvFedExTool, PrintsBothSectionsAndFailsOnErrorPages) {
    {
        ScriptedSession server(Answer(Ok(Page)));
        const KvTest::ProcessResult r = KvTest::Kvinet(
            {"fedex", "1234", "5678", "--host", "127.0.0.1", "--port", QString::number(server.Port())});
        EXPECT_EQ(r.ExitCode, 0) << r.Err.constData();
        EXPECT_EQ(r.Out, (ShipmentLines.join(u'\n') + "\n\n" + ActivityLines.join(u'\n') + "\n").toLatin1());
        EXPECT_TRUE(server.Received().startsWith("GET " + Target + "1234%205678   HTTP/1.0\r\n"));
    }
    {
        ScriptedSession server(Answer("HTTP/1.0 503 Service Unavailable\r\n\r\n" + Page));
        const KvTest::ProcessResult r =
            KvTest::Kvinet({"fedex", "1", "--host", "127.0.0.1", "--port", QString::number(server.Port())});
        EXPECT_EQ(r.ExitCode, 1);
        EXPECT_EQ(r.Out, QByteArray("\n"));
        EXPECT_TRUE(r.Err.contains("503 Service Unavailable")) << r.Err.constData();
    }
    EXPECT_EQ(KvTest::Kvinet({"fedex"}).ExitCode, 2);
}

// test-servers: scripted
// The web components' bounds against scripted peers: an endless page or picture past MaxReplySize (nothing
// of it kept), properties with a line break (refused before anything connects), a silent server (the
// request goes out once). Then the same through kvinet extract and image.
#include "services/KvIMSTranslator.h"
#include "services/KvIUPS.h"
#include "web/kviimage.h"
#include "web/kvixtract.h"

#include "support/CommandCases.h"

#include <QDir>
#include <QFileInfo>
#include <QTemporaryDir>
#include <QThread>

using namespace KvInet;
using namespace KvTest;

namespace {

const QString Injected = QStringLiteral("x\r\nX-Injected: 1");

// A page without end: an answer with no length, then bare prefixes for as long as the client reads.
QJsonObject Endless() {
    return Script::Steps({Script::ReadRequest(), Script::Send("HTTP/1.0 200 OK\r\n\r\n"),
                          Script::SendRepeated("http:// ", 1000000)});
}

struct Outcome {
    bool Ok = false;
    QString Error;
    /// The private copy's directory still holds a file.
    bool CopyLeft = false;
};

template <class T>
void OnPeer(T& Component, int Port, const QString& Remote = QStringLiteral("/page.html")) {
    Component.SetHost(QStringLiteral("127.0.0.1"));
    Component.SetPort(Port);
    Component.SetTimeout(1);
    Component.SetMaxReplySize(1000);
    Component.SetRemoteFileName(Remote);
}

Outcome Finish(TKvCustomCopyUpdater& Component, bool Ok) {
    const QDir copies = QFileInfo(Component.LocalFileName()).dir();
    return {Ok, Component.LastError(), !copies.isEmpty(QDir::Files | QDir::Hidden)};
}

TEST(WebBounds, ComponentsAgainstHostilePeers) {
    struct Case {
        const char* What;
        QJsonObject Script;
        std::function<Outcome(int Port)> Run;
        const char* Error; // contained in LastError
        int Connections;
    } cases[] = {
        {"extractor: an endless page past MaxReplySize", Endless(),
         [](int Port) {
             TKvInfoExtractor x;
             OnPeer(x, Port);
             const bool ok = x.Execute();
             EXPECT_EQ(x.ExtractedInfo()->Count(), 0);
             return Finish(x, ok);
         },
         "The page is larger than 1000 bytes", 1},
        {"remote image: an endless picture past MaxReplySize", Endless(),
         [](int Port) {
             TImage image;
             TKvRemoteImage r;
             OnPeer(r, Port, QStringLiteral("/cam.png"));
             r.SetImage(&image);
             const bool ok = r.Execute();
             EXPECT_TRUE(image.Picture().isEmpty());
             return Finish(r, ok);
         },
         "The picture is larger than 1000 bytes", 1},
        {"extractor: Agent with a line break", Endless(),
         [](int Port) {
             TKvInfoExtractor x;
             OnPeer(x, Port);
             x.SetAgent(Injected);
             return Finish(x, x.Execute());
         },
         "Invalid Agent: line breaks are not allowed", 0},
        {"extractor: an FTP name with a line break", Endless(),
         [](int Port) {
             TKvInfoExtractor x;
             x.SetService(isFTP);
             OnPeer(x, Port, QStringLiteral("/a.html\r\nDELE b"));
             return Finish(x, x.Execute());
         },
         "Invalid RemoteFileName: line breaks are not allowed", 0},
        {"tracker: Agent with a line break", Endless(),
         [](int Port) {
             TKvUPSTracker t;
             t.SetService(isHTTP);
             t.SetHost(QStringLiteral("127.0.0.1"));
             t.SetPort(Port);
             t.SetAgent(Injected);
             t.SetTrackingNumber(QStringLiteral("NUM"));
             return Outcome{t.Execute(), t.LastError()};
         },
         "Invalid Agent: line breaks are not allowed", 0},
        {"translator: Agent with a line break", Endless(),
         [](int Port) {
             TKvMSTranslator t;
             t.SetHost(QStringLiteral("http://127.0.0.1:%1").arg(Port));
             t.SetAgent(Injected);
             t.DetectLanguage(QStringLiteral("x"));
             return Outcome{t.LastError().isEmpty(), t.LastError()};
         },
         "Invalid Agent: line breaks are not allowed", 0},
        {"tracker: a silent server gets the POST once", Script::Steps({Script::Hang()}),
         [](int Port) {
             TKvUPSTracker t;
             t.SetService(isHTTP);
             t.SetHost(QStringLiteral("127.0.0.1"));
             t.SetPort(Port);
             t.SetTimeout(1);
             t.SetTrackingNumber(QStringLiteral("NUM"));
             return Outcome{t.Execute(), t.LastError()};
         },
         "No data arrived for 1 seconds", 1},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.What);
        ScriptedSession peer(c.Script);
        const Outcome o = c.Run(peer.Port());
        EXPECT_FALSE(o.Ok);
        EXPECT_TRUE(o.Error.contains(QLatin1String(c.Error))) << o.Error.toStdString();
        EXPECT_FALSE(o.CopyLeft);
        if (c.Connections == 0)
            QThread::msleep(300); // a connection made all the same would be accepted by now
        EXPECT_EQ(peer.Connections(), c.Connections);
    }
}

TEST(WebBounds, Commands) {
    QTemporaryDir dir;
    const QString out = dir.filePath(QStringLiteral("cam.png"));
    RunCommandCases({
        {.What = "extract: an endless page past --max-size",
         .Args = {"extract", "http://127.0.0.1:PORT/page.html", "--kind", "http", "--max-size", "1000"},
         .Script = Endless(),
         .Exit = 1,
         .Err = Exactly("kvinet extract: The page is larger than 1000 bytes\n")},
        {.What = "image: an endless picture past --max-size",
         .Args = {"image", "http://127.0.0.1:PORT/cam.png", "--out", out, "--max-size", "1000"},
         .Script = Endless(),
         .Exit = 1,
         .Out = Exactly("failed 0x0\n"),
         .Err = Contains("kvinet image: The picture is larger than 1000 bytes\n"),
         .NoFile = out},
        {.What = "extract: a user name with a line break",
         .Args = {"extract", "http://127.0.0.1:PORT/page.html", "--kind", "http", "--user", "a\r\nb"},
         .Exit = 1,
         .Err = Exactly("kvinet extract: Invalid User: line breaks are not allowed\n"),
         .Refused = true},
        {.What = "image: a proxy user with a line break",
         .Args = {"image", "http://127.0.0.1:PORT/cam.png", "--out", out, "--proxy-user", "a\nb"},
         .Exit = 1,
         .Out = Exactly("failed 0x0\n"),
         .Err = Contains("kvinet image: Invalid Proxy.User: line breaks are not allowed\n"),
         .Refused = true,
         .NoFile = out},
    });
}

} // namespace

// test-servers: nginx squid ftp vsftpd scripted
// test-timeout: 300
// The web component core and the web updater against real servers: nginx (HTTP, HTTPS, basic auth),
// squid (407), pyftpdlib and vsftpd (FTP), the scripted server for a cut connection and a server that
// ignores ranges, and local directories.
#include "web/kviupdate.h"

#include "platform/Forms.h"
#include "socket/KvILogOn.h"
#include "socket/KvInCnst.h"
#include "support/ScriptedPeer.h"

#include <QCoreApplication>
#include <QDir>
#include <QElapsedTimer>
#include <QFile>
#include <QFileInfo>
#include <QMetaEnum>
#include <QTemporaryDir>
#include <QThread>

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <stdexcept>
#include <thread>

using namespace KvInet;
using namespace KvTest;

namespace {

/// A web component whose work is given by the test, with the protected operations opened up.
class TProbe : public TKvCustomWebComponent {
public:
    using TKvCustomWebComponent::TKvCustomWebComponent;
    std::function<void(TProbe&)> Work;
    using TKvCustomWebComponent::ChooseDownloadTarget;
    using TKvCustomWebComponent::ConnectToInet;
    using TKvCustomWebComponent::DisconnectFromInet;
    using TKvCustomWebComponent::GetFileInfoFromInet;
    using TKvCustomWebComponent::hURL;
    using TKvCustomWebComponent::ListingLimit;
    using TKvCustomWebComponent::ReadDirFromInet;
    using TKvCustomWebComponent::ReadHTTPGetResponseString;
    using TKvCustomWebComponent::SetStatus;

protected:
    void InternalExecute() override {
        if (Work)
            Work(*this);
    }
};

QString ActionName(TKvIAction A) { return QString::fromLatin1(QMetaEnum::fromType<TKvIAction>().valueToKey(A)); }

/// Records every action the component goes through.
QStringList* RecordActions(TKvCustomWebComponent& C) {
    auto* actions = new QStringList;
    C.SetOnActionChange([actions, &C](QObject*) { *actions << ActionName(C.Action()); });
    return actions;
}

const QStringList FullRun = {"iaConnecting", "iaConnected",  "iaFileSearch",  "iaFileFound",     "iaComparing",
                             "iaCompared",   "iaDownloading", "iaDownloaded", "iaDisconnecting", "iaDisconnected"};

QByteArray Pattern(qsizetype Size, char Seed = 'a') {
    QByteArray data(Size, Qt::Uninitialized);
    for (qsizetype i = 0; i < Size; ++i)
        data[i] = char(Seed + (i * 7 + i / 251) % 23);
    return data;
}

void SetMTime(const QString& Path, const QDateTime& When) {
    QFile f(Path);
    ASSERT_TRUE(f.open(QIODevice::ReadWrite));
    ASSERT_TRUE(f.setFileTime(When, QFileDevice::FileModificationTime));
}

QDateTime MTime(const QString& Path) { return QFileInfo(Path).lastModified().toUTC(); }

/// Lines of a server log that contain Needle, waiting a little for a server that writes them after the
/// connection is gone.
QStringList LogLines(const QString& Log, const QString& Needle, int AtLeast = 1) {
    QStringList lines;
    for (int i = 0; i < 50; ++i) {
        lines.clear();
        for (const QByteArray& l : ReadFile(Log).split('\n'))
            if (QString::fromUtf8(l).contains(Needle))
                lines << QString::fromUtf8(l);
        if (lines.size() >= AtLeast)
            break;
        QThread::msleep(100);
    }
    return lines;
}

/// Runs the updater once more with ResumeDownload on; returns the first progress report's byte count.
int64_t ResumeAndFirstReport(TKvWebUpdater& U) {
    U.SetResumeDownload(true);
    int64_t first = -1;
    U.SetOnProgress([&first](QObject*, int64_t Cur, int64_t, bool&) {
        if (first < 0)
            first = Cur;
    });
    EXPECT_TRUE(U.Execute());
    EXPECT_EQ(U.Status(), isFinished) << U.LastError().toStdString();
    U.SetOnProgress(nullptr);
    return first;
}

class WebTest : public ::testing::Test {
protected:
    void SetUp() override {
        ASSERT_TRUE(Dir.isValid());
        NginxPort = ServerPort("nginx", "KV_NGINX_PORT");
        NginxRoot = ServerEnv("nginx", "KV_NGINX_ROOT");
        AccessLog = ServerEnv("nginx", "KV_NGINX_ACCESS_LOG");
        CAFile = ServerEnv("nginx", "KV_CA_FILE");
        qunsetenv("http_proxy");
        qunsetenv("HTTP_PROXY");
        qunsetenv("all_proxy");
        qunsetenv("ALL_PROXY");
        SetLogonPrompt([this](const QString& Caption, QString&, QString&) {
            Prompts << Caption;
            return false;
        });
    }
    void TearDown() override {
        SetLogonPrompt(nullptr);
        for (const QString& f : Served)
            QFile::remove(f);
    }

    /// Puts a file into nginx's document root (under a name unique to this test) and returns its path on
    /// the server.
    QString Serve(const QString& Name, const QByteArray& Data, const QDateTime& When = QDateTime()) {
        const QString name = QStringLiteral("t%1-%2").arg(qint64(QCoreApplication::applicationPid())).arg(Name);
        const QString path = NginxRoot + u'/' + name;
        WriteFile(path, Data);
        QFile::setPermissions(path, QFile::permissions(path) | QFileDevice::ReadOther);
        if (When.isValid())
            SetMTime(path, When);
        Served << path;
        return u'/' + name;
    }

    void Http(TKvWebUpdater& U, const QString& Remote, const QString& Local) {
        U.SetHost(QStringLiteral("127.0.0.1"));
        U.SetPort(NginxPort);
        U.SetRemoteFileName(Remote);
        U.SetLocalFileName(Local);
    }

    QString Local(const QString& Name) const { return Dir.filePath(Name); }

    QTemporaryDir Dir;
    int NginxPort = 0;
    QString NginxRoot, AccessLog, CAFile;
    QStringList Served;
    QStringList Prompts;
    const QDateTime Stamp = QDateTime(QDate(2024, 3, 5), QTime(10, 20, 30), Qt::UTC);
};

// ---- the component's frame -------------------------------------------------------------------------------

TEST(WebComponent, NewComponentAndServicePorts) {
    TProbe c;
    EXPECT_EQ(c.Agent(), "Norvalith WebUpdater");
    EXPECT_EQ(c.Port(), 80);
    EXPECT_EQ(c.Service(), isHTTP);
    EXPECT_TRUE(c.LoginPrompt());
    EXPECT_FALSE(c.ResumeDownload());
    EXPECT_EQ(c.Action(), iaIdle);
    EXPECT_EQ(c.Status(), isInProgress);
    EXPECT_EQ(c.Proxy()->Port(), 0);
    EXPECT_FALSE(c.StatusDialog()->Enabled());

    c.SetService(isFTP);
    EXPECT_EQ(c.Port(), 21);
    c.SetService(isHTTPS);
    EXPECT_EQ(c.Port(), 443);
    c.SetPort(8443);
    c.SetService(isHTTPS); // the same service again keeps a custom port
    EXPECT_EQ(c.Port(), 8443);
    c.SetService(isNetwork);
    EXPECT_EQ(c.Port(), 8443);
    c.SetService(isHTTP);
    EXPECT_EQ(c.Port(), 80);
}

TEST(WebComponent, ExecuteFrameAndStatusEvents) {
    TProbe c;
    QStringList events;
    c.SetOnBeforeExecute([&](QObject*) { events << "before"; });
    c.SetOnAfterExecute([&](QObject*) { events << "after"; });
    c.SetOnStatusChange([&](QObject*) { events << QString::fromLatin1(QMetaEnum::fromType<TKvIStatus>().valueToKey(c.Status())); });
    for (TKvIStatus outcome : {isSkipped, isNotFound, isFailed}) {
        events.clear();
        c.Work = [outcome](TProbe& p) { p.SetStatus(outcome); };
        const bool result = c.Execute();
        EXPECT_EQ(result, outcome != isFailed);
        EXPECT_EQ(events.first(), "before");
        EXPECT_EQ(events.last(), "after");
    }
    c.Work = nullptr;
    events.clear();
    EXPECT_TRUE(c.Execute());
    EXPECT_EQ(events, QStringList({"before", "isInProgress", "isFinished", "after"}));
}

// ---- HTTP ------------------------------------------------------------------------------------------------

TEST_F(WebTest, DownloadStampSkipAndActionSequence) {
    const QByteArray data = Pattern(100000);
    const QString remote = Serve("a.bin", data, Stamp);
    TKvWebUpdater u;
    Http(u, remote, Local("a.bin"));
    std::unique_ptr<QStringList> actions(RecordActions(u));
    EXPECT_TRUE(u.Execute());
    EXPECT_EQ(u.Status(), isFinished);
    EXPECT_EQ(*actions, FullRun);
    EXPECT_EQ(ReadFile(Local("a.bin")), data);
    EXPECT_EQ(MTime(Local("a.bin")), Stamp);
    EXPECT_EQ(u.RemoteFileSize(), 100000);
    EXPECT_EQ(u.RemoteFileCreated(), Stamp);
    EXPECT_TRUE(u.LastError().isEmpty());
    EXPECT_FALSE(QFileInfo::exists(Local("a.bin.part")));

    actions->clear();
    EXPECT_TRUE(u.Execute());
    EXPECT_EQ(u.Status(), isSkipped);
    EXPECT_EQ(*actions, QStringList({"iaConnecting", "iaConnected", "iaFileSearch", "iaFileFound", "iaComparing",
                                     "iaCompared", "iaDisconnecting", "iaDisconnected"}));
    // The request every file search sends: a GET of the path as written, HTTP/1.0, with our agent.
    const QStringList lines = LogLines(AccessLog, remote, 2);
    ASSERT_EQ(lines.size(), 2);
    EXPECT_TRUE(lines[0].contains("\"GET " + remote + " HTTP/1.0\" 200")) << lines[0].toStdString();
    EXPECT_TRUE(lines[0].contains("\"Norvalith WebUpdater\""));
}

TEST_F(WebTest, CompareRuleAndOnFileCompare) {
    const QByteArray data = Pattern(5000);
    const QString remote = Serve("c.bin", data, Stamp);
    const QString local = Local("c.bin");
    TKvWebUpdater u;
    Http(u, remote, local);

    // Same size, local newer: current.
    WriteFile(local, QByteArray(5000, 'x'));
    SetMTime(local, Stamp.addSecs(3600));
    bool seen = false;
    u.SetOnFileCompare([&](QObject*, bool& Equal) { seen = Equal; });
    EXPECT_TRUE(u.Execute());
    EXPECT_TRUE(seen);
    EXPECT_EQ(u.Status(), isSkipped);
    EXPECT_EQ(ReadFile(local), QByteArray(5000, 'x'));

    // The handler forces a download of a current file.
    u.SetOnFileCompare([](QObject*, bool& Equal) { Equal = false; });
    EXPECT_TRUE(u.Execute());
    EXPECT_EQ(u.Status(), isFinished);
    EXPECT_EQ(ReadFile(local), data);

    // Same size, local older: outdated; the handler sees false and can refuse the download.
    WriteFile(local, QByteArray(5000, 'y'));
    SetMTime(local, Stamp.addSecs(-1));
    u.SetOnFileCompare([&](QObject*, bool& Equal) {
        seen = Equal;
        Equal = true;
    });
    EXPECT_TRUE(u.Execute());
    EXPECT_FALSE(seen);
    EXPECT_EQ(u.Status(), isSkipped);
    EXPECT_EQ(ReadFile(local), QByteArray(5000, 'y'));

    u.SetOnFileCompare(nullptr);
    EXPECT_TRUE(u.Execute());
    EXPECT_EQ(u.Status(), isFinished);
    EXPECT_EQ(ReadFile(local), data);
}

TEST_F(WebTest, ErrorStatusIsNotFoundAndLeavesLocalFileAlone) {
    TKvWebUpdater u;
    Http(u, QStringLiteral("/no-such-file.bin"), Local("keep.bin"));
    WriteFile(Local("keep.bin"), "good data");
    std::unique_ptr<QStringList> actions(RecordActions(u));
    EXPECT_TRUE(u.Execute()); // not found is not a failure of Execute
    EXPECT_EQ(u.Status(), isNotFound);
    EXPECT_EQ(ReadFile(Local("keep.bin")), "good data");
    EXPECT_TRUE(u.LastError().contains("404")) << u.LastError().toStdString();
    EXPECT_EQ(*actions, QStringList({"iaConnecting", "iaConnected", "iaFileSearch", "iaDisconnecting", "iaDisconnected"}));
}

TEST_F(WebTest, HttpsChecksCertificates) {
    const QString remote = Serve("s.txt", "secure body\n", Stamp);
    TKvWebUpdater u;
    u.SetService(isHTTPS);
    u.SetHost(QStringLiteral("localhost"));
    u.SetPort(ServerPort("nginx", "KV_NGINX_TLS_PORT"));
    u.SetRemoteFileName(remote);
    u.SetLocalFileName(Local("s.txt"));
    EXPECT_TRUE(u.Execute());
    EXPECT_EQ(u.Status(), isNotFound) << "the test CA is not trusted by default";
    EXPECT_TRUE(u.LastError().contains("certificate", Qt::CaseInsensitive)) << u.LastError().toStdString();
    EXPECT_FALSE(QFileInfo::exists(Local("s.txt")));

    u.SetCACertFile(CAFile);
    EXPECT_TRUE(u.Execute());
    EXPECT_EQ(u.Status(), isFinished) << u.LastError().toStdString();
    EXPECT_EQ(ReadFile(Local("s.txt")), "secure body\n");
}

TEST_F(WebTest, BasicAuthWithoutPrompt) {
    TKvWebUpdater u;
    Http(u, QStringLiteral("/private/secret.txt"), Local("secret.txt"));
    u.SetLoginPrompt(false);
    u.SetUser(QStringLiteral("kvuser"));
    u.SetPassword(QStringLiteral("wrong"));
    // Other tests fetch the same file at the same time: this test's requests carry an agent of their own.
    const QString agent = QStringLiteral("auth-once-%1").arg(QCoreApplication::applicationPid());
    u.SetAgent(agent);
    EXPECT_TRUE(u.Execute());
    EXPECT_EQ(u.Status(), isNotFound);
    EXPECT_EQ(u.LastError(), strKvInEAuthRequired);
    EXPECT_FALSE(QFileInfo::exists(Local("secret.txt")));
    EXPECT_TRUE(Prompts.isEmpty());
    // The stored credentials are tried once: two sends, then the search ends.
    EXPECT_EQ(LogLines(AccessLog, agent, 2).size(), 2);

    u.SetPassword(ServerEnv("nginx", "KV_NGINX_PASSWORD"));
    EXPECT_TRUE(u.Execute());
    EXPECT_EQ(u.Status(), isFinished);
    EXPECT_EQ(ReadFile(Local("secret.txt")), "The secret word is kvsecret.\n");
}

TEST_F(WebTest, BasicAuthWithPrompt) {
    TKvWebUpdater u;
    Http(u, QStringLiteral("/private/secret.txt"), Local("secret.txt"));
    u.SetUser(QStringLiteral("someone"));
    QStringList seenUsers;
    SetLogonPrompt([&](const QString& Caption, QString& User, QString& Password) {
        Prompts << Caption;
        seenUsers << User;
        if (Prompts.size() == 1) { // first a wrong answer, then the right one
            User = QStringLiteral("kvuser");
            Password = QStringLiteral("bad");
        } else {
            Password = QStringLiteral("kvpass");
        }
        return true;
    });
    EXPECT_TRUE(u.Execute());
    EXPECT_EQ(u.Status(), isFinished) << u.LastError().toStdString();
    EXPECT_EQ(Prompts, QStringList({strKvInLogon, strKvInLogon}));
    EXPECT_EQ(seenUsers, QStringList({"someone", "kvuser"}));
    EXPECT_EQ(u.User(), "kvuser");
    EXPECT_EQ(u.Password(), "kvpass");

    // A cancelled prompt: not found, with the authorization message.
    QFile::remove(Local("secret.txt"));
    u.SetPassword(QString());
    Prompts.clear();
    SetLogonPrompt([&](const QString& Caption, QString&, QString&) {
        Prompts << Caption;
        return false;
    });
    EXPECT_TRUE(u.Execute());
    EXPECT_EQ(u.Status(), isNotFound);
    EXPECT_EQ(u.LastError(), strKvInEAuthRequired);
    EXPECT_EQ(Prompts.size(), 1);
    EXPECT_FALSE(QFileInfo::exists(Local("secret.txt")));
}

TEST_F(WebTest, ProxyDemandingCredentials) {
    const QString remote = Serve("p.txt", "through the proxy\n", Stamp);
    const QString proxyLog = ServerEnv("squid", "KV_SQUID_ACCESS_LOG");
    // The updater reads the proxy from the system setting (the environment here) at every run.
    qputenv("http_proxy", QStringLiteral("http://127.0.0.1:%1").arg(ServerPort("squid", "KV_SQUID_PORT")).toUtf8());
    TKvWebUpdater u;
    Http(u, remote, Local("p.txt"));
    u.SetLoginPrompt(false);
    u.Proxy()->SetUser(ServerEnv("squid", "KV_SQUID_USER"));
    u.Proxy()->SetPassword(QStringLiteral("wrong"));
    EXPECT_TRUE(u.Execute());
    EXPECT_EQ(u.Status(), isNotFound);
    EXPECT_EQ(u.LastError(), strKvInEProxyAuth);
    EXPECT_TRUE(u.Proxy()->UseProxy());
    EXPECT_EQ(u.Proxy()->Port(), ServerPort("squid", "KV_SQUID_PORT"));

    Prompts.clear();
    u.SetLoginPrompt(true);
    SetLogonPrompt([&](const QString& Caption, QString& User, QString& Password) {
        Prompts << Caption + ':' + User;
        Password = ServerEnv("squid", "KV_SQUID_PASSWORD");
        return true;
    });
    EXPECT_TRUE(u.Execute());
    EXPECT_EQ(u.Status(), isFinished) << u.LastError().toStdString();
    EXPECT_EQ(Prompts, QStringList({strKvInProxyLogon + ":proxyuser"}));
    EXPECT_EQ(ReadFile(Local("p.txt")), "through the proxy\n");
    EXPECT_FALSE(LogLines(proxyLog, remote).isEmpty());
    qunsetenv("http_proxy");
}

TEST_F(WebTest, AbortAfterFirstBlockStopsTheTransfer) {
    // A big file: the transfer must stop at once, not run to its end in the background.
    const qint64 size = 64LL << 20;
    const QString remote = Serve("big.bin", QByteArray(), Stamp);
    QFile::resize(NginxRoot + remote, size);
    SetMTime(NginxRoot + remote, Stamp);
    TKvWebUpdater u;
    Http(u, remote, Local("big.bin"));
    int reports = 0;
    u.SetOnProgress([&](QObject*, int64_t Cur, int64_t Max, bool& Abort) {
        ++reports;
        EXPECT_EQ(Cur, 2050);
        EXPECT_EQ(Max, size);
        Abort = true;
    });
    EXPECT_FALSE(u.Execute());
    EXPECT_EQ(u.Status(), isFailed);
    EXPECT_EQ(reports, 1);
    // The partial copy stays for a later resume, but does not carry the remote time.
    EXPECT_EQ(QFileInfo(Local("big.bin")).size(), 2050);
    EXPECT_NE(MTime(Local("big.bin")), Stamp);
    const QStringList lines = LogLines(AccessLog, remote);
    ASSERT_EQ(lines.size(), 1);
    const qint64 sent = lines[0].section(' ', 5, 5).toLongLong();
    EXPECT_LT(sent, size / 4) << lines[0].toStdString();
}

long StatusKiB(const char* Key) {
    for (const QByteArray& line : ReadFile("/proc/self/status").split('\n'))
        if (line.startsWith(Key))
            return line.mid(int(strlen(Key))).trimmed().split(' ').first().toLong();
    return -1;
}

TEST_F(WebTest, MemoryStaysFlatWhateverTheFileSize) {
    const qint64 size = 256LL << 20;
    const QString remote = Serve("huge.bin", QByteArray(), Stamp);
    QFile::resize(NginxRoot + remote, size);
    TKvWebUpdater u;
    Http(u, remote, Local("huge.bin"));
    int64_t reports = 0;
    u.SetOnProgress([&](QObject*, int64_t, int64_t, bool&) { ++reports; });
    WriteFile("/proc/self/clear_refs", "5"); // restarts the peak-memory count
    [[maybe_unused]] const long before = StatusKiB("VmRSS:");
    EXPECT_TRUE(u.Execute());
    EXPECT_EQ(u.Status(), isFinished);
    [[maybe_unused]] const long peak = StatusKiB("VmHWM:");
    EXPECT_EQ(QFileInfo(Local("huge.bin")).size(), size);
    EXPECT_EQ(reports, size / 2050 + 2); // a report per block, the last short one, and the end
#if !defined(__SANITIZE_ADDRESS__) // its quarantine keeps freed memory on purpose
    EXPECT_LT(peak - before, 32 * 1024) << "peak grew by " << (peak - before) << " KiB";
#endif
    QFile::remove(Local("huge.bin"));
}

// ---- cut connections and resume --------------------------------------------------------------------------

TEST_F(WebTest, CutConnectionFailsAndResumesByteExact) {
    const QByteArray data = Pattern(40000, 'A');
    const QString remote = Serve("cut.bin", data, Stamp);
    // A server that announces the whole file but sends only the first 12345 bytes.
    const QByteArray head = "HTTP/1.0 200 OK\r\nContent-Length: 40000\r\nLast-Modified: Tue, 05 Mar 2024 10:20:30 GMT\r\n\r\n";
    ScriptedSession cut(Script::HttpReply(head, data.left(12345)));
    TKvWebUpdater u;
    Http(u, remote, Local("cut.bin"));
    u.SetPort(cut.Port());
    EXPECT_FALSE(u.Execute());
    EXPECT_EQ(u.Status(), isFailed);
    EXPECT_FALSE(u.LastError().isEmpty());
    EXPECT_EQ(ReadFile(Local("cut.bin")), data.left(12345)); // kept for a resume, not stamped
    EXPECT_NE(MTime(Local("cut.bin")), Stamp);

    // Resume from nginx: only the missing bytes are asked for and sent.
    u.SetPort(NginxPort);
    EXPECT_EQ(ResumeAndFirstReport(u), 12345 + 2050);
    EXPECT_EQ(ReadFile(Local("cut.bin")), data);
    EXPECT_EQ(MTime(Local("cut.bin")), Stamp);
    const QStringList lines = LogLines(AccessLog, remote, 2);
    ASSERT_GE(lines.size(), 2);
    EXPECT_TRUE(lines.last().contains(" 206 27655 \"bytes=12345-\"")) << lines.last().toStdString();
}

TEST_F(WebTest, CutConnectionLeavesAGoodLocalFileUntouched) {
    const QByteArray data = Pattern(40000, 'B');
    const QByteArray head = "HTTP/1.0 200 OK\r\nContent-Length: 40000\r\n\r\n";
    ScriptedSession cut(Script::HttpReply(head, data.left(5000)));
    TKvWebUpdater u;
    Http(u, QStringLiteral("/whatever.bin"), Local("good.bin"));
    u.SetPort(cut.Port());
    WriteFile(Local("good.bin"), "the user's good copy");
    EXPECT_FALSE(u.Execute());
    EXPECT_EQ(u.Status(), isFailed);
    EXPECT_EQ(ReadFile(Local("good.bin")), "the user's good copy");
    EXPECT_FALSE(QFileInfo::exists(Local("good.bin.part")));
}

TEST_F(WebTest, ResumeAgainstAServerThatIgnoresRangesStartsOver) {
    const QByteArray data = Pattern(30000, 'C');
    ScriptedSession whole(Script::HttpReply("HTTP/1.0 200 OK\r\nContent-Length: 30000\r\n\r\n", data));
    TKvWebUpdater u;
    Http(u, QStringLiteral("/file.bin"), Local("r.bin"));
    u.SetPort(whole.Port());
    u.SetResumeDownload(true);
    WriteFile(Local("r.bin"), data.left(1000));
    EXPECT_TRUE(u.Execute());
    EXPECT_EQ(u.Status(), isFinished) << u.LastError().toStdString();
    EXPECT_EQ(ReadFile(Local("r.bin")), data); // not the part followed by the whole file
}

TEST_F(WebTest, ResumeOfACompleteFileIsNotAnError) {
    const QByteArray data = Pattern(9000, 'D');
    const QString remote = Serve("done.bin", data, Stamp);
    TKvWebUpdater u;
    Http(u, remote, Local("done.bin"));
    u.SetResumeDownload(true);
    WriteFile(Local("done.bin"), data);
    SetMTime(Local("done.bin"), Stamp);
    u.SetOnFileCompare([](QObject*, bool& Equal) { Equal = false; }); // download all the same
    EXPECT_TRUE(u.Execute());
    EXPECT_EQ(u.Status(), isFinished) << u.LastError().toStdString();
    EXPECT_EQ(ReadFile(Local("done.bin")), data);
    EXPECT_EQ(MTime(Local("done.bin")), Stamp);
    EXPECT_TRUE(LogLines(AccessLog, remote, 2).last().contains(" 416 "));
}

TEST_F(WebTest, ResumeNeverWritesAnErrorPageOverThePart) {
    // The search sees the file; the range request meets a busy server.
    const QByteArray data = Pattern(10000, 'E');
    ScriptedSession server(Script::Connections(
        {Script::HttpReply("HTTP/1.0 200 OK\r\nContent-Length: 10000\r\n\r\n", data),
         Script::HttpReply(
             "HTTP/1.0 503 Service Unavailable\r\nContent-Length: 17\r\n\r\n<html>busy</html>")}));
    TKvWebUpdater u;
    Http(u, QStringLiteral("/busy.bin"), Local("busy.bin"));
    u.SetPort(server.Port());
    u.SetResumeDownload(true);
    WriteFile(Local("busy.bin"), data.left(16));
    EXPECT_FALSE(u.Execute());
    EXPECT_EQ(u.Status(), isFailed);
    EXPECT_EQ(ReadFile(Local("busy.bin")), data.left(16));
}

TEST_F(WebTest, AnOlderLocalVersionIsReplacedNotResumed) {
    const QByteArray data = Pattern(2200, 'N');
    const QString remote = Serve("v2.bin", data, Stamp);
    TKvWebUpdater u;
    Http(u, remote, Local("v.bin"));
    u.SetResumeDownload(true);
    WriteFile(Local("v.bin"), Pattern(1100, 'O'));
    SetMTime(Local("v.bin"), Stamp.addDays(-30));
    EXPECT_TRUE(u.Execute());
    EXPECT_EQ(u.Status(), isFinished) << u.LastError().toStdString();
    EXPECT_EQ(ReadFile(Local("v.bin")), data) << "two versions mixed";
    EXPECT_EQ(MTime(Local("v.bin")), Stamp);
}

// A part left by a cut download continues only the version it was cut from: the server must still offer
// that version (its time and tag, asked again with If-Range), else the download starts over.
TEST_F(WebTest, ResumeContinuesOnlyTheVersionThePartHolds) {
    const QByteArray v1 = Pattern(30000, 'V'), v2 = Pattern(30000, 'W');
    const QByteArray v1Head = "HTTP/1.0 200 OK\r\nContent-Length: 30000\r\n"
                              "Last-Modified: Tue, 05 Mar 2024 10:20:30 GMT\r\nETag: \"v1\"\r\n\r\n";
    // Deploys that keep file times can put up a new version dated before the old one.
    const QByteArray v2Head = "HTTP/1.0 200 OK\r\nContent-Length: 30000\r\n"
                              "Last-Modified: Mon, 04 Mar 2024 10:20:30 GMT\r\nETag: \"v2\"\r\n\r\n";
    struct Case {
        const char* Name;
        QByteArray Offered, OfferedHead;
        bool Continued;
    } cases[] = {{"replaced by a version dated earlier", v2, v2Head, false},
                 {"still the same version", v1, v1Head, true}};
    for (const Case& c : cases) {
        SCOPED_TRACE(c.Name);
        const QByteArray tail = "HTTP/1.0 206 Partial Content\r\nContent-Range: bytes 12345-29999/30000\r\n"
                                "Content-Length: 17655\r\n\r\n" +
                                c.Offered.mid(12345);
        ScriptedSession server(
            Script::Connections({Script::HttpReply(v1Head, v1.left(12345)),
                                 Script::HttpReply(c.OfferedHead, c.Offered), Script::HttpReply(tail)}));
        const QString local = Local("versioned.bin");
        QFile::remove(local);
        TKvWebUpdater u;
        Http(u, QStringLiteral("/versioned.bin"), local);
        u.SetPort(server.Port());
        EXPECT_FALSE(u.Execute());
        EXPECT_EQ(ReadFile(local), v1.left(12345));
        EXPECT_TRUE(QFileInfo::exists(local + ".part-info"));

        u.SetResumeDownload(true);
        EXPECT_TRUE(u.Execute()) << u.LastError().toStdString();
        EXPECT_EQ(u.Status(), isFinished) << u.LastError().toStdString();
        EXPECT_EQ(ReadFile(local), c.Offered) << "two versions spliced";
        EXPECT_EQ(MTime(local), u.RemoteFileCreated());
        EXPECT_FALSE(QFileInfo::exists(local + ".part-info"));
        if (c.Continued) {
            const QByteArray ranged = server.Received(3);
            EXPECT_TRUE(ranged.contains("\r\nRange: bytes=12345-\r\n")) << ranged.constData();
            EXPECT_TRUE(ranged.contains("\r\nIf-Range: \"v1\"\r\n")) << ranged.constData();
        }
    }
}

TEST_F(WebTest, APartFileOrLinkBesideTheTargetIsNeverFollowed) {
    const QByteArray data = Pattern(3000, 'L');
    const QString remote = Serve("linked.bin", data, Stamp);
    WriteFile(Local("precious.txt"), "precious");
    ASSERT_TRUE(QFile::link(Local("precious.txt"), Local("h.bin.part")));
    TKvWebUpdater u;
    Http(u, remote, Local("h.bin"));
    EXPECT_TRUE(u.Execute());
    EXPECT_EQ(u.Status(), isFinished) << u.LastError().toStdString();
    EXPECT_EQ(ReadFile(Local("precious.txt")), "precious");
    EXPECT_FALSE(QFileInfo(Local("h.bin")).isSymLink());
    EXPECT_EQ(ReadFile(Local("h.bin")), data);
}

TEST_F(WebTest, ARedirectWithoutLocationIsNotTheFile) {
    ScriptedSession server(
        Script::HttpReply("HTTP/1.0 302 Found\r\nContent-Length: 13\r\n\r\n", "redirect page"));
    TKvWebUpdater u;
    Http(u, QStringLiteral("/moved.bin"), Local("r.bin"));
    u.SetPort(server.Port());
    WriteFile(Local("r.bin"), "good data");
    u.Execute();
    EXPECT_EQ(u.Status(), isNotFound);
    EXPECT_EQ(ReadFile(Local("r.bin")), "good data");
}

TEST_F(WebTest, AWriteTheDiskRefusesIsNeverFinished) {
    const QString remote = Serve("full.bin", Pattern(10000, 'F'), Stamp);
    TKvWebUpdater u;
    Http(u, remote, QStringLiteral("/dev/full"));
    bool raised = false;
    try {
        u.Execute();
    } catch (const Exception&) {
        raised = true;
    }
    EXPECT_TRUE(raised || u.Status() == isFailed) << "status " << int(u.Status());
}

// Hostile answers, one run each: what reaches the peer, and what the run ends in.
TEST_F(WebTest, HostileAnswers) {
    const QByteArray body = Pattern(200000, 'H');
    using namespace Script;
    struct Case {
        const char* Name;
        QString Remote;
        QJsonObject Script;
        TKvIStatus Expected;
        QByteArray Sent;  // the start of what the peer received
        QString Error;    // part of LastError
        QByteArray Local; // the local file afterwards ("" : none)
    } cases[] = {
        {"a '#' is part of the name, '?' starts the query", "/a#b.txt?x=1",
         HttpReply("HTTP/1.0 200 OK\r\nContent-Length: 5\r\n\r\nhello"), isFinished,
         "GET /a%23b.txt?x=1 HTTP/1.0\r\n", "", "hello"},
        // Without the fix the answer counted as found with an unknown size, and the newer local copy as
        // current.
        {"a length the transfer refuses before the body", "/bad-length",
         HttpReply("HTTP/1.0 200 OK\r\nContent-Length: abc\r\n\r\nhello"), isNotFound,
         "GET /bad-length HTTP/1.0\r\n", "Content-Length", "local"},
        // 100 kB at once, then nothing for longer than the idle time: an average over the last seconds
        // would still see the burst and let the stall run on.
        {"a stall after a burst", "/stall",
         Steps({ReadRequest(), Send("HTTP/1.0 200 OK\r\nContent-Length: 200000\r\n\r\n" + body.left(100000)),
                Sleep(4000), Send(body.mid(100000)), Close()}),
         isFailed, "GET /stall HTTP/1.0\r\n", "No data arrived for 2 seconds", body.left(100000)},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.Name);
        ScriptedSession peer(c.Script);
        const QString local = Local("hostile.bin");
        QFile::remove(local);
        QFile::remove(local + ".part-info");
        if (c.Expected == isNotFound)
            WriteFile(local, "local");
        TKvWebUpdater u;
        Http(u, c.Remote, local);
        u.SetPort(peer.Port());
        u.SetTimeout(2);
        u.Execute();
        EXPECT_EQ(u.Status(), c.Expected) << u.LastError().toStdString();
        EXPECT_TRUE(u.LastError().contains(c.Error)) << u.LastError().toStdString();
        EXPECT_TRUE(peer.Received().startsWith(c.Sent)) << peer.Received().left(200).constData();
        EXPECT_EQ(ReadFile(local), c.Local);
        if (c.Expected == isNotFound) {
            // The request went out: the server may have acted on it, so it is not sent again.
            EXPECT_EQ(peer.Connections(), 1);
        }
    }
}

// Redirects of an HTTPS source stay on HTTPS: plain HTTP would drop the certificate check.
TEST_F(WebTest, HttpsIsFollowedToHttpsOnly) {
    struct Case {
        const char* Remote;
        TKvIStatus Expected;
    } cases[] = {{"/redirect-abs", isNotFound}, {"/redirect", isFinished}};
    for (const Case& c : cases) {
        SCOPED_TRACE(c.Remote);
        TKvWebUpdater u;
        u.SetService(isHTTPS);
        u.SetHost(QStringLiteral("localhost"));
        u.SetPort(ServerPort("nginx", "KV_NGINX_TLS_PORT"));
        u.SetCACertFile(CAFile);
        u.SetRemoteFileName(QString::fromLatin1(c.Remote));
        u.SetLocalFileName(Local("index.html"));
        QFile::remove(Local("index.html"));
        EXPECT_TRUE(u.Execute());
        EXPECT_EQ(u.Status(), c.Expected) << u.LastError().toStdString();
        EXPECT_EQ(QFileInfo::exists(Local("index.html")), c.Expected == isFinished);
        if (c.Expected != isFinished) {
            EXPECT_TRUE(
                u.LastError().contains(QStringLiteral("http://127.0.0.1:%1/index.html").arg(NginxPort)))
                << u.LastError().toStdString();
        }
    }
}

// Whatever an application's logon handler throws ends the search: the file is not found.
TEST_F(WebTest, AFailingLogonHandlerEndsTheSearch) {
    for (const bool standard : {true, false}) {
        SetLogonPrompt([standard](const QString&, QString&, QString&) -> bool {
            if (standard)
                throw std::runtime_error("the handler broke");
            throw 42;
        });
        TKvWebUpdater u;
        Http(u, QStringLiteral("/private/secret.txt"), Local("secret.txt"));
        EXPECT_NO_THROW(u.Execute());
        EXPECT_EQ(u.Status(), isNotFound) << u.LastError().toStdString();
        EXPECT_TRUE(u.LastError().contains(standard ? "the handler broke" : "unknown failure"))
            << u.LastError().toStdString();
    }
}

// A link as the local file is written through; a link that leads nowhere is no source.
TEST_F(WebTest, LinksAsLocalFileAndAsSource) {
    const QByteArray data = Pattern(3000, 'S');
    const QString remote = Serve("linked-target.bin", data, Stamp);
    WriteFile(Local("real.bin"), "old");
    ASSERT_TRUE(QFile::link(Local("real.bin"), Local("link.bin")));
    ASSERT_TRUE(QFile::link(Local("later.bin"), Local("dangling.bin")));
    for (const auto& [link, target] :
         {std::pair{"link.bin", "real.bin"}, std::pair{"dangling.bin", "later.bin"}}) {
        SCOPED_TRACE(link);
        TKvWebUpdater u;
        Http(u, remote, Local(link));
        EXPECT_TRUE(u.Execute());
        EXPECT_EQ(u.Status(), isFinished) << u.LastError().toStdString();
        EXPECT_TRUE(QFileInfo(Local(link)).isSymLink());
        EXPECT_EQ(ReadFile(Local(target)), data);
        EXPECT_EQ(MTime(Local(target)), Stamp);
        EXPECT_TRUE(u.Execute());
        EXPECT_EQ(u.Status(), isSkipped);
    }

    ASSERT_TRUE(QFile::link(Local("nothing-here"), Local("gone")));
    ASSERT_TRUE(QFile::link(Local("loop-b"), Local("loop-a")));
    ASSERT_TRUE(QFile::link(Local("loop-a"), Local("loop-b")));
    for (const char* source : {"gone", "loop-a"}) {
        SCOPED_TRACE(source);
        TKvWebUpdater u;
        u.SetService(isNetwork);
        u.SetRemoteFileName(Local(source));
        u.SetLocalFileName(Local("copy-of-link"));
        EXPECT_TRUE(u.Execute());
        EXPECT_EQ(u.Status(), isNotFound);
        EXPECT_FALSE(u.LastError().isEmpty());
        EXPECT_FALSE(QFileInfo::exists(Local("copy-of-link")));
    }
}

TEST_F(WebTest, SilentServerTimesOut) {
    ScriptedSession silent(Script::Steps({Script::Hang()}));
    TKvWebUpdater u;
    Http(u, QStringLiteral("/x.bin"), Local("x.bin"));
    u.SetPort(silent.Port());
    u.SetTimeout(1);
    EXPECT_TRUE(u.Execute());
    EXPECT_EQ(u.Status(), isNotFound); // one send without an answer
    EXPECT_FALSE(u.LastError().isEmpty());
    EXPECT_FALSE(QFileInfo::exists(Local("x.bin")));
}

// ---- status table, local file errors, re-entry, URL reads ------------------------------------------------

TEST_F(WebTest, NoConnectionFailsAndUnwritableLocalFileRaises) {
    TKvWebUpdater u;
    u.SetService(isFTP);
    u.SetHost(QStringLiteral("127.0.0.1"));
    u.SetPort(1); // nothing listens there
    u.SetRemoteFileName(QStringLiteral("/readme.txt"));
    u.SetLocalFileName(Local("x"));
    EXPECT_FALSE(u.Execute());
    EXPECT_EQ(u.Status(), isFailed);
    EXPECT_FALSE(u.LastError().isEmpty());

    TKvWebUpdater w;
    Http(w, Serve("w.txt", "data"), Dir.filePath("missing-dir/w.txt"));
    EXPECT_THROW(w.Execute(), EFCreateError);
}

TEST_F(WebTest, PipeIsWrittenInPlace) {
    // A device or pipe as the local file: written directly, never replaced by a renamed file.
    const QByteArray data = Pattern(3 << 20, 'P');
    TKvWebUpdater u;
    Http(u, Serve("pipe.bin", data, Stamp), Local("pipe"));
    ASSERT_EQ(mkfifo(QFile::encodeName(Local("pipe")).constData(), 0600), 0);
    QByteArray received;
    std::thread reader([&] {
        QFile pipe(Local("pipe"));
        if (pipe.open(QIODevice::ReadOnly))
            received = pipe.readAll();
    });
    EXPECT_TRUE(u.Execute());
    EXPECT_EQ(u.Status(), isFinished) << u.LastError().toStdString();
    // Lets a reader still waiting for a writer (if the download never opened the pipe) see the end;
    // without a reader the open fails at once instead of waiting for one.
    const int release = ::open(QFile::encodeName(Local("pipe")).constData(), O_WRONLY | O_NONBLOCK);
    if (release >= 0)
        ::close(release);
    reader.join();
    EXPECT_EQ(received, data);
    EXPECT_TRUE(QFileInfo(Local("pipe")).exists());
    EXPECT_FALSE(QFileInfo(Local("pipe")).isFile());
}

TEST_F(WebTest, SecondExecuteWhileRunningIsRefused) {
    TKvWebUpdater u;
    Http(u, Serve("re.bin", Pattern(10000)), Local("re.bin"));
    int inner = -1;
    u.SetOnProgress([&](QObject*, int64_t, int64_t, bool&) {
        if (inner < 0)
            inner = u.Execute() ? 1 : 0;
    });
    EXPECT_TRUE(u.Execute());
    EXPECT_EQ(inner, 0);
    EXPECT_EQ(u.Status(), isFinished);
    EXPECT_EQ(ReadFile(Local("re.bin")), Pattern(10000));
}

TEST_F(WebTest, UrlReadDeliversAnyBody) {
    TProbe c;
    const QString url = QStringLiteral("http://127.0.0.1:%1").arg(NginxPort);
    EXPECT_TRUE(c.ReadHTTPGetResponseString(url + "/index.html").contains("KvInet test page"));
    EXPECT_TRUE(c.ReadHTTPGetResponseString(url + "/nothing-here").contains("404"));
    EXPECT_TRUE(c.ReadHTTPGetResponseString(QStringLiteral("http://127.0.0.1:1/")).isEmpty());
}

// ---- FTP -------------------------------------------------------------------------------------------------

class FtpTest : public WebTest {
protected:
    void SetUp() override {
        WebTest::SetUp();
        for (const char* server : {"ftp", "vsftpd"}) {
            const QString root = ServerEnv(server, server == QLatin1String("ftp") ? "KV_FTP_ROOT" : "KV_VSFTPD_ROOT");
            WriteFile(root + "/pub/sub/deep.txt", "deep\n");
            WriteFile(root + "/pub/sub/notes.dat", "notes\n");
            WriteFile(root + "/pub/data.bin", Pattern(70000, 'F'));
            WriteFile(root + "/sp ace#1.txt", "odd name\n");
            SetMTime(root + "/pub/data.bin", Stamp);
            for (const QString& p : {root + "/pub/sub", root + "/pub/sub/deep.txt", root + "/pub/sub/notes.dat",
                                     root + "/pub/data.bin", root + "/sp ace#1.txt"})
                QFile::setPermissions(p, QFile::permissions(p) | QFileDevice::ReadOther | QFileDevice::ExeOther);
        }
    }
    void Ftp(TKvCustomWebComponent& C, const char* Server) {
        C.SetService(isFTP);
        C.SetHost(QStringLiteral("127.0.0.1"));
        C.SetPort(ServerPort(Server, Server == QLatin1String("ftp") ? "KV_FTP_PORT" : "KV_VSFTPD_PORT"));
    }
};

TEST_F(FtpTest, SizeTimeDownloadResumeOnBothServers) {
    for (const char* server : {"ftp", "vsftpd"}) {
        SCOPED_TRACE(server);
        const QString local = Local(QString::fromLatin1(server) + ".bin");
        TKvWebUpdater u;
        Ftp(u, server);
        u.SetRemoteFileName(QStringLiteral("/pub/data.bin"));
        u.SetLocalFileName(local);
        EXPECT_TRUE(u.Execute());
        EXPECT_EQ(u.Status(), isFinished) << u.LastError().toStdString();
        EXPECT_EQ(u.RemoteFileSize(), 70000);
        EXPECT_EQ(u.RemoteFileCreated(), Stamp);
        EXPECT_EQ(ReadFile(local), Pattern(70000, 'F'));
        EXPECT_EQ(MTime(local), Stamp);
        EXPECT_TRUE(u.Execute());
        EXPECT_EQ(u.Status(), isSkipped);

        // Resume: the first 30000 bytes are kept, the rest is asked for with REST.
        WriteFile(local, Pattern(70000, 'F').left(30000));
        EXPECT_EQ(ResumeAndFirstReport(u), 30000 + 2050);
        EXPECT_EQ(ReadFile(local), Pattern(70000, 'F'));

        u.SetRemoteFileName(QStringLiteral("/pub/none.bin"));
        EXPECT_TRUE(u.Execute());
        EXPECT_EQ(u.Status(), isNotFound);
        u.SetRemoteFileName(QStringLiteral("/sp ace#1.txt"));
        u.SetLocalFileName(Local("odd.txt"));
        EXPECT_TRUE(u.Execute());
        EXPECT_EQ(ReadFile(Local("odd.txt")), "odd name\n");
    }
}

TEST_F(FtpTest, Listings) {
    for (const char* server : {"ftp", "vsftpd"}) {
        SCOPED_TRACE(server);
        TProbe c;
        Ftp(c, server);
        TStringList list;
        QStringList messages;
        SetMessageDlgHandler([&](TMsgDlgType, const QString& Text, unsigned) {
            messages << Text;
            return int(mrOk);
        });
        bool found = false;
        c.Work = [&](TProbe& p) {
            p.ConnectToInet(false);
            list.Clear();
            found = p.ReadDirFromInet(QString(), QStringLiteral("*"), false, &list);
            EXPECT_TRUE(found);
            EXPECT_TRUE(list.Lines().contains("readme.txt")) << list.Text().toStdString();
            EXPECT_TRUE(list.Lines().contains("pub"));

            list.Clear();
            EXPECT_TRUE(p.ReadDirFromInet(QStringLiteral("/pub"), QStringLiteral("*"), true, &list));
            QStringList lines = list.Lines();
            lines.sort();
            EXPECT_EQ(lines, QStringList({"/pub/data.bin", "/pub/hello.txt", "/pub/sub", "/pub/sub/deep.txt",
                                          "/pub/sub/notes.dat"}));

            // The wildcard filters directories as well: "sub" does not match, so it is not visited.
            list.Clear();
            EXPECT_TRUE(p.ReadDirFromInet(QStringLiteral("/pub"), QStringLiteral("*.txt"), true, &list));
            EXPECT_EQ(list.Lines(), QStringList({"/pub/hello.txt"}));

            // A directory that can't be entered: a message, and nothing listed under its name.
            list.Clear();
            EXPECT_FALSE(p.ReadDirFromInet(QStringLiteral("/nowhere"), QStringLiteral("*"), false, &list));
            EXPECT_EQ(messages.size(), 1);
            p.DisconnectFromInet();
        };
        c.Execute();
        SetMessageDlgHandler(nullptr);
    }
}

// A walk ends: at 32 levels below the directory asked for (a server that shows links to directories as
// directories would go on for ever), and at 100,000 lines; ListingLimit and LastError say which.
TEST_F(FtpTest, ListingWalksAreBounded) {
    const QString root = ServerEnv("ftp", "KV_FTP_ROOT");
    ASSERT_TRUE(QDir().mkpath(root + "/deep" + QString("/d").repeated(34)));
    const QString many = Dir.filePath("many");
    ASSERT_TRUE(QDir().mkpath(many));
    for (int i = 0; i < 100000; ++i)
        ::close(::open(QFile::encodeName(many + QStringLiteral("/f%1").arg(i)).constData(),
                       O_CREAT | O_WRONLY, 0600));
    struct Case {
        const char* Name;
        bool Ftp;
        QString Directory;
        int Lines;
        QString Limit;
    } cases[] = {{"FTP, 34 levels", true, "/deep", 33, "deeper than 32 levels"},
                 {"path, 100,000 files and . and ..", false, many, 100000, "more than 100000 lines"}};
    for (const Case& c : cases) {
        SCOPED_TRACE(c.Name);
        TProbe p;
        if (c.Ftp)
            Ftp(p, "ftp");
        else
            p.SetService(isNetwork);
        TStringList list;
        p.Work = [&](TProbe& P) {
            P.ConnectToInet(false);
            EXPECT_TRUE(P.ReadDirFromInet(c.Directory, QStringLiteral("*"), true, &list));
            P.DisconnectFromInet();
        };
        EXPECT_TRUE(p.Execute());
        EXPECT_EQ(list.Count(), c.Lines);
        EXPECT_TRUE(p.ListingLimit().contains(c.Limit)) << p.ListingLimit().toStdString();
        EXPECT_EQ(p.LastError(), p.ListingLimit());
    }
}

TEST_F(WebTest, LocalDirectoriesAndFiles) {
    const QString root = Dir.filePath("tree");
    WriteFile(root + "/a.txt", "a");
    WriteFile(root + "/b.dat", "bb");
    WriteFile(root + "/sub/c.txt", "ccc");
    ASSERT_TRUE(QFile::link(root, root + "/sub/loop")); // a link back up: must not be followed
    TProbe c;
    c.SetService(isNetwork);
    TStringList list;
    c.Work = [&](TProbe& p) {
        p.ConnectToInet(true);
        EXPECT_TRUE(p.ReadDirFromInet(root, QStringLiteral("*"), true, &list));
        int64_t size = 0;
        QDateTime time;
        EXPECT_TRUE(p.GetFileInfoFromInet(root + "/sub/c.txt", size, time));
        EXPECT_EQ(size, 3);
        EXPECT_EQ(time, MTime(root + "/sub/c.txt"));
        EXPECT_FALSE(p.GetFileInfoFromInet(root + "/none", size, time));
        p.DisconnectFromInet();
    };
    c.Execute();
    const QStringList expected = {root + "/.",         root + "/..",          root + "/sub",
                                  root + "/sub/.",     root + "/sub/..",      root + "/sub/loop",
                                  root + "/sub/c.txt", root + "/a.txt",       root + "/b.dat"};
    EXPECT_EQ(list.Lines(), expected);

    // The updater over a file path, with resume seeking the source.
    TKvWebUpdater u;
    u.SetService(isNetwork);
    u.SetRemoteFileName(root + "/b.dat");
    u.SetLocalFileName(Local("copy.dat"));
    EXPECT_TRUE(u.Execute());
    EXPECT_EQ(u.Status(), isFinished);
    EXPECT_EQ(ReadFile(Local("copy.dat")), "bb");
    EXPECT_EQ(MTime(Local("copy.dat")), MTime(root + "/b.dat"));
    EXPECT_TRUE(u.Execute());
    EXPECT_EQ(u.Status(), isSkipped);
    WriteFile(Local("copy.dat"), "b");
    u.SetResumeDownload(true);
    EXPECT_TRUE(u.Execute());
    EXPECT_EQ(ReadFile(Local("copy.dat")), "bb");
    u.SetRemoteFileName(root + "/none.dat");
    EXPECT_TRUE(u.Execute());
    EXPECT_EQ(u.Status(), isNotFound);
}

// ---- the command -----------------------------------------------------------------------------------------

TEST_F(WebTest, CommandLine) {
    const QByteArray data = Pattern(20000, 'K');
    const QString remote = Serve("cli.bin", data, Stamp);
    const QString url = QStringLiteral("http://127.0.0.1:%1%2").arg(NginxPort).arg(remote);
    const QString local = Local("cli.bin");
    ProcessResult r = Kvinet({"update", url, local});
    EXPECT_EQ(r.ExitCode, 0) << r.Err.toStdString();
    EXPECT_EQ(r.Out, "finished\n");
    EXPECT_EQ(ReadFile(local), data);
    r = Kvinet({"update", url, local});
    EXPECT_EQ(r.Out, "skipped\n");
    EXPECT_EQ(r.ExitCode, 0);
    r = Kvinet({"update", url, local, "--force"});
    EXPECT_EQ(r.Out, "finished\n");

    r = Kvinet({"update", url + ".missing", local});
    EXPECT_EQ(r.Out, "notfound\n");
    EXPECT_EQ(r.ExitCode, 1);
    EXPECT_TRUE(r.Err.contains("404"));
    EXPECT_EQ(ReadFile(local), data);

    r = Kvinet({"update", url, Dir.filePath("no/such/dir/x")});
    EXPECT_EQ(r.ExitCode, 1);
    EXPECT_TRUE(r.Err.contains("Cannot create file")) << r.Err.toStdString();

    // --proxy takes effect although the updater refreshes the proxy from the system setting.
    const QString proxy = QStringLiteral("127.0.0.1:%1").arg(ServerPort("squid", "KV_SQUID_PORT"));
    r = Kvinet({"update", url, Local("viaproxy.bin"), "--proxy", proxy, "--proxy-user", "proxyuser",
                "--proxy-password", "proxypass"});
    EXPECT_EQ(r.Out, "finished\n") << r.Err.toStdString();
    EXPECT_EQ(ReadFile(Local("viaproxy.bin")), data);
    r = Kvinet({"update", url, Local("viaproxy2.bin"), "--proxy", proxy});
    EXPECT_EQ(r.Out, "notfound\n");
    EXPECT_TRUE(r.Err.contains(strKvInEProxyAuth.toUtf8())) << r.Err.toStdString();

    // The FTP file with an odd name is this test's own: the FTP tests may not have run before it.
    const QString oddFile = ServerEnv("ftp", "KV_FTP_ROOT") + "/sp ace#1.txt";
    WriteFile(oddFile, "odd name\n");
    QFile::setPermissions(oddFile, QFile::permissions(oddFile) | QFileDevice::ReadOther);
    r = Kvinet({"update", QStringLiteral("ftp://127.0.0.1:%1/sp%20ace%231.txt").arg(ServerPort("ftp", "KV_FTP_PORT")),
                Local("odd.txt")});
    EXPECT_EQ(r.Out, "finished\n") << r.Err.toStdString();
    EXPECT_EQ(ReadFile(Local("odd.txt")), "odd name\n");

    r = Kvinet({"update", url, Local("windowed.bin"), "--status-window"}, {}, {"QT_QPA_PLATFORM=offscreen"});
    EXPECT_EQ(r.Out, "finished\n") << r.Err.toStdString();

    r = Kvinet({"update", "gopher://x/y", local});
    EXPECT_EQ(r.ExitCode, 2);
}

// ---- what the descendants rely on --------------------------------------------------------------------

// A feed or a page made on demand has no Content-Length: it is fetched, and later compared by time alone.
TEST_F(WebTest, AnAnswerWithoutLengthIsDownloadedThenComparedByTime) {
    const QByteArray body = Pattern(5000);
    const QByteArray dated = "HTTP/1.0 200 OK\r\nLast-Modified: Tue, 05 Mar 2024 10:20:30 GMT\r\n\r\n";
    const QByteArray chunked =
        "HTTP/1.1 200 OK\r\nTransfer-Encoding: chunked\r\n\r\n1388\r\n" + body + "\r\n0\r\n\r\n";
    struct Case {
        const char* Name;
        QByteArray Answer;
        bool LocalCopy;
        TKvIStatus Expected;
    } cases[] = {
        {"close-delimited, no local copy", dated + body, false, isFinished},
        {"close-delimited, local copy as new as the remote", dated + body, true, isSkipped},
        {"chunked without a time, local copy present", chunked, true, isFinished},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.Name);
        const QString local = Local(QStringLiteral("unsized.bin"));
        QFile::remove(local);
        if (c.LocalCopy) {
            WriteFile(local, "old");
            SetMTime(local, Stamp);
        }
        ScriptedSession peer(Script::HttpReply(c.Answer));
        TKvWebUpdater u;
        u.SetHost(QStringLiteral("127.0.0.1"));
        u.SetPort(peer.Port());
        u.SetRemoteFileName(QStringLiteral("/feed"));
        u.SetLocalFileName(local);
        EXPECT_TRUE(u.Execute()) << u.LastError().toStdString();
        EXPECT_EQ(u.Status(), c.Expected) << u.LastError().toStdString();
        EXPECT_EQ(u.RemoteFileSize(), 0);
        EXPECT_EQ(ReadFile(local), c.Expected == isFinished ? body : QByteArray("old"));
    }
}

// A request with a body goes out as HTTP/1.1 with its header lines; only 307 and 308 repeat it elsewhere.
TEST_F(WebTest, PostReachesTheServerAndFollowsOnly307And308) {
    const QString postLog = ServerEnv("nginx", "KV_NGINX_POST_LOG");
    TProbe probe;
    probe.SetHost(QStringLiteral("127.0.0.1"));
    probe.SetPort(NginxPort);
    probe.ConnectToInet(false);
    ASSERT_TRUE(probe.hURL) << probe.LastError().toStdString();
    struct Case {
        QString Object;
        QByteArray Body;
        bool Answered;
    } cases[] = {{"/post", "a=1&b=2", true},
                 {"/post-307", "c=3", true},
                 {"/post-308", "d=4", true},
                 {"/post-302", "e=5", false}};
    for (const Case& c : cases) {
        SCOPED_TRACE(c.Object.toStdString());
        QString error;
        const QString marker = QStringLiteral("m%1-%2-%3")
                                   .arg(QCoreApplication::applicationPid())
                                   .arg(QDateTime::currentMSecsSinceEpoch())
                                   .arg(QString::fromLatin1(c.Body.left(1)));
        std::unique_ptr<TInetRequest> request = probe.hURL->Request(
            "POST", c.Object, {"X-Kv-Test: " + marker, "Content-Type: application/x-www-form-urlencoded"},
            c.Body, nullptr, error);
        if (!c.Answered) {
            EXPECT_FALSE(request);
            EXPECT_TRUE(error.contains("302") && error.contains("/post")) << error.toStdString();
            continue;
        }
        ASSERT_TRUE(request) << error.toStdString();
        EXPECT_EQ(request->StatusCode(), 200);
        char block[64];
        const int64_t n = request->Read(block, sizeof block);
        EXPECT_EQ(QByteArray(block, int(std::max<int64_t>(n, 0))), "posted\n");
        const QStringList lines = LogLines(postLog, marker);
        ASSERT_EQ(lines.size(), 1);
        EXPECT_EQ(lines.first(),
                  QStringLiteral("POST /post \"%1\" \"%2\"").arg(marker, QString::fromLatin1(c.Body)));
    }
    QString error;
    EXPECT_FALSE(probe.hURL->Request("POST", "/post", {"X-Kv-Test: a\r\nInjected: 1"}, "x", nullptr, error));
    EXPECT_TRUE(error.contains("Not a header line")) << error.toStdString();
    EXPECT_FALSE(probe.hURL->Request("GE T", "/post", {}, QByteArray(), nullptr, error));
    probe.DisconnectFromInet();
}

// What a request with a body looks like on the wire, byte for byte.
TEST_F(WebTest, PostRequestBytes) {
    ScriptedSession peer(Script::HttpReply("HTTP/1.1 200 OK\r\nContent-Length: 2\r\n\r\nok"));
    TProbe probe;
    probe.SetHost(QStringLiteral("127.0.0.1"));
    probe.SetPort(peer.Port());
    probe.SetAgent(QStringLiteral("kv-agent"));
    probe.ConnectToInet(false);
    ASSERT_TRUE(probe.hURL);
    QString error;
    auto request = probe.hURL->Request("POST", "/track", {"SOAPAction: x"}, "<q/>", nullptr, error);
    ASSERT_TRUE(request) << error.toStdString();
    request.reset();
    probe.DisconnectFromInet();
    EXPECT_EQ(peer.Received(),
              QByteArray("POST /track HTTP/1.1\r\nHost: 127.0.0.1:" + QByteArray::number(peer.Port()) +
                         "\r\nUser-Agent: kv-agent\r\nAccept: */*\r\nSOAPAction: x\r\n"
                         "Content-Length: 4\r\nContent-Type: application/x-www-form-urlencoded\r\n"
                         "\r\n<q/>"));
}

// A server that keeps sending a byte now and then never trips the idle limit: the whole-run limit ends it.
TEST_F(WebTest, TotalTimeoutEndsADrippingAnswer) {
    using namespace Script;
    ScriptedSession peer(Steps({ReadRequest(), Send("HTTP/1.0 200 OK\r\nContent-Length: 60\r\n\r\n"),
                                Send(QByteArray(60, 'x'), 60, 500)}));
    TKvWebUpdater u;
    u.SetHost(QStringLiteral("127.0.0.1"));
    u.SetPort(peer.Port());
    u.SetRemoteFileName(QStringLiteral("/drip"));
    u.SetLocalFileName(Local(QStringLiteral("drip.bin")));
    u.SetTotalTimeout(2);
    EXPECT_FALSE(u.Execute());
    EXPECT_EQ(u.Status(), isFailed);
    EXPECT_TRUE(u.LastError().contains("longer than 2 seconds")) << u.LastError().toStdString();
    // What arrived is kept to be resumed, but never passes for the whole file.
    EXPECT_LT(QFileInfo(Local(QStringLiteral("drip.bin"))).size(), 60);
}

// The reporting URL read: the status, a cut body and the memory bound are never a quiet success.
TEST_F(WebTest, ReportingUrlReadSeesStatusCutsAndTheSizeLimit) {
    const QString file = Serve(QStringLiteral("url.txt"), Pattern(3000));
    ScriptedSession cut(
        Script::HttpReply("HTTP/1.0 200 OK\r\nContent-Length: 1000\r\n\r\n", QByteArray(30, 'z')));
    const QString base = QStringLiteral("http://127.0.0.1:%1").arg(NginxPort);
    struct Case {
        const char* Name;
        QString Url;
        int64_t Limit;
        bool Complete;
        int Status;
        int Length;
        const char* Error;
    } cases[] = {
        {"whole body", base + file, 0, true, 200, 3000, ""},
        {"error page", base + "/missing.txt", 0, true, 404, -1, ""},
        {"cut short", QStringLiteral("http://127.0.0.1:%1/cut").arg(cut.Port()), 0, false, 200, 30, ""},
        {"over the limit", base + file, 1000, false, 200, 0, "larger than 1000 bytes"},
        {"no server", QStringLiteral("http://127.0.0.1:1/"), 0, false, 0, 0, ""},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.Name);
        TProbe probe;
        if (c.Limit)
            probe.SetMaxReplySize(c.Limit);
        QString text;
        int status = -1;
        probe.Work = [&](TProbe& P) {
            EXPECT_EQ(P.ReadHTTPGetResponseString(c.Url, text, status), c.Complete);
        };
        probe.Execute();
        EXPECT_EQ(status, c.Status);
        if (c.Length >= 0) {
            EXPECT_EQ(text.size(), c.Length);
        }
        EXPECT_EQ(probe.LastError().isEmpty(), c.Complete) << probe.LastError().toStdString();
        EXPECT_TRUE(probe.LastError().contains(c.Error)) << probe.LastError().toStdString();
    }
}

// The window closes on every way out; only the library's own exceptions leave Execute.
TEST_F(WebTest, StatusWindowClosesWhenTheWorkRaises) {
    TProbe probe;
    probe.StatusDialog()->SetEnabled(true);
    bool windowDuringWork = false;
    probe.Work = [&](TProbe& P) {
        windowDuringWork = P.StatusView() != nullptr;
        throw EFCreateError(QStringLiteral("Cannot create file"));
    };
    EXPECT_THROW(probe.Execute(), EFCreateError);
    EXPECT_TRUE(windowDuringWork);
    EXPECT_EQ(probe.StatusView(), nullptr);

    probe.Work = [](TProbe&) { throw std::bad_alloc(); };
    EXPECT_FALSE(probe.Execute()); // not refused as a second run: the first one ended
    EXPECT_EQ(probe.Status(), isFailed);
    EXPECT_TRUE(probe.LastError().startsWith("Internal failure")) << probe.LastError().toStdString();
    EXPECT_EQ(probe.StatusView(), nullptr);
}

TEST(WebComponent, DownloadTargetChoice) {
    QTemporaryDir dir;
    const QString existing = dir.filePath("have.bin"), missing = dir.filePath("none.bin");
    WriteFile(existing, "12345");
    struct Case {
        QString Local;
        bool Resume;
        int64_t From;
        bool InPlace, Append, KeepPart;
    } cases[] = {
        {existing, false, 0, false, false, false}, // a full download never writes over the good copy
        {existing, true, 5, true, true, false},    // the server continues the part
        {existing, true, 0, false, false, false},  // the server sent the whole file again
        {missing, false, 0, false, false, true},   // nothing to protect: a broken part stays for a resume
        {missing, true, 0, true, false, false},    // a resumable download writes the file itself
        {"/dev/null", false, 0, true, false, false},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(
            QStringLiteral("%1 resume=%2 from=%3").arg(c.Local).arg(c.Resume).arg(c.From).toStdString());
        const TKvDownloadTarget t = TProbe::ChooseDownloadTarget(c.Local, c.Resume, c.From);
        EXPECT_EQ(t.InPlace, c.InPlace);
        EXPECT_EQ(t.Append, c.Append);
        EXPECT_EQ(t.KeepPart, c.KeepPart);
        EXPECT_EQ(t.FileName, c.InPlace ? c.Local : c.Local + ".part");
    }
}

TEST(WebComponent, TempCopyIsPrivateAndNamedFromTheLastSegmentOnly) {
    const struct {
        const char* Remote;
        const char* Extension;
    } names[] = {{"/feeds/news.xml", ".xml"},
                 {"/a.b/c", ""},
                 {"/x.y/../../f", ""},
                 {"/pic.JPG?size=2", ".JPG"},
                 {"/page.html#top", ".html"},
                 {"/f.toolongextension", ""},
                 {"/f.x-y", ""},
                 {"/noext", ""},
                 {"/dir/.hidden", ".hidden"},
                 {"/f.", ""}};
    for (const auto& n : names)
        EXPECT_EQ(TKvTempCopy::Extension(n.Remote), n.Extension) << n.Remote;

    QString directory;
    {
        TKvTempCopy copy;
        const QString file = copy.FileName("/x.y/../../feed.rss?a=b/c");
        ASSERT_FALSE(file.isEmpty());
        directory = QFileInfo(file).absolutePath();
        EXPECT_EQ(QFileInfo(file).fileName(), "copy.rss");
        EXPECT_EQ(copy.FileName("/other.gif"), directory + "/copy.gif"); // one directory per instance
        const QFileDevice::Permissions others = QFileDevice::ReadGroup | QFileDevice::WriteGroup |
                                                QFileDevice::ExeGroup | QFileDevice::ReadOther |
                                                QFileDevice::WriteOther | QFileDevice::ExeOther;
        EXPECT_EQ(QFileInfo(directory).permissions() & others, QFileDevice::Permissions());
        EXPECT_TRUE(QFileInfo(directory).permissions() & QFileDevice::WriteOwner);
        WriteFile(file, "data");
        TKvTempCopy other;
        EXPECT_NE(QFileInfo(other.FileName("/feed.rss")).absolutePath(), directory);
    }
    EXPECT_FALSE(QFileInfo::exists(directory));
}

} // namespace

// test-servers: nginx scripted
// The translator client: the addresses it asks (nginx's access log shows them as they went out), how the
// answers are decoded, and how error statuses, cut, oversized and slow answers end; speech saved to a file
// only when complete. Also the translator's kvinet commands.
#include "services/KvIMSTranslator.h"

#include "support/ScriptedPeer.h"

#include <QCoreApplication>
#include <QDir>
#include <QFile>
#include <QFileInfo>
#include <QTemporaryDir>
#include <QThread>

using namespace KvInet;
using namespace KvTest;

namespace {

class TranslatorTest : public ::testing::Test {
protected:
    void SetUp() override {
        ASSERT_TRUE(Dir.isValid());
        qunsetenv("http_proxy");
        qunsetenv("https_proxy");
        qunsetenv("all_proxy");
        Port = ServerPort("nginx", "KV_NGINX_PORT");
        Root = ServerEnv("nginx", "KV_NGINX_ROOT");
        // A service of our own under nginx's root: one file per method.
        Base = QStringLiteral("/t%1-%2/v2/Http.svc")
                   .arg(QCoreApplication::applicationPid())
                   .arg(::testing::UnitTest::GetInstance()->current_test_info()->name());
        ASSERT_TRUE(QDir().mkpath(Root + Base));
        for (QString d = Root + Base; d != Root; d = QFileInfo(d).path())
            QFile::setPermissions(d, QFile::permissions(d) | QFileDevice::ReadOther | QFileDevice::ExeOther);
    }
    void TearDown() override { QDir(Root + Base.section(u'/', 0, 1)).removeRecursively(); }

    void Serve(const char* Method, const QByteArray& Data) {
        const QString path = Root + Base + u'/' + QString::fromLatin1(Method);
        WriteFile(path, Data);
        QFile::setPermissions(path, QFile::permissions(path) | QFileDevice::ReadOther);
    }
    QString Host() const { return QStringLiteral("http://127.0.0.1:%1").arg(Port) + Base; }
    void Local(TKvMSTranslator& T) const {
        T.SetHost(Host());
        T.SetTimeout(5);
        T.SetBingAppId(QStringLiteral("APP"));
    }
    /// The request line nginx logged for the path that starts with Prefix.
    QString Logged(const QString& Prefix) const {
        const QString log = ServerEnv("nginx", "KV_NGINX_ACCESS_LOG");
        const QByteArray needle = "\"GET " + (Base + Prefix).toUtf8();
        for (int i = 0; i < 50; ++i) {
            for (const QByteArray& line : ReadFile(log).split('\n')) {
                const qsizetype at = line.indexOf(needle);
                if (at >= 0)
                    return QString::fromUtf8(line.mid(at + 1, line.indexOf('"', at + 1) - at - 1));
            }
            QThread::msleep(100);
        }
        return QString();
    }

    QTemporaryDir Dir;
    int Port = 0;
    QString Root, Base;
};

TEST_F(TranslatorTest, Defaults) {
    TKvMSTranslator t;
    EXPECT_EQ(t.BingAppId(), "A1F05C93B7E2D4486C0F3A9E51B27D8C40E6F913");
    EXPECT_EQ(t.Agent(), "Norvalith Tracker");
    EXPECT_EQ(t.Service(), isHTTP);
    EXPECT_EQ(t.Port(), 443);
    EXPECT_TRUE(t.Host().startsWith("http://") && t.Host().endsWith("/v2/Http.svc"))
        << t.Host().toStdString();
    EXPECT_TRUE(t.Execute());
    EXPECT_EQ(t.Status(), isFinished);
}

// Every inserted value is percent-encoded whole; the templates stay as they are.
TEST_F(TranslatorTest, RequestAddresses) {
    TKvMSTranslator t;
    t.SetHost(QStringLiteral("http://h/v2/Http.svc"));
    t.SetBingAppId(QStringLiteral("ID"));
    struct Case {
        QString Template;
        QStringList Values;
        const char* Expected;
    } cases[] = {
        {"/Translate?appId=%1&text=%2&from=%3&to=%4",
         {"ID", "Hello", "en", "de"},
         "http://h/v2/Http.svc/Translate?appId=ID&text=Hello&from=en&to=de"},
        {"/Detect?appId=%1&text=%2", {"ID", "a&b"}, "http://h/v2/Http.svc/Detect?appId=ID&text=a%26b"},
        {"/Detect?appId=%1&text=%2",
         {"ID", "a b#c+d=e/f?%"},
         "http://h/v2/Http.svc/Detect?appId=ID&text=a%20b%23c%2Bd%3De%2Ff%3F%25"},
        {"/Detect?appId=%1&text=%2",
         {"I&D", QString::fromUtf8("Soci\xC3\xA9t\xC3\xA9 -._~")},
         "http://h/v2/Http.svc/Detect?appId=I%26D&text=Soci%C3%A9t%C3%A9%20-._~"},
        {"/Detect?appId=%1&text=%2", {"ID", "%2"}, "http://h/v2/Http.svc/Detect?appId=ID&text=%252"},
    };
    for (const Case& c : cases)
        EXPECT_EQ(t.RequestAddress(c.Template, c.Values), QString::fromLatin1(c.Expected));
}

// The five methods against canned answers, and the addresses as they reached the server.
TEST_F(TranslatorTest, MethodsAgainstCannedAnswers) {
    Serve("Translate", "<string xmlns=\"http://schemas.example/\">Hallo Welt</string>");
    Serve("Detect", "<?xml version=\"1.0\" encoding=\"utf-8\"?><string>de</string>");
    Serve("GetLanguagesForTranslate", "\xEF\xBB\xBF<ArrayOfstring><string>de</string><!-- c -->"
                                      "<string>en</string><string>fr</string></ArrayOfstring>");
    Serve("GetLanguagesForSpeak", "<ArrayOfstring><string>en</string></ArrayOfstring>");
    const QByteArray audio("RIFF\0\0\0\0WAVE\xFF\x00\x01", 15);
    Serve("Speak", audio);
    TKvMSTranslator t;
    Local(t);
    EXPECT_EQ(t.TranslateText(QStringLiteral("a b&c"), QStringLiteral("en"), QStringLiteral("de")),
              "Hallo Welt");
    EXPECT_EQ(t.LastError(), "");
    EXPECT_EQ(
        Logged("/Translate").toStdString(),
        QString("GET " + Base + "/Translate?appId=APP&text=a%20b%26c&from=en&to=de HTTP/1.1").toStdString());
    EXPECT_EQ(t.DetectLanguage(QStringLiteral("x#y")), "de");
    EXPECT_EQ(Logged("/Detect").toStdString(),
              QString("GET " + Base + "/Detect?appId=APP&text=x%23y HTTP/1.1").toStdString());
    TStringList list;
    list.Add(QStringLiteral("old"));
    t.GetLanguagesForTranslate(&list);
    EXPECT_EQ(list.Text(), "de\r\nen\r\nfr\r\n");
    t.GetLanguagesForSpeak(&list);
    EXPECT_EQ(list.Text(), "en\r\n");
    const QString out = Dir.filePath(QStringLiteral("speech.wav"));
    t.SpeakText(QStringLiteral("en"), out, QStringLiteral("hi"));
    EXPECT_EQ(t.LastError(), "");
    EXPECT_EQ(ReadFile(out), audio);
    EXPECT_EQ(Logged("/Speak").toStdString(),
              QString("GET " + Base + "/Speak?appId=APP&text=hi&language=en HTTP/1.1").toStdString());
}

// Values are decoded by what the answer declares, as UTF-8 when it declares nothing, once, and before
// the entities.
TEST_F(TranslatorTest, AnswerDecoding) {
    struct Case {
        const char* Name;
        QByteArray Answer;
        QString Expected;
    } cases[] = {
        {"plain bytes", "<string>Gr\xC3\xBC&#176;</string>", QString::fromUtf8("Gr\xC3\xBC\xC2\xB0")},
        {"declared utf-8", "<?xml version=\"1.0\" encoding=\"utf-8\"?><string>Gr\xC3\xBC&#176;</string>",
         QString::fromUtf8("Gr\xC3\xBC\xC2\xB0")},
        {"byte-order mark", "\xEF\xBB\xBF<string>Gr\xC3\xBC&#176;</string>",
         QString::fromUtf8("Gr\xC3\xBC\xC2\xB0")},
        {"declared ISO-8859-1", "<?xml version=\"1.0\" encoding=\"ISO-8859-1\"?><string>Z\xFCrich</string>",
         QString::fromUtf8("Zürich")},
        {"declared ISO-8859-2", "<?xml version='1.0' encoding='iso-8859-2'?><string>\xA9</string>",
         QString::fromUtf8("Š")},
        {"declaration, comment", "<?xml version=\"1.0\"?><!-- note --><string>x</string>", "x"},
        {"one entity pass", "<string>Gr&amp;uuml;</string>", "Gr&uuml;"},
        {"broken byte",
         "<string>a\xFF"
         "b</string>",
         QString::fromUtf8("a\xEF\xBF\xBD"
                           "b")},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.Name);
        Serve("Translate", c.Answer);
        TKvMSTranslator t;
        Local(t);
        EXPECT_EQ(t.TranslateText(QStringLiteral("x"), QStringLiteral("en"), QStringLiteral("de")),
                  c.Expected);
        EXPECT_EQ(t.LastError(), "");
    }
}

// No complete 2xx answer: "" or an empty list, and LastError says why, per call.
TEST_F(TranslatorTest, FailuresGiveNothing) {
    const QByteArray body = "<string>Fehlerseite</string>";
    struct Case {
        const char* Name;
        QJsonObject Script;
        int MaxTime;
        const char* Error;
    } cases[] = {
        {"error status", Script::HttpReply("HTTP/1.0 400 Bad Request\r\nContent-Length: 28\r\n\r\n" + body),
         0, "400"},
        {"cut", Script::HttpReply("HTTP/1.0 200 OK\r\nContent-Length: 100\r\n\r\n" + body), 0, ""},
        {"oversized",
         Script::HttpReply("HTTP/1.0 200 OK\r\n\r\n<string>" + QByteArray(3000, 'x') + "</string>"), 0,
         "larger than 1000"},
        // A well-formed answer, sent a byte at a time within the idle limit: only the call's limit stops it.
        {"dripping",
         Script::Steps(
             {Script::ReadRequest(),
              Script::Send("HTTP/1.0 200 OK\r\nContent-Length: 40\r\n\r\n<s>" + QByteArray(33, 'x') + "</s>",
                           40, 250)}),
         1, ""},
        {"no XML", Script::HttpReply("HTTP/1.0 200 OK\r\nContent-Length: 5\r\n\r\nhello"), 0, "no XML"},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.Name);
        ScriptedSession peer(c.Script);
        TKvMSTranslator t;
        t.SetHost(QStringLiteral("http://127.0.0.1:%1/v2/Http.svc").arg(peer.Port()));
        t.SetMaxReplySize(1000);
        t.SetTotalTimeout(c.MaxTime);
        t.SetTimeout(5);
        EXPECT_EQ(t.TranslateText(QStringLiteral("x"), QStringLiteral("en"), QStringLiteral("de")), "");
        EXPECT_TRUE(!t.LastError().isEmpty() && t.LastError().contains(QString::fromLatin1(c.Error)))
            << t.LastError().toStdString();
    }
    // The list is emptied, and stays empty, when the answer is an error.
    ScriptedSession peer(Script::HttpReply("HTTP/1.0 404 Not Found\r\nContent-Length: 28\r\n\r\n" + body));
    TKvMSTranslator t;
    t.SetHost(QStringLiteral("http://127.0.0.1:%1").arg(peer.Port()));
    TStringList list;
    list.Add(QStringLiteral("old"));
    t.GetLanguagesForTranslate(&list);
    EXPECT_EQ(list.Count(), 0);
    EXPECT_TRUE(t.LastError().contains("404"));
    // A later call that goes through clears LastError.
    Serve("Detect", "<string>en</string>");
    Local(t);
    EXPECT_EQ(t.DetectLanguage(QStringLiteral("x")), "en");
    EXPECT_EQ(t.LastError(), "");
}

TEST_F(TranslatorTest, NoListNoRequest) {
    ScriptedSession peer(Script::HttpReply("HTTP/1.0 200 OK\r\n\r\n<a><b>x</b></a>"));
    TKvMSTranslator t;
    t.SetHost(QStringLiteral("http://127.0.0.1:%1").arg(peer.Port()));
    t.GetLanguagesForSpeak(nullptr);
    t.GetLanguagesForTranslate(nullptr);
    QThread::msleep(200);
    EXPECT_EQ(peer.Connections(), 0);
}

// Speech replaces the file only when it came whole with a 2xx status.
TEST_F(TranslatorTest, SpeechKeepsTheOldFileOnFailure) {
    const QString existing = Dir.filePath(QStringLiteral("old.wav"));
    const QString fresh = Dir.filePath(QStringLiteral("new.wav"));
    struct Case {
        const char* Name;
        QJsonObject Script;
    } cases[] = {
        {"error status", Script::HttpReply("HTTP/1.0 500 Oops\r\nContent-Length: 5\r\n\r\nerror")},
        {"cut", Script::HttpReply("HTTP/1.0 200 OK\r\nContent-Length: 50\r\n\r\nRIFF")},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.Name);
        WriteFile(existing, "old audio");
        QFile::remove(fresh);
        ScriptedSession peer(c.Script); // for every connection
        TKvMSTranslator t;
        t.SetHost(QStringLiteral("http://127.0.0.1:%1").arg(peer.Port()));
        t.SetTimeout(5);
        t.SpeakText(QStringLiteral("en"), existing, QStringLiteral("hi"));
        EXPECT_FALSE(t.LastError().isEmpty());
        EXPECT_EQ(ReadFile(existing), "old audio");
        t.SpeakText(QStringLiteral("en"), fresh, QStringLiteral("hi"));
        EXPECT_FALSE(t.LastError().isEmpty());
        EXPECT_TRUE(QFileInfo(fresh).isFile());
        EXPECT_EQ(QFileInfo(fresh).size(), 0);
        EXPECT_EQ(QDir(Dir.path()).entryList(QDir::Files).size(), 2) << "a part file was left behind";
    }
    // A file that can't be created: the framework's error, before anything is asked.
    ScriptedSession peer(Script::HttpReply("HTTP/1.0 200 OK\r\n\r\nRIFF"));
    TKvMSTranslator t;
    t.SetHost(QStringLiteral("http://127.0.0.1:%1").arg(peer.Port()));
    EXPECT_THROW(t.SpeakText(QStringLiteral("en"), Dir.filePath(QStringLiteral("no/such/dir/x.wav")),
                             QStringLiteral("hi")),
                 EFCreateError);
    QThread::msleep(200);
    EXPECT_EQ(peer.Connections(), 0);
}

// The commands: output, exit 1 with the reason, the old file kept, usage errors.
TEST_F(TranslatorTest, Commands) {
    Serve("Translate", "<string>Gr\xC3\xBC\xC3\x9F"
                       "e</string>");
    Serve("GetLanguagesForSpeak", "<ArrayOfstring><string>de</string><string>en</string></ArrayOfstring>");
    const QStringList host = {QStringLiteral("--host"), Host()};
    ProcessResult r = Kvinet(QStringList{"translate", "Hello", "--from", "en", "--to", "de"} + host);
    EXPECT_EQ(r.ExitCode, 0) << r.Err.toStdString();
    EXPECT_EQ(r.Out, "Gr\xC3\xBC\xC3\x9F"
                     "e\n");
    r = Kvinet(QStringList{"languages", "--speak"} + host);
    EXPECT_EQ(r.ExitCode, 0) << r.Err.toStdString();
    EXPECT_EQ(r.Out, "de\nen\n");
    r = Kvinet(QStringList{"detect", "Hallo"} + host); // no such file: 404
    EXPECT_EQ(r.ExitCode, 1);
    EXPECT_TRUE(r.Err.contains("404")) << r.Err.toStdString();
    const QString out = Dir.filePath(QStringLiteral("keep.wav"));
    WriteFile(out, "old audio");
    r = Kvinet(QStringList{"speak", "Hallo", "--language", "de", "--out", out} + host);
    EXPECT_EQ(r.ExitCode, 1);
    EXPECT_EQ(ReadFile(out), "old audio");
    EXPECT_EQ(Kvinet(QStringList{"translate", "Hello", "--from", "en"} + host).ExitCode, 2);
    EXPECT_EQ(Kvinet(QStringList{"detect", "x", "--port", "80"} + host).ExitCode, 2);
    EXPECT_EQ(Kvinet(QStringList{"speak", "x", "--language", "de", "--out", out, "--max-size", "9"}).ExitCode,
              2);
}

} // namespace

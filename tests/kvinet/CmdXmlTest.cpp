// test-servers: scripted
// Tests of "kvinet xml": the printed tree, --find, and how the command fails. Also what the commands of the
// XML services print of a hostile or failed answer.
#include "support/CommandCases.h"

#include <QTemporaryDir>

using KvTest::Kvinet;
using namespace KvTest;

namespace {

QString WriteDoc(const QTemporaryDir& Dir, const QByteArray& Bytes) {
    const QString path = Dir.filePath(QStringLiteral("doc.xml"));
    KvTest::WriteFile(path, Bytes);
    return path;
}

} // namespace

TEST(XmlTool, PrintsTheTree) {
    QTemporaryDir dir;
    const QString path =
        WriteDoc(dir, "<?xml version=\"1.0\" encoding=\"utf-8\"?>\n"
                      "<feed a=\"1\"><!-- note -->\n"
                      "  <title>Fish &amp; Chips\tcaf\xC3\xA9</title><path>C:\\tmp\r\n</path><empty/>"
                      "</feed>");
    const auto r = Kvinet({QStringLiteral("xml"), path});
    EXPECT_EQ(r.ExitCode, 0) << r.Err.constData();
    EXPECT_EQ(r.Out, QByteArray("?xml = \\n\n"
                                "  version [attribute] = 1.0\n"
                                "  encoding [attribute] = utf-8\n"
                                "  feed\n"
                                "    Comment [comment] =  note \n"
                                "    title = Fish & Chips\\tcaf\xC3\xA9\n"
                                "    path = C:\\\\tmp\\r\\n\n"
                                "    empty\n"));
}

TEST(XmlTool, AttributesCommentsAroundTheRootAndBrokenUtf8) {
    QTemporaryDir dir;
    const QString path = WriteDoc(dir, "<?xml version=\"1.0\" encoding=\"utf-8\"?>\n"
                                       "<!-- licence -->\n<list n=\"2\"><i id='a b' x=\"1\">bad \xFF here</i>"
                                       "<i/></list>\n<!-- generated -->\n");
    auto r = Kvinet({QStringLiteral("xml"), path});
    EXPECT_EQ(r.ExitCode, 0) << r.Err.constData();
    const QByteArray plain = "?xml = \\n\n"
                             "  version [attribute] = 1.0\n"
                             "  encoding [attribute] = utf-8\n"
                             "  Comment [comment] =  licence \n"
                             "  list\n"
                             "    i = bad \xEF\xBF\xBD here\n"
                             "    i\n"
                             "  Comment [comment] =  generated \n";
    EXPECT_EQ(r.Out, plain);
    // Each element's attributes come right under it, before its other children.
    r = Kvinet({QStringLiteral("xml"), path, QStringLiteral("--attributes")});
    EXPECT_EQ(r.ExitCode, 0) << r.Err.constData();
    EXPECT_EQ(r.Out, QByteArray("?xml = \\n\n"
                                "  version [attribute] = 1.0\n"
                                "  encoding [attribute] = utf-8\n"
                                "  Comment [comment] =  licence \n"
                                "  list\n"
                                "    n [attribute] = 2\n"
                                "    i = bad \xEF\xBF\xBD here\n"
                                "      id [attribute] = a b\n"
                                "      x [attribute] = 1\n"
                                "    i\n"
                                "  Comment [comment] =  generated \n"));
    // Under a declaration the comments are the declaration's children; without one, the comments around
    // the root are left out and the root keeps its name.
    const QString bare = WriteDoc(dir, "<!-- licence --><r a=\"1\">x</r><!-- end -->");
    r = Kvinet({QStringLiteral("xml"), bare, QStringLiteral("--attributes")});
    EXPECT_EQ(r.Out, QByteArray("r = x\n  a [attribute] = 1\n"));
}

// Without a declaration the values are UTF-8, the default of XML, not a character per byte.
TEST(XmlTool, UndeclaredTextIsReadAsUtf8) {
    QTemporaryDir dir;
    const QString path = WriteDoc(dir, "<r a=\"\xC3\xA9\">Z\xC3\xBCrich \xFF</r>");
    const auto r = Kvinet({QStringLiteral("xml"), path, QStringLiteral("--attributes")});
    EXPECT_EQ(r.ExitCode, 0) << r.Err.constData();
    EXPECT_EQ(r.Out, QByteArray("r = Z\xC3\xBCrich \xEF\xBF\xBD\n  a [attribute] = \xC3\xA9\n"));
}

TEST(XmlTool, FindPrintsOneSubtree) {
    QTemporaryDir dir;
    const QString path = WriteDoc(dir, "<r><a><b>1</b><c x=\"y\"/></a><B>2</B></r>");
    auto r = Kvinet({QStringLiteral("xml"), path, QStringLiteral("--find"), QStringLiteral("A")});
    EXPECT_EQ(r.ExitCode, 0);
    EXPECT_EQ(r.Out, QByteArray("  a\n    b = 1\n    c\n"));
    r = Kvinet({QStringLiteral("xml"), path, QStringLiteral("--find"), QStringLiteral("b")});
    EXPECT_EQ(r.Out, QByteArray("    b = 1\n")) << "the first match, ignoring case";
    r = Kvinet({QStringLiteral("xml"), path, QStringLiteral("--find"), QStringLiteral("nothing")});
    EXPECT_EQ(r.ExitCode, 1);
    EXPECT_TRUE(r.Out.isEmpty());
}

TEST(XmlTool, DeepAndMalformedDocuments) {
    QTemporaryDir dir;
    constexpr int depth = 200000;
    QByteArray deep;
    for (int i = 0; i < depth; ++i)
        deep += "<d>";
    deep += "<leaf>x</leaf>";
    const QString path = WriteDoc(dir, deep);
    const auto r = Kvinet({QStringLiteral("xml"), path, QStringLiteral("--find"), QStringLiteral("leaf")});
    EXPECT_EQ(r.ExitCode, 0) << r.Err.constData();
    // Indentation stops at 64 levels: deeper items say their depth instead.
    EXPECT_EQ(r.Out, QByteArray(2 * 64, ' ') + "[depth " + QByteArray::number(depth) + "] leaf = x\n");
    const auto all = Kvinet({QStringLiteral("xml"), path});
    EXPECT_EQ(all.ExitCode, 0);
    EXPECT_LT(all.Out.size(), qsizetype(depth) * 200); // linear in the depth, not quadratic
    EXPECT_TRUE(all.Out.contains(QByteArray(2 * 64, ' ') + "d\n"));
    EXPECT_TRUE(all.Out.contains(QByteArray(2 * 64, ' ') + "[depth 65] d\n"));

    const QString bad = dir.filePath(QStringLiteral("bad.xml"));
    KvTest::WriteFile(bad, QByteArray("\x00<<</>/><a b=\"<!--", 18));
    EXPECT_EQ(Kvinet({QStringLiteral("xml"), bad}).ExitCode, 0);
}

TEST(XmlTool, Failures) {
    QTemporaryDir dir;
    const auto missing = Kvinet({QStringLiteral("xml"), dir.filePath(QStringLiteral("missing.xml"))});
    EXPECT_EQ(missing.ExitCode, 1);
    EXPECT_TRUE(missing.Err.contains("missing.xml"));
    EXPECT_EQ(Kvinet({QStringLiteral("xml")}).ExitCode, 2);
    EXPECT_EQ(Kvinet({QStringLiteral("xml"), QStringLiteral("a"), QStringLiteral("b")}).ExitCode, 2);
}

namespace {

QByteArray Reply(const char* Status, const QByteArray& Body, qsizetype Length = -1) {
    return "HTTP/1.1 " + QByteArray(Status) +
           "\r\nContent-Length: " + QByteArray::number(Length < 0 ? Body.size() : Length) +
           "\r\nConnection: close\r\n\r\n" + Body;
}

/// A stand-in of the tracking service: reads the whole request, then sends Bytes.
QJsonObject Tracker(const QByteArray& Bytes) {
    return Script::Steps({Script::ReadUntil("</TrackRequest>"), Script::Send(Bytes)});
}

} // namespace

// The services' commands print only what they stand behind: a value can't forge a line or reach the
// terminal as a control sequence, and a failed exchange prints nothing on stdout.
TEST(XmlServiceCommands, HostileAndFailedAnswers) {
    const QByteArray forged =
        "<TrackResponse><Shipment><ShipTo><Address><City>Lyon&#xa;pickup: "
        "2099-01-01</City></Address></ShipTo>"
        "</Shipment><Package><Activity><Status><StatusType><Description>DELIVERED\x1b[2J\rok</Description>"
        "</StatusType></Status></Activity></Package></TrackResponse>";
    const QByteArray good =
        "<TrackResponse><Shipment><ShipmentIdentificationNumber>1Z</ShipmentIdentificationNumber>"
        "</Shipment></TrackResponse>";
    const QStringList ups = {"ups", "NUM", "--http", "--host", "127.0.0.1", "--port", "PORT"};
    const QStringList translate = {"translate", "x",  "--from", "en",
                                   "--to",      "de", "--host", "http://127.0.0.1:PORT/v2/Http.svc"};
    const QStringList languages = {"languages", "--host", "http://127.0.0.1:PORT/v2/Http.svc"};
    RunCommandCases({
        {.What = "ups, forged lines and a terminal sequence",
         .Args = ups,
         .Script = Tracker(Reply("200 OK", forged)),
         .Out =
             Exactly("shipment:\nshipper:\nship-to: Lyon\\npickup: 2099-01-01\npickup:\nservice:\nweight:\n"
                     "-\tDELIVERED\\x1b[2J\\rok\t\n")},
        {.What = "ups, error status",
         .Args = ups,
         .Script = Tracker(Reply("500 Internal Server Error", good)),
         .Exit = 1,
         .Err = Contains("500")},
        {.What = "ups --raw, error status",
         .Args = ups + QStringList{"--raw"},
         .Script = Tracker(Reply("500 Internal Server Error", good)),
         .Exit = 1,
         .Err = Contains("500")},
        {.What = "ups, cut answer",
         .Args = ups,
         .Script = Tracker(Reply("200 OK", good, good.size() + 100)),
         .Exit = 1,
         .Err = Contains("kvinet ups: ")},
        {.What = "ups, oversized answer",
         .Args = ups + QStringList{"--max-size", "20"},
         .Script = Tracker(Reply("200 OK", good)),
         .Exit = 1,
         .Err = Contains("larger than 20")},
        {.What = "translate, forged line and a terminal title",
         .Args = translate,
         .Script = Script::HttpReply(
             Reply("200 OK", "<string>Hallo\nerror: x\x1b]0;t\x07 \xE2\x80\xAEtxt.exe\xE2\x80\xA9</string>")),
         .Out = Exactly("Hallo\\nerror: x\\x1b]0;t\\x07 \\u202etxt.exe\\u2029\n")},
        {.What = "languages, a code with a carriage return",
         .Args = languages,
         .Script = Script::HttpReply(Reply("200 OK", "<a><string>de\rxx</string><string>en</string></a>")),
         .Out = Exactly("de\\rxx\nen\n")},
        {.What = "translate, error status",
         .Args = translate,
         .Script = Script::HttpReply(Reply("500 Oops", "<string>Fehler</string>")),
         .Exit = 1,
         .Err = Contains("500")},
        {.What = "translate, cut answer",
         .Args = translate,
         .Script = Script::HttpReply(Reply("200 OK", "<string>Hallo</string>", 100)),
         .Exit = 1,
         .Err = Contains("kvinet translate: ")},
    });
}

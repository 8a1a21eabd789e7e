// Tests of "kvinet xml": the printed tree, --find, and how the command fails.
#include "support/TestSupport.h"

#include <QTemporaryDir>

using KvTest::Kvinet;

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

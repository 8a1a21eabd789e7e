// kvinet components and kvinet form: the palette lines, a form printed back exactly as stored (and stable
// when printed again), one component run from a form, and broken forms refused with their line.
#include "support/TestSupport.h"

#include "design/KvClassTable.h"

#include <QTemporaryDir>

using KvTest::Kvinet;

namespace {

QString WriteFile(const QTemporaryDir& Dir, const QString& Name, const QByteArray& Text) {
    const QString path = Dir.filePath(Name);
    QFile file(path);
    EXPECT_TRUE(file.open(QIODevice::WriteOnly));
    file.write(Text);
    return path;
}

TEST(KvinetComponents, OneLinePerPaletteClassInOrder) {
    const auto r = Kvinet({"components"});
    ASSERT_EQ(r.ExitCode, 0) << r.Err.constData();
    const QList<QByteArray> lines = r.Out.trimmed().split('\n');
    qsizetype onPalette = 0;
    for (const KvInet::TComponentClass& c : KvInet::KvInetClasses())
        onPalette += c.Page.isEmpty() ? 0 : 1;
    ASSERT_EQ(lines.size(), onPalette);
    EXPECT_EQ(lines.first(), "Kv-Internet\t1\tTKvWhoIs\ticon");
    EXPECT_TRUE(r.Out.contains("\tTKvIRSSParser\tdefault\n"));
    EXPECT_TRUE(r.Out.contains("\tTKvInetSNTP\tdefault\n"));
    EXPECT_FALSE(r.Out.contains("TKvIDNSResolver"));
}

TEST(KvinetForm, PrintsTheStoredFormBackStably) {
    QTemporaryDir dir;
    const QByteArray form = "object Tour1: TKvXMLEngine\n"
                            "  object Updater1: TKvWebUpdater\n"
                            "    Agent = 'Norvalith WebUpdater'\n"
                            "    Port = 8443\n"
                            "    Service = isHTTPS\n"
                            "    Host = 'downloads.example.com'\n"
                            "    Proxy.UseProxy = False\n"
                            "    RemoteFileName = '/tool/latest.zip'\n"
                            "  end\n"
                            "  object Dns1: TKvIDNSResolver\n"
                            "    Port = 53\n"
                            "    KeepConnection = False\n"
                            "    Proxy.UseProxy = False\n"
                            "    Requests = [irA, irMX]\n"
                            "  end\n"
                            "end\n";
    auto r = Kvinet({"form", WriteFile(dir, "tour.kvf", form)});
    ASSERT_EQ(r.ExitCode, 0) << r.Err.constData();
    EXPECT_EQ(r.Out, form);
}

TEST(KvinetForm, RunsOneComponent) {
    QTemporaryDir dir;
    WriteFile(dir, "a.txt", "x");
    const QByteArray form = "object Files1: TKvRemoteFiles\n  Service = isNetwork\n  Directory = '" +
                            dir.path().toUtf8() + "'\n  WildCard = '*.txt'\nend\n";
    const auto r = Kvinet({"form", WriteFile(dir, "files.kvf", form), "--execute", "Files1"});
    EXPECT_EQ(r.ExitCode, 0) << r.Err.constData();
    EXPECT_EQ(r.Out, dir.filePath("a.txt").toUtf8() + "\nfinished\n");
    EXPECT_EQ(Kvinet({"form", dir.filePath("files.kvf"), "--execute", "Nobody"}).ExitCode, 2);
}

TEST(KvinetForm, RefusesBrokenFormsWithTheLine) {
    QTemporaryDir dir;
    const auto r =
        Kvinet({"form", WriteFile(dir, "bad.kvf", "object W1: TKvWhoIs\n  Port = 43\n  Hots = 'x'\nend\n")});
    EXPECT_EQ(r.ExitCode, 1);
    EXPECT_EQ(r.Err, "kvinet form: Line 3: unknown property Hots of TKvWhoIs\n");
    EXPECT_TRUE(r.Out.isEmpty());
    EXPECT_EQ(Kvinet({"form", dir.filePath("missing.kvf")}).ExitCode, 1);
}

} // namespace

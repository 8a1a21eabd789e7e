// test-servers: nginx ftp vsftpd
// The remote directory lister against pyftpdlib and vsftpd (the root, a tree, names without a dot, a
// directory the server refuses), local trees with a link loop, and kvinet ls.
#include "web/kvidir.h"

#include "platform/Forms.h"
#include "support/TestSupport.h"

#include <QDir>
#include <QFile>
#include <QMetaProperty>
#include <QTemporaryDir>

#include <sys/stat.h>

#include <algorithm>

using namespace KvInet;
using namespace KvTest;

namespace {

/// The tree listed in every test, below Root: files with and without a dot, two levels of subdirectories.
void MakeTree(const QString& Root) {
    for (const char* f : {"a.txt", "noext", "s1/x.txt", "s1/s3/z", "s2/y.dat"})
        WriteFile(Root + u'/' + QLatin1String(f), "x\n");
    // The FTP servers read the tree as other users.
    for (const char* d : {"", "/s1", "/s1/s3", "/s2"})
        ::chmod(QFile::encodeName(Root + QLatin1String(d)).constData(), 0755);
    for (const char* f : {"a.txt", "noext", "s1/x.txt", "s1/s3/z", "s2/y.dat"})
        ::chmod(QFile::encodeName(Root + u'/' + QLatin1String(f)).constData(), 0644);
}

/// Each directory's entries form one block, which comes after the line that names the directory: the
/// order of an FTP walk (a level whole, then its subdirectories).
void ExpectLevelOrder(const QStringList& Lines) {
    QStringList blocks; // the parent of each block, in order
    for (const QString& line : Lines) {
        const QString parent = line.section(u'/', 0, -2);
        if (blocks.isEmpty() || blocks.last() != parent) {
            EXPECT_FALSE(blocks.contains(parent)) << "entries of " << parent.toStdString() << " are split";
            blocks << parent;
        }
        EXPECT_GT(Lines.indexOf(line), Lines.indexOf(parent)) << line.toStdString();
    }
}

class RemoteFilesTest : public ::testing::Test {
protected:
    void SetUp() override { ASSERT_TRUE(Dir.isValid()); }
    void TearDown() override { SetMessageDlgHandler(nullptr); }
    void Ftp(TKvRemoteFiles& C, const char* Server) {
        C.SetService(isFTP);
        C.SetHost(QStringLiteral("127.0.0.1"));
        C.SetPort(ServerPort(Server, Server == QLatin1String("ftp") ? "KV_FTP_PORT" : "KV_VSFTPD_PORT"));
    }
    static QString FtpRoot(const char* Server) {
        return ServerEnv(Server, Server == QLatin1String("ftp") ? "KV_FTP_ROOT" : "KV_VSFTPD_ROOT");
    }
    /// Records the messages shown, with their kind.
    void RecordMessages() {
        SetMessageDlgHandler([this](TMsgDlgType Type, const QString& Text, unsigned) {
            Messages << Text;
            Errors += Type == mtError;
            return int(mrOk);
        });
    }
    QTemporaryDir Dir;
    QStringList Messages;
    int Errors = 0;
};

TEST(RemoteFiles, NewComponent) {
    TKvRemoteFiles c;
    EXPECT_EQ(c.WildCard(), "*.*");
    EXPECT_FALSE(c.SubFolders());
    EXPECT_TRUE(c.Directory().isEmpty());
    EXPECT_EQ(c.FileList()->Count(), 0);
    EXPECT_EQ(c.Service(), isHTTP);
    // "*.*" is written with the form although it is the initial value.
    const QMetaObject* meta = c.metaObject();
    EXPECT_TRUE(meta->property(meta->indexOfProperty("WildCard")).isStored());
}

TEST_F(RemoteFilesTest, FtpListingsOnBothServers) {
    const QStringList tree = {"/kvidir/a.txt", "/kvidir/noext",    "/kvidir/s1",      "/kvidir/s2",
                              "/kvidir/s1/s3", "/kvidir/s1/x.txt", "/kvidir/s1/s3/z", "/kvidir/s2/y.dat"};
    for (const char* server : {"ftp", "vsftpd"}) {
        SCOPED_TRACE(server);
        MakeTree(FtpRoot(server) + "/kvidir");
        RecordMessages();
        Errors = 0;
        TKvRemoteFiles c;
        Ftp(c, server);

        // The root, current directory of both servers: bare names.
        EXPECT_TRUE(c.Execute());
        EXPECT_EQ(c.Status(), isFinished) << c.LastError().toStdString();
        EXPECT_TRUE(c.FileList()->ToStringList().contains("readme.txt"));
        EXPECT_TRUE(c.FileList()->ToStringList().contains("kvidir"));
        for (const QString& line : c.FileList()->ToStringList())
            EXPECT_FALSE(line.contains(u'/')) << line.toStdString();

        // A tree: every name (with a dot or not), each level whole before its subdirectories.
        c.SetDirectory(QStringLiteral("/kvidir"));
        c.SetSubFolders(true);
        EXPECT_TRUE(c.Execute());
        EXPECT_EQ(c.Status(), isFinished) << c.LastError().toStdString();
        QStringList lines = c.FileList()->ToStringList();
        ExpectLevelOrder(lines);
        lines.sort();
        QStringList expected = tree;
        expected.sort();
        EXPECT_EQ(lines, expected);
        // A second run starts from an empty list.
        EXPECT_TRUE(c.Execute());
        EXPECT_EQ(c.FileList()->Count(), tree.size());

        // The pattern filters directories too: s1 and s2 don't match, so they are not entered.
        c.SetWildCard(QStringLiteral("*.txt"));
        EXPECT_TRUE(c.Execute());
        EXPECT_EQ(c.FileList()->ToStringList(), QStringList({"/kvidir/a.txt"}));

        // A directory that isn't there: nothing found, the reason named.
        c.SetWildCard(QStringLiteral("*.*"));
        c.SetDirectory(QStringLiteral("/kvidir/none"));
        EXPECT_TRUE(c.Execute());
        EXPECT_EQ(c.Status(), isNotFound);
        EXPECT_TRUE(c.LastError().contains("/kvidir/none")) << c.LastError().toStdString();
        EXPECT_EQ(Errors, 1);
        EXPECT_EQ(c.FileList()->Count(), 0);
    }
}

// vsftpd serves anonymous users as another user: a directory only root may enter is refused. The listing
// goes on, but it is incomplete: an error message (not an information inside the listing), a failed run,
// the directory named in LastError, the lines found kept.
TEST_F(RemoteFilesTest, RefusedDirectoryFailsTheRunAndIsNamed) {
    const QString root = FtpRoot("vsftpd") + "/kvclosed";
    MakeTree(root);
    WriteFile(root + "/s1/locked/inside.txt", "x\n");
    ASSERT_EQ(::chmod(QFile::encodeName(root + "/s1/locked").constData(), 0700), 0);
    RecordMessages();
    TKvRemoteFiles c;
    Ftp(c, "vsftpd");
    c.SetDirectory(QStringLiteral("/kvclosed"));
    c.SetSubFolders(true);
    EXPECT_FALSE(c.Execute());
    EXPECT_EQ(c.Status(), isFailed);
    EXPECT_TRUE(c.LastError().contains("/kvclosed/s1/locked")) << c.LastError().toStdString();
    ASSERT_EQ(Messages.size(), 1);
    EXPECT_EQ(Errors, 1);
    EXPECT_TRUE(c.FileList()->ToStringList().contains("/kvclosed/s1/locked"));
    EXPECT_TRUE(c.FileList()->ToStringList().contains("/kvclosed/s2/y.dat"));
    EXPECT_FALSE(c.FileList()->ToStringList().contains("/kvclosed/s1/locked/inside.txt"));
}

TEST_F(RemoteFilesTest, LocalTreeWithALinkLoop) {
    const QString root = Dir.filePath("tree");
    MakeTree(root);
    ASSERT_TRUE(QFile::link(root, root + "/s1/loop")); // back up: listed, never entered
    TKvRemoteFiles c;
    c.SetService(isNetwork);
    c.SetDirectory(root);
    c.SetSubFolders(true);
    EXPECT_TRUE(c.Execute());
    EXPECT_EQ(c.Status(), isFinished);
    // A subdirectory's line is followed at once by its own entries.
    QStringList expected;
    for (const char* l : {".", "..", "s1", "s1/.", "s1/..", "s1/loop", "s1/s3", "s1/s3/.", "s1/s3/..",
                          "s1/s3/z", "s1/x.txt", "s2", "s2/.", "s2/..", "s2/y.dat", "a.txt", "noext"})
        expected << root + u'/' + QLatin1String(l);
    EXPECT_EQ(c.FileList()->ToStringList(), expected);

    // Without subdirectories, and with an empty directory: bare names of the working directory.
    c.SetSubFolders(false);
    c.SetWildCard(QStringLiteral("*.dat"));
    c.SetDirectory(root + "/s2");
    EXPECT_TRUE(c.Execute());
    EXPECT_EQ(c.FileList()->ToStringList(), QStringList({root + "/s2/y.dat"}));
    const QString cwd = QDir::currentPath();
    ASSERT_TRUE(QDir::setCurrent(root + "/s2"));
    c.SetDirectory(QString());
    EXPECT_TRUE(c.Execute());
    QDir::setCurrent(cwd);
    EXPECT_EQ(c.FileList()->ToStringList(), QStringList({"y.dat"}));
}

TEST_F(RemoteFilesTest, NothingListed) {
    struct Case {
        const char* Name;
        TKvIService Service;
        QString Directory;
    } cases[] = {{"HTTP lists nothing", isHTTP, "/"},
                 {"a missing local directory", isNetwork, Dir.filePath("none")},
                 {"no match", isNetwork, Dir.path()}};
    for (const Case& k : cases) {
        SCOPED_TRACE(k.Name);
        TKvRemoteFiles c;
        c.SetService(k.Service);
        c.SetHost(QStringLiteral("127.0.0.1"));
        c.SetPort(ServerPort("nginx", "KV_NGINX_PORT"));
        c.SetDirectory(k.Directory);
        c.SetWildCard(QStringLiteral("*.none"));
        EXPECT_TRUE(c.Execute());
        EXPECT_EQ(c.Status(), isNotFound);
        EXPECT_EQ(c.FileList()->Count(), 0);
        EXPECT_FALSE(c.LastError().isEmpty());
    }
    // No server at all: failed.
    TKvRemoteFiles c;
    c.SetService(isFTP);
    c.SetHost(QStringLiteral("127.0.0.1"));
    c.SetPort(1);
    EXPECT_FALSE(c.Execute());
    EXPECT_EQ(c.Status(), isFailed);
    EXPECT_FALSE(c.LastError().isEmpty());
}

// kvinet ls: one entry a line, whatever the name holds; exit 1 with the reason when nothing is listed.
TEST_F(RemoteFilesTest, Command) {
    const QString root = Dir.filePath("odd");
    WriteFile(root + "/back\\slash", "");
    WriteFile(root + "/line\nbreak\x01", "");
    WriteFile(root + QString::fromUtf8("/caf\xC3\xA9"), "");
    ProcessResult r = Kvinet({"ls", root, "--wildcard", "*a*"});
    EXPECT_EQ(r.ExitCode, 0) << r.Err.constData();
    const QByteArray p = QFile::encodeName(root);
    EXPECT_EQ(r.Out, p + "/back\\\\slash\n" + p + "/caf\xC3\xA9\n" + p + "/line\\nbreak\\x01\n");

    const QString ftp = QStringLiteral("ftp://127.0.0.1:%1").arg(ServerPort("ftp", "KV_FTP_PORT"));
    MakeTree(FtpRoot("ftp") + "/kvidir");
    r = Kvinet({"ls", ftp + "/kvidir/s1", "--recursive"});
    EXPECT_EQ(r.ExitCode, 0) << r.Err.constData();
    QList<QByteArray> lines = r.Out.split('\n');
    std::sort(lines.begin(), lines.end());
    EXPECT_EQ(lines, QList<QByteArray>({"", "kvidir/s1/s3", "kvidir/s1/s3/z", "kvidir/s1/x.txt"}));

    r = Kvinet({"ls", ftp + "/kvidir/none"});
    EXPECT_EQ(r.ExitCode, 1);
    EXPECT_TRUE(r.Out.isEmpty());
    EXPECT_TRUE(r.Err.contains("kvidir/none")) << r.Err.constData();
    r = Kvinet({"ls", QStringLiteral("http://127.0.0.1:%1/").arg(ServerPort("nginx", "KV_NGINX_PORT"))});
    EXPECT_EQ(r.ExitCode, 1);
}

} // namespace

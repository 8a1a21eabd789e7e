// test-servers: nginx ftp vsftpd scripted
// The remote directory lister against pyftpdlib and vsftpd (the root, a tree, names without a dot, a
// directory the server refuses, an ordinary account's login folder), local trees with a link loop, and
// kvinet ls: listings that must not drop names or folders in silence (odd names, unreadable folders, FTP
// listings that fail, the line limit at a folder's line, an endless listing).
#include "web/kvidir.h"

#include "platform/Forms.h"
#include "support/CommandCases.h"
#include "support/TestSupport.h"

#include <QDir>
#include <QFile>
#include <QMetaProperty>
#include <QTemporaryDir>

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

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
    // A folder that is there but can't be read is no "nothing found": failed.
    WriteFile(Dir.filePath("file"), "");
    TKvRemoteFiles unreadable;
    unreadable.SetService(isNetwork);
    unreadable.SetDirectory(Dir.filePath("file") + "/sub");
    EXPECT_FALSE(unreadable.Execute());
    EXPECT_EQ(unreadable.Status(), isFailed);
    // No server at all: failed.
    TKvRemoteFiles c;
    c.SetService(isFTP);
    c.SetHost(QStringLiteral("127.0.0.1"));
    c.SetPort(1);
    EXPECT_FALSE(c.Execute());
    EXPECT_EQ(c.Status(), isFailed);
    EXPECT_FALSE(c.LastError().isEmpty());
}

/// Makes an empty file or (with a trailing "/") a directory by its bytes, which need not be UTF-8.
void Make(const QByteArray& Path) {
    if (Path.endsWith('/'))
        ASSERT_EQ(::mkdir(Path.constData(), 0755), 0) << Path.constData();
    else
        ASSERT_EQ(::close(::open(Path.constData(), O_CREAT | O_WRONLY, 0644)), 0) << Path.constData();
}

/// A scripted FTP server's control connection up to LIST of /d, passive data at DataPort; Then follows.
QJsonObject FtpControl(int DataPort, const QJsonArray& Then) {
    using namespace Script;
    QJsonArray steps = {Send("220 scripted\r\n"),
                        ReadLine(),
                        Send("331 password\r\n"),
                        ReadLine(),
                        Send("230 in\r\n"),
                        ReadLine(),
                        Send("257 \"/\"\r\n"),
                        ReadLine(),
                        Send("250 ok\r\n"),
                        ReadLine(),
                        Send("250 ok\r\n"),
                        ReadLine(),
                        Send(QByteArray("229 passive (|||") + QByteArray::number(DataPort) + "|)\r\n"),
                        ReadLine(),
                        Send("200 ok\r\n"),
                        ReadLine()};
    for (const QJsonValue& step : Then)
        steps.append(step);
    return Steps(steps);
}

// kvinet ls lists every entry, one a line, or says what it could not list (exit 1). Names that are not
// UTF-8 are shown escaped as the tool escapes (not escaped twice); a folder that can't be read, an FTP
// listing that fails after the folder was entered, the line limit reached at a folder's own line and an
// endless listing are failures with their reason.
TEST_F(RemoteFilesTest, ListingsNeverDropInSilence) {
    using namespace Script;
    const QByteArray odd = QFile::encodeName(Dir.filePath("odd"));
    for (const QByteArray& p : {odd + '/', odd + "/d\xff/", odd + "/d\xff/in.txt", odd + "/f\xfe.txt",
                                odd + "/b\\\xfd", odd + "/line\nbreak\x01", odd + "/back\\slash"})
        Make(p);
    const QByteArray through = QFile::encodeName(Dir.filePath("file")) + "/sub";
    Make(QFile::encodeName(Dir.filePath("file")));

    // A folder too deep to be named by its path (longer than the system allows): listed, not readable; its
    // name's CR is escaped in the message too.
    const QString deep = Dir.filePath("deep");
    const QByteArray part = '\r' + QByteArray(249, 'p');
    ASSERT_TRUE(QDir().mkpath(deep));
    int fd = ::open(QFile::encodeName(deep).constData(), O_RDONLY | O_DIRECTORY);
    for (int level = 0; level < 17 && fd >= 0; ++level) {
        ASSERT_EQ(::mkdirat(fd, part.constData(), 0755), 0);
        const int next = ::openat(fd, part.constData(), O_RDONLY | O_DIRECTORY);
        ::close(fd);
        fd = next;
    }
    ::close(fd);

    // 100,000 lines end at the line of folder b, which holds more: ., .., a, a/., a/.., 99,994 files, b. In
    // memory where the system offers it: that many files take long to make on a disk.
    QTemporaryDir memory(QStringLiteral("/dev/shm/kvidir-XXXXXX"));
    const QString wide = (memory.isValid() ? memory.path() : Dir.path()) + QStringLiteral("/wide");
    ASSERT_TRUE(QDir().mkpath(wide + "/a") && QDir().mkpath(wide + "/b"));
    WriteFile(wide + "/b/more", "");
    for (int i = 0; i < 99994; ++i)
        ::close(::open(QFile::encodeName(wide + QStringLiteral("/a/%1").arg(i)).constData(),
                       O_CREAT | O_WRONLY, 0644));

    // vsftpd shows names by their bytes.
    const QByteArray kvodd = QFile::encodeName(FtpRoot("vsftpd")) + "/kvodd";
    KvTest::Run(QStringLiteral("rm"),
                {QStringLiteral("-rf"), QFile::decodeName(kvodd)}); // names QDir can't see
    for (const QByteArray& p : {kvodd + '/', kvodd + "/a\nb", kvodd + "/back\\slash", kvodd + "/c\xff.txt",
                                kvodd + "/d\xfe/", kvodd + "/d\xfe/in"})
        Make(p);
    // vsftpd enters a folder its user may not read, and closes the empty listing with a success code.
    Make(kvodd + "/locked/");
    Make(kvodd + "/locked/in");
    ASSERT_EQ(::chmod((kvodd + "/locked").constData(), 0711), 0);

    // Scripted FTP servers: the data connection is a second peer, announced by the control one.
    const QByteArray entry = "-rw-r--r-- 1 u g 5 Jan 01 2020 first.txt\r\n";
    std::vector<std::unique_ptr<ScriptedSession>> peers;
    const auto ftp = [&peers](const QJsonObject& Data, const QJsonArray& Control) {
        peers.push_back(std::make_unique<ScriptedSession>(Data));
        peers.push_back(std::make_unique<ScriptedSession>(FtpControl(peers.back()->Port(), Control)));
        return peers.back()->Port();
    };
    const QString ftpD = QStringLiteral("ftp://127.0.0.1:PORT/d");

    RunCommandCases({
        {.What = "local names that are not UTF-8: escaped once, their folder entered",
         .Args = {"ls", QFile::decodeName(odd), "--recursive"},
         .Out = Exactly(odd + "/.\n" + odd + "/..\n" + odd + "/d\\xff\n" + odd + "/d\\xff/.\n" + odd +
                        "/d\\xff/..\n" + odd + "/d\\xff/in.txt\n" + odd + "/b\\\\\\xfd\n" + odd +
                        "/back\\\\slash\n" + odd + "/f\\xfe.txt\n" + odd + "/line\\nbreak\\x01\n")},
        {.What = "a top folder that can't be read says why",
         .Args = {"ls", QFile::decodeName(through)},
         .Exit = 1,
         .Err = Contains("Cannot list " + through + ": Not a directory")},
        {.What = "a subfolder that can't be read fails the run, the lines kept",
         .Args = {"ls", deep, "--recursive", "--wildcard", "?p*"},
         .Exit = 1,
         .Out = Contains(QFile::encodeName(deep) + "/\\r" + part.mid(1) + "/\\r" + part.mid(1) + '\n'),
         .Err = Contains("File name too long")},
        {.What = "the line limit reached at a folder's line is reported",
         .Args = {"ls", wide, "--recursive"},
         .Exit = 1,
         .Out = Matches(QStringLiteral("(?s).*/wide/b\\n")),
         .Err = Contains("more than 100000 lines")},
        {.What = "an FTP folder entered whose LIST is refused",
         .Args = {"ls", ftpD},
         .Port = ftp(Steps({ReadAll(3000)}), {Send("550 Cannot open the folder.\r\n"), ReadLine()}),
         .Exit = 1,
         .Err = Contains("Cannot list d:")},
        {.What = "an FTP listing whose data connection drops",
         .Args = {"ls", ftpD},
         .Port = ftp(Steps({Send(entry), Reset()}),
                     {Send("150 here\r\n"), Sleep(300), Send("426 Connection lost.\r\n"), ReadLine()}),
         .Exit = 1,
         .Err = Contains("Cannot list d:")},
        {.What = "an endless FTP listing stops at --max-size",
         .Args = {"ls", ftpD, "--max-size", "100000"},
         .Port = ftp(Steps({SendRepeated(entry, 2000000)}), {Send("150 here\r\n"), Hang()}),
         .Exit = 1,
         .Err = Contains("larger than 100000 bytes")},
        {.What = "FTP names with a line break or bytes that are not UTF-8",
         .Args = {"ls", "ftp://127.0.0.1:PORT/kvodd", "--recursive"},
         .Port = ServerPort("vsftpd", "KV_VSFTPD_PORT"),
         .Exit = 1,
         .Out = Exactly("kvodd/a\\nb\nkvodd/back\\\\slash\nkvodd/c\\xff.txt\nkvodd/d\\xfe\nkvodd/locked\n"),
         .Err = Contains("Cannot list kvodd/d\\xfe:")},
        {.What = "an FTP folder entered that the server can't read",
         .Args = {"ls", "ftp://127.0.0.1:PORT/kvodd/locked"},
         .Port = ServerPort("vsftpd", "KV_VSFTPD_PORT"),
         .Exit = 1,
         .Err = Contains("Cannot list kvodd/locked: The server did not list it: 226")},
    });
    KvTest::Run(QStringLiteral("rm"), {QStringLiteral("-rf"), QFile::decodeName(odd), deep}); // QDir can't
}

// vsftpd's ordinary account logs in to a folder of its own: a URL's path is taken from there (as the
// component takes a name without a leading "/"), "%2F" makes it absolute.
TEST_F(RemoteFilesTest, FtpPathsFromTheLoginFolder) {
    const QString home = ServerEnv("vsftpd", "KV_VSFTPD_HOME");
    const QString user =
        QStringLiteral("ftp://%1:%2@127.0.0.1:PORT")
            .arg(ServerEnv("vsftpd", "KV_VSFTPD_USER"), ServerEnv("vsftpd", "KV_VSFTPD_PASSWORD"));
    const QString absolute = user + "/%2F" + home.mid(1);
    const int port = ServerPort("vsftpd", "KV_VSFTPD_PORT");
    const QByteArray hello = ReadFile(home + "/pub/hello.txt");
    const auto fetched = [this, hello](const char* Name) {
        return [this, hello, Name](const ProcessResult&) { EXPECT_EQ(ReadFile(Dir.filePath(Name)), hello); };
    };
    RunCommandCases({
        {.What = "the login folder",
         .Args = {"ls", user + '/'},
         .Port = port,
         .Out = Exactly("pub\nreadme.txt\n")},
        {.What = "relative", .Args = {"ls", user + "/pub"}, .Port = port, .Out = Exactly("pub/hello.txt\n")},
        {.What = "absolute",
         .Args = {"ls", absolute + "/pub"},
         .Port = port,
         .Out = Exactly(home.toUtf8() + "/pub/hello.txt\n")},
        {.What = "the server's root, one slash",
         .Args = {"ls", user + "/%2F", "--wildcard", "tmp"},
         .Port = port,
         .Out = Exactly("/tmp\n")},
        {.What = "update, relative",
         .Args = {"update", user + "/pub/hello.txt", Dir.filePath("rel.txt")},
         .Port = port,
         .Out = Exactly("finished\n"),
         .Then = fetched("rel.txt")},
        {.What = "update, absolute",
         .Args = {"update", absolute + "/pub/hello.txt", Dir.filePath("abs.txt")},
         .Port = port,
         .Out = Exactly("finished\n"),
         .Then = fetched("abs.txt")},
    });
}

} // namespace

// System: content types, temporary directory, executable path, detached processes, the proxy setting.
#include "platform/System.h"
#include "platform/WireText.h"

#include <QCoreApplication>
#include <QDir>
#include <QFileInfo>
#include <QMimeDatabase>

#include <algorithm>
#include <cerrno>
#include <cstdio>
#include <cstring>
#include <mutex>
#include <new>

#if defined(Q_OS_WIN)
#include <QSettings>
#endif

#if defined(Q_OS_UNIX)
#include <dirent.h>
#include <fcntl.h>
#include <signal.h>
#include <spawn.h>
#include <sys/mman.h>
#include <sys/resource.h>
#include <sys/stat.h>
#include <termios.h>
#include <unistd.h>
#include <vector>
extern char** environ;
#else
#include <QProcess>
#endif

namespace KvInet {

QString ContentTypeForExtension(const QString& Extension) {
    if (Extension.size() < 2 || !Extension.startsWith(u'.'))
        return {};
    static const QMimeDatabase db;
    const QList<QMimeType> types = db.mimeTypesForFileName(QStringLiteral("file") + Extension);
    for (const QMimeType& type : types)
        if (type.isValid() && !type.isDefault())
            return type.name();
    return {};
}

QString TempPath() {
    QString path = QDir::tempPath();
    if (!path.endsWith(u'/'))
        path += u'/';
    return QDir::toNativeSeparators(path);
}

QString ExeName() {
    if (QCoreApplication::instance())
        return QCoreApplication::applicationFilePath();
#if defined(Q_OS_LINUX)
    return QFileInfo(QStringLiteral("/proc/self/exe")).symLinkTarget();
#else
    return {};
#endif
}

bool StartDetachedProcess(const QString& Program, const QStringList& Args, bool WaitInput) {
#if defined(Q_OS_UNIX)
    const QByteArray program = QFile::encodeName(Program);
    std::vector<QByteArray> storage;
    storage.push_back(program);
    for (const QString& a : Args)
        storage.push_back(QFile::encodeName(a));
    std::vector<char*> argv;
    for (QByteArray& s : storage)
        argv.push_back(s.data());
    argv.push_back(nullptr);

    int pipeFds[2] = {-1, -1};
    if (WaitInput && ::pipe2(pipeFds, O_CLOEXEC) != 0)
        return false;

    posix_spawn_file_actions_t actions;
    posix_spawn_file_actions_init(&actions);
    if (WaitInput)
        posix_spawn_file_actions_adddup2(&actions, pipeFds[0], STDIN_FILENO);
    else
        posix_spawn_file_actions_addopen(&actions, STDIN_FILENO, "/dev/null", O_RDONLY, 0);
    posix_spawn_file_actions_addopen(&actions, STDOUT_FILENO, "/dev/null", O_WRONLY, 0);
    posix_spawn_file_actions_addopen(&actions, STDERR_FILENO, "/dev/null", O_WRONLY, 0);

    posix_spawnattr_t attr;
    posix_spawnattr_init(&attr);
    sigset_t defaults;
    sigemptyset(&defaults);
    sigaddset(&defaults, SIGPIPE);
    sigaddset(&defaults, SIGINT);
    sigaddset(&defaults, SIGTERM);
    sigset_t none;
    sigemptyset(&none);
    posix_spawnattr_setsigdefault(&attr, &defaults);
    posix_spawnattr_setsigmask(&attr, &none);
    posix_spawnattr_setflags(&attr, POSIX_SPAWN_SETSID | POSIX_SPAWN_SETSIGDEF | POSIX_SPAWN_SETSIGMASK);

    pid_t pid = 0;
    const int rc = posix_spawn(&pid, program.constData(), &actions, &attr, argv.data(), environ);
    posix_spawn_file_actions_destroy(&actions);
    posix_spawnattr_destroy(&attr);
    if (WaitInput)
        ::close(pipeFds[0]);
    if (rc != 0) {
        if (WaitInput)
            ::close(pipeFds[1]);
        return false;
    }
    ::setpriority(PRIO_PROCESS, id_t(pid), 19);
    // The write end is deliberately never closed: it closes when this process ends, which is the signal.
    return true;
#else
    (void)WaitInput;
    return QProcess::startDetached(Program, Args);
#endif
}

namespace {

QString DefaultProxySetting() {
#if defined(Q_OS_WIN)
    const QSettings key(
        QStringLiteral("HKEY_CURRENT_USER\\SOFTWARE\\Microsoft\\Windows\\CurrentVersion\\Internet Settings"),
        QSettings::NativeFormat);
    if (key.value(QStringLiteral("ProxyEnable")).toInt() == 0)
        return {};
    QString server = key.value(QStringLiteral("ProxyServer")).toString();
    const qsizetype zero = server.indexOf(QChar(0));
    if (zero >= 0)
        server.truncate(zero);
    return server;
#else
    return ProxyFromEnvironment();
#endif
}

// Components on other threads may read the setting while a program installs its reader.
std::mutex proxyReaderLock;
TSystemProxyReader proxyReader;

} // namespace

QString ProxyFromEnvironment() {
    static const char* const names[] = {"http_proxy", "HTTP_PROXY", "all_proxy", "ALL_PROXY"};
    for (const char* name : names) {
        QString url = qEnvironmentVariable(name).trimmed();
        if (url.isEmpty())
            continue;
        const qsizetype scheme = url.indexOf(QLatin1String("://"));
        if (scheme >= 0)
            url = url.mid(scheme + 3);
        const qsizetype slash = url.indexOf(u'/');
        if (slash >= 0)
            url.truncate(slash);
        const qsizetype at = url.lastIndexOf(u'@');
        if (at >= 0)
            url = url.mid(at + 1);
        if (!url.isEmpty())
            return url;
    }
    return {};
}

QString SystemProxySetting() {
    TSystemProxyReader reader;
    {
        const std::lock_guard<std::mutex> guard(proxyReaderLock);
        reader = proxyReader;
    }
    return reader ? reader() : DefaultProxySetting();
}

TSystemProxyReader SetSystemProxyReader(TSystemProxyReader Reader) {
    const std::lock_guard<std::mutex> guard(proxyReaderLock);
    std::swap(proxyReader, Reader);
    return Reader;
}

bool ReadDirectory(const QByteArray& Path, std::vector<TDirEntry>& Entries, QString& Error, bool& Missing) {
    Entries.clear();
    Missing = false;
#if defined(Q_OS_UNIX)
    // By the names' bytes: a name that is not text in the locale's encoding is still an entry.
    DIR* dir = ::opendir(Path.isEmpty() ? "." : Path.constData());
    if (!dir) {
        Missing = errno == ENOENT;
        Error = QString::fromLocal8Bit(std::strerror(errno));
        return false;
    }
    for (;;) {
        errno = 0;
        const dirent* entry = ::readdir(dir);
        if (!entry)
            break;
        TDirEntry e;
        e.Name = QByteArray(entry->d_name);
        // Relative to the open directory: an entry whose full path is too long to name is still known for
        // what it is (a directory that then can't be opened is reported, not taken for a file).
        struct stat st {};
        if (::fstatat(::dirfd(dir), entry->d_name, &st, AT_SYMLINK_NOFOLLOW) == 0) {
            e.IsDirectory = S_ISDIR(st.st_mode);
            e.IsSymLink = S_ISLNK(st.st_mode);
            // A link to a directory sorts with the directories.
            e.LeadsToDirectory =
                e.IsDirectory ||
                (e.IsSymLink && ::fstatat(::dirfd(dir), entry->d_name, &st, 0) == 0 && S_ISDIR(st.st_mode));
        } else {
            e.IsDirectory = e.LeadsToDirectory = entry->d_type == DT_DIR;
            e.IsSymLink = entry->d_type == DT_LNK;
        }
        Entries.push_back(std::move(e));
    }
    const int readError = errno;
    ::closedir(dir);
    if (readError != 0) {
        Error = QString::fromLocal8Bit(std::strerror(readError));
        return false;
    }
#else
    const QDir dir(QFile::decodeName(Path.isEmpty() ? QByteArray(".") : Path));
    if (!dir.exists()) {
        Missing = true;
        Error = QStringLiteral("The system cannot find the path specified");
        return false;
    }
    for (const QFileInfo& info : dir.entryInfoList(QDir::AllEntries | QDir::Hidden | QDir::System))
        Entries.push_back({QFile::encodeName(info.fileName()), info.isDir() && !info.isSymLink(),
                           info.isSymLink(), info.isDir()});
#endif
    const auto rank = [](const TDirEntry& e) {
        return e.Name == "." ? 0 : e.Name == ".." ? 1 : e.LeadsToDirectory ? 2 : 3;
    };
    std::sort(Entries.begin(), Entries.end(), [&rank](const TDirEntry& a, const TDirEntry& b) {
        return rank(a) != rank(b) ? rank(a) < rank(b) : a.Name < b.Name;
    });
    return true;
}

namespace {

/// The length of the valid UTF-8 sequence at Bytes[I], 0 when none starts there.
qsizetype Utf8Length(const QByteArray& Bytes, qsizetype I) {
    const TUtf8Step step =
        ReadUtf8Step(reinterpret_cast<const unsigned char*>(Bytes.constData()), I, Bytes.size());
    return step.Valid ? step.Length : 0;
}

} // namespace

bool IsUtf8(const QByteArray& Bytes) {
    for (qsizetype i = 0; i < Bytes.size();) {
        const qsizetype n = Utf8Length(Bytes, i);
        if (n == 0)
            return false;
        i += n;
    }
    return true;
}

namespace {

void AppendEscaped(QString& Out, QChar C) {
    switch (C.unicode()) {
    case u'\\':
        Out += QStringLiteral("\\\\");
        break;
    case u'\r':
        Out += QStringLiteral("\\r");
        break;
    case u'\n':
        Out += QStringLiteral("\\n");
        break;
    case u'\t':
        Out += QStringLiteral("\\t");
        break;
    default:
        // C1 controls too: a server's byte 0x9B, shown as U+009B, is a CSI to many terminals.
        if (C.unicode() < 32 || (C.unicode() >= 127 && C.unicode() < 160))
            Out += QStringLiteral("\\x%1").arg(unsigned(C.unicode()), 2, 16, QLatin1Char('0'));
        else if (IsLayoutControl(C.unicode()))
            Out += QStringLiteral("\\u%1").arg(unsigned(C.unicode()), 4, 16, QLatin1Char('0'));
        else
            Out += C;
    }
}

} // namespace

QString EscapeText(QStringView Text) {
    QString out;
    out.reserve(Text.size());
    for (const QChar c : Text)
        AppendEscaped(out, c);
    return out;
}

QString EscapeBytes(const QByteArray& Bytes) {
    QString out;
    out.reserve(Bytes.size());
    for (qsizetype i = 0; i < Bytes.size();) {
        const qsizetype n = Utf8Length(Bytes, i);
        if (n == 0) {
            out += QStringLiteral("\\x%1").arg(unsigned(static_cast<unsigned char>(Bytes[i++])), 2, 16,
                                               QLatin1Char('0'));
            continue;
        }
        for (const QChar c : QString::fromUtf8(Bytes.constData() + i, n))
            AppendEscaped(out, c);
        i += n;
    }
    return out;
}

namespace {

#if defined(Q_OS_LINUX)
/// Gives Advice for the whole pages of [Data, Data + Size).
void Advise(void* Data, size_t Size, int Advice) {
    static const uintptr_t page = uintptr_t(sysconf(_SC_PAGESIZE));
    const uintptr_t from = (uintptr_t(Data) + page - 1) & ~(page - 1);
    const uintptr_t to = (uintptr_t(Data) + Size) & ~(page - 1);
    if (to > from)
        madvise(reinterpret_cast<void*>(from), to - from, Advice);
}
#endif

} // namespace

void PrepareForWriting([[maybe_unused]] void* Data, [[maybe_unused]] size_t Size) {
#if defined(Q_OS_LINUX) && defined(MADV_POPULATE_WRITE)
    Advise(Data, Size, MADV_POPULATE_WRITE);
#endif
}

void AdviseLargePages([[maybe_unused]] void* Data, [[maybe_unused]] size_t Size) {
#if defined(Q_OS_LINUX) && defined(MADV_HUGEPAGE)
    Advise(Data, Size, MADV_HUGEPAGE);
#endif
}

void* MapLargeBlock([[maybe_unused]] size_t& Size) {
#if defined(Q_OS_LINUX) && defined(MADV_HUGEPAGE)
    const size_t size = (Size + LargePageSize - 1) & ~(LargePageSize - 1);
    void* area = mmap(nullptr, size + LargePageSize, PROT_READ | PROT_WRITE, MAP_PRIVATE | MAP_ANONYMOUS, -1, 0);
    if (area == MAP_FAILED)
        throw std::bad_alloc();
    // Keep the aligned part of the area, give back what lies before and after it.
    const uintptr_t start = (uintptr_t(area) + LargePageSize - 1) & ~uintptr_t(LargePageSize - 1);
    const uintptr_t end = uintptr_t(area) + size + LargePageSize;
    if (start > uintptr_t(area))
        munmap(area, start - uintptr_t(area));
    if (end > start + size)
        munmap(reinterpret_cast<void*>(start + size), end - (start + size));
    madvise(reinterpret_cast<void*>(start), size, MADV_HUGEPAGE);
    Size = size;
    return reinterpret_cast<void*>(start);
#else
    return nullptr;
#endif
}

void UnmapLargeBlock([[maybe_unused]] void* Block, [[maybe_unused]] size_t Size) {
#if defined(Q_OS_LINUX)
    munmap(Block, Size);
#endif
}

void TWriteAhead::Before(const void* Base, size_t Used, size_t Capacity) {
    if (Base != FBase) {
        // A new buffer (or the old one moved): what lies below Used was written, the rest is unknown.
        FBase = Base;
        FReady = Used;
    }
    if (FReady >= Used + Window / 2 || FReady >= Capacity)
        return;
    // From the first byte not yet written up to the window's end.
    char* const base = static_cast<char*>(const_cast<void*>(Base));
    const size_t from = std::max(FReady, Used);
    FReady = std::min(Capacity, Used + Window);
    PrepareForWriting(base + from, FReady - from);
}

bool ConsoleIsTerminal() {
#if defined(Q_OS_UNIX)
    return ::isatty(STDIN_FILENO);
#else
    return false;
#endif
}

bool ReadConsoleLine(std::string& Line, bool Echo) {
#if defined(Q_OS_UNIX)
    termios saved{};
    const bool isTty = ::tcgetattr(STDIN_FILENO, &saved) == 0;
    if (!Echo && isTty) {
        termios quiet = saved;
        quiet.c_lflag &= ~tcflag_t(ECHO);
        ::tcsetattr(STDIN_FILENO, TCSANOW, &quiet); // TCSANOW: what was typed ahead stays to be read
    }
#else
    const bool isTty = false; // no terminal control here: the line is read as typed
#endif
    Line.clear();
    bool ok = false;
    for (int c; (c = std::fgetc(stdin)) != EOF;) {
        if (c == '\n') {
            ok = true;
            break;
        }
        Line += char(c);
    }
    if (!Echo && isTty) {
#if defined(Q_OS_UNIX)
        ::tcsetattr(STDIN_FILENO, TCSANOW, &saved);
#endif
        std::fputc('\n', stderr);
    }
    if (!Line.empty() && Line.back() == '\r')
        Line.pop_back();
    return ok;
}

} // namespace KvInet

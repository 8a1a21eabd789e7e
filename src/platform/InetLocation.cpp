// InetLocation: the per-service locations (HTTP or HTTPS, FTP, a path in the file system) and the
// directory walk they share.
#include "platform/InetLocation.h"

#include "platform/System.h"

#include <QDir>
#include <QFile>
#include <QFileInfo>

#include <algorithm>

namespace KvInet {

namespace {

/// Directory + "/" + Name, without doubling a "/" that Directory ends with.
QString JoinPath(const QString& Directory, const QString& Name) {
    return Directory.endsWith(u'/') ? Directory + Name : Directory + u'/' + Name;
}

bool HasWildcard(const QString& S) {
    return S.contains(u'*') || S.contains(u'?');
}

} // namespace

TInetSource::~TInetSource() = default;
TInetLocation::~TInetLocation() = default;

/// The bounds of one directory walk: lines added so far, and why the walk was cut short.
struct TInetListWalk {
    int64_t Lines = 0;
    bool LinesCut = false;
    QString Limit;
    /// Adds a line unless the walk has ended; false when it has (now or before).
    bool Line(const TInetListAdd& Add, const QString& Text, bool Escaped) {
        if (Lines >= InetListMaxLines) {
            if (!LinesCut)
                Limit = QStringLiteral("The listing holds more than %1 lines; the rest is left out")
                            .arg(InetListMaxLines);
            LinesCut = true;
            return false;
        }
        ++Lines;
        Add(Text, Escaped);
        return true;
    }
    /// Whether a subdirectory at Depth levels below the top is entered. At the line limit it still is, until
    /// a line is refused: a directory with nothing (matching) in it cuts nothing.
    bool Enter(const QString& Directory, int Depth) {
        if (LinesCut)
            return false;
        if (Depth <= InetListMaxDepth)
            return true;
        if (Limit.isEmpty())
            Limit = QStringLiteral("The listing goes deeper than %1 levels; %2 was not entered")
                        .arg(InetListMaxDepth)
                        .arg(Directory);
        return false;
    }
};

QString TInetLocation::List(const QString& Directory, const QString& Pattern, bool IncludeSubdirs,
                            const TInetListAdd& Add, const TInetListProblem& Problem) {
    TInetListWalk walk;
    Walk(Directory, Pattern, IncludeSubdirs, Add, Problem, walk, 0);
    return walk.Limit;
}

void TInetLocation::Walk(const QString&, const QString&, bool, const TInetListAdd&, const TInetListProblem&,
                         TInetListWalk&, int) {}

std::unique_ptr<TInetRequest> TInetLocation::Request(const QString& Method, const QString& Object,
                                                     const QStringList& Headers, const QByteArray& Body,
                                                     const TInetChallengeHandler& Challenge, QString& Error) {
    (void)Method;
    (void)Object;
    (void)Headers;
    (void)Body;
    (void)Challenge;
    Error = QStringLiteral("Requests are sent to HTTP and HTTPS servers only");
    return nullptr;
}

namespace {

bool IsDotEntry(const QString& Name) {
    return Name == QLatin1String(".") || Name == QLatin1String("..");
}

// Sends of one request that never went out (no connection) before giving up.
constexpr int MaxUnansweredSends = 3;

/// Sends Request until an answer other than a demand for credentials comes, answering each demand
/// through Challenge. False (Error says why) when no answer came or a demand was not met. Only a request
/// that never reached the server is sent again: one that went out and met a time-out, a cut or a foreign
/// answer may have been acted on (a POST twice), and waiting again would only multiply the time-out.
bool SendAnswering(TInetRequest& Request, const TInetChallengeHandler& Challenge, QString& Error) {
    int unanswered = 0;
    for (;;) {
        if (!Request.Send()) {
            // A redirect refused is an answer: sending it again would change nothing.
            if (++unanswered >= MaxUnansweredSends || Request.StatusCode() != 0 || Request.RequestSent()) {
                Error = Request.ErrorText();
                return false;
            }
            continue;
        }
        const int status = Request.StatusCode();
        if (status != 401 && status != 407)
            return true;
        TInetChallenge challenge;
        challenge.Status = status;
        if (!Challenge || !Challenge(challenge)) {
            Error = !challenge.Refusal.isEmpty() ? challenge.Refusal
                                                 : QStringLiteral("The server answered %1").arg(status);
            return false;
        }
        if (status == 401)
            Request.SetCredentials(challenge.User, challenge.Password);
        else
            Request.SetProxyCredentials(challenge.User, challenge.Password);
    }
}

class THttpSource final : public TInetSource {
public:
    explicit THttpSource(std::unique_ptr<TInetRequest> Request) : FRequest(std::move(Request)) {
        const QString length = FRequest->QueryHeader(QStringLiteral("Content-Length"));
        bool ok = false;
        const qlonglong size = length.toLongLong(&ok);
        FInfo.Size = ok && size >= 0 ? size : -1;
        FInfo.Time = FRequest->LastModified();
        FInfo.ETag = FRequest->QueryHeader(QStringLiteral("ETag"));
    }
    int64_t Open(int64_t Offset, const QString& IfRange) override {
        if (Offset <= 0)
            return 0;
        // The server decides: the missing bytes (206), nothing left (416) or the whole file (200, also
        // when the file is no longer the version IfRange names).
        const int64_t start = FRequest->SetFilePointer(Offset, IfRange);
        if (start < 0)
            FError = FRequest->ErrorText().isEmpty()
                         ? QStringLiteral("The server answered %1 to the range request")
                               .arg(FRequest->StatusCode())
                         : FRequest->ErrorText();
        return start;
    }
    int64_t ReadSome(char* Buffer, int64_t Count) override {
        const int64_t n = FRequest->ReadSome(Buffer, Count);
        if (n < 0)
            FError = FRequest->ErrorText();
        return n;
    }

private:
    std::unique_ptr<TInetRequest> FRequest;
};

class THttpLocation final : public TInetLocation {
public:
    THttpLocation(std::unique_ptr<TInetConnection> Connection, bool Secure)
        : FConnection(std::move(Connection)), FSecure(Secure) {}

    std::unique_ptr<TInetSource> Find(const QString& Name, const TInetChallengeHandler& Challenge,
                                      QString& Error) override {
        std::unique_ptr<TInetRequest> request = FConnection->OpenRequest(Name, FSecure, Error);
        if (!request || !SendAnswering(*request, Challenge, Error))
            return nullptr;
        // An error page is not the file: downloading it would replace good local data.
        const int status = request->StatusCode();
        if (status < 200 || status >= 300) {
            const QList<QByteArray>& headers = request->Headers();
            Error = QStringLiteral("The server answered %1")
                        .arg(headers.isEmpty() ? QString::number(status)
                                               : QString::fromLatin1(headers.first()).section(u' ', 1));
            return nullptr;
        }
        return std::make_unique<THttpSource>(std::move(request));
    }

    std::unique_ptr<TInetRequest> Request(const QString& Method, const QString& Object,
                                          const QStringList& Headers, const QByteArray& Body,
                                          const TInetChallengeHandler& Challenge, QString& Error) override {
        std::unique_ptr<TInetRequest> request = FConnection->OpenRequest(Object, FSecure, Error);
        if (!request)
            return nullptr;
        if (!request->SetMethod(Method)) {
            Error = QStringLiteral("Not a request method: \"%1\"").arg(Method);
            return nullptr;
        }
        for (const QString& line : Headers)
            if (!request->AddHeader(line)) {
                Error = QStringLiteral("Not a header line: \"%1\"").arg(line);
                return nullptr;
            }
        if (!Body.isNull() || Method.compare(QLatin1String("POST"), Qt::CaseInsensitive) == 0)
            request->SetBody(Body);
        if (!SendAnswering(*request, Challenge, Error))
            return nullptr;
        return request;
    }

private:
    std::unique_ptr<TInetConnection> FConnection;
    bool FSecure;
};

class TFtpSource final : public TInetSource {
public:
    TFtpSource(TInetConnection* Connection, QString Name, const TInetFindData& Data)
        : FConnection(Connection), FName(std::move(Name)) {
        FInfo.Size = Data.FileSize;
        FInfo.Time = Data.LastWriteTime;
        FInfo.IsDirectory = Data.IsDirectory;
    }
    int64_t Open(int64_t Offset, const QString&) override {
        FFile = FConnection->FtpOpenFile(FName, Offset, FError);
        return FFile ? Offset : -1;
    }
    int64_t ReadSome(char* Buffer, int64_t Count) override {
        if (!FFile) {
            FError = QStringLiteral("The file is not open");
            return -1;
        }
        const int64_t n = FFile->ReadSome(Buffer, Count);
        if (n < 0)
            FError = FFile->ErrorText();
        return n;
    }

private:
    TInetConnection* FConnection;
    QString FName;
    std::unique_ptr<TInetTransfer> FFile;
};

class TFtpLocation final : public TInetLocation {
public:
    explicit TFtpLocation(std::unique_ptr<TInetConnection> Connection) : FConnection(std::move(Connection)) {}

    std::unique_ptr<TInetSource> Find(const QString& Name, const TInetChallengeHandler&,
                                      QString& Error) override {
        TInetFindData data;
        if (!FConnection->FtpFindFirstFile(Name, data, Error))
            return nullptr;
        // A pattern names the file it found.
        const QString name = Name.contains(u'*') || Name.contains(u'?')
                                 ? Name.left(Name.lastIndexOf(u'/') + 1) + data.FileName
                                 : Name;
        return std::make_unique<TFtpSource>(FConnection.get(), name, data);
    }

protected:
    void Walk(const QString& Directory, const QString& Pattern, bool IncludeSubdirs, const TInetListAdd& Add,
              const TInetListProblem& Problem, TInetListWalk& State, int Depth) override {
        // Lines show the directory as it was given; the server is asked for its absolute path, so that
        // a relative directory means the same at every level.
        const QString shown = Directory.isEmpty() ? QStringLiteral("/") : Directory;
        QString current;
        if (!FConnection->FtpGetCurrentDirectory(current) || current.isEmpty())
            current = QStringLiteral("/");
        const QString path = FConnection->FtpAbsolutePath(shown);
        const bool elsewhere = path != FConnection->FtpAbsolutePath(current);
        std::vector<TInetFindData> entries;
        QString error;
        bool refused = false;
        // Matches beyond the line limit could never be added: the listing is not read past them.
        if (!FConnection->FtpList(path, Pattern, size_t(InetListMaxLines - State.Lines + 1), entries, error,
                                  refused)) {
            // A message, printed as it is: whatever the names hold is escaped.
            Problem(QStringLiteral("Cannot list %1: %2").arg(EscapeBytes(shown.toUtf8()), error), refused);
            return;
        }
        QStringList subdirectories;
        for (const TInetFindData& data : entries) {
            // An escaped name makes the whole line a shown one: the directory part is escaped with it.
            const QString line = !elsewhere     ? data.FileName
                                 : data.Escaped ? JoinPath(EscapeBytes(shown.toUtf8()), data.FileName)
                                                : JoinPath(shown, data.FileName);
            if (!State.Line(Add, line, data.Escaped))
                return;
            if (!IncludeSubdirs || !data.IsDirectory || IsDotEntry(data.FileName))
                continue;
            if (data.Escaped)
                Problem(QStringLiteral("Cannot list %1: the server gave a name that can't be sent back to it")
                            .arg(line),
                        false);
            else
                subdirectories << JoinPath(shown, data.FileName);
        }
        // Visited only now: one search at a time per connection.
        for (const QString& sub : subdirectories)
            if (State.Enter(sub, Depth + 1))
                Walk(sub, Pattern, IncludeSubdirs, Add, Problem, State, Depth + 1);
    }

private:
    std::unique_ptr<TInetConnection> FConnection;
};

/// The entries of a local search: Pattern is a path whose name part may hold wildcards. Directories are
/// entries too; "." and ".." come first when the pattern matches them, as a directory search reports them.
std::vector<std::pair<QFileInfo, QString>> LocalFind(const QString& Pattern) {
    std::vector<std::pair<QFileInfo, QString>> found;
    const qsizetype slash = Pattern.lastIndexOf(u'/');
    const QString directory =
        slash < 0 ? QStringLiteral(".") : (slash == 0 ? QStringLiteral("/") : Pattern.left(slash));
    const QString name = Pattern.mid(slash + 1);
    if (name.isEmpty())
        return found;
    if (!HasWildcard(name)) {
        const QFileInfo info(Pattern);
        if (info.exists() || info.isSymLink())
            found.emplace_back(info, name);
        return found;
    }
    const QDir dir(directory);
    if (!dir.exists())
        return found;
    const QStringList names =
        dir.entryList(QDir::AllEntries | QDir::Hidden | QDir::System, QDir::Name | QDir::DirsFirst);
    for (const QString& entry : names)
        if (InetWildcardMatch(name, entry))
            found.emplace_back(QFileInfo(dir.filePath(entry)), entry);
    return found;
}

class TPathSource final : public TInetSource {
public:
    TPathSource(QString Name, const QFileInfo& Info) : FFile(std::move(Name)) {
        FInfo.IsDirectory = Info.isDir();
        FInfo.Size = Info.isDir() ? 0 : Info.size();
        FInfo.Time = Info.lastModified().toUTC();
    }
    int64_t Open(int64_t Offset, const QString&) override {
        if (!FFile.open(QIODevice::ReadOnly)) {
            FError = QStringLiteral("Cannot open file \"%1\". %2").arg(FFile.fileName(), FFile.errorString());
            return -1;
        }
        // A local file shorter than the offset is another file: read it whole.
        if (Offset <= 0 || FFile.isSequential() || Offset > FFile.size() || !FFile.seek(Offset))
            return 0;
        return Offset;
    }
    int64_t ReadSome(char* Buffer, int64_t Count) override {
        const int64_t n = FFile.read(Buffer, Count);
        if (n < 0)
            FError = QStringLiteral("Cannot read file \"%1\". %2").arg(FFile.fileName(), FFile.errorString());
        return n;
    }

private:
    QFile FFile;
};

class TPathLocation final : public TInetLocation {
public:
    std::unique_ptr<TInetSource> Find(const QString& Name, const TInetChallengeHandler&,
                                      QString& Error) override {
        // A link that leads nowhere (dangling, or a loop) is no file.
        for (const auto& [info, name] : LocalFind(Name))
            if (info.exists())
                return std::make_unique<TPathSource>(info.filePath(), info);
        Error = QStringLiteral("The system cannot find the file specified: %1").arg(Name);
        return nullptr;
    }

protected:
    void Walk(const QString& Directory, const QString& Pattern, bool IncludeSubdirs, const TInetListAdd& Add,
              const TInetListProblem& Problem, TInetListWalk& State, int Depth) override {
        WalkBytes(QFile::encodeName(Directory), Pattern, IncludeSubdirs, Add, Problem, State, Depth);
    }

private:
    /// A level by the directory's bytes: a name need not be text for its entries to be listed.
    static void WalkBytes(const QByteArray& Directory, const QString& Pattern, bool IncludeSubdirs,
                          const TInetListAdd& Add, const TInetListProblem& Problem, TInetListWalk& State,
                          int Depth) {
        std::vector<TDirEntry> entries;
        QString error;
        bool missing = false;
        if (!ReadDirectory(Directory, entries, error, missing)) {
            Problem(
                // A message, printed as it is: whatever the name holds is escaped.
                QStringLiteral("Cannot list %1: %2")
                    .arg(EscapeBytes(Directory.isEmpty() ? "." : Directory), error),
                missing);
            return;
        }
        const QByteArray prefix =
            Directory.isEmpty() || Directory.endsWith('/') ? Directory : Directory + '/';
        for (const TDirEntry& entry : entries) {
            if (!InetWildcardMatch(Pattern, Shown(entry.Name)))
                continue;
            const QByteArray path = prefix + entry.Name;
            if (!State.Line(Add, Shown(path), !IsUtf8(path)))
                return;
            // Links to directories are listed but not entered: a link loop would never end.
            if (IncludeSubdirs && entry.IsDirectory && entry.Name != "." && entry.Name != ".." &&
                State.Enter(Shown(path), Depth + 1))
                WalkBytes(path, Pattern, IncludeSubdirs, Add, Problem, State, Depth + 1);
        }
    }
    /// A path as a line: the text it is, or, when its bytes are not UTF-8, escaped.
    static QString Shown(const QByteArray& Path) {
        return IsUtf8(Path) ? QString::fromUtf8(Path) : EscapeBytes(Path);
    }
};

} // namespace

std::unique_ptr<TInetLocation> TInetLocation::Open(TKind Kind, TInetSession* Session, const QString& Host,
                                                   int Port, const QString& User, const QString& Password,
                                                   QString& Error) {
    if (Kind == lkPath)
        return std::make_unique<TPathLocation>();
    if (!Session) {
        Error = QStringLiteral("No session");
        return nullptr;
    }
    std::unique_ptr<TInetConnection> connection = Session->Connect(
        Host, Port, User, Password, Kind == lkFTP ? INTERNET_SERVICE_FTP : INTERNET_SERVICE_HTTP, Error);
    if (!connection)
        return nullptr;
    if (Kind == lkFTP)
        return std::make_unique<TFtpLocation>(std::move(connection));
    return std::make_unique<THttpLocation>(std::move(connection), Kind == lkHTTPS);
}

} // namespace KvInet

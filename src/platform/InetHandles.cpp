// InetHandles: sessions, connections, requests and FTP access over libcurl.
#include "platform/InetHandles.h"

#include "platform/System.h"

#include <QDir>
#include <QFile>
#include <QFileInfo>
#include <QRegularExpression>
#include <QUrl>

#include <curl/curl.h>

#include <algorithm>
#include <cstring>

namespace KvInet {

namespace {

// The reader is given at most this much ahead of what it has consumed; beyond it libcurl is paused, so
// a slow reader holds the network back instead of memory growing with the file.
constexpr size_t BufferCap = 256 * 1024;
// What libcurl reads from the socket at a time. Both sizes stay well inside the processor's cache: the
// copies out of them are then cheap.
constexpr long ReceiveBuffer = 128 * 1024;

struct CurlGlobal {
    CurlGlobal() { curl_global_init(CURL_GLOBAL_ALL); }
    ~CurlGlobal() { curl_global_cleanup(); }
};

void EnsureCurl() {
    static CurlGlobal global;
}

CURLM* Multi(void* P) {
    return static_cast<CURLM*>(P);
}
CURL* EasyOf(void* P) {
    return static_cast<CURL*>(P);
}

QByteArray Utf8(const QString& S) {
    return S.toUtf8();
}

bool IsFtpUrl(const QString& Url) {
    return Url.startsWith(QLatin1String("ftp://"), Qt::CaseInsensitive);
}

/// An absolute path without doubled "/", "." parts or a trailing "/".
QString NormalizePath(const QString& Path) {
    QStringList parts;
    for (const QString& part : Path.split(u'/', Qt::SkipEmptyParts))
        if (part != QLatin1String("."))
            parts << part;
    return u'/' + parts.join(u'/');
}

/// Directory + "/" + Name, without doubling a "/" that Directory ends with.
QString JoinPath(const QString& Directory, const QString& Name) {
    return Directory.endsWith(u'/') ? Directory + Name : Directory + u'/' + Name;
}

/// Only ASCII white space: a name read one byte per character may end in bytes that Unicode counts as
/// spaces (0x85, 0xA0: the last byte of many UTF-8 letters).
QString TrimAscii(const QString& Text) {
    qsizetype begin = 0, end = Text.size();
    const auto space = [](QChar c) { return c == u' ' || c == u'\t' || c == u'\r' || c == u'\n'; };
    while (begin < end && space(Text[begin]))
        ++begin;
    while (end > begin && space(Text[end - 1]))
        --end;
    return Text.mid(begin, end - begin);
}

bool HasWildcard(const QString& S) {
    return S.contains(u'*') || S.contains(u'?');
}

/// libcurl's trace of a transfer: the data received, before any conversion, appended to the QByteArray
/// given as its data; the rest of the trace is dropped.
int KeepDataIn(CURL*, curl_infotype Type, char* Data, size_t Size, void* Raw) {
    if (Type == CURLINFO_DATA_IN)
        static_cast<QByteArray*>(Raw)->append(Data, qsizetype(Size));
    return 0;
}

/// A name that can be shown as it is: UTF-8 without control characters (C0, DEL, C1).
bool PlainName(const QByteArray& Name) {
    if (!IsUtf8(Name))
        return false;
    const QString text = QString::fromUtf8(Name);
    return std::none_of(text.begin(), text.end(), [](QChar c) {
        return c.unicode() < 32 || (c.unicode() >= 127 && c.unicode() < 160);
    });
}

} // namespace

namespace {

bool WildcardMatch(QStringView Pattern, QStringView Name) {
    // Iterative matcher with backtracking to the last "*": linear enough for file names.
    qsizetype p = 0, n = 0, star = -1, mark = 0;
    while (n < Name.size()) {
        if (p < Pattern.size() && (Pattern[p] == u'?' || Pattern[p] == Name[n])) {
            ++p;
            ++n;
        } else if (p < Pattern.size() && Pattern[p] == u'*') {
            star = p++;
            mark = n;
        } else if (star >= 0) {
            p = star + 1;
            n = ++mark;
        } else {
            return false;
        }
    }
    while (p < Pattern.size() && Pattern[p] == u'*')
        ++p;
    return p == Pattern.size();
}

} // namespace

bool InetWildcardMatch(const QString& Pattern, const QString& Name) {
    if (WildcardMatch(Pattern, Name))
        return true;
    // "NAME.*" also stands for NAME without an extension: "*.*" is the usual way of saying "every file".
    return Pattern.endsWith(QLatin1String(".*")) && !Name.contains(u'.') &&
           WildcardMatch(QStringView(Pattern).chopped(2), Name);
}

bool ParseFtpListLine(const QString& Line, TInetFindData& Data) {
    const QString line = TrimAscii(Line);
    if (line.isEmpty() || line.startsWith(QLatin1String("total ")))
        return false;
    // A name may hold a line break: "." takes it too.
    static const QRegularExpression unixForm(QStringLiteral(
        R"((?s)^([bcdlps-])[rwxsStTl-]{9}\S*\s+\d+\s+\S+\s+(?:\S+\s+)?(\d+)\s+(\w{3})\s+(\d{1,2})\s+(\d{1,2}:\d{2}|\d{4})\s(.+)$)"));
    static const QRegularExpression dosForm(QStringLiteral(
        R"((?s)^(\d{2})-(\d{2})-(\d{2,4})\s+(\d{1,2}):(\d{2})([AP]M)?\s+(<DIR>|\d+)\s+(.+)$)"));
    QRegularExpressionMatch m = unixForm.match(line);
    if (m.hasMatch()) {
        Data = TInetFindData();
        const QChar type = m.captured(1)[0];
        Data.IsDirectory = type == u'd';
        Data.FileSize = m.captured(2).toLongLong();
        QString name = m.captured(6);
        if (type == u'l' && name.contains(QLatin1String(" -> ")))
            name = name.section(QLatin1String(" -> "), 0, 0);
        Data.FileName = name;
        static const QStringList months = {
            QStringLiteral("Jan"), QStringLiteral("Feb"), QStringLiteral("Mar"), QStringLiteral("Apr"),
            QStringLiteral("May"), QStringLiteral("Jun"), QStringLiteral("Jul"), QStringLiteral("Aug"),
            QStringLiteral("Sep"), QStringLiteral("Oct"), QStringLiteral("Nov"), QStringLiteral("Dec")};
        const int month = int(months.indexOf(m.captured(3))) + 1;
        const int day = m.captured(4).toInt();
        const QString yearOrTime = m.captured(5);
        const QDate today = QDateTime::currentDateTimeUtc().date();
        if (month > 0) {
            if (yearOrTime.contains(u':')) {
                // "Mon DD HH:MM" means within the last half year.
                QDate date(today.year(), month, day);
                if (date > today.addDays(1))
                    date = date.addYears(-1);
                Data.LastWriteTime =
                    QDateTime(date, QTime::fromString(yearOrTime, QStringLiteral("H:mm")), Qt::UTC);
            } else {
                Data.LastWriteTime = QDateTime(QDate(yearOrTime.toInt(), month, day), QTime(0, 0), Qt::UTC);
            }
        }
        return !Data.FileName.isEmpty();
    }
    m = dosForm.match(line);
    if (m.hasMatch()) {
        Data = TInetFindData();
        int year = m.captured(3).toInt();
        if (year < 100)
            year += year < 70 ? 2000 : 1900;
        int hour = m.captured(4).toInt();
        if (m.captured(6) == QLatin1String("PM") && hour < 12)
            hour += 12;
        else if (m.captured(6) == QLatin1String("AM") && hour == 12)
            hour = 0;
        Data.LastWriteTime = QDateTime(QDate(year, m.captured(1).toInt(), m.captured(2).toInt()),
                                       QTime(hour, m.captured(5).toInt()), Qt::UTC);
        Data.IsDirectory = m.captured(7) == QLatin1String("<DIR>");
        Data.FileSize = Data.IsDirectory ? 0 : m.captured(7).toLongLong();
        Data.FileName = m.captured(8);
        return true;
    }
    return false;
}

QString InetServerUrl(const QString& Scheme, const QString& Host, int Port) {
    const QString host = Host.contains(u':') && !Host.startsWith(u'[') ? u'[' + Host + u']' : Host;
    return QStringLiteral("%1://%2:%3").arg(Scheme, host).arg(Port);
}

QString InetEncodePath(const QString& Path, bool EscapePercent) {
    QString out;
    const QByteArray bytes = Path.toUtf8();
    out.reserve(bytes.size());
    for (const char c : bytes) {
        const auto b = static_cast<unsigned char>(c);
        const bool keep = b > 0x20 && b < 0x7F && !std::strchr("\"<>\\^`{|}", b) &&
                          !(EscapePercent && (b == '%' || b == '#' || b == '?' || b == ';'));
        if (keep)
            out += QChar(b);
        else
            out += QStringLiteral("%%1").arg(b, 2, 16, QLatin1Char('0')).toUpper();
    }
    return out;
}

// ---- handle tree -----------------------------------------------------------------------------------------

TInetHandle::TInetHandle(TInetSession* Session, TInetHandle* Parent) : FSession(Session), FParent(Parent) {
    if (FParent)
        FParent->FChildren.push_back(this);
}

TInetHandle::~TInetHandle() {
    Close();
}

void TInetHandle::Close() {
    if (FClosed)
        return;
    FClosed = true;
    const std::vector<TInetHandle*> children = std::move(FChildren);
    FChildren.clear();
    for (TInetHandle* child : children) {
        child->FParent = nullptr;
        child->Close();
    }
    Release();
    if (FParent) {
        auto& siblings = FParent->FChildren;
        siblings.erase(std::remove(siblings.begin(), siblings.end(), this), siblings.end());
        FParent = nullptr;
    }
}

// ---- session ---------------------------------------------------------------------------------------------

TInetSession::TInetSession(const TInetSessionSettings& Settings)
    : TInetHandle(this, nullptr), FSettings(Settings) {}

TInetSession::~TInetSession() {
    Close();
}

std::unique_ptr<TInetSession> TInetSession::Open(const TInetSessionSettings& Settings, QString& Error) {
    EnsureCurl();
    std::unique_ptr<TInetSession> session(new TInetSession(Settings));
    session->FMulti = curl_multi_init();
    if (!session->FMulti) {
        Error = QStringLiteral("The transfer library could not be initialised");
        return nullptr;
    }
    return session;
}

void TInetSession::Release() {
    if (FMulti)
        curl_multi_cleanup(Multi(FMulti));
    FMulti = nullptr;
}

bool TInetSession::Perform() {
    if (Closed() || !FMulti)
        return false;
    int running = 0;
    const CURLMcode code = curl_multi_perform(Multi(FMulti), &running);
    int queued = 0;
    while (CURLMsg* msg = curl_multi_info_read(Multi(FMulti), &queued)) {
        if (msg->msg != CURLMSG_DONE)
            continue;
        char* owner = nullptr;
        curl_easy_getinfo(msg->easy_handle, CURLINFO_PRIVATE, &owner);
        if (owner)
            reinterpret_cast<TInetTransfer*>(owner)->Finished(int(msg->data.result));
    }
    return code == CURLM_OK;
}

void TInetSession::Wait(int WaitMs) {
    if (!Closed() && FMulti)
        curl_multi_poll(Multi(FMulti), nullptr, 0, WaitMs, nullptr);
}

std::unique_ptr<TInetConnection> TInetSession::Connect(const QString& Host, int Port, const QString& User,
                                                       const QString& Password, TInetService Service,
                                                       QString& Error) {
    if (Closed() || Host.isEmpty()) {
        Error = Host.isEmpty() ? QStringLiteral("No host name") : QStringLiteral("The session is closed");
        return nullptr;
    }
    std::unique_ptr<TInetConnection> connection(
        new TInetConnection(this, Host, Port, User, Password, Service));
    if (Service == INTERNET_SERVICE_FTP && !connection->Login(Error))
        return nullptr;
    return connection;
}

std::unique_ptr<TInetTransfer> TInetSession::OpenUrl(const QString& Url, QString& Error) {
    if (Closed()) {
        Error = QStringLiteral("The session is closed");
        return nullptr;
    }
    std::unique_ptr<TInetTransfer> transfer(new TInetTransfer(this, this, Url));
    const bool answered = transfer->Start();
    const bool http = Url.startsWith(QLatin1String("http"), Qt::CaseInsensitive);
    if (!answered ||
        (transfer->Done() && transfer->FResult != CURLE_OK && !(http && transfer->StatusCode() > 0))) {
        Error = transfer->ErrorText().isEmpty() ? QStringLiteral("No answer from %1").arg(Url)
                                                : transfer->ErrorText();
        return nullptr;
    }
    return transfer;
}

// ---- transfers -------------------------------------------------------------------------------------------

TInetTransfer::TInetTransfer(TInetSession* Session, TInetHandle* Parent, QString Url)
    : TInetHandle(Session, Parent), FUrl(std::move(Url)) {}

TInetTransfer::~TInetTransfer() {
    Close();
}

void TInetTransfer::Release() {
    Stop();
    if (FEasy)
        curl_easy_cleanup(EasyOf(FEasy));
    FEasy = nullptr;
}

void* TInetTransfer::Easy() {
    if (FEasy || Closed())
        return FEasy;
    CURL* easy = curl_easy_init();
    if (!easy)
        return nullptr;
    FEasy = easy;
    const TInetSessionSettings& s = Session()->Settings();
    curl_easy_setopt(easy, CURLOPT_PRIVATE, reinterpret_cast<char*>(this));
    curl_easy_setopt(easy, CURLOPT_NOSIGNAL, 1L);
    curl_easy_setopt(easy, CURLOPT_ERRORBUFFER, FErrorBuffer);
    curl_easy_setopt(easy, CURLOPT_WRITEFUNCTION, &TInetTransfer::OnWrite);
    curl_easy_setopt(easy, CURLOPT_WRITEDATA, this);
    curl_easy_setopt(easy, CURLOPT_HEADERFUNCTION, &TInetTransfer::OnHeader);
    curl_easy_setopt(easy, CURLOPT_HEADERDATA, this);
    curl_easy_setopt(easy, CURLOPT_BUFFERSIZE, ReceiveBuffer);
    curl_easy_setopt(easy, CURLOPT_FILETIME, 1L);
    curl_easy_setopt(easy, CURLOPT_MAXREDIRS, 10L);
    curl_easy_setopt(easy, CURLOPT_PROTOCOLS_STR, "http,https,ftp,file");
    curl_easy_setopt(easy, CURLOPT_USERAGENT, Utf8(s.Agent).constData());
    if (s.Timeout > 0) {
        // Connecting is limited here; a stretch without data is timed by WaitUntil from the last byte
        // (libcurl's speed check averages over several seconds and would let a stall run on that long).
        curl_easy_setopt(easy, CURLOPT_CONNECTTIMEOUT, long(s.Timeout));
        curl_easy_setopt(easy, CURLOPT_SERVER_RESPONSE_TIMEOUT, long(s.Timeout));
    }
    // Certificates are always checked: against the system's store, plus the extra CAs when given.
    curl_easy_setopt(easy, CURLOPT_SSL_VERIFYPEER, 1L);
    curl_easy_setopt(easy, CURLOPT_SSL_VERIFYHOST, 2L);
    if (!s.CACertFile.isEmpty()) {
        curl_easy_setopt(easy, CURLOPT_CAINFO, Utf8(s.CACertFile).constData());
        if (QFileInfo(QStringLiteral("/etc/ssl/certs")).isDir())
            curl_easy_setopt(easy, CURLOPT_CAPATH, "/etc/ssl/certs");
    }
    if (!s.ProxyServer.isEmpty())
        curl_easy_setopt(easy, CURLOPT_PROXY, Utf8(s.ProxyServer).constData());
    return FEasy;
}

void TInetTransfer::Prepare() {
    CURL* easy = EasyOf(Easy());
    curl_easy_setopt(easy, CURLOPT_URL, Utf8(FUrl).constData());
    // An HTTPS source is followed to HTTPS only: a redirect to plain HTTP would drop the certificate check
    // the caller chose. HTTP may move up to HTTPS; FTP and files are never redirected.
    const bool secure = FUrl.startsWith(QLatin1String("https://"), Qt::CaseInsensitive);
    const bool http = secure || FUrl.startsWith(QLatin1String("http://"), Qt::CaseInsensitive);
    curl_easy_setopt(easy, CURLOPT_FOLLOWLOCATION, http ? 1L : 0L);
    curl_easy_setopt(easy, CURLOPT_REDIR_PROTOCOLS_STR, secure ? "https" : "http,https");
    if (IsFtpUrl(FUrl)) {
        curl_easy_setopt(easy, CURLOPT_RESUME_FROM_LARGE, curl_off_t(FRangeFrom));
    } else {
        // A Range header of our own rather than libcurl's resume: its resume refuses a server that
        // answers with the whole body, which we want to handle ourselves.
        const QByteArray range = QByteArray::number(qlonglong(FRangeFrom)) + '-';
        curl_easy_setopt(easy, CURLOPT_RANGE, FRangeFrom > 0 ? range.constData() : nullptr);
    }
    curl_easy_setopt(easy, CURLOPT_NOBODY, FNoBody ? 1L : 0L);
    const TInetSessionSettings& settings = Session()->Settings();
    if (!settings.Deadline.isForever()) {
        // What is left of the caller's whole operation; a transfer started after it ended fails at once.
        const qint64 left = settings.Deadline.remainingTime();
        curl_easy_setopt(easy, CURLOPT_TIMEOUT_MS, long(std::max<qint64>(left, 1)));
    }
    if (FHaveCredentials) {
        curl_easy_setopt(easy, CURLOPT_USERNAME, Utf8(FUser).constData());
        curl_easy_setopt(easy, CURLOPT_PASSWORD, Utf8(FPassword).constData());
    }
    const TInetSessionSettings& s = Session()->Settings();
    const QString proxyUser = FHaveProxyCredentials ? FProxyUser : s.ProxyUser;
    const QString proxyPassword = FHaveProxyCredentials ? FProxyPassword : s.ProxyPassword;
    if (!proxyUser.isEmpty() || !proxyPassword.isEmpty()) {
        curl_easy_setopt(easy, CURLOPT_PROXYUSERNAME, Utf8(proxyUser).constData());
        curl_easy_setopt(easy, CURLOPT_PROXYPASSWORD, Utf8(proxyPassword).constData());
    }
}

size_t TInetTransfer::OnWrite(char* Data, size_t Size, size_t Count, void* Self) {
    auto* t = static_cast<TInetTransfer*>(Self);
    const size_t length = Size * Count;
    t->Active();
    if (t->FNoBody) {
        // An FTP size query hands its answer over as header lines in the body.
        for (const QByteArray& line : QByteArray(Data, qsizetype(length)).split('\n'))
            if (!line.trimmed().isEmpty())
                t->FHeaders.append(line.trimmed());
        return length;
    }
    const size_t unread = t->FBuffer.size() - t->FBufferPos;
    if (t->FDest && unread == 0 && t->FDestUsed < t->FDestCap) {
        // A reader is waiting: its buffer takes what fits, ours the rest (which always fits: a block
        // from libcurl is smaller than our buffer, and a pause can't follow a partial take).
        const size_t direct = std::min(length, t->FDestCap - t->FDestUsed);
        std::memcpy(t->FDest + t->FDestUsed, Data, direct);
        t->FDestUsed += direct;
        t->FBuffer.clear();
        t->FBufferPos = 0;
        t->FBuffer.insert(t->FBuffer.end(), Data + direct, Data + length);
        return length;
    }
    if (unread > 0 && unread + length > BufferCap) {
        t->FPaused = true;
        return CURL_WRITEFUNC_PAUSE; // libcurl keeps this block and hands it over again on unpause
    }
    if (unread == 0) {
        t->FBuffer.clear();
        t->FBufferPos = 0;
    } else if (t->FBufferPos > BufferCap / 2) {
        t->FBuffer.erase(t->FBuffer.begin(), t->FBuffer.begin() + std::ptrdiff_t(t->FBufferPos));
        t->FBufferPos = 0;
    }
    t->FBuffer.insert(t->FBuffer.end(), Data, Data + length);
    return length;
}

size_t TInetTransfer::OnHeader(char* Data, size_t Size, size_t Count, void* Self) {
    auto* t = static_cast<TInetTransfer*>(Self);
    const size_t length = Size * Count;
    t->Active();
    const QByteArray line = QByteArray(Data, qsizetype(length)).trimmed();
    // Each answer (a redirect, a proxy's CONNECT reply, the final answer) starts a new header block.
    if (line.startsWith("HTTP/"))
        t->FHeaders.clear();
    if (!line.isEmpty())
        t->FHeaders.append(line);
    return length;
}

void TInetTransfer::Finished(int Result) {
    FDone = true;
    FResult = Result;
    if (Result != CURLE_OK)
        FError = FErrorBuffer[0] ? QString::fromUtf8(FErrorBuffer)
                                 : QString::fromUtf8(curl_easy_strerror(CURLcode(Result)));
    const TInetSessionSettings& settings = Session()->Settings();
    // libcurl's clock may end the transfer a moment before ours says the deadline has passed.
    if (Result == CURLE_OPERATION_TIMEDOUT && !settings.Deadline.isForever() &&
        settings.Deadline.remainingTime() <= 100)
        FError = QStringLiteral("The operation took longer than %1 seconds").arg(settings.DeadlineSeconds);
    if (FAdded && Session() && !Session()->Closed())
        curl_multi_remove_handle(Multi(Session()->FMulti), EasyOf(FEasy));
    FAdded = false;
}

void TInetTransfer::Stop() {
    if (FAdded && Session() && !Session()->Closed())
        curl_multi_remove_handle(Multi(Session()->FMulti), EasyOf(FEasy));
    FAdded = false;
    FPaused = false;
}

void TInetTransfer::Active() {
    const int timeout = Session()->Settings().Timeout;
    FIdle = timeout > 0 ? QDeadlineTimer(qint64(timeout) * 1000) : QDeadlineTimer(QDeadlineTimer::Forever);
}

bool TInetTransfer::WaitUntil(bool (*Ready)(const TInetTransfer&)) {
    while (!Ready(*this)) {
        if (Closed() || !Session()->Perform())
            return false;
        if (Ready(*this))
            break;
        if (FAdded && !FPaused && FIdle.hasExpired()) {
            // Nothing arrived for Timeout seconds while we waited: the transfer has stalled.
            Stop();
            FDone = true;
            FResult = CURLE_OPERATION_TIMEDOUT;
            FError = QStringLiteral("No data arrived for %1 seconds").arg(Session()->Settings().Timeout);
            break;
        }
        // Wakes at network activity, when libcurl's own timers are due or when the idle time runs out,
        // whichever comes first.
        Session()->Wait(int(std::clamp<qint64>(FIdle.remainingTime(), 1, 1000)));
    }
    return true;
}

bool TInetTransfer::Start() {
    Stop();
    if (Closed() || !Easy()) {
        FError = QStringLiteral("The handle is closed");
        return false;
    }
    FDone = false;
    FResult = CURLE_OK;
    FError.clear();
    FErrorBuffer[0] = 0;
    FBuffer.clear();
    FBufferPos = 0;
    FHeaders.clear();
    FStatusCode = 0;
    FContentLength = -1;
    FLastModified = QDateTime();
    Prepare();
    if (curl_multi_add_handle(Multi(Session()->FMulti), EasyOf(FEasy)) != CURLM_OK) {
        FError = QStringLiteral("The transfer could not be started");
        return false;
    }
    FAdded = true;
    Active();
    WaitUntil([](const TInetTransfer& t) { return t.FDone || t.FPaused || t.FBuffer.size() > t.FBufferPos; });
    TakeAnswerInfo();
    if (FDone && FResult != CURLE_OK && FBuffer.empty()) {
        // The transfer broke before any of the body: a status line may have come, but the answer is
        // no answer (a Content-Length the transfer refused, a cut after the headers).
        if (FResult == CURLE_UNSUPPORTED_PROTOCOL || FResult == CURLE_TOO_MANY_REDIRECTS) {
            // A redirect not followed is an answer, the redirect's: sending again would change nothing.
            const QString location = QueryHeader(QStringLiteral("Location"));
            if (FResult == CURLE_UNSUPPORTED_PROTOCOL && !location.isEmpty())
                FError = QStringLiteral("The server redirected %1 to %2, which is not followed")
                             .arg(FUrl, QUrl(FUrl).resolved(QUrl(location)).toString());
            return false;
        }
        FStatusCode = 0;
        return false;
    }
    return FStatusCode != 0 || (FDone && FResult == CURLE_OK);
}

void TInetTransfer::TakeAnswerInfo() {
    CURL* easy = EasyOf(FEasy);
    long code = 0;
    curl_easy_getinfo(easy, CURLINFO_RESPONSE_CODE, &code);
    if (code == 0)
        curl_easy_getinfo(easy, CURLINFO_HTTP_CONNECTCODE, &code); // a proxy that refused the tunnel
    FStatusCode = int(code);
    curl_off_t length = -1;
    curl_easy_getinfo(easy, CURLINFO_CONTENT_LENGTH_DOWNLOAD_T, &length);
    FContentLength = length;
    // An FTP size query reports the size only as a pseudo-header.
    if (FContentLength < 0) {
        bool ok = false;
        const qlonglong announced = QueryHeader(QStringLiteral("Content-Length")).toLongLong(&ok);
        if (ok)
            FContentLength = announced;
    }
    curl_off_t time = -1;
    curl_easy_getinfo(easy, CURLINFO_FILETIME_T, &time);
    if (time < 0) {
        const QString modified = QueryHeader(QStringLiteral("Last-Modified"));
        if (!modified.isEmpty())
            time = curl_getdate(modified.toLatin1().constData(), nullptr);
    }
    if (time >= 0)
        FLastModified = QDateTime::fromSecsSinceEpoch(qint64(time), Qt::UTC);
}

bool TInetTransfer::RunToEnd() {
    if (!Start())
        return false;
    char scratch[16384];
    int64_t n;
    while ((n = Read(scratch, sizeof scratch)) > 0) {
    }
    TakeAnswerInfo();
    return n == 0;
}

int64_t TInetTransfer::Read(char* Buffer, int64_t Count) {
    if (Closed()) {
        FError = QStringLiteral("The handle is closed");
        return -1;
    }
    // Like the call it stands in for, a read fills the whole buffer unless the body ends first.
    int64_t done = 0;
    while (done < Count) {
        const int64_t n = ReadSome(Buffer + done, Count - done);
        if (n < 0)
            return done > 0 ? done : -1; // the failure is reported by the next read
        if (n == 0)
            break;
        done += n;
    }
    return done;
}

int64_t TInetTransfer::ReadSome(char* Buffer, int64_t Count) {
    if (Closed()) {
        FError = QStringLiteral("The handle is closed");
        return -1;
    }
    if (Count <= 0)
        return 0;
    for (;;) {
        const size_t unread = FBuffer.size() - FBufferPos;
        if (unread > 0) {
            const size_t n = std::min(unread, size_t(Count));
            std::memcpy(Buffer, FBuffer.data() + FBufferPos, n);
            FBufferPos += n;
            return int64_t(n);
        }
        if (FDone && !FPaused) {
            if (FResult == CURLE_OK)
                return 0;
            return -1;
        }
        if (!FAdded && !FPaused) {
            FError = QStringLiteral("The transfer is not running");
            return -1;
        }
        // What arrives next lands in the caller's buffer directly: one copy less per byte.
        FDest = Buffer;
        FDestCap = size_t(Count);
        FDestUsed = 0;
        bool waited = true;
        if (FPaused) {
            FPaused = false;
            Active();
            curl_easy_pause(EasyOf(FEasy), CURLPAUSE_CONT); // hands the held block to OnWrite at once
        }
        if (FDestUsed == 0 && FBuffer.size() == FBufferPos)
            waited = WaitUntil([](const TInetTransfer& t) {
                return t.FDestUsed > 0 || t.FDone || t.FPaused || t.FBuffer.size() > t.FBufferPos;
            });
        const size_t delivered = FDestUsed;
        FDest = nullptr;
        FDestCap = FDestUsed = 0;
        if (delivered > 0)
            return int64_t(delivered);
        if (!waited) {
            if (FError.isEmpty())
                FError = QStringLiteral("The transfer was interrupted");
            return -1;
        }
    }
}

QString TInetTransfer::QueryHeader(const QString& Name) const {
    const QByteArray prefix = Name.toLatin1().toLower() + ':';
    for (auto it = FHeaders.crbegin(); it != FHeaders.crend(); ++it)
        if (it->toLower().startsWith(prefix))
            return QString::fromLatin1(it->mid(prefix.size()).trimmed());
    return {};
}

void TInetTransfer::EndWithoutBody() {
    Stop();
    FDone = true;
    FResult = CURLE_OK;
    FBuffer.clear();
    FBufferPos = 0;
}

// ---- HTTP requests ---------------------------------------------------------------------------------------

TInetRequest::TInetRequest(TInetSession* Session, TInetHandle* Parent, QString Url)
    : TInetTransfer(Session, Parent, std::move(Url)) {}

TInetRequest::~TInetRequest() {
    Close();
    curl_slist_free_all(static_cast<curl_slist*>(FHeaderList));
}

void TInetRequest::Prepare() {
    TInetTransfer::Prepare();
    CURL* easy = EasyOf(Easy());
    // A file request is HTTP/1.0, as servers have always been asked; a body needs HTTP/1.1's framing.
    curl_easy_setopt(easy, CURLOPT_HTTP_VERSION,
                     long(FHasBody ? CURL_HTTP_VERSION_1_1 : CURL_HTTP_VERSION_1_0));
    if (FHasBody) {
        curl_easy_setopt(easy, CURLOPT_POSTFIELDSIZE_LARGE, curl_off_t(FBody.size()));
        curl_easy_setopt(easy, CURLOPT_COPYPOSTFIELDS, FBody.constData());
        // Redirects of a request with a body are followed by Send itself: only 307 and 308 keep it.
        curl_easy_setopt(easy, CURLOPT_FOLLOWLOCATION, 0L);
    } else if (!FNoBody) {
        curl_easy_setopt(easy, CURLOPT_HTTPGET, 1L);
    }
    const QByteArray method = FMethod.toLatin1();
    const bool standard = method == (FHasBody ? "POST" : "GET") || (method == "HEAD" && FNoBody);
    curl_easy_setopt(easy, CURLOPT_CUSTOMREQUEST, standard ? nullptr : method.constData());
    curl_slist_free_all(static_cast<curl_slist*>(FHeaderList));
    FHeaderList = nullptr;
    curl_slist* list = nullptr;
    if (FHasBody)
        list = curl_slist_append(list, "Expect:"); // no 100-continue round trip before the body
    for (const QByteArray& line : FExtraHeaders)
        list = curl_slist_append(list, line.constData());
    if (!FIfRange.isEmpty() && RangeFrom() > 0)
        list = curl_slist_append(list, ("If-Range: " + FIfRange).constData());
    FHeaderList = list;
    curl_easy_setopt(easy, CURLOPT_HTTPHEADER, list);
}

bool TInetRequest::SetMethod(const QString& Method) {
    if (Method.isEmpty() || Method.size() > 32)
        return false;
    for (const QChar c : Method)
        if (!((c >= u'A' && c <= u'Z') || (c >= u'a' && c <= u'z')))
            return false;
    FMethod = Method.toUpper();
    FNoBody = FMethod == QLatin1String("HEAD");
    return true;
}

bool TInetRequest::AddHeader(const QString& Line) {
    const qsizetype colon = Line.indexOf(u':');
    if (colon <= 0 || Line.contains(u'\r') || Line.contains(u'\n') || Line.contains(QChar(0)))
        return false;
    for (const QChar c : Line)
        if (c.unicode() > 0xFF)
            return false;
    FExtraHeaders << Line.toLatin1();
    return true;
}

void TInetRequest::SetBody(const QByteArray& Body) {
    FBody = Body;
    FHasBody = true;
}

bool TInetRequest::Send() {
    constexpr int MaxRedirects = 10;
    const QString firstUrl = Url();
    FRequestSent = false;
    for (int redirects = 0;; ++redirects) {
        const bool started = Start();
        // Counted by libcurl as the request's bytes are written: nothing while connecting.
        long requestSize = 0;
        if (CURL* easy = EasyOf(Easy()))
            curl_easy_getinfo(easy, CURLINFO_REQUEST_SIZE, &requestSize);
        FRequestSent = FRequestSent || requestSize > 0;
        if (!started) {
            if (ErrorText().isEmpty())
                Fail(QStringLiteral("No answer"));
            SetUrl(firstUrl);
            return false;
        }
        const int status = StatusCode();
        if (!FHasBody || status < 300 || status > 399)
            break;
        char* location = nullptr;
        curl_easy_getinfo(EasyOf(Easy()), CURLINFO_REDIRECT_URL, &location);
        const QString target = location ? QString::fromUtf8(location) : QString();
        const bool secure = firstUrl.startsWith(QLatin1String("https://"), Qt::CaseInsensitive);
        if ((status != 307 && status != 308) || target.isEmpty() || redirects >= MaxRedirects ||
            !((!secure && target.startsWith(QLatin1String("http://"), Qt::CaseInsensitive)) ||
              target.startsWith(QLatin1String("https://"), Qt::CaseInsensitive))) {
            // Repeating the request elsewhere with another method would not be what the caller sent.
            Stop();
            Fail(QStringLiteral("The server redirected the %1 request (%2) to %3")
                     .arg(FMethod)
                     .arg(status)
                     .arg(target.isEmpty() ? QStringLiteral("no location") : target));
            SetUrl(firstUrl);
            return false;
        }
        // Credentials are for the server they were given for.
        const QUrl from(Url()), to(target);
        if (from.host() != to.host() || from.port() != to.port() || from.scheme() != to.scheme())
            FHaveCredentials = false;
        SetUrl(target);
    }
    SetUrl(firstUrl);
    return StatusCode() != 0;
}

void TInetRequest::SetCredentials(const QString& User, const QString& Password) {
    FUser = User;
    FPassword = Password;
    FHaveCredentials = true;
}

void TInetRequest::SetProxyCredentials(const QString& User, const QString& Password) {
    FProxyUser = User;
    FProxyPassword = Password;
    FHaveProxyCredentials = true;
}

int64_t TInetRequest::SetFilePointer(int64_t Pos, const QString& IfRange) {
    // A validator that could break the header line is not sent: the range is then asked for without it.
    const bool plain =
        !IfRange.contains(u'\r') && !IfRange.contains(u'\n') && !IfRange.contains(QChar(0)) &&
        std::all_of(IfRange.begin(), IfRange.end(), [](QChar c) { return c.unicode() <= 0xFF; });
    FIfRange = plain ? IfRange.toLatin1() : QByteArray();
    SetRange(Pos);
    const bool sent = Send();
    FIfRange.clear();
    if (!sent)
        return -1;
    if (Pos <= 0)
        return 0;
    if (StatusCode() == 416) {
        // Nothing beyond Pos: the caller already holds the whole body.
        EndWithoutBody();
        return Pos;
    }
    if (StatusCode() == 206) {
        static const QRegularExpression range(QStringLiteral(R"(^bytes\s+(\d+)-)"));
        const QRegularExpressionMatch m = range.match(QueryHeader(QStringLiteral("Content-Range")));
        if (m.hasMatch() && m.captured(1).toLongLong() == Pos)
            return Pos;
        // A range we didn't ask for: fetch the whole body instead.
        SetRange(0);
        return Send() && StatusCode() == 200 ? 0 : -1;
    }
    // Only a 200 answer carries the whole file; an error page (503, 429...) must never replace the part.
    if (StatusCode() != 200)
        return -1;
    SetRange(0);
    return 0;
}

// ---- connections and FTP
// -----------------------------------------------------------------------------------

TInetConnection::TInetConnection(TInetSession* Session, QString Host, int Port, QString User,
                                 QString Password, TInetService Service)
    : TInetHandle(Session, Session), FHost(std::move(Host)), FPort(Port), FUser(std::move(User)),
      FPassword(std::move(Password)), FService(Service) {}

TInetConnection::~TInetConnection() {
    Close();
}

std::unique_ptr<TInetRequest> TInetConnection::OpenRequest(const QString& Object, bool Secure,
                                                           QString& Error) {
    if (Closed() || FService != INTERNET_SERVICE_HTTP) {
        Error = QStringLiteral("Not an open HTTP connection");
        return nullptr;
    }
    // "#" is part of the name: left as it is, the URL would end there and another file be fetched.
    QString object = InetEncodePath(Object, false).replace(u'#', QLatin1String("%23"));
    if (!object.startsWith(u'/'))
        object.prepend(u'/');
    const QString url =
        InetServerUrl(Secure ? QStringLiteral("https") : QStringLiteral("http"), FHost, FPort) + object;
    std::unique_ptr<TInetRequest> request(new TInetRequest(Session(), this, url));
    if (!FUser.isEmpty() || !FPassword.isEmpty())
        request->SetCredentials(FUser, FPassword);
    return request;
}

std::unique_ptr<TInetTransfer> TInetConnection::NewFtpTransfer(const QString& Url) {
    std::unique_ptr<TInetTransfer> transfer(new TInetTransfer(Session(), this, Url));
    if (!FUser.isEmpty()) {
        transfer->FUser = FUser;
        transfer->FPassword = FPassword;
        transfer->FHaveCredentials = true;
    }
    if (CURL* easy = EasyOf(transfer->Easy()))
        curl_easy_setopt(easy, CURLOPT_PROXY, ""); // the proxy setting is an HTTP proxy's
    return transfer;
}

QString TInetConnection::FtpAbsolutePath(const QString& Path) const {
    if (Path.startsWith(u'/'))
        return NormalizePath(Path);
    return NormalizePath(
        JoinPath(FCurrentDirectory.isEmpty() ? QStringLiteral("/") : FCurrentDirectory, Path));
}

QString TInetConnection::FtpUrl(const QString& Path, bool Directory) const {
    // "%2F" makes the path absolute (libcurl then starts with "CWD /").
    QString path = FtpAbsolutePath(Path).mid(1);
    QString url = InetServerUrl(QStringLiteral("ftp"), FHost, FPort) + QStringLiteral("/%2F") +
                  InetEncodePath(path, true);
    if (Directory && !url.endsWith(u'/'))
        url += u'/';
    return url;
}

bool TInetConnection::Login(QString& Error) {
    std::unique_ptr<TInetTransfer> t =
        NewFtpTransfer(InetServerUrl(QStringLiteral("ftp"), FHost, FPort) + u'/');
    t->FNoBody = true;
    if (!t->RunToEnd()) {
        Error = t->ErrorText();
        return false;
    }
    char* entry = nullptr;
    curl_easy_getinfo(EasyOf(t->Easy()), CURLINFO_FTP_ENTRY_PATH, &entry);
    FCurrentDirectory = entry && *entry ? QString::fromUtf8(entry) : QStringLiteral("/");
    return true;
}

bool TInetConnection::FtpGetCurrentDirectory(QString& Directory) {
    if (Closed() || FService != INTERNET_SERVICE_FTP)
        return false;
    Directory = FCurrentDirectory;
    return true;
}

bool TInetConnection::FtpSetCurrentDirectory(const QString& Directory, QString& Error) {
    if (Closed() || FService != INTERNET_SERVICE_FTP) {
        Error = QStringLiteral("Not an open FTP connection");
        return false;
    }
    std::unique_ptr<TInetTransfer> t = NewFtpTransfer(FtpUrl(Directory, true));
    t->FNoBody = true;
    if (!t->RunToEnd()) {
        Error = t->ErrorText();
        return false;
    }
    FCurrentDirectory = FtpAbsolutePath(Directory);
    return true;
}

bool TInetConnection::FtpList(const QString& Directory, const QString& Pattern, size_t MaxEntries,
                              std::vector<TInetFindData>& Entries, QString& Error, bool& Refused) {
    Refused = false;
    if (Closed() || FService != INTERNET_SERVICE_FTP) {
        Error = QStringLiteral("Not an open FTP connection");
        return false;
    }
    const int64_t maxReply = Session()->Settings().MaxReplySize;
    const int64_t cap = maxReply > 0 ? std::min(maxReply, InetListingCap) : InetListingCap;
    std::unique_ptr<TInetTransfer> t = NewFtpTransfer(FtpUrl(Directory, true));
    // The listing as it came: libcurl turns the CR LF of an ASCII transfer into LF before handing the data
    // over, after which a name holding a LF could not be told from two lines. Its trace of the data
    // received has the bytes unchanged.
    QByteArray raw;
    if (CURL* easy = EasyOf(t->Easy())) {
        curl_easy_setopt(easy, CURLOPT_DEBUGFUNCTION, &KeepDataIn);
        curl_easy_setopt(easy, CURLOPT_DEBUGDATA, &raw);
        curl_easy_setopt(easy, CURLOPT_VERBOSE, 1L);
    }
    bool ok = t->Start();
    // Lines end in CR LF on the wire: a name may hold a lone LF (or CR), which then stays in the name. A
    // server that ends its lines in LF alone is read by LF.
    QByteArray pending;
    bool crlf = false, decided = false;
    int64_t total = 0;
    const auto take = [&](const QByteArray& Line) {
        TInetFindData data;
        // One byte per character: the name's bytes come back whole, to be checked as UTF-8 below.
        if (!ParseFtpListLine(QString::fromLatin1(Line), data))
            return;
        const QByteArray name = data.FileName.toLatin1();
        // A name holding "/" is no entry of this directory: as a path it would lead elsewhere.
        if (name.contains('/'))
            return;
        const bool plain = PlainName(name);
        data.FileName = plain ? QString::fromUtf8(name) : EscapeBytes(name);
        data.Escaped = !plain;
        if (InetWildcardMatch(Pattern.isEmpty() ? QStringLiteral("*") : Pattern, data.FileName))
            Entries.push_back(std::move(data));
    };
    char block[16384];
    while (ok && (MaxEntries == 0 || Entries.size() < MaxEntries)) {
        const int64_t n = t->ReadSome(block, sizeof block);
        if (n < 0) {
            ok = false;
            break;
        }
        total += raw.size();
        pending += raw;
        raw.clear();
        if (total > cap) {
            t->Fail(QStringLiteral("The listing is larger than %1 bytes").arg(cap));
            ok = false;
            break;
        }
        if (n == 0)
            break;
        // The first CR LF tells; a long start without any says the server ends its lines in LF.
        if (!decided && (pending.contains("\r\n") || pending.size() > 65536)) {
            crlf = pending.contains("\r\n");
            decided = true;
        }
        if (!decided)
            continue;
        const QByteArray end = crlf ? QByteArray("\r\n") : QByteArray("\n");
        qsizetype from = 0;
        for (qsizetype at; (at = pending.indexOf(end, from)) >= 0; from = at + end.size())
            take(pending.mid(from, at - from));
        pending.remove(0, from);
    }
    if (ok && t->Done()) {
        // Some servers enter a folder they can't read and close the empty listing with a success code whose
        // text says so ("226 Transfer done (but failed to open directory)").
        const QList<QByteArray>& replies = t->Headers();
        if (!replies.isEmpty() && replies.last().startsWith('2') &&
            replies.last().toLower().contains("fail")) {
            t->Fail(QStringLiteral("The server did not list it: %1").arg(EscapeBytes(replies.last())));
            ok = false;
        }
    }
    if (!ok) {
        Error = t->ErrorText().isEmpty() ? QStringLiteral("The listing broke off") : t->ErrorText();
        Refused = t->FResult == CURLE_REMOTE_ACCESS_DENIED;
        return false;
    }
    if (MaxEntries == 0 || Entries.size() < MaxEntries) {
        // What is left: the lines of a short listing still undecided, or a last line without its end.
        for (const QByteArray& line : crlf ? QList<QByteArray>{pending} : pending.split('\n'))
            if (!line.isEmpty())
                take(line);
    }
    return true;
}

std::unique_ptr<TInetFtpFind> TInetConnection::FtpFindFirstFile(const QString& Pattern, TInetFindData& First,
                                                                QString& Error) {
    if (Closed() || FService != INTERNET_SERVICE_FTP) {
        Error = QStringLiteral("Not an open FTP connection");
        return nullptr;
    }
    // A trailing "/" asks for the directory's entries.
    QString path = FtpAbsolutePath(Pattern);
    if (Pattern.endsWith(u'/') && path != QLatin1String("/"))
        path += u'/';
    const qsizetype slash = path.lastIndexOf(u'/');
    const QString directory = path.left(slash + 1);
    const QString name = path.mid(slash + 1);
    std::vector<TInetFindData> found;
    if (!name.isEmpty() && !HasWildcard(name)) {
        // One file: SIZE and MDTM give its exact size and time (a listing gives minutes at best).
        std::unique_ptr<TInetTransfer> t = NewFtpTransfer(FtpUrl(path, false));
        t->FNoBody = true;
        if (t->RunToEnd()) {
            TInetFindData data;
            data.FileName = name;
            data.FileSize = std::max<int64_t>(t->ContentLength(), 0);
            data.LastWriteTime = t->LastModified();
            found.push_back(data);
        }
    }
    QString listError;
    if (found.empty()) {
        // A pattern, a directory, or a server without SIZE and MDTM: search the directory's listing. An
        // escaped name can't be asked for again: it is no file found.
        bool refused = false;
        if (FtpList(directory, name, 0, found, listError, refused) || refused)
            listError.clear();
        found.erase(
            std::remove_if(found.begin(), found.end(), [](const TInetFindData& e) { return e.Escaped; }),
            found.end());
    }
    if (found.empty()) {
        // A listing that broke off says so: the file may well be there.
        Error = !listError.isEmpty()
                    ? QStringLiteral("Cannot list %1: %2").arg(directory, listError)
                    : QStringLiteral("The system cannot find the file specified: %1").arg(Pattern);
        return nullptr;
    }
    First = found.front();
    return std::unique_ptr<TInetFtpFind>(new TInetFtpFind(Session(), this, std::move(found)));
}

std::unique_ptr<TInetTransfer> TInetConnection::FtpOpenFile(const QString& FileName, int64_t Offset,
                                                            QString& Error) {
    if (Closed() || FService != INTERNET_SERVICE_FTP) {
        Error = QStringLiteral("Not an open FTP connection");
        return nullptr;
    }
    std::unique_ptr<TInetTransfer> t = NewFtpTransfer(FtpUrl(FileName, false));
    t->SetRange(Offset);
    const bool answered = t->Start();
    if (!answered || (t->Done() && t->FResult != CURLE_OK)) {
        Error = t->ErrorText().isEmpty() ? QStringLiteral("Cannot open %1").arg(FileName) : t->ErrorText();
        return nullptr;
    }
    return t;
}

TInetFtpFind::TInetFtpFind(TInetSession* Session, TInetHandle* Parent, std::vector<TInetFindData> Entries)
    : TInetHandle(Session, Parent), FEntries(std::move(Entries)) {}

TInetFtpFind::~TInetFtpFind() {
    Close();
}

bool TInetFtpFind::FindNext(TInetFindData& Data) {
    if (Closed() || FNext >= FEntries.size())
        return false;
    Data = FEntries[FNext++];
    return true;
}

} // namespace KvInet

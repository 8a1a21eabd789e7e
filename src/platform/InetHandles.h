// InetHandles: the Internet transfer handles the web components' locations are built on. A session carries
// the settings every transfer shares (agent, proxy, time-out, trusted CAs); a connection names one server;
// an HTTP request is sent, its status and headers read, and its body then read in blocks while the
// network keeps pace (the body streams: a few hundred kilobytes at most are held in memory). FTP offers
// file queries, directory listings with wildcards, a current directory and file downloads; a URL can be
// read whole. Built on libcurl (easy handles driven by one multi handle per session, paused while the
// reader is behind).
//
// Handles nest like the API they stand in for: session > connection > request, search or file. Closing a
// handle (or destroying it) closes everything opened under it; a closed child fails every later call.
// Failures are not exceptions: a call that opens something hands back null and its reason together; a
// handle whose call failed says why in its ErrorText().
#pragma once

#include <QByteArray>
#include <QDateTime>
#include <QDeadlineTimer>
#include <QList>
#include <QString>
#include <QStringList>

#include <cstdint>
#include <functional>
#include <memory>
#include <vector>

namespace KvInet {

/// The kind of server a connection talks to.
enum TInetService { INTERNET_SERVICE_FTP = 1, INTERNET_SERVICE_HTTP = 3 };

/// True when Name matches Pattern: "*" any run of characters, "?" one character, case-sensitive. A pattern
/// ending in ".*" also matches the names without that dot: "*.*", the usual way of asking for every file,
/// matches every name, as "*" does.
bool InetWildcardMatch(const QString& Pattern, const QString& Name);

/// One entry found by an FTP or file search.
struct TInetFindData {
    QString FileName; ///< the name alone, no directory; escaped when Escaped
    /// FileName shows the name rather than naming it: the server's bytes were not UTF-8 or held control
    /// characters, which are written as EscapeBytes writes them.
    bool Escaped = false;
    int64_t FileSize = 0;    ///< bytes; 0 when unknown
    QDateTime LastWriteTime; ///< UTC; invalid when unknown
    bool IsDirectory = false;
};

/// Parses one line of an FTP LIST answer (Unix "ls -l" or DOS form). False for lines that are no entry
/// (the "total" line, blank lines). Only ASCII white space is trimmed: a line read one byte per character
/// keeps every byte of its name.
bool ParseFtpListLine(const QString& Line, TInetFindData& Data);

class TInetSession;

/// A node of the handle tree: closing it closes its children first.
class TInetHandle {
public:
    TInetHandle(const TInetHandle&) = delete;
    TInetHandle& operator=(const TInetHandle&) = delete;
    virtual ~TInetHandle();

    /// Releases this handle and everything under it; later calls on it fail. Idempotent.
    void Close();
    bool Closed() const { return FClosed; }

protected:
    TInetHandle(TInetSession* Session, TInetHandle* Parent);
    /// Frees this handle's own resources (called once, children already closed).
    virtual void Release() {}
    TInetSession* Session() const { return FSession; }

private:
    TInetSession* FSession;
    TInetHandle* FParent;
    std::vector<TInetHandle*> FChildren;
    bool FClosed = false;
};

/// What a session is opened with.
struct TInetSessionSettings {
    QString Agent;
    /// "host" or "host:port" of an HTTP proxy for HTTP and HTTPS; empty: the system's setting (the
    /// environment's http_proxy, https_proxy and no_proxy).
    QString ProxyServer;
    /// Proxy credentials sent with every request of the session (requests can set their own).
    QString ProxyUser;
    QString ProxyPassword;
    /// Seconds allowed for connecting and for any stretch without data while a transfer waits for it
    /// (counted from the last byte received, not averaged); 0: no limit.
    int Timeout = 60;
    /// A PEM file of CAs trusted in addition to the system's store.
    QString CACertFile;
    /// When every transfer of the session must have ended (the caller's whole operation); a transfer still
    /// running then fails with "The operation took longer than N seconds".
    QDeadlineTimer Deadline = QDeadlineTimer(QDeadlineTimer::Forever);
    /// The seconds the deadline stands for, for the message.
    int DeadlineSeconds = 0;
    /// Bytes one FTP directory listing may hold (0: no limit of the caller's); a longer one fails. Never
    /// more than InetListingCap.
    int64_t MaxReplySize = 0;
};

/// The most bytes one FTP directory listing may hold, whatever the session allows.
constexpr int64_t InetListingCap = int64_t(64) << 20;

class TInetConnection;
class TInetTransfer;

/// InternetOpen: the root of the handle tree.
class TInetSession : public TInetHandle {
public:
    /// Null (Error says why) when the transfer library could not be set up.
    static std::unique_ptr<TInetSession> Open(const TInetSessionSettings& Settings, QString& Error);
    ~TInetSession() override;

    const TInetSessionSettings& Settings() const { return FSettings; }

    /// InternetConnect. For FTP the server is contacted and logged in to now (null when that fails, Error
    /// says why); for HTTP nothing is sent until a request is.
    std::unique_ptr<TInetConnection> Connect(const QString& Host, int Port, const QString& User,
                                             const QString& Password, TInetService Service, QString& Error);

    /// InternetOpenUrl: starts a GET of a full URL (http, https, ftp, file) and waits for its first bytes.
    /// Null when no answer came (Error says why); the body of an error page is delivered like any other.
    std::unique_ptr<TInetTransfer> OpenUrl(const QString& Url, QString& Error);

private:
    friend class TInetTransfer;
    explicit TInetSession(const TInetSessionSettings& Settings);
    void Release() override;
    /// Runs libcurl's transfers as far as they go without waiting; false when libcurl failed.
    bool Perform();
    /// Waits up to WaitMs for network activity.
    void Wait(int WaitMs);

    TInetSessionSettings FSettings;
    void* FMulti = nullptr;
};

/// A transfer whose body is read in blocks as it arrives (InternetReadFile).
class TInetTransfer : public TInetHandle {
public:
    ~TInetTransfer() override;

    /// Reads Count bytes of the body (fewer only at its end): the count, 0 at its end, -1 when the transfer
    /// failed (a cut connection, a body shorter than announced, a time-out).
    int64_t Read(char* Buffer, int64_t Count);
    /// Reads what has arrived, up to Count bytes, waiting only while nothing has: the count, 0 at the end
    /// of the body, -1 when the transfer failed. Data that arrives while it waits goes straight into
    /// Buffer.
    int64_t ReadSome(char* Buffer, int64_t Count);
    /// Content-Length of the answer; -1 when it had none.
    int64_t ContentLength() const { return FContentLength; }
    /// Last-Modified of the answer (FTP: the file's time), UTC; invalid when none.
    QDateTime LastModified() const { return FLastModified; }
    /// The protocol's status code (HTTP status, FTP reply); 0 when no answer was read.
    int StatusCode() const { return FStatusCode; }
    /// The value of a header of the final answer ("" when absent); names ignore case.
    QString QueryHeader(const QString& Name) const;
    /// The raw header lines of the final answer.
    const QList<QByteArray>& Headers() const { return FHeaders; }
    /// Why the last call on this handle failed ("" when none did).
    QString ErrorText() const { return FError; }

protected:
    friend class TInetSession;
    friend class TInetConnection;
    TInetTransfer(TInetSession* Session, TInetHandle* Parent, QString Url);
    void Release() override;

    /// (Re)starts the transfer and waits until the first body bytes, its end or its failure. False when
    /// it ended without any answer.
    bool Start();
    /// Abandons a running transfer (the connection is dropped if the body was not read to its end).
    void Stop();
    /// Runs until the transfer has ended, discarding nothing: used for transfers without a body.
    bool RunToEnd();
    /// The curl easy handle, created on first use with the session's settings.
    void* Easy();
    void SetRange(int64_t From) { FRangeFrom = From; }
    int64_t RangeFrom() const { return FRangeFrom; }
    /// Ends the transfer as if its body had been read (an answer that carries nothing we want).
    void EndWithoutBody();
    QString Url() const { return FUrl; }
    void SetUrl(const QString& Url) { FUrl = Url; }
    bool Done() const { return FDone; }
    /// Records why a call failed (ErrorText).
    void Fail(const QString& Text) { FError = Text; }
    /// Applies the URL, range and credentials before a start.
    virtual void Prepare();

    QString FUser, FPassword, FProxyUser, FProxyPassword;
    bool FHaveCredentials = false, FHaveProxyCredentials = false;
    /// Ask for the answer's headers (HTTP) or the file's size and time (FTP) only.
    bool FNoBody = false;

private:
    static size_t OnWrite(char* Data, size_t Size, size_t Count, void* Self);
    static size_t OnHeader(char* Data, size_t Size, size_t Count, void* Self);
    void Finished(int Result);
    void TakeAnswerInfo();
    bool WaitUntil(bool (*Ready)(const TInetTransfer&));
    /// Data moved (or the transfer started or resumed): the idle time-out starts again.
    void Active();

    QString FUrl;
    void* FEasy = nullptr;
    char FErrorBuffer[256] = {};
    bool FAdded = false;
    bool FDone = false;
    bool FPaused = false;
    int FResult = 0;
    QString FError;
    int64_t FRangeFrom = 0;
    std::vector<char> FBuffer;
    size_t FBufferPos = 0;
    char* FDest = nullptr;
    size_t FDestCap = 0;
    size_t FDestUsed = 0;
    QList<QByteArray> FHeaders;
    int64_t FContentLength = -1;
    QDateTime FLastModified;
    int FStatusCode = 0;
    /// Restarted whenever data moves (or the transfer starts or resumes): the idle time-out counts from it.
    QDeadlineTimer FIdle;
};

/// HttpOpenRequest: one request for an object on the connection's server. A GET without a body goes out as
/// HTTP/1.0 and follows redirects (from HTTPS to HTTPS only); a request with a body (POST) goes out as
/// HTTP/1.1 and follows only 307 and 308 (method and body kept): any other redirect ends it, with the new
/// location in ErrorText.
class TInetRequest : public TInetTransfer {
public:
    ~TInetRequest() override;

    /// HttpSendRequest: sends the request (again: a running one is dropped) and waits for the answer's
    /// headers. False when no usable answer came (no connection, TLS refused, time-out, an answer the
    /// transfer refused before its body: StatusCode is then 0) or the answer was a redirect not followed
    /// (elsewhere than by 307 or 308 with a body, from HTTPS to another scheme: StatusCode is the
    /// redirect's); ErrorText says which.
    bool Send();
    /// Whether any of the last Send's request went out (to the server or a proxy), answered or not. A
    /// request that did is never sent again on its own: the server may have acted on it already.
    bool RequestSent() const { return FRequestSent; }
    /// The method ("GET" at first): a token of letters only; false (nothing changed) otherwise.
    bool SetMethod(const QString& Method);
    QString Method() const { return FMethod; }
    /// Adds a header line "Name: value" sent with every Send; false (nothing added) for a line holding CR,
    /// LF or NUL, or without a name.
    bool AddHeader(const QString& Line);
    /// The body sent with every Send (none at first).
    void SetBody(const QByteArray& Body);
    /// INTERNET_OPTION_USERNAME / PASSWORD: server credentials for the next Send.
    void SetCredentials(const QString& User, const QString& Password);
    /// INTERNET_OPTION_PROXY_USERNAME / PROXY_PASSWORD.
    void SetProxyCredentials(const QString& User, const QString& Password);
    /// InternetSetFilePointer before the body is read: asks the server for the body from byte Pos on
    /// (a Range request, sent at once). Returns where the body now starts: Pos when the server sent the
    /// range (or had nothing left to send, 416: Read then gives 0), 0 when it sent the whole body again,
    /// -1 when no answer came. With IfRange (an entity tag or an HTTP date) the server sends the range only
    /// while the body is still that version, else the whole body (0).
    int64_t SetFilePointer(int64_t Pos, const QString& IfRange = QString());

private:
    friend class TInetConnection;
    TInetRequest(TInetSession* Session, TInetHandle* Parent, QString Url);
    void Prepare() override;

    QString FMethod = QStringLiteral("GET");
    QList<QByteArray> FExtraHeaders;
    void* FHeaderList = nullptr;
    QByteArray FBody;
    bool FHasBody = false;
    QByteArray FIfRange;
    bool FRequestSent = false;
};

class TInetFtpFind;

/// InternetConnect: one server.
class TInetConnection : public TInetHandle {
public:
    ~TInetConnection() override;

    TInetService Service() const { return FService; }

    /// HttpOpenRequest: Object is the path on the server as written ("/dir/file.zip"); characters a URL
    /// can't carry are percent-encoded, "#" too (it is part of the name: "/a#b.txt" is that file), existing
    /// escapes are kept; "?" starts the query. Secure selects HTTPS, whose redirects are followed to HTTPS
    /// only. Null (Error says why) when this is no open HTTP connection.
    std::unique_ptr<TInetRequest> OpenRequest(const QString& Object, bool Secure, QString& Error);

    /// FtpFindFirstFile: a path whose last part may hold wildcards. Null when nothing matches (Error says
    /// why); else the search handle, with the first entry in First.
    std::unique_ptr<TInetFtpFind> FtpFindFirstFile(const QString& Pattern, TInetFindData& First,
                                                   QString& Error);
    /// FtpGetCurrentDirectory.
    bool FtpGetCurrentDirectory(QString& Directory);
    /// FtpSetCurrentDirectory: false (and the current directory unchanged, Error saying why) when the
    /// server refuses it.
    bool FtpSetCurrentDirectory(const QString& Directory, QString& Error);
    /// FtpOpenFile for reading in binary mode, from byte Offset on (REST). Null (Error says why) when the
    /// file can't be opened.
    std::unique_ptr<TInetTransfer> FtpOpenFile(const QString& FileName, int64_t Offset, QString& Error);
    /// Path made absolute: a path without a leading "/" is taken from the current directory (after the login,
    /// the login folder); "." parts and doubled "/" are dropped.
    QString FtpAbsolutePath(const QString& Path) const;
    /// LIST of Directory: the entries whose names match Pattern, at most MaxEntries of them (the listing is
    /// not read further; 0: all). False (Error says why) when the listing failed: the server refused the
    /// directory (Refused set), the listing broke off, ran out of time, or grew past the session's
    /// MaxReplySize. Names that are not UTF-8 or hold control characters come escaped (Escaped).
    bool FtpList(const QString& Directory, const QString& Pattern, size_t MaxEntries,
                 std::vector<TInetFindData>& Entries, QString& Error, bool& Refused);

private:
    friend class TInetSession;
    TInetConnection(TInetSession* Session, QString Host, int Port, QString User, QString Password,
                    TInetService Service);
    bool Login(QString& Error);
    /// The URL of an FTP path; relative paths are taken from the current directory.
    QString FtpUrl(const QString& Path, bool Directory) const;
    std::unique_ptr<TInetTransfer> NewFtpTransfer(const QString& Url);

    QString FHost;
    int FPort;
    QString FUser, FPassword;
    TInetService FService;
    QString FCurrentDirectory;
};

/// The handle of an FTP search: the entries after the first, handed out by FindNext.
class TInetFtpFind : public TInetHandle {
public:
    ~TInetFtpFind() override;
    /// InternetFindNextFile: false when no entry is left.
    bool FindNext(TInetFindData& Data);

private:
    friend class TInetConnection;
    TInetFtpFind(TInetSession* Session, TInetHandle* Parent, std::vector<TInetFindData> Entries);
    std::vector<TInetFindData> FEntries;
    size_t FNext = 1;
};

/// The URL of Host:Port for a scheme, with IPv6 literals bracketed.
QString InetServerUrl(const QString& Scheme, const QString& Host, int Port);
/// Percent-encodes what a URL path can't carry (controls, spaces, non-ASCII, and "%" when EscapePercent);
/// "/" and the other printable characters are kept.
QString InetEncodePath(const QString& Path, bool EscapePercent);

} // namespace KvInet

// Inet: the Internet transfer layer the web components are written against. A session carries the
// settings every transfer shares (agent, proxy, time-out, trusted CAs); a connection names one server;
// an HTTP request is sent, its status and headers read, and its body then read in blocks while the
// network keeps pace (the body streams: a few hundred kilobytes at most are held in memory). FTP offers
// file queries, directory listings with wildcards, a current directory and file downloads; a URL can be
// read whole. Built on libcurl (easy handles driven by one multi handle per session, paused while the
// reader is behind).
//
// Handles nest like the API they stand in for: session > connection > request, search or file. Closing a
// handle (or destroying it) closes everything opened under it; a closed child fails every later call.
// Failures are not exceptions: calls return false, -1 or null, and InetLastError() says why.
#pragma once

#include <QDateTime>
#include <QList>
#include <QString>

#include <cstdint>
#include <memory>
#include <vector>

namespace KvInet {

/// The kind of server a connection talks to.
enum TInetService { INTERNET_SERVICE_FTP = 1, INTERNET_SERVICE_HTTP = 3 };

/// The text of the last failure on this thread ("" after a success that cleared it).
QString InetLastError();

/// True when Name matches Pattern: "*" any run of characters, "?" one character, case-sensitive.
bool InetWildcardMatch(const QString& Pattern, const QString& Name);

/// One entry found by an FTP or file search.
struct TInetFindData {
    QString FileName;        ///< the name alone, no directory
    int64_t FileSize = 0;    ///< bytes; 0 when unknown
    QDateTime LastWriteTime; ///< UTC; invalid when unknown
    bool IsDirectory = false;
};

/// Parses one line of an FTP LIST answer (Unix "ls -l" or DOS form). False for lines that are no entry
/// (the "total" line, blank lines).
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
    /// Seconds allowed for connecting and for any stretch without data; 0: no limit.
    int Timeout = 60;
    /// A PEM file of CAs trusted in addition to the system's store.
    QString CACertFile;
};

class TInetConnection;
class TInetTransfer;

/// InternetOpen: the root of the handle tree.
class TInetSession : public TInetHandle {
public:
    /// Null when the transfer library could not be set up.
    static std::unique_ptr<TInetSession> Open(const TInetSessionSettings& Settings);
    ~TInetSession() override;

    const TInetSessionSettings& Settings() const { return FSettings; }

    /// InternetConnect. For FTP the server is contacted and logged in to now (null when that fails); for
    /// HTTP nothing is sent until a request is.
    std::unique_ptr<TInetConnection> Connect(const QString& Host, int Port, const QString& User,
                                             const QString& Password, TInetService Service);

    /// InternetOpenUrl: starts a GET of a full URL (http, https, ftp, file) and waits for its first bytes.
    /// Null when no answer came; the body of an error page is delivered like any other.
    std::unique_ptr<TInetTransfer> OpenUrl(const QString& Url);

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

    /// Reads Count bytes of the body (fewer only at its end): the count, 0 at its end, -1 when the transfer failed (a cut
    /// connection, a body shorter than announced, a time-out).
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
    /// Ends the transfer as if its body had been read (an answer that carries nothing we want).
    void EndWithoutBody();
    QString Url() const { return FUrl; }
    bool Done() const { return FDone; }
    /// The failure text of a transfer that ended with an error ("" otherwise).
    QString ErrorText() const { return FError; }
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
};

/// HttpOpenRequest: one GET of an object on the connection's server.
class TInetRequest : public TInetTransfer {
public:
    ~TInetRequest() override;

    /// HttpSendRequest: sends the request (again: a running one is dropped) and waits for the answer's
    /// headers. False when no status could be read (no connection, TLS refused, time-out).
    bool Send();
    /// INTERNET_OPTION_USERNAME / PASSWORD: server credentials for the next Send.
    void SetCredentials(const QString& User, const QString& Password);
    /// INTERNET_OPTION_PROXY_USERNAME / PROXY_PASSWORD.
    void SetProxyCredentials(const QString& User, const QString& Password);
    /// InternetSetFilePointer before the body is read: asks the server for the body from byte Pos on
    /// (a Range request, sent at once). Returns where the body now starts: Pos when the server sent the
    /// range (or had nothing left to send, 416: Read then gives 0), 0 when it sent the whole body again,
    /// -1 when no answer came.
    int64_t SetFilePointer(int64_t Pos);

private:
    friend class TInetConnection;
    TInetRequest(TInetSession* Session, TInetHandle* Parent, QString Url);
    void Prepare() override;
};

class TInetFtpFind;

/// InternetConnect: one server.
class TInetConnection : public TInetHandle {
public:
    ~TInetConnection() override;

    TInetService Service() const { return FService; }

    /// HttpOpenRequest: Object is the path on the server as written ("/dir/file.zip"); characters a URL
    /// can't carry are percent-encoded, existing escapes are kept. Secure selects HTTPS.
    std::unique_ptr<TInetRequest> OpenRequest(const QString& Object, bool Secure);

    /// FtpFindFirstFile: a path whose last part may hold wildcards. Null when nothing matches; else the
    /// search handle, with the first entry in First.
    std::unique_ptr<TInetFtpFind> FtpFindFirstFile(const QString& Pattern, TInetFindData& First);
    /// FtpGetCurrentDirectory.
    bool FtpGetCurrentDirectory(QString& Directory);
    /// FtpSetCurrentDirectory: false (and the current directory unchanged) when the server refuses it.
    bool FtpSetCurrentDirectory(const QString& Directory);
    /// FtpOpenFile for reading in binary mode, from byte Offset on (REST). Null when the file can't be
    /// opened.
    std::unique_ptr<TInetTransfer> FtpOpenFile(const QString& FileName, int64_t Offset = 0);

private:
    friend class TInetSession;
    TInetConnection(TInetSession* Session, QString Host, int Port, QString User, QString Password,
                    TInetService Service);
    bool Login();
    /// The URL of an FTP path; relative paths are taken from the current directory.
    QString FtpUrl(const QString& Path, bool Directory) const;
    QString AbsolutePath(const QString& Path) const;
    std::unique_ptr<TInetTransfer> NewFtpTransfer(const QString& Url);
    bool FtpList(const QString& Directory, std::vector<TInetFindData>& Entries);

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

// InetLocation: what the web components are written against. One interface, TInetLocation, with an
// implementation per service (HTTP or HTTPS, FTP, a path in the file system), chosen once; a file found
// is read through a TInetSource. Built on the handles of InetHandles.
#pragma once

#include "platform/InetHandles.h"

#include <QByteArray>
#include <QDateTime>
#include <QString>
#include <QStringList>

#include <cstdint>
#include <functional>
#include <memory>

namespace KvInet {

/// What a search found of one file.
struct TInetFileInfo {
    int64_t Size = -1; ///< bytes; -1 when unknown (an HTTP answer without Content-Length)
    QDateTime Time;    ///< last write, UTC; invalid when unknown
    QString ETag;      ///< the HTTP answer's entity tag as sent ("" when none, or not HTTP)
    bool IsDirectory = false;
};

/// A demand for credentials while a request is sent: Status is 401 (the server's) or 407 (the proxy's).
/// The handler fills User and Password and returns true to send the request again with them, or sets
/// Refusal (the failure's text) and returns false to give up.
struct TInetChallenge {
    int Status = 0;
    QString User;
    QString Password;
    QString Refusal;
};
using TInetChallengeHandler = std::function<bool(TInetChallenge& Challenge)>;

/// One file found by TInetLocation::Find, to be read once from an offset.
class TInetSource {
public:
    TInetSource() = default;
    TInetSource(const TInetSource&) = delete;
    TInetSource& operator=(const TInetSource&) = delete;
    virtual ~TInetSource();

    /// Size and time as the search found them.
    const TInetFileInfo& Info() const { return FInfo; }
    /// Starts the data at byte Offset (0: from the start); called once, before the first read. Returns
    /// where the data now starts: Offset (also when nothing follows it), 0 when the server sends the whole
    /// file again, -1 when the file can't be read (ErrorText says why). IfRange (HTTP: an entity tag or a
    /// date) asks for the rest only while the file is still that version, and for the whole file
    /// otherwise; other sources ignore it.
    virtual int64_t Open(int64_t Offset, const QString& IfRange = QString()) = 0;
    /// Reads what is there, up to Count bytes, waiting only while nothing is: the count, 0 at the end, -1
    /// when the data broke off (a cut connection, a body shorter than announced, a time-out; ErrorText).
    virtual int64_t ReadSome(char* Buffer, int64_t Count) = 0;
    /// Why the last call failed ("" when none did).
    const QString& ErrorText() const { return FError; }

protected:
    TInetFileInfo FInfo;
    QString FError;
};

struct TInetListWalk;

/// Takes one line of a listing. Escaped: the line shows a name rather than naming it (its bytes were not
/// UTF-8, or, from an FTP server, held control characters): backslash, control characters and those bytes
/// are written as EscapeBytes writes them.
using TInetListAdd = std::function<void(const QString& Line, bool Escaped)>;
/// Takes a directory the walk could not list, with the reason. Missing: it is not there (or the server
/// would not enter it, which an FTP server does not tell apart); otherwise it could not be read.
using TInetListProblem = std::function<void(const QString& Problem, bool Missing)>;

/// Where a web component's files are: a server over HTTP or HTTPS, an FTP server, or a path in the file
/// system (local or a mounted share). Every kind offers the same operations; a component chooses the kind
/// once, with Open, and never asks which it has.
class TInetLocation {
public:
    enum TKind { lkHTTP, lkHTTPS, lkFTP, lkPath };

    /// Opens a location. HTTP, HTTPS and FTP connect through Session to Host:Port (FTP logs in now, with
    /// User and Password; HTTP sends them with every request); a path needs neither. Null when it can't be
    /// opened (Error says why).
    static std::unique_ptr<TInetLocation> Open(TKind Kind, TInetSession* Session, const QString& Host,
                                               int Port, const QString& User, const QString& Password,
                                               QString& Error);
    TInetLocation() = default;
    TInetLocation(const TInetLocation&) = delete;
    TInetLocation& operator=(const TInetLocation&) = delete;
    virtual ~TInetLocation();

    /// Finds one file by name (HTTP, HTTPS: the object path as written; FTP: the path on the server, its
    /// last part may hold wildcards; a path: a file name, its last part may hold wildcards). HTTP sends a
    /// GET whose answer stays open to be read; demands for credentials go to Challenge (without one they
    /// end the search); an answer other than 2xx is no file. Null when nothing was found (Error says why).
    virtual std::unique_ptr<TInetSource> Find(const QString& Name, const TInetChallengeHandler& Challenge,
                                              QString& Error) = 0;
    /// Lists Directory, passing Add the line of every entry whose name matches Pattern, and lists the
    /// matching subdirectories as well when IncludeSubdirs (links to directories are not entered). FTP: an
    /// empty Directory is "/", a path without a leading "/" is taken from the login folder; lines are
    /// "name" for the current (login) directory and "DIR/name" elsewhere, DIR as given. Paths: an empty
    /// Directory is the working directory; lines are "DIR/name", every name read by its bytes, subdirectories
    /// entered by them too. A directory that can't be entered or read goes to Problem and the listing goes
    /// on; so does an FTP subdirectory whose name came escaped (it can't be named to the server). HTTP and
    /// HTTPS list nothing. The walk enters at most InetListMaxDepth levels below Directory and adds at most
    /// InetListMaxLines lines (a server that shows links to directories as directories would make it
    /// endless); the result says which limit cut it short, "" when none did.
    QString List(const QString& Directory, const QString& Pattern, bool IncludeSubdirs,
                 const TInetListAdd& Add, const TInetListProblem& Problem);
    /// Sends one HTTP request (HTTP and HTTPS only): Method, the object path, extra header lines ("Name:
    /// value") and a body (HTTP/1.1 then; only 307 and 308 are followed, keeping method and body). Demands
    /// for credentials go to Challenge. Returns the request with its answer's status and headers read and
    /// its body ready to be read; null when no answer came, a header line was refused or the location is
    /// no HTTP server (Error says why).
    virtual std::unique_ptr<TInetRequest> Request(const QString& Method, const QString& Object,
                                                  const QStringList& Headers, const QByteArray& Body,
                                                  const TInetChallengeHandler& Challenge, QString& Error);

protected:
    /// One level of List: Directory's entries through State (which counts the lines and keeps the limits),
    /// then the subdirectories at Depth + 1 when IncludeSubdirs. Nothing here: HTTP lists nothing.
    virtual void Walk(const QString& Directory, const QString& Pattern, bool IncludeSubdirs,
                      const TInetListAdd& Add, const TInetListProblem& Problem, TInetListWalk& State,
                      int Depth);
};

/// How deep a directory walk goes below the directory asked for, and how many lines it adds at most.
constexpr int InetListMaxDepth = 32;
constexpr int64_t InetListMaxLines = 100000;
} // namespace KvInet

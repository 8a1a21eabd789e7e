// kviupdate: the base of the web components (one remote location over HTTP, HTTPS, FTP or a file path,
// with the Execute cycle, actions, statuses, progress and the status window), the status-window settings
// and the interface of the window itself, the private temporary copy that several components download
// into, and the web updater that brings a local copy of one remote file up to date.
#pragma once

#include "platform/Classes.h"
#include "platform/Inet.h"
#include "socket/KvInBase.h"

#include <QDateTime>
#include <QDeadlineTimer>

#include <functional>
#include <memory>

namespace KvInet {

class TKvLogonChallenge;

/// The enumerations of the web components (a gadget so that properties of these types stream by name).
struct TKvWebTypes {
    Q_GADGET
public:
    /// The kind of location: HTTP, HTTPS, FTP, or a path in the file system (local or a mounted share).
    enum TKvIService { isHTTP, isHTTPS, isFTP, isNetwork };
    Q_ENUM(TKvIService)
    /// The outcome of the current or last Execute.
    enum TKvIStatus { isInProgress, isFinished, isFailed, isSkipped, isNotFound };
    Q_ENUM(TKvIStatus)
    /// The current step.
    enum TKvIAction {
        iaIdle,
        iaConnecting,
        iaConnected,
        iaDisconnecting,
        iaDisconnected,
        iaFileSearch,
        iaFileFound,
        iaComparing,
        iaCompared,
        iaDownloading,
        iaDownloaded
    };
    Q_ENUM(TKvIAction)
};
using TKvIService = TKvWebTypes::TKvIService;
using TKvIStatus = TKvWebTypes::TKvIStatus;
using TKvIAction = TKvWebTypes::TKvIAction;
using enum TKvWebTypes::TKvIService;
using enum TKvWebTypes::TKvIStatus;
using enum TKvWebTypes::TKvIAction;

/// Progress of a download: bytes so far, expected total (0 when unknown), and Abort, which the handler
/// sets to stop the download.
using TKvIProgress = std::function<void(QObject* Sender, int64_t CurValue, int64_t MaxValue, bool& Abort)>;
/// The updater's comparison: Equal is true on entry when nothing needs downloading; false on return
/// means "download".
using TKvIFileCompare = std::function<void(QObject* Sender, bool& Equal)>;

/// How the status window is dressed, and whether it is shown at all (off by default).
class TKvInetStatusDialog : public TPersistent {
    Q_OBJECT
    Q_PROPERTY(bool Enabled READ Enabled WRITE SetEnabled)
    Q_PROPERTY(int HelpContext READ HelpContext WRITE SetHelpContext)
    Q_PROPERTY(QByteArray Picture READ Picture WRITE SetPicture)
    Q_PROPERTY(QByteArray Icon READ Icon WRITE SetIcon)
    Q_PROPERTY(QString Title READ Title WRITE SetTitle)
    Q_PROPERTY(QString Description READ Description WRITE SetDescription)
public:
    explicit TKvInetStatusDialog(QObject* Parent = nullptr) : TPersistent(Parent) {}

    /// Copies all six settings from another TKvInetStatusDialog; any other source raises EConvertError.
    void Assign(const TPersistent* Source) override;

    bool Enabled() const { return FEnabled; }
    void SetEnabled(bool Value) { FEnabled = Value; }
    /// Stored and copied; this platform has no help system to apply it to.
    int HelpContext() const { return FHelpContext; }
    void SetHelpContext(int Value) { FHelpContext = Value; }
    /// The window's left-hand picture, encoded (the bytes of a PNG, BMP... file); replaces the built-in one
    /// when it decodes. Stored forms hold it as PNG.
    const QByteArray& Picture() const { return FPicture; }
    void SetPicture(const QByteArray& Value) { FPicture = Value; }
    /// The window's icon, encoded as Picture; replaces the built-in one when it decodes.
    const QByteArray& Icon() const { return FIcon; }
    void SetIcon(const QByteArray& Value) { FIcon = Value; }
    /// The bold caption of the window's banner (the application's title when empty).
    const QString& Title() const { return FTitle; }
    void SetTitle(const QString& Value) { FTitle = Value; }
    /// The text under the caption.
    const QString& Description() const { return FDescription; }
    void SetDescription(const QString& Value) { FDescription = Value; }

private:
    bool FEnabled = false;
    int FHelpContext = 0;
    QString FTitle;
    QString FDescription;
    QByteArray FPicture;
    QByteArray FIcon;
};

/// What a web component does to its status window (KvInStat has the Qt window and the stderr line).
class TKvInetStatusView {
public:
    TKvInetStatusView() = default;
    TKvInetStatusView(const TKvInetStatusView&) = delete;
    TKvInetStatusView& operator=(const TKvInetStatusView&) = delete;
    virtual ~TKvInetStatusView() = default;

    /// Dresses the window from the settings: caption (Title, else the application's title),
    /// description, icon and picture when not empty, the file names (hidden when ShowFileNames is false).
    virtual void Prepare(const TKvInetStatusDialog& Settings, bool ShowFileNames, const QString& Remote,
                         const QString& Local) = 0;
    /// Clears IsCanceled and shows the window without waiting.
    virtual void ShowStatus() = 0;
    /// The status line and step glyph of an action.
    virtual void ShowAction(TKvIAction Action) = 0;
    /// The progress bar and the progress line.
    virtual void ShowProgress(int64_t CurValue, int64_t MaxValue) = 0;

    /// Set by Cancel; read at every progress report.
    bool IsCanceled = false;
};

/// The status window for the calling thread: the Qt window on the GUI thread of a widget application, the
/// stderr line in a console program, none (null) on any other thread of a widget application.
std::unique_ptr<TKvInetStatusView> CreateStatusView();

/// A private directory for the temporary local copy of a remote file that a component downloads and then
/// reads (a picture, a page, a feed). The directory is made at first use, readable by this user only, and
/// removed with everything in it by the destructor, so no other local user can plant or swap the file.
class TKvTempCopy {
public:
    TKvTempCopy() = default;
    TKvTempCopy(const TKvTempCopy&) = delete;
    TKvTempCopy& operator=(const TKvTempCopy&) = delete;
    ~TKvTempCopy();

    /// The file for a copy of RemoteName: Base plus the remote name's extension (Extension), in the
    /// private directory. Empty when the directory can't be made.
    QString FileName(const QString& RemoteName, const QString& Base = QStringLiteral("copy"));
    /// The extension of a remote name with its dot (".xml"), taken from its last path segment only (after
    /// the last "/", before any "?" or "#"): ASCII letters and digits, 1 to 10 of them; else "".
    static QString Extension(const QString& RemoteName);

private:
    QString FDirectory;
};

/// Where a download goes, decided from the local file before any byte is written.
struct TKvDownloadTarget {
    QString FileName;      ///< the file written: the local file itself, or a part file beside it
    bool Append = false;   ///< continue the local file from its end (a resumed download)
    bool InPlace = false;  ///< FileName is the local file (appending, a device or pipe, a new resumable file)
    bool KeepPart = false; ///< a broken download's part still replaces the local file (there was none)
};

/// The outcome of copying a download.
struct TKvDownloadCopy {
    int64_t Total = 0;        ///< bytes of the file held locally at the end (the resumed part included)
    bool Aborted = false;     ///< OnProgress or the window's Cancel stopped it
    bool Broken = false;      ///< the data broke off, or ended short of the expected size
    bool WriteFailed = false; ///< the local file refused a write
    bool OverLimit = false;   ///< the download passed the component's download limit (Broken too)
    QString Reason;           ///< why it is not complete
    bool Complete() const { return !Aborted && !Broken && !WriteFailed; }
};

/// The base of the web components. Holds one remote location (Service, Host, Port, User, Password,
/// Proxy) and gives descendants the operations to connect, find a file, list a directory and download,
/// all reported through Action, Status and the events. Execute runs the descendant's InternalExecute
/// inside the common frame. Failures of the network are not exceptions: they end in Status and LastError.
class TKvCustomWebComponent : public TComponent {
    Q_OBJECT
    Q_PROPERTY(QString Agent READ Agent WRITE SetAgent)
    Q_PROPERTY(int Port READ Port WRITE SetPort STORED true)
    Q_PROPERTY(KvInet::TKvWebTypes::TKvIService Service READ Service WRITE SetService)
    Q_PROPERTY(QString Host READ Host WRITE SetHost)
    Q_PROPERTY(QString User READ User WRITE SetUser)
    Q_PROPERTY(QString Password READ Password WRITE SetPassword)
    Q_PROPERTY(KvInet::TKvInetProxy* Proxy READ Proxy WRITE SetProxy)
    Q_PROPERTY(KvInet::TKvInetStatusDialog* StatusDialog READ StatusDialog WRITE SetStatusDialog)
    Q_PROPERTY(bool LoginPrompt READ LoginPrompt WRITE SetLoginPrompt)
    Q_PROPERTY(int Timeout READ Timeout WRITE SetTimeout)
    Q_PROPERTY(QString CACertFile READ CACertFile WRITE SetCACertFile)
    Q_PROPERTY(int TotalTimeout READ TotalTimeout WRITE SetTotalTimeout)
    Q_PROPERTY(qint64 MaxReplySize READ MaxReplySize WRITE SetMaxReplySize)
public:
    explicit TKvCustomWebComponent(TComponent* AOwner = nullptr);
    ~TKvCustomWebComponent() override;

    /// Fires OnBeforeExecute, shows the status window when StatusDialog.Enabled is set, sets Status to
    /// isInProgress, runs InternalExecute, sets isFinished unless another outcome was set, frees the window
    /// and fires OnAfterExecute. True unless Status is isFailed. The library's exceptions from
    /// InternalExecute (local file errors) pass through, skipping the rest but closing the window; any
    /// other (memory exhausted) ends the run as isFailed with LastError. A call while this component's
    /// Execute is already running (through the pumped message queue) is refused: false, nothing changed.
    virtual bool Execute();

    const QString& Agent() const { return FWEBAgent; }
    void SetAgent(const QString& Value) { FWEBAgent = Value; }
    int Port() const { return FWEBPort; }
    void SetPort(int Value) { FWEBPort = quint16(Value); }
    TKvIService Service() const { return FService; }
    /// Also sets Port for the service (80, 443, 21; a file path leaves it); the same service again changes
    /// nothing.
    void SetService(TKvIService Value);
    const QString& Host() const { return FWEBHost; }
    void SetHost(const QString& Value) { FWEBHost = Value; }
    const QString& User() const { return FWEBUser; }
    void SetUser(const QString& Value) { FWEBUser = Value; }
    const QString& Password() const { return FWEBPassword; }
    void SetPassword(const QString& Value) { FWEBPassword = Value; }
    TKvInetProxy* Proxy() const { return FProxy; }
    /// Copies the settings (the object is not kept).
    void SetProxy(TKvInetProxy* Value) { FProxy->Assign(Value); }
    TKvInetStatusDialog* StatusDialog() const { return FStatusDialog; }
    void SetStatusDialog(TKvInetStatusDialog* Value) { FStatusDialog->Assign(Value); }
    /// Ask for credentials (KvInAskLogon) when the server (401) or the proxy (407) demands them; when off,
    /// the stored credentials are tried once.
    bool LoginPrompt() const { return FLoginPrompt; }
    void SetLoginPrompt(bool Value) { FLoginPrompt = Value; }
    /// Seconds allowed for connecting and for any stretch of a transfer without data (0: no limit).
    int Timeout() const { return FTimeout; }
    void SetTimeout(int Value) { FTimeout = Value; }
    /// A PEM file of CAs trusted for HTTPS besides the system's store.
    const QString& CACertFile() const { return FCACertFile; }
    void SetCACertFile(const QString& Value) { FCACertFile = Value; }
    /// Seconds allowed for a whole Execute (0: no limit); passing it fails the Execute.
    int TotalTimeout() const { return FTotalTimeout; }
    void SetTotalTimeout(int Value) { FTotalTimeout = Value; }
    /// Bytes a component keeps in memory from one answer (text or a memory stream; not what is written to
    /// a file); 0: no limit. Passing it fails the Execute. 256 MiB at first.
    int64_t MaxReplySize() const { return FMaxReplySize; }
    void SetMaxReplySize(int64_t Value) { FMaxReplySize = Value; }

    TKvIAction Action() const { return FAction; }
    TKvIStatus Status() const { return FStatus; }
    /// Append to an existing local file, asking the server only for the bytes after it.
    bool ResumeDownload() const { return FResumeDownload; }
    void SetResumeDownload(bool Value) { FResumeDownload = Value; }
    /// Empty when the last Execute went through; otherwise why it did not (also for isNotFound).
    const QString& LastError() const { return FLastError; }

    const TKvIProgress& OnProgress() const { return FOnProgress; }
    void SetOnProgress(TKvIProgress Value) { FOnProgress = std::move(Value); }
    const TNotifyEvent& OnBeforeExecute() const { return FOnBeforeExecute; }
    void SetOnBeforeExecute(TNotifyEvent Value) { FOnBeforeExecute = std::move(Value); }
    const TNotifyEvent& OnAfterExecute() const { return FOnAfterExecute; }
    void SetOnAfterExecute(TNotifyEvent Value) { FOnAfterExecute = std::move(Value); }
    /// Fired after every change of Action.
    const TNotifyEvent& OnActionChange() const { return FOnActionChange; }
    void SetOnActionChange(TNotifyEvent Value) { FOnActionChange = std::move(Value); }
    /// Fired after every change of Status.
    const TNotifyEvent& OnStatusChange() const { return FOnStatusChange; }
    void SetOnStatusChange(TNotifyEvent Value) { FOnStatusChange = std::move(Value); }

    /// The status window while Execute runs (null otherwise or when not enabled).
    TKvInetStatusView* StatusView() const { return dlgStatus.get(); }

protected:
    /// The descendant's work.
    virtual void InternalExecute() = 0;

    /// Opens the location of Service in hURL: for HTTP, HTTPS and FTP a session (hInet, refreshing Proxy
    /// from the system's setting first when FillProxy is set) and a connection (FTP logs in now); for
    /// isNetwork the file-system location, without a session. Actions iaConnecting, iaConnected. A handle
    /// that fails to open stays null (LastError says why). A property that RequestInputError refuses
    /// opens nothing: Status isFailed, LastError names the property, the action stays iaConnecting.
    void ConnectToInet(bool FillProxy);
    /// Why a property that goes into a request line or header can't be sent ("" when all can): Agent, Host,
    /// User, Password and the proxy's Server, User and Password holding CR or LF ("Invalid Agent: line
    /// breaks are not allowed") or NUL. Checked before anything is connected by ConnectToInet and
    /// ReadHTTPGetResponse; a descendant adds what it sends of its own.
    virtual QString RequestInputError() const;
    /// The refusal of one value for RequestInputError: "" when Value holds no CR, LF or NUL.
    static QString RefusedInRequest(const QString& Value, const char* Property);
    /// Closes the current file, the location and the session. Actions iaDisconnecting, iaDisconnected.
    void DisconnectFromInet();
    /// Size and last-write time (UTC) of one remote file, kept open in hFindFile for ReadFileFromInet
    /// (HTTP: the answer of the GET sent). Answers 401 and 407 with the stored or prompted credentials.
    /// False when the file is missing, the server answered with a status other than 2xx, credentials were
    /// refused or no answer came (three sends at most); LastError says which. FileSize is 0 when the
    /// size is unknown (FileSizeKnown then false); FileTime is left alone when no time is known.
    bool GetFileInfoFromInet(const QString& FileName, int64_t& FileSize, QDateTime& FileTime);
    /// Whether the last GetFileInfoFromInet learned the file's size (an HTTP answer without
    /// Content-Length, chunked or ended by the close, has none).
    bool FileSizeKnown() const { return FFileSizeKnown; }
    /// Adds the entries of Directory matching Wildcard to List (FTP: "name" or "DIR/name", a Directory
    /// without a leading "/" taken from the login folder; files: DIR "/" name), with the matching
    /// subdirectories' entries when IncludeSubdirs. A directory that can't be entered or whose listing fails
    /// (refused, unreadable, cut off, too large, out of time) is shown in an error message and skipped
    /// (ListingSkipped and LastError name it). A name that is not UTF-8 (or, from an FTP server, holds
    /// control characters) is listed escaped (ListingEscaped). The walk enters at most 32 levels and adds at
    /// most 100,000 lines; when it is cut short ListingLimit (and LastError) says why. True when List holds
    /// a line.
    bool ReadDirFromInet(const QString& Directory, const QString& Wildcard, bool IncludeSubdirs, TStrings* List);
    /// Why the last ReadDirFromInet stopped before the end of the walk; "" when it went through.
    const QString& ListingLimit() const { return FListingLimit; }
    /// The directories the last ReadDirFromInet could not enter, one reason each ("Cannot list DIR: ...").
    const QStringList& ListingSkipped() const { return FListingSkipped; }
    /// Whether a directory of the last ReadDirFromInet could not be read for another reason than not being
    /// there (for FTP: not being entered).
    bool ListingFailed() const { return FListingFailed; }
    /// The indexes in List of the lines the last ReadDirFromInet added escaped: they show a name (backslash,
    /// control characters and bytes that are not UTF-8 written \\, \r, \n, \t, \xhh) and name no file.
    const QList<int>& ListingEscaped() const { return FListingEscaped; }
    /// Downloads a remote file into LocalFile in 2050-byte blocks with a progress report per block (the
    /// file found by GetFileInfoFromInet when it is the same name, else the name is searched now).
    /// False when no source could be opened. True when the copy ran: Status is then isFailed if it was
    /// cancelled or cut short (LastError says which). A full download is written beside the local file
    /// and replaces it only when complete; a resumed one appends to it. A local name that is a link is
    /// written where the link points. A partial copy that stays gets a record of the remote version
    /// beside it (PartRecordName), so that a resume continues that version only; a complete download
    /// removes it. Raises the file-stream errors of the local file. The steps, each usable alone, follow.
    bool ReadFileFromInet(const QString& RemoteFile, const QString& LocalFile, int64_t ExpectedSize);
    /// Where a resumed download starts: the local file's size when ResumeDownload is set and it is a file
    /// no longer than ExpectedSize (when known), else 0.
    int64_t ResumeOffset(const QString& LocalFile, int64_t ExpectedSize) const;
    /// Opens the source of RemoteFile at From (hFindFile); From becomes where its data starts (0 when the
    /// server sends the whole file). When LocalFile's partial copy has a record of the version it holds,
    /// From is kept only while the source is still that version (HTTP also asks the server so, with
    /// If-Range); otherwise the download starts over. Null when it can't be read (LastError says why).
    TInetSource* OpenDownloadSource(const QString& RemoteFile, const QString& LocalFile, int64_t& From);
    /// Where a download whose data starts at From goes (see TKvDownloadTarget).
    static TKvDownloadTarget ChooseDownloadTarget(const QString& LocalFile, bool Resume, int64_t From);
    /// Copies Source into Target from byte From on, reporting each 2050-byte block through UpdateProgress;
    /// stops at Abort, at a broken read, at a refused flush and at the TotalTimeout. Raises the stream's
    /// write errors.
    TKvDownloadCopy CopyDownload(TInetSource& Source, TFileStream& Target, int64_t From,
                                 int64_t ExpectedSize);
    /// Bytes a download may bring, for a copy that is read into memory afterwards (0, the default: none).
    /// The block that passes the limit is reported, then the download breaks: the run fails with Message
    /// and nothing of the download is kept (no part to resume: it could never pass the limit either).
    void SetDownloadLimit(int64_t Bytes, const QString& Message) {
        FDownloadLimit = Bytes;
        FDownloadLimitText = Message;
    }
    /// Puts a part file in place of LocalFile when Complete (or when Target.KeepPart), else removes it.
    /// Raises EFCreateError when the part can't replace the local file.
    static void CommitDownload(const TKvDownloadTarget& Target, const QString& LocalFile, bool Complete);
    /// The file a local name stands for: a link is followed to where it points (also when nothing is
    /// there yet); any other name is itself. A link loop leaves the name as it is.
    static QString ResolveLocalName(const QString& LocalFile);
    /// The record kept beside a partial copy: LocalFile + ".part-info".
    static QString PartRecordName(const QString& LocalFile);
    /// The body of a URL into Stream (from position 0, not truncated), read in 1 MiB blocks with a session
    /// of its own. The HTTP status is not examined; a failure leaves what arrived and is told in LastError.
    /// A URL holding CR, LF or NUL, or a property RequestInputError refuses, sends nothing.
    void ReadHTTPGetResponse(const QString& URL, TStream& Stream);
    /// The same, reporting: StatusCode is the HTTP status (0 when no answer came); true only when the whole
    /// body arrived. False for no answer, a body cut short, a time-out, or a body past MaxReplySize in a
    /// stream other than a file (LastError says which; what arrived stays in Stream).
    bool ReadHTTPGetResponse(const QString& URL, TStream& Stream, int& StatusCode);
    /// The same as text (one character per byte, the ANSI code page).
    QString ReadHTTPGetResponseString(const QString& URL);
    /// The same as text, reporting as the stream variant does.
    bool ReadHTTPGetResponseString(const QString& URL, QString& Text, int& StatusCode);
    /// What a session of this component is opened with (agent, proxy, time-outs, CAs).
    TInetSessionSettings SessionSettings() const;
    /// Holds TotalTimeout over an operation: Execute, or one a descendant runs outside Execute (a method of
    /// its own that fetches with ReadHTTPGetResponse). The limit starts with the guard and ends with it.
    /// Inside Execute, whose limit already runs, it changes nothing.
    class TOperationDeadline {
    public:
        explicit TOperationDeadline(TKvCustomWebComponent& Component);
        ~TOperationDeadline();
        TOperationDeadline(const TOperationDeadline&) = delete;
        TOperationDeadline& operator=(const TOperationDeadline&) = delete;

    private:
        TKvCustomWebComponent& FComponent;
        bool FStarted;
    };
    /// Shows progress in the status window (whose Cancel sets Abort), then fires OnProgress.
    void UpdateProgress(int64_t CurValue, int64_t MaxValue, bool& Abort);
    void SetAction(TKvIAction Value);
    void SetStatus(TKvIStatus Value);
    void SetLastError(const QString& Value) { FLastError = Value; }
    /// The remote and local names the status window shows; false to hide its file-name labels.
    virtual bool StatusFileNames(QString& Remote, QString& Local) const;

    /// The session (HTTP, HTTPS, FTP), none for isNetwork.
    std::unique_ptr<TInetSession> hInet;
    /// The location: a server's connection, or for isNetwork the file system.
    std::unique_ptr<TInetLocation> hURL;
    /// The file found by the last search (for HTTP the answer of its GET), or the file being read.
    std::unique_ptr<TInetSource> hFindFile;
    std::unique_ptr<TKvInetStatusView> dlgStatus;

private:
    bool AnswerChallenge(TKvLogonChallenge& Logon, TInetChallenge& Challenge);
    /// hURL->Find with this component's answers to demands for credentials.
    std::unique_ptr<TInetSource> FindRemoteFile(const QString& Name, QString& Error);
    void ShowStatusWindow();

    QString FWEBAgent;
    quint16 FWEBPort = 80;
    QString FWEBHost;
    QString FWEBUser;
    QString FWEBPassword;
    TKvIService FService = isHTTP;
    TKvIStatus FStatus = isInProgress;
    TKvIAction FAction = iaIdle;
    TKvInetProxy* FProxy;
    TKvInetStatusDialog* FStatusDialog;
    bool FLoginPrompt = true;
    bool FResumeDownload = false;
    int FTimeout = 60;
    int FTotalTimeout = 0;
    int64_t FMaxReplySize = int64_t(256) << 20;
    QString FCACertFile;
    QString FLastError;
    QString FListingLimit;
    QStringList FListingSkipped;
    QList<int> FListingEscaped;
    bool FListingFailed = false;
    bool FExecuting = false;
    bool FFileSizeKnown = false;
    QString FFoundName;
    QDeadlineTimer FDeadline{QDeadlineTimer::Forever};
    int64_t FDownloadLimit = 0;
    QString FDownloadLimitText;
    TKvIProgress FOnProgress;
    TNotifyEvent FOnActionChange;
    TNotifyEvent FOnStatusChange;
    TNotifyEvent FOnBeforeExecute;
    TNotifyEvent FOnAfterExecute;
};

/// Brings a local copy of one remote file up to date: connect, find the remote file's size and time,
/// compare them with the local file's, download when they differ (or OnFileCompare says so), stamp the
/// local copy with the remote time, disconnect.
class TKvCustomWebUpdater : public TKvCustomWebComponent {
    Q_OBJECT
    Q_PROPERTY(QString RemoteFileName READ RemoteFileName WRITE SetRemoteFileName)
public:
    explicit TKvCustomWebUpdater(TComponent* AOwner = nullptr) : TKvCustomWebComponent(AOwner) {}

    /// The path on the server (HTTP, HTTPS: the request's object as written; FTP: the file's path), or a
    /// file path for isNetwork.
    const QString& RemoteFileName() const { return FRemoteFileName; }
    /// Stores the name; descendants derive their local file from it.
    virtual void SetRemoteFileName(const QString& Value) { FRemoteFileName = Value; }
    const TKvIFileCompare& OnFileCompare() const { return FOnFileCompare; }
    void SetOnFileCompare(TKvIFileCompare Value) { FOnFileCompare = std::move(Value); }
    /// Size found by the last search (0 when none was reported or the size is unknown).
    int64_t RemoteFileSize() const { return FRemoteFileSize; }
    /// Last-write time (UTC) found by a search; kept when a search reports none; invalid at first.
    const QDateTime& RemoteFileCreated() const { return FRemoteFileCreated; }

protected:
    void InternalExecute() override;
    bool StatusFileNames(QString& Remote, QString& Local) const override;
    /// The base's refusals, and for FTP a RemoteFileName holding CR, LF or NUL (FTP commands carry the
    /// name as it is; HTTP percent-encodes it).
    QString RequestInputError() const override;

    const QString& LocalFileName() const { return FLocalFileName; }
    void SetLocalFileName(const QString& Value) { FLocalFileName = Value; }
    /// False when the last search could not learn the remote size (RemoteFileSize is then 0): such a file
    /// is downloaded when there is no local copy or no remote time, and otherwise compared by time only.
    bool RemoteFileSizeKnown() const { return FRemoteFileSizeKnown; }

private:
    bool NeedsDownload() const;
    /// ReadFileFromInet, resuming only a local copy that is not older than the remote file.
    bool DownloadRemoteFile();

    int64_t FRemoteFileSize = 0;
    bool FRemoteFileSizeKnown = false;
    QDateTime FRemoteFileCreated;
    QString FRemoteFileName;
    QString FLocalFileName;
    TKvIFileCompare FOnFileCompare;
};

/// An updater whose local file is a private temporary copy (TKvTempCopy) that the component then reads: a
/// picture, a page. The copy is named after the remote name's extension, deleted when RemoteFileName
/// changes and with the component.
class TKvCustomCopyUpdater : public TKvCustomWebUpdater {
    Q_OBJECT
public:
    explicit TKvCustomCopyUpdater(TComponent* AOwner = nullptr) : TKvCustomWebUpdater(AOwner) {}
    ~TKvCustomCopyUpdater() override;
    /// Stores the name, deletes the current copy and names the next one after the new remote name.
    void SetRemoteFileName(const QString& Value) override;
    /// The local copy ("" before RemoteFileName is first set).
    using TKvCustomWebUpdater::LocalFileName;

protected:
    /// The updater cycle into the copy; isFailed when no private directory could be made.
    void InternalExecute() override;
    /// Deletes the copy if it exists.
    void DeleteLocalFile();
    /// Whether a whole copy is there to read: the local file exists and is no part left by a broken
    /// download.
    bool CopyComplete() const;
    /// The copy's name without its extension, in the private directory.
    virtual QString CopyBaseName() const { return QStringLiteral("copy"); }

private:
    TKvTempCopy FCopy;
};

/// The web updater with its local file published.
class TKvWebUpdater : public TKvCustomWebUpdater {
    Q_OBJECT
    Q_PROPERTY(QString LocalFileName READ LocalFileName WRITE SetLocalFileName)
public:
    explicit TKvWebUpdater(TComponent* AOwner = nullptr) : TKvCustomWebUpdater(AOwner) {}
    using TKvCustomWebUpdater::LocalFileName;
    using TKvCustomWebUpdater::SetLocalFileName;
};

} // namespace KvInet

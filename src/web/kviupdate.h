// kviupdate: the base of the web components (one remote location over HTTP, HTTPS, FTP or a file path,
// with the Execute cycle, actions, statuses, progress and the status window), the status-window settings,
// and the web updater that brings a local copy of one remote file up to date.
#pragma once

#include "platform/Classes.h"
#include "platform/Inet.h"
#include "socket/KvInBase.h"

#include <QDateTime>
#include <QIcon>
#include <QImage>

#include <functional>
#include <memory>

namespace KvInet {

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
    Q_PROPERTY(QImage Picture READ Picture WRITE SetPicture)
    Q_PROPERTY(QIcon Icon READ Icon WRITE SetIcon)
    Q_PROPERTY(QString Title READ Title WRITE SetTitle)
    Q_PROPERTY(QString Description READ Description WRITE SetDescription)
public:
    explicit TKvInetStatusDialog(QObject* Parent = nullptr) : TPersistent(Parent) {}

    /// Copies all six settings (picture and icon by content) from another TKvInetStatusDialog; any other
    /// source raises EConvertError.
    void Assign(const TPersistent* Source) override;

    bool Enabled() const { return FEnabled; }
    void SetEnabled(bool Value) { FEnabled = Value; }
    /// Stored and copied; this platform has no help system to apply it to.
    int HelpContext() const { return FHelpContext; }
    void SetHelpContext(int Value) { FHelpContext = Value; }
    /// Replaces the window's left-hand picture when not empty.
    const QImage& Picture() const { return FPicture; }
    void SetPicture(const QImage& Value) { FPicture = Value; }
    /// Replaces the window's icon when not empty.
    const QIcon& Icon() const { return FIcon; }
    void SetIcon(const QIcon& Value) { FIcon = Value; }
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
    QImage FPicture;
    QIcon FIcon;
};

class TKvInetStatusView;

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
    /// and fires OnAfterExecute. True unless Status is isFailed. Exceptions of InternalExecute (local file
    /// errors) pass through, skipping the rest. A call while this component's Execute is already running
    /// (through the pumped message queue) is refused: false, nothing changed.
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

    /// Opens the session and the connection for Service (FTP logs in now), refreshing Proxy from the
    /// system's setting first when FillProxy is set. Actions iaConnecting, iaConnected. A handle that
    /// fails to open stays null (LastError says why).
    void ConnectToInet(bool FillProxy);
    /// Closes the current request or file, the connection and the session. Actions iaDisconnecting,
    /// iaDisconnected.
    void DisconnectFromInet();
    /// Size and last-write time (UTC) of one remote file; for HTTP the request stays open for
    /// ReadFileFromInet. Answers 401 and 407 with the stored or prompted credentials. False when the file
    /// is missing, the server answered with an error status (400 and above), credentials were refused or
    /// no answer came (three sends at most). FileTime is left alone when no time is known.
    bool GetFileInfoFromInet(const QString& FileName, int64_t& FileSize, QDateTime& FileTime);
    /// Adds the entries of Directory matching Wildcard to List (FTP: "name" or "DIR/name"; files: DIR "/"
    /// name), with the matching subdirectories' entries when IncludeSubdirs. True when List holds a line.
    bool ReadDirFromInet(const QString& Directory, const QString& Wildcard, bool IncludeSubdirs, TStrings* List);
    /// Downloads a remote file into LocalFile in 2050-byte blocks with a progress report per block.
    /// False when no source could be opened. True when the copy ran: Status is then isFailed if it was
    /// cancelled or cut short (LastError says which). A full download is written beside the local file
    /// and replaces it only when complete; a resumed one appends to it. Raises the file-stream errors of
    /// the local file.
    bool ReadFileFromInet(const QString& RemoteFile, const QString& LocalFile, int64_t ExpectedSize);
    /// The body of a URL into Stream (from position 0, not truncated), read in 1 MiB blocks with a session
    /// of its own. The HTTP status is not examined.
    void ReadHTTPGetResponse(const QString& URL, TStream& Stream);
    /// The same as text (one character per byte, the ANSI code page).
    QString ReadHTTPGetResponseString(const QString& URL);
    /// Shows progress in the status window (whose Cancel sets Abort), then fires OnProgress.
    void UpdateProgress(int64_t CurValue, int64_t MaxValue, bool& Abort);
    void SetAction(TKvIAction Value);
    void SetStatus(TKvIStatus Value);
    void SetLastError(const QString& Value) { FLastError = Value; }
    /// The remote and local names the status window shows; false to hide its file-name labels.
    virtual bool StatusFileNames(QString& Remote, QString& Local) const;

    std::unique_ptr<TInetSession> hInet;
    std::unique_ptr<TInetConnection> hURL;
    /// The current HTTP request, FTP search or FTP file.
    std::unique_ptr<TInetHandle> hFindFile;
    std::unique_ptr<TKvInetStatusView> dlgStatus;

private:
    bool HttpFileInfo(const QString& FileName, int64_t& FileSize, QDateTime& FileTime);
    TInetSessionSettings SessionSettings() const;
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
    bool FExecuting = false;
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
    /// Size found by the last search (0 when none was reported).
    int64_t RemoteFileSize() const { return FRemoteFileSize; }
    /// Last-write time (UTC) found by a search; kept when a search reports none; invalid at first.
    const QDateTime& RemoteFileCreated() const { return FRemoteFileCreated; }

protected:
    void InternalExecute() override;
    bool StatusFileNames(QString& Remote, QString& Local) const override;

    const QString& LocalFileName() const { return FLocalFileName; }
    void SetLocalFileName(const QString& Value) { FLocalFileName = Value; }

private:
    bool NeedsDownload() const;
    /// ReadFileFromInet, resuming only a local copy that is not older than the remote file.
    bool DownloadRemoteFile();

    int64_t FRemoteFileSize = 0;
    QDateTime FRemoteFileCreated;
    QString FRemoteFileName;
    QString FLocalFileName;
    TKvIFileCompare FOnFileCompare;
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

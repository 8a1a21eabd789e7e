// kviupdate: the web component base, the status-window settings and the web updater.
#include "web/kviupdate.h"

#include "platform/Forms.h"
#include "platform/WireText.h"
#include "socket/KvILogOn.h"
#include "socket/KvInCnst.h"
#include "web/KvInStat.h"

#include <QDir>
#include <QFile>
#include <QFileInfo>

#include <cstdio>
#include <cstring>
#include <vector>

namespace KvInet {

namespace {

// Downloads are reported in blocks of this size.
constexpr int64_t DownloadBlock = 2050;
// Downloads are read and written in pieces of this size: a write per block costs a third more time, and pieces
// much larger than the processor's cache make the kernel's copy into the page cache slow.
constexpr size_t WriteBehind = 128 * 1024;
// URL reads move data in blocks of this size.
constexpr int64_t UrlBlock = 0x100000;
// Sends of one request whose answer could not be read before the search gives up.
constexpr int MaxUnansweredSends = 3;
// A full download is written under this name beside the local file.
const QString PartSuffix = QStringLiteral(".part");

bool IsDotEntry(const QString& Name) { return Name == QLatin1String(".") || Name == QLatin1String(".."); }

/// The entries of a local search: Pattern is a path whose name part may hold wildcards. Directories are
/// entries too; "." and ".." come first when the pattern matches them, as a directory search reports them.
std::vector<std::pair<QFileInfo, QString>> LocalFind(const QString& Pattern) {
    std::vector<std::pair<QFileInfo, QString>> found;
    const qsizetype slash = Pattern.lastIndexOf(u'/');
    const QString directory = slash < 0 ? QStringLiteral(".") : (slash == 0 ? QStringLiteral("/") : Pattern.left(slash));
    const QString name = Pattern.mid(slash + 1);
    if (name.isEmpty())
        return found;
    if (!name.contains(u'*') && !name.contains(u'?')) {
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

/// The bytes of a download between the network and the local file. Data is read straight into it in
/// large pieces, handed out in 2050-byte blocks (each reported before it counts as downloaded), and only
/// reported blocks are written to the file, in large pieces. One copy per byte, one write per piece.
class TDownloadBuffer {
public:
    explicit TDownloadBuffer(TStream& Target) : FTarget(Target), FBuffer(WriteBehind) {}
    /// Free space after what is held, at least a block's worth.
    char* Space(size_t& Room) {
        if (FTaken + FPending + DownloadBlock > FBuffer.size())
            Flush();
        Room = FBuffer.size() - FTaken - FPending;
        return FBuffer.data() + FTaken + FPending;
    }
    void Received(int64_t Count) { FPending += size_t(Count); }
    size_t Pending() const { return FPending; }
    /// The next block of what was received (shorter only at the end): it now goes to the file.
    int64_t TakeBlock() {
        const size_t n = std::min<size_t>(FPending, DownloadBlock);
        FTaken += n;
        FPending -= n;
        return int64_t(n);
    }
    /// Writes the blocks taken; what was received but not taken moves to the front.
    void Flush() {
        if (FTaken > 0)
            FTarget.WriteBuffer(FBuffer.data(), int64_t(FTaken));
        std::memmove(FBuffer.data(), FBuffer.data() + FTaken, FPending);
        FTaken = 0;
    }

private:
    TStream& FTarget;
    std::vector<char> FBuffer;
    size_t FTaken = 0;
    size_t FPending = 0;
};

bool ReplaceFile(const QString& From, const QString& To) {
    // rename() replaces the target in one step: readers see the old file or the new one, never half.
    if (QFileInfo::exists(To))
        QFile::setPermissions(From, QFile::permissions(To));
    return std::rename(QFile::encodeName(From).constData(), QFile::encodeName(To).constData()) == 0;
}

} // namespace

// ---- TKvInetStatusDialog ---------------------------------------------------------------------------------

void TKvInetStatusDialog::Assign(const TPersistent* Source) {
    if (const auto* other = qobject_cast<const TKvInetStatusDialog*>(Source)) {
        FEnabled = other->FEnabled;
        FHelpContext = other->FHelpContext;
        FPicture = other->FPicture.copy();
        FIcon = other->FIcon;
        FIcon.detach();
        FTitle = other->FTitle;
        FDescription = other->FDescription;
        return;
    }
    TPersistent::Assign(Source);
}

// ---- TKvCustomWebComponent -------------------------------------------------------------------------------

TKvCustomWebComponent::TKvCustomWebComponent(TComponent* AOwner)
    : TComponent(AOwner), FProxy(new TKvInetProxy(this)), FStatusDialog(new TKvInetStatusDialog(this)) {
    FProxy->SetPort(0);
    FWEBAgent = QStringLiteral("Norvalith WebUpdater");
    FWEBPort = 80;
}

TKvCustomWebComponent::~TKvCustomWebComponent() {
    // Children before parents, as DisconnectFromInet does.
    hFindFile.reset();
    hURL.reset();
    hInet.reset();
    dlgStatus.reset();
    delete FProxy;
    delete FStatusDialog;
}

void TKvCustomWebComponent::SetService(TKvIService Value) {
    if (Value == FService)
        return;
    FService = Value;
    switch (Value) {
    case isHTTP:
        FWEBPort = 80;
        break;
    case isHTTPS:
        FWEBPort = 443;
        break;
    case isFTP:
        FWEBPort = 21;
        break;
    case isNetwork:
        break;
    }
}

void TKvCustomWebComponent::SetStatus(TKvIStatus Value) {
    if (Value == FStatus)
        return;
    FStatus = Value;
    if (FOnStatusChange)
        FOnStatusChange(this);
}

void TKvCustomWebComponent::SetAction(TKvIAction Value) {
    if (Value == FAction)
        return;
    FAction = Value;
    if (dlgStatus && FStatusDialog->Enabled()) {
        dlgStatus->ShowAction(Value);
        ProcessMessages();
    }
    if (FOnActionChange)
        FOnActionChange(this);
}

TInetSessionSettings TKvCustomWebComponent::SessionSettings() const {
    TInetSessionSettings settings;
    settings.Agent = FWEBAgent;
    if (FProxy->UseProxy() && !FProxy->Server().isEmpty()) {
        // The server text alone would reach the proxy on the default port once the system setting has
        // been split into server and port: the port goes with it.
        settings.ProxyServer = FProxy->Server();
        if (FProxy->Port() != 0)
            settings.ProxyServer += u':' + QString::number(FProxy->Port());
    }
    // Stored proxy credentials go with every request, as the server's do; a 407 means they were refused.
    settings.ProxyUser = FProxy->User();
    settings.ProxyPassword = FProxy->Password();
    settings.Timeout = FTimeout;
    settings.CACertFile = FCACertFile;
    return settings;
}

void TKvCustomWebComponent::ConnectToInet(bool FillProxy) {
    SetAction(iaConnecting);
    try {
        if (FService != isNetwork) {
            if (FillProxy)
                FProxy->FillProxyInfo();
            hInet = TInetSession::Open(SessionSettings());
            hURL.reset();
            if (hInet) {
                hURL = hInet->Connect(FWEBHost, FWEBPort, FWEBUser, FWEBPassword,
                                      FService == isFTP ? INTERNET_SERVICE_FTP : INTERNET_SERVICE_HTTP);
            }
            if (!hInet || !hURL)
                SetLastError(InetLastError());
        }
        SetAction(iaConnected);
    } catch (const Exception& e) {
        SetLastError(e.Message());
        SetStatus(isFailed);
    } catch (const std::exception& e) {
        SetLastError(QString::fromUtf8(e.what()));
        SetStatus(isFailed);
    }
}

void TKvCustomWebComponent::DisconnectFromInet() {
    SetAction(iaDisconnecting);
    hFindFile.reset();
    hURL.reset();
    hInet.reset();
    SetAction(iaDisconnected);
}

bool TKvCustomWebComponent::HttpFileInfo(const QString& FileName, int64_t& FileSize, QDateTime& FileTime) {
    hFindFile.reset();
    std::unique_ptr<TInetRequest> owned = hURL->OpenRequest(FileName, FService == isHTTPS);
    TInetRequest* request = owned.get();
    hFindFile = std::move(owned);
    if (!request) {
        SetLastError(InetLastError());
        return false;
    }
    // One counter for both demands: with the prompt off the stored credentials are tried once, and a
    // second demand of either kind ends the search.
    int tries = 0;
    int unanswered = 0;
    int status = 0;
    for (;;) {
        ++tries;
        if (!request->Send()) {
            if (++unanswered >= MaxUnansweredSends) {
                SetLastError(InetLastError());
                hFindFile.reset();
                return false;
            }
            continue;
        }
        status = request->StatusCode();
        if (status == 401) {
            if (FLoginPrompt) {
                QString user = FWEBUser, password = FWEBPassword;
                if (KvInAskLogon(strKvInLogon, user, password)) {
                    FWEBUser = user;
                    FWEBPassword = password;
                    tries = 0;
                } else {
                    tries = 2;
                }
            }
            if (tries > 1)
                throw Exception(strKvInEAuthRequired);
            request->SetCredentials(FWEBUser, FWEBPassword);
            continue;
        }
        if (status == 407) {
            if (FLoginPrompt) {
                QString user = FProxy->User(), password = FProxy->Password();
                if (KvInAskLogon(strKvInProxyLogon, user, password)) {
                    FProxy->SetUser(user);
                    FProxy->SetPassword(password);
                    tries = 0;
                } else {
                    tries = 2;
                }
            }
            if (tries > 1)
                throw Exception(strKvInEProxyAuth);
            request->SetProxyCredentials(FProxy->User(), FProxy->Password());
            continue;
        }
        break;
    }
    // An error page is not the file: downloading it would replace good local data.
    if (status < 200 || status >= 300) {
        const QList<QByteArray>& headers = request->Headers();
        SetLastError(QStringLiteral("The server answered %1")
                         .arg(headers.isEmpty() ? QString::number(status)
                                                : QString::fromLatin1(headers.first()).section(u' ', 1)));
        hFindFile.reset();
        return false;
    }
    const QString length = request->QueryHeader(QStringLiteral("Content-Length"));
    if (!length.isEmpty())
        FileSize = StrToInt64Def(length, -1);
    if (request->LastModified().isValid())
        FileTime = request->LastModified();
    return true;
}

bool TKvCustomWebComponent::GetFileInfoFromInet(const QString& FileName, int64_t& FileSize, QDateTime& FileTime) {
    FileSize = 0;
    if (!hURL && FService != isNetwork)
        return false;
    SetAction(iaFileSearch);
    bool found = false;
    try {
        switch (FService) {
        case isHTTP:
        case isHTTPS:
            found = HttpFileInfo(FileName, FileSize, FileTime);
            break;
        case isFTP: {
            hFindFile.reset();
            TInetFindData data;
            hFindFile = hURL->FtpFindFirstFile(FileName, data);
            found = hFindFile != nullptr;
            if (found) {
                FileSize = data.FileSize;
                if (data.LastWriteTime.isValid())
                    FileTime = data.LastWriteTime;
            } else {
                SetLastError(InetLastError());
            }
            break;
        }
        case isNetwork: {
            const auto entries = LocalFind(FileName);
            found = !entries.empty();
            if (found) {
                const QFileInfo& info = entries.front().first;
                FileSize = info.isDir() ? 0 : info.size();
                FileTime = info.lastModified().toUTC();
            } else {
                SetLastError(QStringLiteral("The system cannot find the file specified: %1").arg(FileName));
            }
            break;
        }
        }
    } catch (const Exception& e) {
        // A refused logon: the file is not reachable, whatever handle is open.
        SetLastError(e.Message());
        hFindFile.reset();
        found = false;
    }
    if (found)
        SetAction(iaFileFound);
    return found;
}

bool TKvCustomWebComponent::ReadDirFromInet(const QString& Directory, const QString& Wildcard,
                                            bool IncludeSubdirs, TStrings* List) {
    if (!hURL && FService != isNetwork)
        return false;
    QStringList subdirectories;
    SetAction(iaFileSearch);
    if (FService == isFTP) {
        const QString d = Directory.isEmpty() ? QStringLiteral("/") : Directory;
        QString c;
        if (!hURL->FtpGetCurrentDirectory(c))
            c.clear();
        const bool elsewhere = d != c;
        bool entered = true;
        if (elsewhere && !hURL->FtpSetCurrentDirectory(d)) {
            ShowMessage(InetLastError());
            // Deliberately not listed: the search would run in the old directory and report its entries
            // under the new name.
            entered = false;
        }
        if (entered) {
            TInetFindData data;
            std::unique_ptr<TInetFtpFind> search =
                hURL->FtpFindFirstFile(elsewhere ? d + u'/' + Wildcard : Wildcard, data);
            bool more = search != nullptr;
            while (more) {
                List->Add(elsewhere ? d + u'/' + data.FileName : data.FileName);
                if (IncludeSubdirs && data.IsDirectory && !IsDotEntry(data.FileName))
                    subdirectories << (d == QLatin1String("/") ? d + data.FileName : d + u'/' + data.FileName);
                more = search->FindNext(data);
            }
        }
        // Visited only now: one search at a time per connection.
        for (const QString& sub : subdirectories)
            ReadDirFromInet(sub, Wildcard, IncludeSubdirs, List);
        if (!c.isEmpty() && entered && elsewhere)
            hURL->FtpSetCurrentDirectory(c);
    } else if (FService == isNetwork) {
        const QString prefix = Directory.isEmpty() ? QString() : Directory + u'/';
        for (const auto& [info, name] : LocalFind(prefix + Wildcard)) {
            List->Add(prefix + name);
            // Links to directories are listed but not entered: a link loop would never end.
            if (IncludeSubdirs && info.isDir() && !info.isSymLink() && !IsDotEntry(name))
                ReadDirFromInet(prefix + name, Wildcard, IncludeSubdirs, List);
        }
    }
    SetAction(iaFileFound);
    return List->Count() > 0;
}

bool TKvCustomWebComponent::ReadFileFromInet(const QString& RemoteFile, const QString& LocalFile,
                                             int64_t ExpectedSize) {
    if (!hURL && FService != isNetwork)
        return false;
    SetAction(iaDownloading);

    const QFileInfo localInfo(LocalFile);
    const bool localExists = localInfo.isFile();
    int64_t resumeFrom = FResumeDownload && localExists ? localInfo.size() : 0;
    // A local file longer than the remote one is another file, not a part of this one.
    if (ExpectedSize > 0 && resumeFrom > ExpectedSize)
        resumeFrom = 0;

    TInetTransfer* source = nullptr;
    std::unique_ptr<TFileStream> sourceFile;
    switch (FService) {
    case isFTP:
        hFindFile.reset();
        hFindFile = hURL->FtpOpenFile(RemoteFile, resumeFrom);
        source = static_cast<TInetTransfer*>(hFindFile.get());
        break;
    case isNetwork:
        try {
            sourceFile = std::make_unique<TFileStream>(RemoteFile, fmOpenRead | fmShareDenyWrite);
            if (resumeFrom > sourceFile->Size())
                resumeFrom = 0;
            sourceFile->SetPosition(resumeFrom);
        } catch (const EStreamError& e) {
            SetLastError(e.Message());
        }
        break;
    case isHTTP:
    case isHTTPS:
        if (auto* request = dynamic_cast<TInetRequest*>(hFindFile.get())) {
            source = request;
            if (resumeFrom > 0) {
                // The server decides: the missing bytes (206), nothing left (416) or the whole file (200).
                resumeFrom = request->SetFilePointer(resumeFrom);
                if (resumeFrom < 0)
                    source = nullptr;
            }
        }
        break;
    }
    if (!source && !sourceFile) {
        if (FLastError.isEmpty())
            SetLastError(InetLastError());
        SetAction(iaDownloaded);
        return false;
    }

    // A resumed download appends to the local file; a full one goes beside it and replaces it only when
    // complete, so a failed download never destroys a good copy. A device or pipe is written as it is:
    // renaming a file over it would replace the device itself.
    // Appending only when the server really continues the part; a whole body (the server ignored the
    // range) goes beside the file like any full download.
    const bool special = localInfo.exists() && !localExists;
    const bool append = resumeFrom > 0 && localExists;
    const QString target = append || special || (FResumeDownload && !localExists) ? LocalFile : LocalFile + PartSuffix;
    if (target != LocalFile)
        QFile::remove(target); // a stale part, or a link planted there: removed, never followed
    bool complete = false;
    {
        TFileStream local(target, append ? fmOpenReadWrite : target == LocalFile ? fmCreate : fmCreate | fmCreateNew);
        if (append) {
            local.SetSize(resumeFrom);
            local.Seek(0, soEnd);
        }
        struct PartGuard {
            QString Name;
            ~PartGuard() {
                if (!Name.isEmpty())
                    QFile::remove(Name);
            }
        } guard{target == LocalFile ? QString() : target};

        // One progress report per 2050-byte block, the last one short; then one more for the read that
        // found the end. Abort stops at the block it was given for: later bytes are not written.
        TDownloadBuffer buffer(local);
        int64_t total = resumeFrom;
        bool abort = false;
        bool broken = false;
        bool ended = false;
        while (!abort) {
            if (buffer.Pending() >= size_t(DownloadBlock) || ((ended || broken) && buffer.Pending() > 0)) {
                total += buffer.TakeBlock();
                UpdateProgress(total, ExpectedSize, abort);
                continue;
            }
            if (ended) {
                UpdateProgress(total, ExpectedSize, abort);
                break;
            }
            if (broken)
                break;
            size_t room = 0;
            char* space = buffer.Space(room);
            const int64_t count = source ? source->ReadSome(space, int64_t(room)) : sourceFile->Read(space, int64_t(room));
            if (count < 0)
                broken = true;
            else if (count == 0)
                ended = true;
            else
                buffer.Received(count);
        }
        buffer.Flush();
        // A write the disk refused (full, quota) or a body shorter than announced is a broken download,
        // never a finished one.
        bool writeFailed = false;
        if (!local.Flush()) {
            writeFailed = true;
            broken = true;
        } else if (!abort && !broken && ExpectedSize > 0 && total != ExpectedSize) {
            broken = true;
        }
        complete = !abort && !broken;
        if (abort) {
            SetLastError(QStringLiteral("Download cancelled"));
            SetStatus(isFailed);
        } else if (writeFailed) {
            SetLastError(QStringLiteral("Cannot write file \"%1\". No space left or write refused").arg(target));
            SetStatus(isFailed);
        } else if (broken) {
            const QString reason = InetLastError();
            SetLastError(reason.isEmpty() ? QStringLiteral("Received %1 of %2 bytes").arg(total).arg(ExpectedSize)
                                          : reason);
            SetStatus(isFailed);
        }
        if (target != LocalFile && (complete || !localExists))
            guard.Name.clear(); // moved into place below: complete, or a partial copy to resume later
    }
    sourceFile.reset();
    if (target != LocalFile && (complete || !localExists) && !ReplaceFile(target, LocalFile)) {
        const QString reason = QString::fromLocal8Bit(std::strerror(errno));
        QFile::remove(target);
        throw EFCreateError(QStringLiteral("Cannot create file \"%1\". %2").arg(LocalFile, reason));
    }
    SetAction(iaDownloaded);
    return true;
}

void TKvCustomWebComponent::UpdateProgress(int64_t CurValue, int64_t MaxValue, bool& Abort) {
    if (dlgStatus && FStatusDialog->Enabled()) {
        Abort = dlgStatus->IsCanceled;
        dlgStatus->ShowProgress(CurValue, MaxValue);
        ProcessMessages();
    }
    if (FOnProgress)
        FOnProgress(this, CurValue, MaxValue, Abort);
}

void TKvCustomWebComponent::ReadHTTPGetResponse(const QString& URL, TStream& Stream) {
    std::unique_ptr<TInetSession> session = TInetSession::Open(SessionSettings());
    if (!session)
        return;
    Stream.SetPosition(0);
    std::vector<char> buffer(UrlBlock);
    if (std::unique_ptr<TInetTransfer> url = session->OpenUrl(URL)) {
        int64_t count;
        while ((count = url->Read(buffer.data(), UrlBlock)) > 0)
            Stream.WriteBuffer(buffer.data(), count);
    }
    Stream.SetPosition(0);
}

QString TKvCustomWebComponent::ReadHTTPGetResponseString(const QString& URL) {
    TStringStream stream;
    ReadHTTPGetResponse(URL, stream);
    return stream.Size() > 0 ? stream.DataString() : QString();
}

bool TKvCustomWebComponent::StatusFileNames(QString& Remote, QString& Local) const {
    (void)Remote;
    (void)Local;
    return false;
}

void TKvCustomWebComponent::ShowStatusWindow() {
    if (!dlgStatus)
        dlgStatus = CreateStatusView();
    QString remote, local;
    const bool names = StatusFileNames(remote, local);
    dlgStatus->Prepare(*FStatusDialog, names, remote, local);
    dlgStatus->ShowStatus();
}

bool TKvCustomWebComponent::Execute() {
    if (FExecuting)
        return false;
    struct Running {
        bool& Flag;
        explicit Running(bool& F) : Flag(F) { Flag = true; }
        ~Running() { Flag = false; }
    } running(FExecuting);

    FLastError.clear();
    if (FOnBeforeExecute)
        FOnBeforeExecute(this);
    if (FStatusDialog->Enabled())
        ShowStatusWindow();
    SetStatus(isInProgress);
    InternalExecute();
    if (FStatus == isInProgress)
        SetStatus(isFinished);
    const bool result = FStatus != isFailed;
    dlgStatus.reset();
    if (FOnAfterExecute)
        FOnAfterExecute(this);
    return result;
}

// ---- TKvCustomWebUpdater ---------------------------------------------------------------------------------

bool TKvCustomWebUpdater::StatusFileNames(QString& Remote, QString& Local) const {
    Remote = Host() + u'/' + FRemoteFileName;
    Local = FLocalFileName;
    return true;
}

bool TKvCustomWebUpdater::NeedsDownload() const {
    if (FRemoteFileSize == 0)
        return false;
    const QFileInfo local(FLocalFileName);
    if (!local.exists())
        return true;
    // A local copy newer than the remote one but of the same size counts as current.
    return local.size() != FRemoteFileSize ||
           (FRemoteFileCreated.isValid() && local.lastModified().toUTC() < FRemoteFileCreated);
}

bool TKvCustomWebUpdater::DownloadRemoteFile() {
    // A local copy older than the remote file is a former version, not a part of this one: appending the
    // remote tail to it would mix two versions (and stamp the mix as current).
    const QFileInfo local(FLocalFileName);
    const bool olderVersion = ResumeDownload() && local.isFile() && FRemoteFileCreated.isValid() &&
                              local.lastModified().toUTC() < FRemoteFileCreated;
    if (!olderVersion)
        return ReadFileFromInet(FRemoteFileName, FLocalFileName, FRemoteFileSize);
    SetResumeDownload(false);
    struct Restore {
        TKvCustomWebUpdater* Self;
        ~Restore() { Self->SetResumeDownload(true); }
    } restore{this};
    return ReadFileFromInet(FRemoteFileName, FLocalFileName, FRemoteFileSize);
}

void TKvCustomWebUpdater::InternalExecute() {
    ConnectToInet(true);
    if (Service() != isNetwork && (!hInet || !hURL)) {
        SetStatus(isFailed);
    } else if (!GetFileInfoFromInet(FRemoteFileName, FRemoteFileSize, FRemoteFileCreated)) {
        SetStatus(isNotFound);
    } else {
        SetAction(iaComparing);
        bool download = NeedsDownload();
        if (FOnFileCompare) {
            bool equal = !download;
            FOnFileCompare(this, equal);
            download = !equal;
        }
        SetAction(iaCompared);
        if (!download) {
            SetStatus(isSkipped);
        } else if (DownloadRemoteFile()) {
            // Only a complete copy carries the remote time: a partial one stamped so would pass for
            // current wherever sizes happen to agree.
            if (Status() == isInProgress && FRemoteFileCreated.isValid() && QFileInfo(FLocalFileName).isFile()) {
                QFile file(FLocalFileName);
                if (file.open(QIODevice::ReadWrite | QIODevice::ExistingOnly))
                    file.setFileTime(FRemoteFileCreated, QFileDevice::FileModificationTime);
            }
        } else {
            SetStatus(isFailed);
        }
    }
    DisconnectFromInet();
}

} // namespace KvInet

// kviupdate: the web component base, the status-window settings and the web updater.
#include "web/kviupdate.h"

#include "platform/Forms.h"
#include "platform/System.h"
#include "socket/KvILogOn.h"
#include "socket/KvInCnst.h"

#include <QDir>
#include <QFile>
#include <QFileInfo>
#include <QLocale>
#include <QRegularExpression>
#include <QSaveFile>
#include <QTemporaryDir>

#include <cstdio>
#include <cstring>
#include <vector>

namespace KvInet {

namespace {

// Downloads are reported in blocks of this size.
constexpr int64_t DownloadBlock = 2050;
// Downloads are read and written in pieces of this size: a write per block costs a third more time, and
// pieces much larger than the processor's cache make the kernel's copy into the page cache slow.
constexpr size_t WriteBehind = 128 * 1024;
// URL reads move data in blocks of this size.
constexpr int64_t UrlBlock = 0x100000;
// A full download is written under this name beside the local file.
const QString PartSuffix = QStringLiteral(".part");
// A partial copy left for a resume has a record of the remote version it holds under this name.
const QString PartRecordSuffix = QStringLiteral(".part-info");
// A record is a few short lines; anything longer was not written by us.
constexpr qint64 PartRecordMax = 4096;

/// The remote version a partial copy holds, as its record says.
struct TPartRecord {
    bool Exists = false;
    QDateTime Time;
    QString ETag;
};

TPartRecord ReadPartRecord(const QString& Name) {
    TPartRecord record;
    QFile file(Name);
    if (!QFileInfo(Name).isFile() || !file.open(QIODevice::ReadOnly))
        return record;
    record.Exists = true;
    for (const QByteArray& line : file.read(PartRecordMax).split('\n')) {
        const QString text = QString::fromUtf8(line).trimmed();
        if (text.startsWith(QLatin1String("Last-Modified: ")))
            record.Time = QDateTime::fromString(text.mid(15), Qt::ISODate).toUTC();
        else if (text.startsWith(QLatin1String("ETag: ")))
            record.ETag = text.mid(6);
    }
    return record;
}

void WritePartRecord(const QString& Name, const TInetFileInfo& Version) {
    // Written aside and renamed into place: a link planted under the record's name is replaced, never
    // followed. A record that can't be written only costs the next resume its check.
    QSaveFile file(Name);
    if (!file.open(QIODevice::WriteOnly))
        return;
    QByteArray text;
    if (Version.Time.isValid())
        text += "Last-Modified: " + Version.Time.toUTC().toString(Qt::ISODate).toUtf8() + '\n';
    if (!Version.ETag.isEmpty())
        text += "ETag: " + Version.ETag.toUtf8() + '\n';
    file.write(text);
    file.commit();
}

/// Whether the source still offers the version the record names. A record that names none (the server
/// gave neither a time nor a tag) can't be matched: the part is then of an unknown version.
bool SameVersion(const TPartRecord& Record, const TInetFileInfo& Source) {
    if (!Record.Time.isValid() && Record.ETag.isEmpty())
        return false;
    return (Record.ETag.isEmpty() || Record.ETag == Source.ETag) &&
           (!Record.Time.isValid() || Record.Time == Source.Time);
}

/// What an HTTP server is asked to match before it sends only the rest: the strong entity tag when there
/// is one (a weak one may not be used so), else the time as an HTTP date.
QString IfRangeOf(const TPartRecord& Record) {
    if (!Record.ETag.isEmpty() && !Record.ETag.startsWith(QLatin1String("W/")))
        return Record.ETag;
    if (Record.Time.isValid())
        return QLocale::c().toString(Record.Time.toUTC(), QStringLiteral("ddd, dd MMM yyyy hh:mm:ss 'GMT'"));
    return QString();
}

/// What each service is: its port, the location that serves it, and whether it goes over the network.
struct TServiceRow {
    int Port; // 0: the port is left as it is
    TInetLocation::TKind Kind;
    bool Remote;
};
const TServiceRow& ServiceRow(TKvIService Service) {
    static const TServiceRow rows[] = {
        {80, TInetLocation::lkHTTP, true},
        {443, TInetLocation::lkHTTPS, true},
        {21, TInetLocation::lkFTP, true},
        {0, TInetLocation::lkPath, false},
    };
    const int index = int(Service);
    return rows[index >= 0 && index < int(std::size(rows)) ? index : 0];
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
        FPicture = other->FPicture;
        FIcon = other->FIcon;
        FTitle = other->FTitle;
        FDescription = other->FDescription;
        return;
    }
    TPersistent::Assign(Source);
}

// ---- TKvTempCopy -----------------------------------------------------------------------------------------

TKvTempCopy::~TKvTempCopy() {
    if (!FDirectory.isEmpty())
        QDir(FDirectory).removeRecursively();
}

QString TKvTempCopy::Extension(const QString& RemoteName) {
    QString name = RemoteName;
    const qsizetype end = name.indexOf(QRegularExpression(QStringLiteral("[?#]")));
    if (end >= 0)
        name.truncate(end);
    name = name.mid(name.lastIndexOf(u'/') + 1);
    const qsizetype dot = name.lastIndexOf(u'.');
    if (dot < 0)
        return QString();
    const QString extension = name.mid(dot + 1);
    if (extension.isEmpty() || extension.size() > 10)
        return QString();
    for (const QChar c : extension)
        if (!(c.isDigit() || (c >= u'a' && c <= u'z') || (c >= u'A' && c <= u'Z')))
            return QString();
    return u'.' + extension;
}

QString TKvTempCopy::FileName(const QString& RemoteName, const QString& Base) {
    if (FDirectory.isEmpty()) {
        // mkdtemp: a new directory with owner-only rights, under a name nobody could have taken first.
        QTemporaryDir dir(TempPath() + QStringLiteral("kvinet-XXXXXX"));
        if (!dir.isValid())
            return QString();
        dir.setAutoRemove(false);
        FDirectory = dir.path();
    }
    return FDirectory + u'/' + Base + Extension(RemoteName);
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
    // A stored form could hold a number that is no service: it changes nothing.
    if (Value == FService || int(Value) < int(isHTTP) || int(Value) > int(isNetwork))
        return;
    FService = Value;
    if (const int port = ServiceRow(Value).Port)
        FWEBPort = quint16(port);
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
    settings.Deadline = FDeadline;
    settings.DeadlineSeconds = FTotalTimeout;
    settings.MaxReplySize = FMaxReplySize;
    return settings;
}

void TKvCustomWebComponent::ConnectToInet(bool FillProxy) {
    SetAction(iaConnecting);
    try {
        hFindFile.reset();
        hURL.reset();
        hInet.reset();
        const TServiceRow& row = ServiceRow(FService);
        QString error;
        if (row.Remote) {
            if (FillProxy)
                FProxy->FillProxyInfo();
            // Refused before anything is connected, as the socket components refuse theirs.
            if (const QString refused = RequestInputError(); !refused.isEmpty())
                throw Exception(refused);
            hInet = TInetSession::Open(SessionSettings(), error);
        }
        if (hInet || !row.Remote)
            hURL =
                TInetLocation::Open(row.Kind, hInet.get(), FWEBHost, FWEBPort, FWEBUser, FWEBPassword, error);
        if (!hURL)
            SetLastError(error);
        SetAction(iaConnected);
    } catch (const Exception& e) {
        SetLastError(e.Message());
        SetStatus(isFailed);
    } catch (const std::exception& e) {
        SetLastError(QString::fromUtf8(e.what()));
        SetStatus(isFailed);
    }
}

QString TKvCustomWebComponent::RefusedInRequest(const QString& Value, const char* Property) {
    // A line break would end the header or command line the value goes into and start one of the
    // caller's, as with the socket components; a NUL would cut the value short where the transfer library
    // reads it as a C string.
    if (QString refused = LineBreakRefusal(Value, Property); !refused.isEmpty())
        return refused;
    if (Value.contains(QChar(0)))
        return QStringLiteral("Invalid %1: NUL characters are not allowed")
            .arg(QString::fromLatin1(Property));
    return QString();
}

QString TKvCustomWebComponent::RequestInputError() const {
    const std::pair<const char*, const QString*> values[] = {
        {"Agent", &FWEBAgent},
        {"Host", &FWEBHost},
        {"User", &FWEBUser},
        {"Password", &FWEBPassword},
        {"Proxy.Server", &FProxy->Server()},
        {"Proxy.User", &FProxy->User()},
        {"Proxy.Password", &FProxy->Password()},
    };
    for (const auto& [property, value] : values)
        if (QString refused = RefusedInRequest(*value, property); !refused.isEmpty())
            return refused;
    return QString();
}

void TKvCustomWebComponent::DisconnectFromInet() {
    SetAction(iaDisconnecting);
    hFindFile.reset();
    hURL.reset();
    hInet.reset();
    SetAction(iaDisconnected);
}

bool TKvCustomWebComponent::AnswerChallenge(TKvLogonChallenge& Logon, TInetChallenge& Challenge) {
    if (Challenge.Status == 407) {
        if (!FProxy->AnswerLogon(Logon)) {
            Challenge.Refusal = strKvInEProxyAuth;
            return false;
        }
        Challenge.User = FProxy->User();
        Challenge.Password = FProxy->Password();
        return true;
    }
    if (!Logon.Answer(strKvInLogon, FWEBUser, FWEBPassword)) {
        Challenge.Refusal = strKvInEAuthRequired;
        return false;
    }
    Challenge.User = FWEBUser;
    Challenge.Password = FWEBPassword;
    return true;
}

std::unique_ptr<TInetSource> TKvCustomWebComponent::FindRemoteFile(const QString& Name, QString& Error) {
    // One count for both demands: with the prompt off the stored credentials are tried once, and a
    // second demand of either kind ends the search.
    TKvLogonChallenge logon(FLoginPrompt);
    return hURL->Find(
        Name, [this, &logon](TInetChallenge& Challenge) { return AnswerChallenge(logon, Challenge); }, Error);
}

bool TKvCustomWebComponent::GetFileInfoFromInet(const QString& FileName, int64_t& FileSize,
                                                QDateTime& FileTime) {
    FileSize = 0;
    FFileSizeKnown = false;
    if (!hURL)
        return false;
    SetAction(iaFileSearch);
    hFindFile.reset();
    FFoundName.clear();
    QString error;
    try {
        hFindFile = FindRemoteFile(FileName, error);
    } catch (const Exception& e) {
        error = e.Message();
    } catch (const std::exception& e) {
        // Whatever an application's logon handler throws ends the search, as any failure of it does.
        error = QString::fromLocal8Bit(e.what());
    } catch (...) {
        error = QStringLiteral("The file search was ended by an unknown failure");
    }
    if (!hFindFile) {
        SetLastError(error);
        return false;
    }
    FFoundName = FileName;
    const TInetFileInfo& info = hFindFile->Info();
    FFileSizeKnown = info.Size >= 0;
    FileSize = FFileSizeKnown ? info.Size : 0;
    if (info.Time.isValid())
        FileTime = info.Time;
    SetAction(iaFileFound);
    return true;
}

bool TKvCustomWebComponent::ReadDirFromInet(const QString& Directory, const QString& Wildcard,
                                            bool IncludeSubdirs, TStrings* List) {
    if (!hURL)
        return false;
    SetAction(iaFileSearch);
    FListingSkipped.clear();
    FListingEscaped.clear();
    FListingFailed = false;
    // A skipped directory leaves the listing incomplete: an error (stderr on a console), never an
    // information inside the listing's own output.
    FListingLimit = hURL->List(
        Directory, Wildcard, IncludeSubdirs,
        [this, List](const QString& Line, bool Escaped) {
            const int index = List->Add(Line);
            if (Escaped)
                FListingEscaped << index;
        },
        [this](const QString& Problem, bool Missing) {
            FListingSkipped << Problem;
            FListingFailed = FListingFailed || !Missing;
            MessageDlg(Problem, mtError, mbOK);
        });
    QStringList reasons = FListingSkipped.mid(0, 10);
    if (FListingSkipped.size() > 10)
        reasons << QStringLiteral("%1 more directories were skipped").arg(FListingSkipped.size() - 10);
    if (!FListingLimit.isEmpty())
        reasons << FListingLimit;
    if (!reasons.isEmpty())
        SetLastError(reasons.join(QStringLiteral("; ")));
    SetAction(iaFileFound);
    return List->Count() > 0;
}

int64_t TKvCustomWebComponent::ResumeOffset(const QString& LocalFile, int64_t ExpectedSize) const {
    const QFileInfo local(LocalFile);
    if (!FResumeDownload || !local.isFile())
        return 0;
    // A local file longer than the remote one is another file, not a part of this one.
    return ExpectedSize > 0 && local.size() > ExpectedSize ? 0 : local.size();
}

TInetSource* TKvCustomWebComponent::OpenDownloadSource(const QString& RemoteFile, const QString& LocalFile,
                                                       int64_t& From) {
    QString error;
    if (!hFindFile || FFoundName != RemoteFile) {
        hFindFile.reset();
        hFindFile = FindRemoteFile(RemoteFile, error);
        FFoundName = hFindFile ? RemoteFile : QString();
    }
    QString ifRange;
    if (hFindFile && From > 0) {
        // A part this component left continues only the version it was cut from: the rest of another
        // version appended to it would make a file that never existed, stamped as current.
        const TPartRecord record = ReadPartRecord(PartRecordName(LocalFile));
        if (record.Exists && !SameVersion(record, hFindFile->Info()))
            From = 0;
        else if (record.Exists)
            ifRange = IfRangeOf(record);
    }
    if (hFindFile)
        From = hFindFile->Open(From, ifRange);
    if (!hFindFile || From < 0) {
        SetLastError(hFindFile ? hFindFile->ErrorText() : error);
        hFindFile.reset();
        FFoundName.clear();
        return nullptr;
    }
    // A source is read once.
    FFoundName.clear();
    return hFindFile.get();
}

TKvDownloadTarget TKvCustomWebComponent::ChooseDownloadTarget(const QString& LocalFile, bool Resume,
                                                              int64_t From) {
    // A resumed download appends to the local file; a full one goes beside it and replaces it only when
    // complete, so a failed download never destroys a good copy. A device or pipe is written as it is:
    // renaming a file over it would replace the device itself. Appending only when the server really
    // continues the part; a whole body (the server ignored the range) goes beside the file like any full
    // download.
    const QFileInfo local(LocalFile);
    const bool isFile = local.isFile();
    const bool special = local.exists() && !isFile;
    TKvDownloadTarget target;
    target.Append = From > 0 && isFile;
    target.InPlace = target.Append || special || (Resume && !isFile);
    target.FileName = target.InPlace ? LocalFile : LocalFile + PartSuffix;
    // With no local copy to protect, a broken download's part is kept as the local file to resume later.
    target.KeepPart = !target.InPlace && !isFile;
    return target;
}

TKvDownloadCopy TKvCustomWebComponent::CopyDownload(TInetSource& Source, TFileStream& Target, int64_t From,
                                                    int64_t ExpectedSize) {
    // One progress report per 2050-byte block, the last one short; then one more for the read that found
    // the end. Abort stops at the block it was given for: later bytes are not written.
    TKvDownloadCopy copy;
    TDownloadBuffer buffer(Target);
    copy.Total = From;
    bool ended = false;
    while (!copy.Aborted) {
        if (buffer.Pending() >= size_t(DownloadBlock) || ((ended || copy.Broken) && buffer.Pending() > 0)) {
            copy.Total += buffer.TakeBlock();
            UpdateProgress(copy.Total, ExpectedSize, copy.Aborted);
            if (FDownloadLimit > 0 && copy.Total > FDownloadLimit) {
                copy.Broken = true;
                copy.OverLimit = true;
                copy.Reason = FDownloadLimitText;
                break;
            }
            continue;
        }
        if (ended) {
            UpdateProgress(copy.Total, ExpectedSize, copy.Aborted);
            break;
        }
        if (copy.Broken)
            break;
        if (FDeadline.hasExpired()) {
            copy.Broken = true;
            copy.Reason = QStringLiteral("The operation took longer than %1 seconds").arg(FTotalTimeout);
            continue;
        }
        size_t room = 0;
        char* space = buffer.Space(room);
        const int64_t count = Source.ReadSome(space, int64_t(room));
        if (count < 0) {
            copy.Broken = true;
            copy.Reason = Source.ErrorText();
        } else if (count == 0) {
            ended = true;
        } else {
            buffer.Received(count);
        }
    }
    buffer.Flush();
    // A write the disk refused (full, quota) or a body shorter than announced is a broken download, never
    // a finished one.
    if (!Target.Flush()) {
        copy.WriteFailed = true;
        copy.Reason = QStringLiteral("Cannot write the file. No space left or write refused");
    } else if (!copy.Aborted && !copy.Broken && ExpectedSize > 0 && copy.Total != ExpectedSize) {
        copy.Broken = true;
        copy.Reason = QStringLiteral("Received %1 of %2 bytes").arg(copy.Total).arg(ExpectedSize);
    } else if (copy.Aborted) {
        copy.Reason = QStringLiteral("Download cancelled");
    } else if (copy.Broken && copy.Reason.isEmpty()) {
        copy.Reason = QStringLiteral("Received %1 of %2 bytes").arg(copy.Total).arg(ExpectedSize);
    }
    return copy;
}

void TKvCustomWebComponent::CommitDownload(const TKvDownloadTarget& Target, const QString& LocalFile,
                                           bool Complete) {
    if (Target.InPlace)
        return;
    if (!Complete && !Target.KeepPart) {
        QFile::remove(Target.FileName);
        return;
    }
    if (!ReplaceFile(Target.FileName, LocalFile)) {
        const QString reason = QString::fromLocal8Bit(std::strerror(errno));
        QFile::remove(Target.FileName);
        throw EFCreateError(QStringLiteral("Cannot create file \"%1\". %2").arg(LocalFile, reason));
    }
}

QString TKvCustomWebComponent::ResolveLocalName(const QString& LocalFile) {
    // Replacing a link by the download would leave the file it points to old: the link is followed,
    // hop by hop so that a link to a file not there yet leads to where that file is to be.
    QString name = LocalFile;
    for (int hops = 0; hops < 40; ++hops) {
        const QFileInfo info(name);
        if (!info.isSymLink())
            return name;
        name = info.symLinkTarget();
        if (name.isEmpty())
            return LocalFile;
    }
    return LocalFile;
}

QString TKvCustomWebComponent::PartRecordName(const QString& LocalFile) {
    return LocalFile + PartRecordSuffix;
}

bool TKvCustomWebComponent::ReadFileFromInet(const QString& RemoteFile, const QString& LocalFile,
                                             int64_t ExpectedSize) {
    if (!hURL)
        return false;
    SetAction(iaDownloading);
    const QString localFile = ResolveLocalName(LocalFile);
    int64_t from = ResumeOffset(localFile, ExpectedSize);
    TInetSource* source = OpenDownloadSource(RemoteFile, localFile, from);
    if (!source) {
        SetAction(iaDownloaded);
        return false;
    }
    const TInetFileInfo version = source->Info();
    const TKvDownloadTarget target = ChooseDownloadTarget(localFile, FResumeDownload, from);
    if (!target.InPlace)
        QFile::remove(target.FileName); // a stale part, or a link planted there: removed, never followed
    TKvDownloadCopy copy;
    {
        TFileStream local(target.FileName, target.Append    ? fmOpenReadWrite
                                           : target.InPlace ? fmCreate
                                                            : fmCreate | fmCreateNew);
        // The part goes if anything below raises.
        struct PartGuard {
            QString Name;
            ~PartGuard() {
                if (!Name.isEmpty())
                    QFile::remove(Name);
            }
        } guard{target.InPlace ? QString() : target.FileName};
        if (target.Append) {
            local.SetSize(from);
            local.Seek(0, soEnd);
        }
        copy = CopyDownload(*source, local, from, ExpectedSize);
        guard.Name.clear();
    }
    hFindFile.reset();
    if (!copy.Complete()) {
        SetLastError(copy.WriteFailed
                         ? QStringLiteral("Cannot write file \"%1\". No space left or write refused")
                               .arg(target.FileName)
                         : copy.Reason);
        SetStatus(isFailed);
    }
    if (copy.OverLimit) {
        // Nothing of a download past its limit stays: a part of it could never be completed either. A
        // good copy from before is left as it was.
        if (!target.InPlace)
            QFile::remove(target.FileName);
        else if (QFileInfo(localFile).isFile())
            QFile::remove(localFile);
        QFile::remove(PartRecordName(localFile));
        SetAction(iaDownloaded);
        return true;
    }
    CommitDownload(target, localFile, copy.Complete());
    if (copy.Complete())
        QFile::remove(PartRecordName(localFile));
    else if ((target.InPlace || target.KeepPart) && QFileInfo(localFile).isFile())
        WritePartRecord(PartRecordName(localFile), version); // a part stays as the local file
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

bool TKvCustomWebComponent::ReadHTTPGetResponse(const QString& URL, TStream& Stream, int& StatusCode) {
    StatusCode = 0;
    QString error = RequestInputError();
    if (error.isEmpty())
        error = RefusedInRequest(URL, "URL");
    if (!error.isEmpty()) {
        SetLastError(error);
        return false;
    }
    std::unique_ptr<TInetSession> session = TInetSession::Open(SessionSettings(), error);
    if (!session) {
        SetLastError(error);
        return false;
    }
    Stream.SetPosition(0);
    const int64_t limit = Stream.InMemory() && FMaxReplySize > 0 ? FMaxReplySize : -1;
    bool complete = false;
    if (std::unique_ptr<TInetTransfer> url = session->OpenUrl(URL, error)) {
        StatusCode = url->StatusCode();
        std::vector<char> buffer(UrlBlock);
        int64_t total = 0, count;
        while ((count = url->Read(buffer.data(), UrlBlock)) > 0) {
            if (limit >= 0 && total + count > limit) {
                error = QStringLiteral("The answer is larger than %1 bytes").arg(limit);
                count = -2;
                break;
            }
            Stream.WriteBuffer(buffer.data(), count);
            total += count;
        }
        complete = count == 0;
        if (count == -1)
            error = url->ErrorText();
    }
    Stream.SetPosition(0);
    if (!complete)
        SetLastError(error);
    return complete;
}

TKvCustomWebComponent::TOperationDeadline::TOperationDeadline(TKvCustomWebComponent& Component)
    : FComponent(Component), FStarted(!Component.FExecuting) {
    if (FStarted && Component.FTotalTimeout > 0)
        Component.FDeadline = QDeadlineTimer(qint64(Component.FTotalTimeout) * 1000);
}

TKvCustomWebComponent::TOperationDeadline::~TOperationDeadline() {
    if (FStarted)
        FComponent.FDeadline = QDeadlineTimer(QDeadlineTimer::Forever);
}

void TKvCustomWebComponent::ReadHTTPGetResponse(const QString& URL, TStream& Stream) {
    int status = 0;
    ReadHTTPGetResponse(URL, Stream, status);
}

bool TKvCustomWebComponent::ReadHTTPGetResponseString(const QString& URL, QString& Text, int& StatusCode) {
    TStringStream stream;
    const bool complete = ReadHTTPGetResponse(URL, stream, StatusCode);
    Text = stream.Size() > 0 ? stream.DataString() : QString();
    return complete;
}

QString TKvCustomWebComponent::ReadHTTPGetResponseString(const QString& URL) {
    QString text;
    int status = 0;
    ReadHTTPGetResponseString(URL, text, status);
    return text;
}

bool TKvCustomWebComponent::StatusFileNames(QString& Remote, QString& Local) const {
    (void)Remote;
    (void)Local;
    return false;
}

void TKvCustomWebComponent::ShowStatusWindow() {
    if (!dlgStatus)
        dlgStatus = CreateStatusView();
    if (!dlgStatus)
        return; // no window on this thread: progress goes only to the events
    QString remote, local;
    const bool names = StatusFileNames(remote, local);
    dlgStatus->Prepare(*FStatusDialog, names, remote, local);
    dlgStatus->ShowStatus();
}

bool TKvCustomWebComponent::Execute() {
    if (FExecuting)
        return false;
    // TotalTimeout holds from here to the end, whatever way out.
    const TOperationDeadline deadline(*this);
    // Cleared on every way out, exceptions included: the window closes and the component can run again.
    struct Running {
        TKvCustomWebComponent& Self;
        explicit Running(TKvCustomWebComponent& S) : Self(S) { Self.FExecuting = true; }
        ~Running() {
            Self.FExecuting = false;
            Self.dlgStatus.reset();
        }
    } running(*this);

    FLastError.clear();
    if (FOnBeforeExecute)
        FOnBeforeExecute(this);
    if (FStatusDialog->Enabled())
        ShowStatusWindow();
    SetStatus(isInProgress);
    try {
        InternalExecute();
    } catch (const Exception&) {
        throw; // the component's own errors (a local file that can't be written) are the caller's
    } catch (const std::exception& e) {
        // Anything else (memory exhausted) would end a host application that only expects ours.
        SetLastError(QStringLiteral("Internal failure: %1").arg(QString::fromLocal8Bit(e.what())));
        SetStatus(isFailed);
    }
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

QString TKvCustomWebUpdater::RequestInputError() const {
    QString refused = TKvCustomWebComponent::RequestInputError();
    if (refused.isEmpty() && Service() == isFTP)
        refused = RefusedInRequest(FRemoteFileName, "RemoteFileName");
    return refused;
}

bool TKvCustomWebUpdater::NeedsDownload() const {
    // A part left by a broken download is never current, whatever its time says.
    if (QFileInfo(PartRecordName(ResolveLocalName(FLocalFileName))).isFile())
        return true;
    const QFileInfo local(FLocalFileName);
    if (!FRemoteFileSizeKnown) {
        // A feed or a page made on demand has no size: its time alone can say the copy is current.
        return !local.exists() || !FRemoteFileCreated.isValid() ||
               local.lastModified().toUTC() < FRemoteFileCreated;
    }
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
    if (!hURL) {
        SetStatus(isFailed);
    } else if (!GetFileInfoFromInet(FRemoteFileName, FRemoteFileSize, FRemoteFileCreated)) {
        FRemoteFileSizeKnown = false;
        SetStatus(isNotFound);
    } else {
        FRemoteFileSizeKnown = FileSizeKnown();
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
            if (Status() == isInProgress && FRemoteFileCreated.isValid() &&
                QFileInfo(FLocalFileName).isFile()) {
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

// ---- TKvCustomCopyUpdater --------------------------------------------------------------------------------

TKvCustomCopyUpdater::~TKvCustomCopyUpdater() {
    DeleteLocalFile();
}

void TKvCustomCopyUpdater::DeleteLocalFile() {
    if (!LocalFileName().isEmpty())
        QFile::remove(LocalFileName());
}

bool TKvCustomCopyUpdater::CopyComplete() const {
    return !LocalFileName().isEmpty() && QFileInfo(LocalFileName()).isFile() &&
           !QFileInfo::exists(PartRecordName(LocalFileName()));
}

void TKvCustomCopyUpdater::SetRemoteFileName(const QString& Value) {
    TKvCustomWebUpdater::SetRemoteFileName(Value);
    DeleteLocalFile();
    SetLocalFileName(FCopy.FileName(Value, CopyBaseName()));
}

void TKvCustomCopyUpdater::InternalExecute() {
    if (LocalFileName().isEmpty())
        SetLocalFileName(FCopy.FileName(RemoteFileName(), CopyBaseName()));
    if (LocalFileName().isEmpty()) {
        SetLastError(QStringLiteral("Cannot make a private directory under \"%1\"").arg(TempPath()));
        SetStatus(isFailed);
        return;
    }
    TKvCustomWebUpdater::InternalExecute();
}

} // namespace KvInet

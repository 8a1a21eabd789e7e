// kvidir: the remote directory lister. Lists an FTP directory or a directory of the file system (local or a
// mounted share), optionally with every subdirectory, into a string list, through the web base's listing.
#pragma once

#include "web/kviupdate.h"

namespace KvInet {

/// Lists Directory (entries whose names match WildCard; with SubFolders the matching subdirectories too)
/// into FileList. FTP lines are "name" in the server's current directory (an empty Directory is "/") and
/// "DIR/name" elsewhere; subdirectories follow the whole level. File-system lines are "Directory/name"
/// (the bare name when Directory is empty), a subdirectory's entries right after its own line; links to
/// directories are listed, not entered. HTTP and HTTPS list nothing.
///
/// Status: isFinished when every directory was listed and at least one line found; isNotFound when nothing
/// was found (also when Directory itself can't be entered); isFailed when there is no connection, or when
/// lines were found but the listing is incomplete (a subdirectory that could not be entered, or the walk's
/// limit of 32 levels or 100,000 lines): FileList then holds what was found and LastError says what is
/// missing.
class TKvRemoteFiles : public TKvCustomWebComponent {
    Q_OBJECT
    Q_PROPERTY(QString Directory READ Directory WRITE SetDirectory)
    Q_PROPERTY(QString WildCard READ WildCard WRITE SetWildCard STORED true)
    Q_PROPERTY(bool SubFolders READ SubFolders WRITE SetSubFolders)
public:
    /// WildCard "*.*" (every name), SubFolders false, an empty list.
    explicit TKvRemoteFiles(TComponent* AOwner = nullptr);
    ~TKvRemoteFiles() override;

    /// The directory to list: a path on the FTP server (absolute; empty: "/") or in the file system.
    const QString& Directory() const { return FDirectory; }
    void SetDirectory(const QString& Value) { FDirectory = Value; }
    /// The name pattern ("*" any run, "?" one character, case-sensitive; "*.*" and "*" match every name).
    /// It filters directories too: a subdirectory is entered only when its name matches.
    const QString& WildCard() const { return FWildCard; }
    void SetWildCard(const QString& Value) { FWildCard = Value; }
    /// Also list the subdirectories, recursively.
    bool SubFolders() const { return FSubFolders; }
    void SetSubFolders(bool Value) { FSubFolders = Value; }
    /// The lines of the last Execute, in the order of the walk.
    TStrings* FileList() const { return FFileList; }

protected:
    void InternalExecute() override;

private:
    QString FDirectory;
    QString FWildCard = QStringLiteral("*.*");
    bool FSubFolders = false;
    TStringList* FFileList;
};

} // namespace KvInet

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
/// FTP: an empty Directory is "/", and a Directory (like a name in it) without a leading "/" is taken from
/// the login folder ("." is the login folder itself). A name that is not UTF-8 (or, from an FTP server, holds
/// control characters) is listed escaped: such a line shows the name, with backslash, control characters
/// and the bytes that are not UTF-8 written \\, \r, \n, \t and \xhh, and names no file (EscapedLines).
///
/// Status: isFinished when every directory was listed and at least one line found; isNotFound when nothing
/// was found (also when Directory itself is missing or the FTP server won't enter it); isFailed when there
/// is no connection, when a directory could not be read (Directory itself, or a subdirectory while lines
/// were found), when a listing broke off or grew past MaxReplySize, or when the walk reached its limit of
/// 32 levels or 100,000 lines: FileList then holds what was found and LastError says what is missing.
class TKvRemoteFiles : public TKvCustomWebComponent {
    Q_OBJECT
    Q_PROPERTY(QString Directory READ Directory WRITE SetDirectory)
    Q_PROPERTY(QString WildCard READ WildCard WRITE SetWildCard STORED true)
    Q_PROPERTY(bool SubFolders READ SubFolders WRITE SetSubFolders)
public:
    /// WildCard "*.*" (every name), SubFolders false, an empty list.
    explicit TKvRemoteFiles(TComponent* AOwner = nullptr);
    ~TKvRemoteFiles() override;

    /// The directory to list: a path on the FTP server (empty: "/"; without a leading "/": from the login
    /// folder) or in the file system.
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
    /// The indexes in FileList of the lines that show an escaped name, in order.
    const QList<int>& EscapedLines() const { return ListingEscaped(); }

protected:
    void InternalExecute() override;

private:
    QString FDirectory;
    QString FWildCard = QStringLiteral("*.*");
    bool FSubFolders = false;
    TStringList* FFileList;
};

} // namespace KvInet

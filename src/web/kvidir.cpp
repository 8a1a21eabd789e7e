// kvidir: the remote directory lister.
#include "web/kvidir.h"

namespace KvInet {

TKvRemoteFiles::TKvRemoteFiles(TComponent* AOwner)
    : TKvCustomWebComponent(AOwner), FFileList(new TStringList(this)) {}

TKvRemoteFiles::~TKvRemoteFiles() {
    delete FFileList;
}

void TKvRemoteFiles::InternalExecute() {
    FFileList->Clear();
    ConnectToInet(true);
    if (!hURL) {
        SetStatus(isFailed);
    } else if (!ReadDirFromInet(FDirectory, FWildCard, FSubFolders, FFileList)) {
        // Nothing found (a directory that can't be entered finds nothing: LastError already says why). A
        // directory that is there but could not be read is no "nothing".
        if (LastError().isEmpty())
            SetLastError(QStringLiteral("Nothing in \"%1\" matches \"%2\"").arg(FDirectory, FWildCard));
        SetStatus(ListingFailed() ? isFailed : isNotFound);
    } else if (!ListingSkipped().isEmpty() || !ListingLimit().isEmpty()) {
        // The lines found stay, but an incomplete listing is no success.
        SetStatus(isFailed);
    }
    DisconnectFromInet();
}

} // namespace KvInet

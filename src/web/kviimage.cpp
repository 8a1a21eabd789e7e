// kviimage: the remote image.
#include "web/kviimage.h"

namespace KvInet {

TKvRemoteImage::TKvRemoteImage(TComponent* AOwner) : TKvCustomCopyUpdater(AOwner), FTimer(new TTimer(this)) {
    FTimer->SetEnabled(false);
}

TKvRemoteImage::~TKvRemoteImage() {
    FTimer->SetEnabled(false);
    FTimer->SetOnTimer(nullptr);
    SetImage(nullptr);
}

void TKvRemoteImage::SetImage(TImage* Value) {
    if (Value == FImage)
        return;
    if (FImage)
        FImage->RemoveFreeNotification(this);
    FImage = Value;
    if (FImage)
        FImage->FreeNotification(this);
}

void TKvRemoteImage::Notification(TComponent* AComponent, TOperation Operation) {
    TKvCustomCopyUpdater::Notification(AComponent, Operation);
    if (Operation == opRemove && AComponent == FImage)
        FImage = nullptr;
}

void TKvRemoteImage::SetActive(bool Value) {
    if (Value == FActive)
        return;
    FTimer->SetOnTimer(Value ? TNotifyEvent([this](QObject* Sender) { TimerHandler(Sender); }) : nullptr);
    // A form opened for inspection keeps Active as stored but downloads nothing.
    FTimer->SetEnabled(Value && !Designing());
    FActive = Value;
}

void TKvRemoteImage::InternalExecute() {
    // The copy is loaded into memory whole, so MaxReplySize bounds the download itself.
    SetDownloadLimit(MaxReplySize(),
                     QStringLiteral("The picture is larger than %1 bytes").arg(MaxReplySize()));
    TKvCustomCopyUpdater::InternalExecute();
}

bool TKvRemoteImage::Execute() {
    const bool result = TKvCustomCopyUpdater::Execute();
    if (!FImage || !CopyComplete())
        return result;
    QString error;
    if (!FImage->LoadFromFile(LocalFileName(), error)) {
        SetLastError(error);
        SetStatus(isFailed);
        return false;
    }
    return result;
}

void TKvRemoteImage::TimerHandler(QObject* Sender) {
    (void)Sender;
    FTimer->SetEnabled(false);
    try {
        Execute();
    } catch (const std::exception& e) {
        // Qt's event loop must never see an exception: the refresh stops, and says so.
        // LastError keeps the reason where no message box can be shown (a worker thread).
        SetActive(false);
        SetLastError(QStringLiteral("The picture refresh stopped: %1").arg(QString::fromUtf8(e.what())));
        MessageDlg(LastError(), mtError, mbOK);
        return;
    } catch (...) {
        SetActive(false);
        SetLastError(QStringLiteral("The picture refresh stopped: an unknown failure"));
        MessageDlg(LastError(), mtError, mbOK);
        return;
    }
    if (FActive)
        FTimer->SetEnabled(true);
}

} // namespace KvInet

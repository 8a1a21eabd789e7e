// kviimage: the remote image. Keeps a picture holder (TImage) up to date with a picture on a web server,
// an FTP server or a path, for example a camera's still image, refreshed on a timer.
#pragma once

#include "platform/Forms.h"
#include "web/kviupdate.h"

namespace KvInet {

/// Each Execute runs the updater cycle into a private temporary copy, then loads the copy into Image's
/// picture, whatever the cycle's result (a failed or skipped run shows the last good copy again; a part
/// left by a broken download is never shown). A copy that holds no picture (a page served under a
/// picture's name) leaves the picture as it was: Status isFailed, LastError "not a picture", false.
/// A picture larger than MaxReplySize fails the run (LastError says so) and nothing of it is kept or shown.
/// While Active, a timer repeats Execute Interval milliseconds after the end of the previous one.
class TKvRemoteImage : public TKvCustomCopyUpdater {
    Q_OBJECT
    Q_PROPERTY(KvInet::TImage* Image READ Image WRITE SetImage STORED true)
    Q_PROPERTY(bool Active READ Active WRITE SetActive STORED true)
    Q_PROPERTY(int Interval READ Interval WRITE SetInterval STORED true)
public:
    /// No image, not active, Interval 1000.
    explicit TKvRemoteImage(TComponent* AOwner = nullptr);
    ~TKvRemoteImage() override;

    /// The updater cycle, then the copy into Image (see the class). Passes the library's exceptions of
    /// the cycle (a copy that can't be written).
    bool Execute() override;
    /// Active := true.
    void Start() { SetActive(true); }
    /// Active := false; a refresh running now ends, and no other follows.
    void Stop() { SetActive(false); }

    /// The picture holder to fill (not owned; forgotten when it is freed).
    TImage* Image() const { return FImage; }
    void SetImage(TImage* Value);
    /// The timer runs: a refresh every Interval milliseconds.
    bool Active() const { return FActive; }
    void SetActive(bool Value);
    /// Milliseconds between the end of one refresh and the start of the next; 0 stops the timer (Active
    /// stays as it is). A negative value raises EConvertError.
    int Interval() const { return FTimer->Interval(); }
    void SetInterval(int Value) { FTimer->SetInterval(Value); }

protected:
    void Notification(TComponent* AComponent, TOperation Operation) override;
    QString CopyBaseName() const override { return QStringLiteral("image"); }
    /// The updater cycle with MaxReplySize as the download's limit.
    void InternalExecute() override;
    /// One refresh: the timer is off while Execute runs, and on again only if still Active. An exception
    /// never reaches the event loop: it goes to the message handler as an error, and the timer stops
    /// (Active false).
    void TimerHandler(QObject* Sender);

private:
    TImage* FImage = nullptr;
    bool FActive = false;
    TTimer* FTimer;
};

} // namespace KvInet

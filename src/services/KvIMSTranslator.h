// KvIMSTranslator: a client of the translation service's HTTP interface. Each method asks one address
// (GET, the service's base address in Host plus the method and its arguments) and reads the XML answer with
// the engine: a translation, a detected language, the lists of languages, or speech saved to a file.
#pragma once

#include "web/kviupdate.h"

namespace KvInet {

class TKvXMLEngine;
class TKvXMLItem;

/// The translation service's client. The component's settings (Agent, Proxy, Timeout, TotalTimeout per
/// call, MaxReplySize, CACertFile) apply to every call; Execute does nothing of its own. A call that gets
/// no complete answer with a 2xx status gives "" (or an empty list) and says why in LastError; LastError
/// is "" after a call that went through.
class TKvMSTranslator : public TKvCustomWebComponent {
    Q_OBJECT
    Q_PROPERTY(QString BingAppId READ BingAppId WRITE SetBingAppId)
public:
    /// Agent "Norvalith Tracker", Host the service's public base address ("http://HOST/v2/Http.svc").
    explicit TKvMSTranslator(TComponent* AOwner = nullptr);

    /// AText translated from the language SourceLng to DestLng (language codes such as "en").
    QString TranslateText(const QString& AText, const QString& SourceLng, const QString& DestLng);
    /// The code of the language AText is written in.
    QString DetectLanguage(const QString& AText);
    /// Replaces AList's lines by the codes of the languages the service translates; nothing happens (and
    /// nothing is asked) when AList is null.
    void GetLanguagesForTranslate(TStrings* AList);
    /// The same for the languages the service speaks.
    void GetLanguagesForSpeak(TStrings* AList);
    /// Saves AText spoken in Language (the service's audio, byte for byte) as DestFileName. The file is
    /// replaced only by a complete answer with a 2xx status; after a failure an existing file is left as
    /// it was and a new name is an empty file. Raises EFCreateError, before anything is asked, when the
    /// file can't be written.
    void SpeakText(const QString& Language, const QString& DestFileName, const QString& AText);

    /// The application id sent with every request.
    const QString& BingAppId() const { return FBingAppId; }
    void SetBingAppId(const QString& Value) { FBingAppId = Value; }

    /// The address a method asks: Host, then Template with "%1", "%2"... replaced by Values, each
    /// percent-encoded as UTF-8 (every byte outside letters, digits and "-._~").
    QString RequestAddress(const QString& Template, const QStringList& Values) const;

protected:
    /// Nothing: the methods do the work.
    void InternalExecute() override {}

private:
    /// Reads the XML answer of Address into Engine; the document element, or null (LastError says why).
    TKvXMLItem* ReadXMLAnswer(const QString& Address, TKvXMLEngine& Engine);
    /// A complete 2xx answer of Address in Stream; false (LastError says why) otherwise.
    bool Fetch(const QString& Address, TStream& Stream);
    /// The value of the document element of Address's answer.
    QString ReadValue(const QString& Address);
    void ReadLanguages(const QString& Address, TStrings* AList);

    QString FBingAppId;
};

} // namespace KvInet

// KvIMSTranslator: the translation service's client.
#include "services/KvIMSTranslator.h"

#include "xml/KvInetXML.h"

#include <QUrl>

namespace KvInet {

TKvMSTranslator::TKvMSTranslator(TComponent* AOwner)
    : TKvCustomWebComponent(AOwner), FBingAppId(QStringLiteral("A1F05C93B7E2D4486C0F3A9E51B27D8C40E6F913")) {
    SetAgent(QStringLiteral("Norvalith Tracker"));
    SetService(isHTTP);
    // Kept as the component always had it; the requests use the full address in Host.
    SetPort(443);
    SetHost(QStringLiteral("http://api.microsofttranslator.com/v2/Http.svc"));
}

QString TKvMSTranslator::RequestAddress(const QString& Template, const QStringList& Values) const {
    // Every value is encoded whole: a blank, "&", "#" or "+" in a text stays part of that text instead of
    // breaking the address or adding parameters of its own.
    QString path = Template;
    QString result;
    qsizetype from = 0;
    for (qsizetype i = 0; i + 1 < path.size(); ++i) {
        if (path[i] != u'%' || !path[i + 1].isDigit())
            continue;
        const int index = path[i + 1].digitValue() - 1;
        result += QStringView(path).mid(from, i - from);
        if (index >= 0 && index < Values.size())
            result += QString::fromLatin1(QUrl::toPercentEncoding(Values[index]));
        from = ++i + 1;
    }
    result += QStringView(path).mid(from);
    return Host() + result;
}

bool TKvMSTranslator::Fetch(const QString& Address, TStream& Stream) {
    int status = 0;
    if (!ReadHTTPGetResponse(Address, Stream, status))
        return false; // LastError says why
    if (status < 200 || status > 299) {
        // An error page is no answer of the service, however well it reads.
        SetLastError(status ? QStringLiteral("The server answered %1").arg(status)
                            : QStringLiteral("No HTTP answer from %1").arg(Address));
        return false;
    }
    return true;
}

TKvXMLItem* TKvMSTranslator::ReadXMLAnswer(const QString& Address, TKvXMLEngine& Engine) {
    TMemoryStream stream;
    if (!Fetch(Address, stream))
        return nullptr;
    Engine.LoadFromStream(0, &stream);
    // With an XML declaration first, the engine's root is the declaration and the document element one of
    // its children.
    TKvXMLItem* element = Engine.RootItem();
    if (element && element->TagName().startsWith(u'?')) {
        TKvXMLItem* found = nullptr;
        for (TKvXMLItem* child : element->Items()) {
            if (child->Kind() == ikProperty && !child->TagName().startsWith(u'?') &&
                !child->TagName().startsWith(u'!')) {
                found = child;
                break;
            }
        }
        element = found;
    }
    if (!element || element->TagName().isEmpty()) {
        SetLastError(QStringLiteral("The answer is no XML document"));
        return nullptr;
    }
    return element;
}

QString TKvMSTranslator::ReadValue(const QString& Address) {
    const TOperationDeadline deadline(*this);
    SetLastError(QString());
    TKvXMLEngine engine(this);
    const TKvXMLItem* element = ReadXMLAnswer(Address, engine);
    return element ? engine.GetTagText(element) : QString();
}

void TKvMSTranslator::ReadLanguages(const QString& Address, TStrings* AList) {
    if (!AList)
        return;
    const TOperationDeadline deadline(*this);
    SetLastError(QString());
    AList->Clear();
    TKvXMLEngine engine(this);
    const TKvXMLItem* element = ReadXMLAnswer(Address, engine);
    if (!element)
        return;
    for (const TKvXMLItem* child : element->Items())
        if (child->Kind() == ikProperty)
            AList->Add(engine.GetTagText(child));
}

QString TKvMSTranslator::TranslateText(const QString& AText, const QString& SourceLng,
                                       const QString& DestLng) {
    return ReadValue(RequestAddress(QStringLiteral("/Translate?appId=%1&text=%2&from=%3&to=%4"),
                                    {FBingAppId, AText, SourceLng, DestLng}));
}

QString TKvMSTranslator::DetectLanguage(const QString& AText) {
    return ReadValue(RequestAddress(QStringLiteral("/Detect?appId=%1&text=%2"), {FBingAppId, AText}));
}

void TKvMSTranslator::GetLanguagesForTranslate(TStrings* AList) {
    ReadLanguages(RequestAddress(QStringLiteral("/GetLanguagesForTranslate?appId=%1"), {FBingAppId}), AList);
}

void TKvMSTranslator::GetLanguagesForSpeak(TStrings* AList) {
    ReadLanguages(RequestAddress(QStringLiteral("/GetLanguagesForSpeak?appId=%1"), {FBingAppId}), AList);
}

void TKvMSTranslator::SpeakText(const QString& Language, const QString& DestFileName, const QString& AText) {
    const TOperationDeadline deadline(*this);
    SetLastError(QString());
    const QString address =
        RequestAddress(QStringLiteral("/Speak?appId=%1&text=%2&language=%3"), {FBingAppId, AText, Language});
    // The answer goes beside the file and replaces it only when complete: a failure never destroys the old
    // file, and an error page is never saved as speech.
    const QString localFile = ResolveLocalName(DestFileName);
    const TKvDownloadTarget target = ChooseDownloadTarget(localFile, false, 0);
    bool complete = false;
    {
        TFileStream stream(target.FileName, fmCreate); // raises before anything is asked
        complete = Fetch(address, stream);
        if (complete && !stream.Flush()) {
            SetLastError(QStringLiteral("Cannot write file \"%1\". No space left or write refused")
                             .arg(target.FileName));
            complete = false;
        }
        if (!complete)
            stream.SetSize(0); // a new name is left empty, not holding part of an answer
    }
    CommitDownload(target, localFile, complete);
}

} // namespace KvInet

// KvIUPS: the parcel tracker, its activities and their addresses.
#include "services/KvIUPS.h"

#include "xml/KvInetXML.h"

#include <algorithm>
#include <vector>

namespace KvInet {

namespace {

// The service answers a few kilobytes; this is the progress bar's scale when it does not say.
constexpr int64_t EstimatedAnswerSize = 10240;
constexpr int64_t AnswerBlock = 2050;

// Two documents back to back, lines joined by CR LF and no line end after the last.
const char* const RequestTemplate[] = {
    "<?xml version=\"1.0\"?><AccessRequest xml:lang=\"en-US\"><AccessLicenseNumber>%1</AccessLicenseNumber>",
    "<UserId>xkq</UserId><Password>xkq</Password></AccessRequest>",
    "<?xml version=\"1.0\"?><TrackRequest xml:lang=\"en-US\"><Request><TransactionReference>",
    "<CustomerContext>%2</CustomerContext><XpciVersion>1.0</XpciVersion></TransactionReference>",
    "<RequestAction>Track</RequestAction><RequestOption>activity</RequestOption></Request>",
    "<TrackingNumber>#%3</TrackingNumber></TrackRequest>",
};

/// Characters XML 1.0 has no way to carry, not even as a reference.
bool HasControlCharacter(const QString& Value) {
    return std::any_of(Value.begin(), Value.end(),
                       [](QChar C) { return C.unicode() < 0x20 && C != u'\t' && C != u'\n' && C != u'\r'; });
}

/// The value of T under X (X included), "" when there is none, decoded as the answer declares (the engine's
/// part) or as UTF-8, the default of XML, when it declares none: read as it is, "Zürich" would come out as
/// two characters for the "ü".
QString ValueUnder(const TKvXMLEngine& Engine, TKvXMLItem* X, const char* T) {
    const TKvXMLItem* item = Engine.GetItemByTag(X, QString::fromLatin1(T));
    return item ? Engine.GetTagText(item) : QString();
}

TKvXMLItem* Find(const TKvXMLEngine& Engine, TKvXMLItem* X, const char* T) {
    return Engine.GetItemByTag(X, QString::fromLatin1(T));
}

bool CompactParts(const QString& S, int& A, int& B, int& C, int FirstLength) {
    return TryStrToInt(S.mid(0, FirstLength), A) && TryStrToInt(S.mid(FirstLength, 2), B) &&
           TryStrToInt(S.mid(FirstLength + 2, 2), C);
}

} // namespace

bool CompactStrToDate(const QString& S, TDateTime& Date) {
    int year = 0, month = 0, day = 0;
    return CompactParts(S, year, month, day, 4) && TryEncodeDate(year, month, day, Date);
}

bool CompactStrToTime(const QString& S, TDateTime& Time) {
    int hour = 0, minute = 0, second = 0;
    return CompactParts(S, hour, minute, second, 2) && TryEncodeTime(hour, minute, second, 0, Time);
}

// ---- TKvInetActivityAddress ------------------------------------------------------------------------------

void TKvInetActivityAddress::Assign(const TPersistent* Source) {
    if (const auto* other = qobject_cast<const TKvInetActivityAddress*>(Source)) {
        FAddressLine1 = other->FAddressLine1;
        FAddressLine2 = other->FAddressLine2;
        FAddressLine3 = other->FAddressLine3;
        FCity = other->FCity;
        FPostalCode = other->FPostalCode;
        FCountry = other->FCountry;
        return;
    }
    TPersistent::Assign(Source);
}

QString TKvInetActivityAddress::GetText() const {
    QStringList parts;
    for (const QString* field :
         {&FAddressLine1, &FAddressLine2, &FAddressLine3, &FCity, &FPostalCode, &FCountry})
        if (!field->isEmpty())
            parts << *field;
    return parts.join(u' ');
}

void TKvInetActivityAddress::Clear() {
    for (QString* field : {&FAddressLine1, &FAddressLine2, &FAddressLine3, &FCity, &FPostalCode, &FCountry})
        field->clear();
}

// ---- TKvInetActivity -------------------------------------------------------------------------------------

TKvInetActivity::TKvInetActivity(TCollection* ACollection)
    : TCollectionItem(ACollection), FLocation(new TKvInetActivityAddress(this)) {}

void TKvInetActivity::Assign(const TPersistent* Source) {
    if (const auto* other = qobject_cast<const TKvInetActivity*>(Source)) {
        FLocationCode = other->FLocationCode;
        FLocation->Assign(other->FLocation);
        FLocationDescription = other->FLocationDescription;
        FLocationSignedForByName = other->FLocationSignedForByName;
        FStatusTypeCode = other->FStatusTypeCode;
        FStatusTypeDescription = other->FStatusTypeDescription;
        FStatusCode = other->FStatusCode;
        FDateTime = other->FDateTime;
        return;
    }
    TCollectionItem::Assign(Source);
}

// ---- TKvUPSTracker ---------------------------------------------------------------------------------------

TKvUPSTracker::TKvUPSTracker(TComponent* AOwner)
    : TKvCustomWebComponent(AOwner), FAccessLicenseNumber(QStringLiteral("7D1E94C05AB3F628")),
      FShipperAddress(new TKvInetActivityAddress(this)), FShipToAddress(new TKvInetActivityAddress(this)),
      FActivities(new TKvInetActivities(this)) {
    SetAgent(QStringLiteral("Norvalith Tracker"));
    SetService(isHTTPS);
    SetPort(443);
    SetHost(QStringLiteral("onlinetools.ups.com"));
}

TKvUPSTracker::~TKvUPSTracker() = default;

void TKvUPSTracker::SetTrackingNumber(const QString& Value) {
    if (Value == FTrackingNumber)
        return;
    FTrackingNumber = Value;
    Clear();
}

void TKvUPSTracker::Clear() {
    FActivities->Clear();
    FLastXMLResponse.clear();
}

QByteArray TKvUPSTracker::RequestBody() const {
    QStringList lines;
    for (const char* line : RequestTemplate)
        lines << QString::fromLatin1(line);
    // The values are text inside elements: escaped, so that no value can end an element or start another.
    // UTF-8, the encoding the documents declare by declaring none.
    return lines.join(QStringLiteral("\r\n"))
        .arg(FAccessLicenseNumber.toHtmlEscaped(), Agent().toHtmlEscaped(), FTrackingNumber.toHtmlEscaped())
        .toUtf8();
}

void TKvUPSTracker::InternalExecute() {
    // Only the answer is replaced: activities accumulate until Clear (or a new TrackingNumber), and the
    // shipment's values stay until an answer with a Shipment replaces them, as callers of this component
    // have always been able to rely on.
    FLastXMLResponse.clear();
    const std::pair<const char*, const QString*> values[] = {{"tracking number", &FTrackingNumber},
                                                             {"access licence number", &FAccessLicenseNumber},
                                                             {"agent", &Agent()}};
    for (const auto& [name, value] : values) {
        if (HasControlCharacter(*value)) {
            SetLastError(QStringLiteral("The %1 holds a control character").arg(QString::fromLatin1(name)));
            SetStatus(isFailed);
            return;
        }
    }

    ConnectToInet(false);
    if (!hInet || !hURL) {
        SetStatus(isFailed);
    } else {
        QString error;
        std::unique_ptr<TInetRequest> request =
            hURL->Request(QStringLiteral("POST"), QString::fromLatin1(TrackPath),
                          {QStringLiteral("Content-Type: application/x-www-form-urlencoded")}, RequestBody(),
                          nullptr, error);
        if (!request) {
            SetLastError(error);
            SetStatus(isFailed);
        } else {
            const int status = request->StatusCode();
            const bool complete = ReadAnswer(*request);
            if (complete && (status < 200 || status > 299)) {
                // An error page is no answer of the service, however well it reads.
                SetLastError(QStringLiteral("The server answered %1").arg(status));
                SetStatus(isFailed);
            } else if (!complete) {
                SetStatus(isFailed);
            } else {
                SetAction(iaDownloaded);
            }
        }
    }
    DisconnectFromInet();
    const QString problem = ParseAnswer();
    // The service's own errors come as a well-formed answer: the run went through, and says why it found
    // nothing.
    if (Status() != isFailed && !problem.isEmpty())
        SetLastError(problem);
}

bool TKvUPSTracker::ReadAnswer(TInetRequest& Request) {
    const int64_t announced = Request.ContentLength();
    const int64_t limit = MaxReplySize();
    std::vector<char> buffer(AnswerBlock);
    int64_t total = 0;
    bool abort = false;
    while (!abort) {
        const int64_t count = Request.ReadSome(buffer.data(), AnswerBlock);
        if (count == 0)
            return true;
        if (count < 0) {
            SetLastError(Request.ErrorText());
            return false;
        }
        if (limit > 0 && total + count > limit) {
            SetLastError(QStringLiteral("The answer is larger than %1 bytes").arg(limit));
            return false;
        }
        total += count;
        FLastXMLResponse += QString::fromLatin1(buffer.data(), qsizetype(count));
        // The bar's scale: the announced size, else the estimate, and never less than what came.
        UpdateProgress(total, std::max(announced > 0 ? announced : EstimatedAnswerSize, total), abort);
    }
    SetLastError(QStringLiteral("Cancelled"));
    return false;
}

void TKvUPSTracker::FillAddress(TKvXMLEngine& Engine, TKvXMLItem* Address,
                                TKvInetActivityAddress& Target) const {
    if (!Address)
        return;
    Target.SetAddressLine1(ValueUnder(Engine, Address, "AddressLine1"));
    Target.SetAddressLine2(ValueUnder(Engine, Address, "AddressLine2"));
    Target.SetAddressLine3(ValueUnder(Engine, Address, "AddressLine3"));
    Target.SetCity(ValueUnder(Engine, Address, "City"));
    Target.SetPostalCode(ValueUnder(Engine, Address, "PostalCode"));
    Target.SetCountry(ValueUnder(Engine, Address, "CountryCode"));
}

void TKvUPSTracker::ParseXMLResponse() {
    ParseAnswer();
}

QString TKvUPSTracker::ParseAnswer() {
    if (FLastXMLResponse.isEmpty())
        return QStringLiteral("The answer is empty");
    TKvXMLEngine engine(this);
    engine.ParseXMLFromString(FLastXMLResponse);

    TKvXMLItem* shipment = Find(engine, nullptr, "Shipment");
    if (shipment) {
        if (TKvXMLItem* shipper = Find(engine, shipment, "Shipper")) {
            FShipperNumber = ValueUnder(engine, shipper, "ShipperNumber");
            FillAddress(engine, Find(engine, shipper, "Address"), *FShipperAddress);
        }
        if (TKvXMLItem* shipTo = Find(engine, shipment, "ShipTo"))
            FillAddress(engine, Find(engine, shipTo, "Address"), *FShipToAddress);
        FIdentificationNumber = ValueUnder(engine, shipment, "ShipmentIdentificationNumber");
        if (TDateTime pickup = 0; CompactStrToDate(ValueUnder(engine, shipment, "PickupDate"), pickup))
            FPickupDate = pickup;
        if (TKvXMLItem* service = Find(engine, shipment, "Service")) {
            FServiceCode = ValueUnder(engine, service, "Code");
            FServiceDescription = ValueUnder(engine, service, "Description");
        }
        if (TKvXMLItem* weight = Find(engine, shipment, "ShipmentWeight")) {
            FShipmentWeight = ValueUnder(engine, weight, "Weight");
            if (TKvXMLItem* units = Find(engine, weight, "UnitOfMeasurement"))
                FShipmentWeightUnits = ValueUnder(engine, units, "Code");
        }
    }

    TKvXMLItem* package = Find(engine, nullptr, "Package");
    if (package) {
        for (TKvXMLItem* a : package->Items()) {
            // Only the events themselves: the exact name, unlike the searches.
            if (a->Kind() != ikProperty || !a->TagNameIs(u"Activity", true))
                continue;
            TKvInetActivity* activity = FActivities->Add();
            if (TKvXMLItem* location = Find(engine, a, "ActivityLocation")) {
                activity->SetLocationCode(ValueUnder(engine, location, "Code"));
                activity->SetLocationDescription(ValueUnder(engine, location, "Description"));
                activity->SetLocationSignedForByName(ValueUnder(engine, location, "SignedForByName"));
                FillAddress(engine, Find(engine, a, "Address"), *activity->Location());
            }
            if (Find(engine, a, "Status")) {
                if (TKvXMLItem* type = Find(engine, a, "StatusType")) {
                    activity->SetStatusTypeCode(ValueUnder(engine, type, "Code"));
                    activity->SetStatusTypeDescription(ValueUnder(engine, type, "Description"));
                }
                if (TKvXMLItem* code = Find(engine, a, "StatusCode"))
                    activity->SetStatusCode(ValueUnder(engine, code, "Code"));
            }
            TDateTime date = 0, time = 0;
            if (CompactStrToDate(ValueUnder(engine, a, "Date"), date) &&
                CompactStrToTime(ValueUnder(engine, a, "Time"), time))
                activity->SetDateTime(date + time);
        }
    }
    if (const QString reason = ValueUnder(engine, nullptr, "ErrorDescription"); !reason.isEmpty())
        return reason;
    return shipment || package ? QString() : QStringLiteral("The answer holds no tracking information");
}

} // namespace KvInet

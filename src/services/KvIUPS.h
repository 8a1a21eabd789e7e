// KvIUPS: the parcel tracker. TKvUPSTracker posts one access-and-track request to the carrier's XML
// tracking service over HTTPS, keeps the answer as text in LastXMLResponse and reads from it the shipment's
// data and its scan events (TKvInetActivities of TKvInetActivity, each with a TKvInetActivityAddress).
#pragma once

#include "platform/Classes.h"
#include "platform/SysUtils.h"
#include "web/kviupdate.h"

namespace KvInet {

class TKvXMLEngine;
class TKvXMLItem;

/// A postal address as the tracking service reports it.
class TKvInetActivityAddress : public TPersistent {
    Q_OBJECT
    Q_PROPERTY(QString AddressLine1 READ AddressLine1 WRITE SetAddressLine1)
    Q_PROPERTY(QString AddressLine2 READ AddressLine2 WRITE SetAddressLine2)
    Q_PROPERTY(QString AddressLine3 READ AddressLine3 WRITE SetAddressLine3)
    Q_PROPERTY(QString City READ City WRITE SetCity)
    Q_PROPERTY(QString PostalCode READ PostalCode WRITE SetPostalCode)
    Q_PROPERTY(QString Country READ Country WRITE SetCountry)
    Q_PROPERTY(QString Text READ GetText STORED false)
public:
    explicit TKvInetActivityAddress(QObject* Parent = nullptr) : TPersistent(Parent) {}

    /// Copies the six fields of another TKvInetActivityAddress; any other source raises EConvertError.
    void Assign(const TPersistent* Source) override;
    /// The non-empty fields from AddressLine1 to Country, in that order, joined by single blanks.
    QString GetText() const;
    /// Empties the six fields.
    void Clear();

    const QString& AddressLine1() const { return FAddressLine1; }
    void SetAddressLine1(const QString& Value) { FAddressLine1 = Value; }
    const QString& AddressLine2() const { return FAddressLine2; }
    void SetAddressLine2(const QString& Value) { FAddressLine2 = Value; }
    const QString& AddressLine3() const { return FAddressLine3; }
    void SetAddressLine3(const QString& Value) { FAddressLine3 = Value; }
    const QString& City() const { return FCity; }
    void SetCity(const QString& Value) { FCity = Value; }
    const QString& PostalCode() const { return FPostalCode; }
    void SetPostalCode(const QString& Value) { FPostalCode = Value; }
    const QString& Country() const { return FCountry; }
    void SetCountry(const QString& Value) { FCountry = Value; }

private:
    QString FAddressLine1, FAddressLine2, FAddressLine3, FCity, FPostalCode, FCountry;
};

/// One scan event of a parcel: where, what state, when.
class TKvInetActivity : public TCollectionItem {
    Q_OBJECT
    Q_PROPERTY(QString LocationCode READ LocationCode WRITE SetLocationCode)
    Q_PROPERTY(KvInet::TKvInetActivityAddress* Location READ Location WRITE SetLocation)
    Q_PROPERTY(QString LocationDescription READ LocationDescription WRITE SetLocationDescription)
    Q_PROPERTY(QString LocationSignedForByName READ LocationSignedForByName WRITE SetLocationSignedForByName)
    Q_PROPERTY(QString StatusTypeCode READ StatusTypeCode WRITE SetStatusTypeCode)
    Q_PROPERTY(QString StatusTypeDescription READ StatusTypeDescription WRITE SetStatusTypeDescription)
    Q_PROPERTY(QString StatusCode READ StatusCode WRITE SetStatusCode)
    Q_PROPERTY(double DateTime READ DateTime WRITE SetDateTime)
public:
    /// An event appended to ACollection (free-standing when null), with an empty Location and DateTime 0.
    explicit TKvInetActivity(TCollection* ACollection = nullptr);

    /// Copies every property of another TKvInetActivity (Location by its Assign); any other source raises
    /// EConvertError.
    void Assign(const TPersistent* Source) override;

    const QString& LocationCode() const { return FLocationCode; }
    void SetLocationCode(const QString& Value) { FLocationCode = Value; }
    TKvInetActivityAddress* Location() const { return FLocation; }
    /// Copies the address (the object is not kept).
    void SetLocation(TKvInetActivityAddress* Value) { FLocation->Assign(Value); }
    const QString& LocationDescription() const { return FLocationDescription; }
    void SetLocationDescription(const QString& Value) { FLocationDescription = Value; }
    const QString& LocationSignedForByName() const { return FLocationSignedForByName; }
    void SetLocationSignedForByName(const QString& Value) { FLocationSignedForByName = Value; }
    const QString& StatusTypeCode() const { return FStatusTypeCode; }
    void SetStatusTypeCode(const QString& Value) { FStatusTypeCode = Value; }
    const QString& StatusTypeDescription() const { return FStatusTypeDescription; }
    void SetStatusTypeDescription(const QString& Value) { FStatusTypeDescription = Value; }
    const QString& StatusCode() const { return FStatusCode; }
    void SetStatusCode(const QString& Value) { FStatusCode = Value; }
    /// When it happened (local time of the scan); 0 when the answer gave no valid date and time.
    TDateTime DateTime() const { return FDateTime; }
    void SetDateTime(TDateTime Value) { FDateTime = Value; }

private:
    QString FLocationCode;
    TKvInetActivityAddress* FLocation; // a child QObject: freed with the item
    QString FLocationDescription;
    QString FLocationSignedForByName;
    QString FStatusTypeCode;
    QString FStatusTypeDescription;
    QString FStatusCode;
    TDateTime FDateTime = 0;
};

/// The scan events of a parcel, belonging to a component (KvInetControl).
class TKvInetActivities : public TOwnedCollection<TKvInetActivity> {
    Q_OBJECT
public:
    explicit TKvInetActivities(TComponent* KvInetCntrl) : TOwnedCollection<TKvInetActivity>(KvInetCntrl) {}

    /// The component the list belongs to (also what GetOwner reports).
    QObject* KvInetControl() const { return Owner(); }
    QObject* GetOwner() const { return Owner(); }

    TKvInetActivity* GetItem(int Index) const { return Items(Index); }
    /// Copies Value into the item at Index (the item's Assign).
    void SetItem(int Index, const TKvInetActivity* Value) { Items(Index)->Assign(Value); }
};

/// Asks the tracking service for the state of one parcel. Set TrackingNumber (and AccessLicenseNumber when
/// you have your own), call Execute, then read the shipment's properties and Activities. Each run appends
/// the activities it reads to those already there (call Clear first for this run's alone); the shipment's
/// properties keep their values until an answer with a shipment replaces them. An answer that
/// carries the service's error, or no tracking data at all, still ends isFinished, with the service's
/// error text (or the reason) in LastError; a status other than 2xx, a broken or oversized answer end
/// isFailed. What arrived is in LastXMLResponse in every case.
class TKvUPSTracker : public TKvCustomWebComponent {
    Q_OBJECT
    Q_PROPERTY(QString AccessLicenseNumber READ AccessLicenseNumber WRITE SetAccessLicenseNumber)
    Q_PROPERTY(QString TrackingNumber READ TrackingNumber WRITE SetTrackingNumber)
    Q_PROPERTY(QString LastXMLResponse READ LastXMLResponse STORED false)
public:
    /// Agent "Norvalith Tracker", HTTPS on port 443 of the service's public server.
    explicit TKvUPSTracker(TComponent* AOwner = nullptr);
    ~TKvUPSTracker() override;

    /// The request body for the current properties: two XML documents, CR LF between lines, the values
    /// escaped for XML, as UTF-8.
    QByteArray RequestBody() const;
    /// Empties Activities and LastXMLResponse (the shipment's properties stay).
    void Clear();

    const QString& AccessLicenseNumber() const { return FAccessLicenseNumber; }
    void SetAccessLicenseNumber(const QString& Value) { FAccessLicenseNumber = Value; }
    const QString& TrackingNumber() const { return FTrackingNumber; }
    /// A different number (exact comparison) is stored and Clear is called; the same one changes nothing.
    void SetTrackingNumber(const QString& Value);
    /// The service's answer as received (one character per byte), also after a failure.
    const QString& LastXMLResponse() const { return FLastXMLResponse; }

    const QString& ShipperNumber() const { return FShipperNumber; }
    TKvInetActivityAddress* ShipperAddress() const { return FShipperAddress; }
    TKvInetActivityAddress* ShipToAddress() const { return FShipToAddress; }
    const QString& IdentificationNumber() const { return FIdentificationNumber; }
    TDateTime PickupDate() const { return FPickupDate; }
    const QString& ServiceCode() const { return FServiceCode; }
    const QString& ServiceDescription() const { return FServiceDescription; }
    const QString& ShipmentWeight() const { return FShipmentWeight; }
    const QString& ShipmentWeightUnits() const { return FShipmentWeightUnits; }
    TKvInetActivities* Activities() const { return FActivities; }

    /// Reads LastXMLResponse into the shipment's properties and appends its activities (nothing for an
    /// empty answer). Execute calls it after every exchange. The shipment's properties are replaced only
    /// from an answer with a "Shipment" (each from its element, when found); otherwise they keep their
    /// values.
    void ParseXMLResponse();

    /// The path the request is posted to.
    static constexpr const char* TrackPath = "/ups.app/xml/Track";

protected:
    /// Empties LastXMLResponse, posts the request, reads the answer in 2050-byte blocks with a progress
    /// report per block, and parses what arrived: its activities are appended to those of earlier runs
    /// (Clear, or a new TrackingNumber, empties them).
    void InternalExecute() override;

private:
    /// Reads the answer of Request into LastXMLResponse; false (LastError says why) when it broke off, was
    /// cancelled or passed MaxReplySize.
    bool ReadAnswer(TInetRequest& Request);
    /// ParseXMLResponse; returns why the answer holds no tracking data (the service's error description, or
    /// the lack of it), "" when it holds some.
    QString ParseAnswer();
    void FillAddress(TKvXMLEngine& Engine, TKvXMLItem* Address, TKvInetActivityAddress& Target) const;

    QString FAccessLicenseNumber;
    QString FTrackingNumber;
    QString FLastXMLResponse;
    QString FShipperNumber;
    TKvInetActivityAddress* FShipperAddress;
    TKvInetActivityAddress* FShipToAddress;
    QString FIdentificationNumber;
    TDateTime FPickupDate = 0;
    QString FServiceCode;
    QString FServiceDescription;
    QString FShipmentWeight;
    QString FShipmentWeightUnits;
    TKvInetActivities* FActivities;
};

/// A compact date "yyyymmdd" (characters 1-4, 5-6, 7-8); false when a part is no number or no date.
bool CompactStrToDate(const QString& S, TDateTime& Date);
/// A compact time "hhmmss" (characters 1-2, 3-4, 5-6); false when a part is no number or no time.
bool CompactStrToTime(const QString& S, TDateTime& Time);

} // namespace KvInet

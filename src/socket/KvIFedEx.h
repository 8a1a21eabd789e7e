// KvIFedEx: the parcel tracker. Asks the carrier's public tracking page for one or more tracking numbers
// and turns the page's shipment and scan activity sections into lines of text.
#pragma once

#include "socket/KvInBase.h"

namespace KvInet {

/// Parcel tracking by scraping the carrier's tracking page over HTTP/1.0.
///
/// Execute sends, directly to Host (the carrier's web server by default), "GET " TARGET "   HTTP/1.0" (three
/// blanks before the version), "Host: www.fedex.com", "Proxy-Connection: Keep-Alive" and one empty line,
/// where TARGET is "/cgi-bin/tracking?template_type=plugin&action=track&language=english&cntry_code=us" then
/// "&tracknumbers=" KEY. KEY is TrackingNumber as UTF-8 with every byte outside letters, digits and "-._~"
/// percent-encoded (a blank is "%20"). Through the proxy (UseProxy and a Server) the request line carries the
/// absolute form "http://HOST[:PORT]/cgi-bin/..." and the Host line names Host, as every HTTP request of the
/// library does there.
///
/// The reply's sections between "<!-- shipment info -->" and "<!-- BEGIN Scan Activity -->", and between the
/// latter and "<!-- END Scan Activity -->", are flattened (FlattenTable) into ShipmentInfo and Activity.
/// OnAfterExecute does not fire for this component. LastError is set (and the lists stay empty) for a reply
/// that is not a whole 2xx HTTP response; a missing marker leaves its sections empty and sets LastError too.
class TKvFedExTracker : public TKvInetBase {
    Q_OBJECT
    Q_PROPERTY(QString TrackingNumber READ TrackingNumber WRITE SetTrackingNumber)
public:
    explicit TKvFedExTracker(TComponent* AOwner = nullptr);
    ~TKvFedExTracker() override;

    /// The tracking number or numbers to ask for; blanks are allowed.
    const QString& TrackingNumber() const { return FTrackingNumber; }
    /// Stores the value when it differs from the current one.
    void SetTrackingNumber(const QString& Value);
    /// Lines of the shipment information section of the last reply.
    TStrings* ShipmentInfo() const { return FShipmentInfo; }
    /// Lines of the scan activity section of the last reply.
    TStrings* Activity() const { return FActivity; }

    /// The carrier's web server: the default Host and the name on the Host line of a direct request.
    static QString CarrierHost() { return QStringLiteral("www.fedex.com"); }

    /// Turns an HTML table fragment into lines, one per row, its cells separated by "=": line breaks are
    /// dropped, tags are dropped ("</td" appends "=", the ">" of a tag ending in "tr" ends the line and
    /// drops a trailing "="; lower case only), a blank before a blank, a line break or a tag is dropped,
    /// then the known entities are replaced (ReplaceHTMLChars) and every run of "=" becomes one.
    static QString FlattenTable(const QString& Fragment);

protected:
    /// Clears ShipmentInfo and Activity and builds the request (see the class).
    QString GetQuery() override;
    /// Empty: the request ends itself, with nothing after its empty line.
    QString GetRawHeaders() override;
    /// Clears the lists before anything else, so that a failed Execute never leaves the last results.
    void BeforeExecute() override;
    /// Checks the reply and fills ShipmentInfo and Activity; does not call the inherited one.
    void AfterExecute(QString& Text) override;

private:
    QString FTrackingNumber;
    TStringList* FShipmentInfo = nullptr;
    TStringList* FActivity = nullptr;
};

} // namespace KvInet

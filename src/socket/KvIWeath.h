// KvIWeath: the weather client. Asks a weather web site for the local page of a postal code and reads the
// current temperature from it.
#pragma once

#include "socket/KvInBase.h"

namespace KvInet {

/// The enumeration of the weather client (a gadget so that the property streams by name).
struct TKvWeatherTypes {
    Q_GADGET
public:
    /// What Zip means: a postal code, the only kind there is.
    enum TKvWeatherTrackingType { wttZip };
    Q_ENUM(TKvWeatherTrackingType)
};
using TKvWeatherTrackingType = TKvWeatherTypes::TKvWeatherTrackingType;
using enum TKvWeatherTypes::TKvWeatherTrackingType;

/// The current temperature of a postal code, read from the weather site's local page over HTTP/1.0.
///
/// Execute sends "GET /weather/local/KEY?lswe=KEY&lswa=WeatherLocalUndeclared&GO=GO&whatprefs=   HTTP/1.0"
/// (three blanks before the version), "Host: " Host (the numeric address, with ":port" when not 80, when
/// the component holds one), "Proxy-Connection: Keep-Alive" and one empty line. KEY is Zip as UTF-8 with
/// every byte outside letters, digits and "-._~" percent-encoded (a blank is "%20"). Through the proxy
/// (UseProxy and a Server) the request line carries the absolute form "http://HOST[:PORT]/weather/..." with
/// one blank before the version.
///
/// Temperature is the number right after "CLASS=obsTempTextA>" (a minus sign and digits). OnAfterExecute
/// fires with the reply before it is read. Temperature is 0 and LastError set for a reply that is not a
/// whole 2xx HTTP response, a page without the marker ("no temperature in the page"), and a value that is
/// not a number or does not fit 32 bits.
class TKvWeatherInfo : public TKvInetBase {
    Q_OBJECT
    Q_PROPERTY(QString Zip READ Zip WRITE SetZip)
    Q_PROPERTY(
        KvInet::TKvWeatherTypes::TKvWeatherTrackingType TrackingType READ TrackingType WRITE SetTrackingType)
public:
    explicit TKvWeatherInfo(TComponent* AOwner = nullptr);

    /// The postal code whose local page is asked for.
    const QString& Zip() const { return FZip; }
    /// Stores the value when it differs from the current one, and then sets TrackingType to wttZip.
    void SetZip(const QString& Value);
    TKvWeatherTrackingType TrackingType() const { return FTrackingType; }
    void SetTrackingType(TKvWeatherTrackingType Value) { FTrackingType = Value; }
    /// The temperature read from the last reply; 0 when none was read (LastError then says why).
    int Temperature() const { return FTemperature; }

    /// The weather site's web server, the default Host.
    static QString WeatherHost() { return QStringLiteral("www.weather.com"); }

protected:
    /// Builds the request (see the class).
    QString GetQuery() override;
    /// Empty: the request ends itself, with nothing after its empty line.
    QString GetRawHeaders() override;
    /// Sets Temperature to 0 before anything else, so that a failed Execute never leaves the last value.
    void BeforeExecute() override;
    /// Temperature becomes 0, the inherited one fires OnAfterExecute, then the page is read.
    void AfterExecute(QString& Text) override;

private:
    QString FZip;
    TKvWeatherTrackingType FTrackingType = wttZip;
    int FTemperature = 0;
};

} // namespace KvInet

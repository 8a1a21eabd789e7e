// KvIWeath: the local page request and the temperature read from it.
#include "socket/KvIWeath.h"

#include <QUrl>

namespace KvInet {

namespace {

const QLatin1String TemperatureMarker("CLASS=obsTempTextA>");

} // namespace

TKvWeatherInfo::TKvWeatherInfo(TComponent* AOwner) : TKvInetBase(AOwner) {
    FTrackingType = wttZip;
    SetPort(80);
    SetHost(WeatherHost());
}

void TKvWeatherInfo::SetZip(const QString& Value) {
    if (Value == FZip)
        return;
    FZip = Value;
    FTrackingType = wttZip;
}

QString TKvWeatherInfo::GetQuery() {
    // Every byte that could end the line, start a fragment or another parameter is escaped; a blank is "%20".
    const QString key =
        FTrackingType == wttZip ? QString::fromLatin1(QUrl::toPercentEncoding(FZip)) : QString();
    const QString path = QStringLiteral("/weather/local/") + key + QStringLiteral("?lswe=") + key +
                         QStringLiteral("&lswa=WeatherLocalUndeclared&GO=GO&whatprefs=");
    // Deliberately three blanks before the version on a direct request, as the site has always been asked
    // (the base writes one after the path); a proxy gets the absolute form it understands.
    return HttpRequestHead(QStringLiteral("GET"), ThroughProxy() ? path : path + QStringLiteral("  ")) +
           HttpRequestEnd();
}

QString TKvWeatherInfo::GetRawHeaders() {
    // The request ends itself (HttpRequestEnd): bytes after its empty line would reach a server that may
    // already have answered and closed, which then resets the connection and the page is lost.
    return QString();
}

void TKvWeatherInfo::BeforeExecute() {
    FTemperature = 0;
    TKvInetBase::BeforeExecute();
}

void TKvWeatherInfo::AfterExecute(QString& Text) {
    FTemperature = 0;
    TKvInetBase::AfterExecute(Text);
    if (!LastError().isEmpty())
        return;
    if (const QString fault = HttpReplyFault(Text); !fault.isEmpty()) {
        SetLastError(fault);
        return;
    }
    const qsizetype marker = Text.indexOf(TemperatureMarker);
    if (marker < 0) {
        SetLastError(QStringLiteral("no temperature in the page"));
        return;
    }
    qsizetype end = marker + TemperatureMarker.size();
    while (end < Text.size() && (Text.at(end) == u'-' || (Text.at(end) >= u'0' && Text.at(end) <= u'9')))
        ++end;
    const QStringView value =
        QStringView(Text).mid(marker + TemperatureMarker.size(), end - marker - TemperatureMarker.size());
    bool ok = false;
    const int temperature = value.toInt(&ok, 10);
    if (ok) {
        FTemperature = temperature;
        return;
    }
    // Told apart from 0 degrees: nothing, a sign alone or signs among the digits, or a number beyond 32 bits.
    const QStringView digits = value.startsWith(u'-') ? value.mid(1) : value;
    if (digits.isEmpty() || digits.contains(u'-')) {
        SetLastError(QStringLiteral("the temperature in the page is not a number"));
        return;
    }
    const QString shown =
        value.size() > 20 ? value.left(20).toString() + QStringLiteral("...") : value.toString();
    SetLastError(QStringLiteral("the temperature in the page is out of range: %1").arg(shown));
}

} // namespace KvInet

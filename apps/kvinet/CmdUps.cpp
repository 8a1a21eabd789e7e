// kvinet ups: asks the parcel tracking service for one tracking number with the tracker and prints the
// shipment and its scan events.
#include "Cli.h"
#include "WebOptions.h"

#include "platform/SysUtils.h"
#include "services/KvIUPS.h"

namespace KvCli {

namespace {

const char* const synopsis = "NUMBER [--host H] [--port N] [--cafile F] [--raw] [--http]";
const char* const description =
    "Asks the tracking service (HTTPS POST to /ups.app/xml/Track) for NUMBER and prints, as UTF-8:\n"
    "  shipment: ID\n  shipper: NUMBER ADDRESS\n  ship-to: ADDRESS\n  pickup: YYYY-MM-DD\n"
    "  service: CODE DESCRIPTION\n  weight: WEIGHT UNITS\n"
    "then one line per scan event: DATE TIME<tab>STATUS<tab>LOCATION (\"-\" when the answer had no valid\n"
    "date). Backslash, CR, LF and tab in the answer's values are written as \\\\, \\r, \\n, \\t, other\n"
    "control characters as \\xHH. With --raw, the service's answer as received instead. --http talks\n"
    "plain HTTP (a local stand-in of the service). Exit 1, with the reason on stderr: when the exchange\n"
    "failed (an error status, a cut or oversized answer, no connection), with nothing on stdout; when the\n"
    "answer carries the service's error or no tracking data, with what arrived still printed.";

QString FormatDateTime(KvInet::TDateTime Value, bool WithTime) {
    if (Value == 0)
        return QStringLiteral("-");
    const QDateTime moment = KvInet::DateTimeToQDateTime(Value);
    return moment.toString(WithTime ? QStringLiteral("yyyy-MM-dd HH:mm:ss") : QStringLiteral("yyyy-MM-dd"));
}

void PrintShipment(const KvInet::TKvUPSTracker& Tracker) {
    // Values come from the answer: escaped, so that none can add a line of its own or drive the terminal.
    const auto line = [](const char* Name, QStringList Parts) {
        Parts.removeAll(QString());
        const QString value = EscapeLine(Parts.join(u' '));
        WriteText(QString::fromLatin1(Name) + u':' + (value.isEmpty() ? QString() : u' ' + value));
    };
    line("shipment", {Tracker.IdentificationNumber()});
    line("shipper", {Tracker.ShipperNumber(), Tracker.ShipperAddress()->GetText()});
    line("ship-to", {Tracker.ShipToAddress()->GetText()});
    line("pickup", {Tracker.PickupDate() == 0 ? QString() : FormatDateTime(Tracker.PickupDate(), false)});
    line("service", {Tracker.ServiceCode(), Tracker.ServiceDescription()});
    line("weight", {Tracker.ShipmentWeight(), Tracker.ShipmentWeightUnits()});
    for (int i = 0; i < Tracker.Activities()->Count(); ++i) {
        const KvInet::TKvInetActivity* a = Tracker.Activities()->Items(i);
        const QString status =
            a->StatusTypeDescription().isEmpty() ? a->StatusTypeCode() : a->StatusTypeDescription();
        const QString location =
            a->Location()->GetText().isEmpty() ? a->LocationDescription() : a->Location()->GetText();
        WriteText(FormatDateTime(a->DateTime(), true) + u'\t' + EscapeLine(status) + u'\t' +
                  EscapeLine(location));
    }
}

int Run(const Invocation& Call) {
    Args args(Call, QString::fromLatin1(synopsis), QString::fromLatin1(description));
    args.Flag(QStringLiteral("raw"), QStringLiteral("print the service's answer as received"));
    args.Flag(QStringLiteral("http"), QStringLiteral("plain HTTP instead of HTTPS (a local stand-in)"));
    if (!args.Parse(Call.Arguments, 1, 1))
        return ExitOk;

    KvInet::TKvUPSTracker tracker;
    if (args.Has(QStringLiteral("http")))
        tracker.SetService(KvInet::isHTTP);
    if (args.Has(QStringLiteral("host")))
        tracker.SetHost(args.Value(QStringLiteral("host")));
    tracker.SetPort(args.IntValue(QStringLiteral("port"), tracker.Port(), 1, 65535));
    ApplyWebOptions(args, tracker);
    if (args.Has(QStringLiteral("proxy")))
        tracker.Proxy()->FillProxyInfo(); // the tracker itself does not refresh it
    tracker.SetTrackingNumber(args.Positional()[0]);
    tracker.Clear(); // this run's activities alone

    const bool executed = tracker.Execute();
    // A failed exchange (an error page, a cut or oversized answer) is no result: nothing on stdout.
    if (executed && args.Has(QStringLiteral("raw")))
        WriteWire(tracker.LastXMLResponse());
    else if (executed)
        PrintShipment(tracker);
    if (!executed || !tracker.LastError().isEmpty()) {
        WriteError(QStringLiteral("kvinet ups: %1")
                       .arg(tracker.LastError().isEmpty() ? QStringLiteral("failed") : tracker.LastError()));
        return ExitFailed;
    }
    return ExitOk;
}

const Command reg{"ups", "track a parcel with the tracking service (UPS tracker)", Run,
                  coHost | coPort | WebCommonOptions, cgXml};

} // namespace

} // namespace KvCli

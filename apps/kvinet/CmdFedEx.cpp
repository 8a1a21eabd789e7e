// kvinet fedex: the shipment information and scan activity of tracking numbers, from the carrier's page.
#include "Cli.h"
#include "SocketOptions.h"

#include "socket/KvIFedEx.h"

namespace KvCli {

namespace {

void WriteLines(const KvInet::TStrings& Lines) {
    QString text;
    for (int i = 0; i < Lines.Count(); ++i)
        text += Lines.Get(i) + u'\n';
    WriteWire(text);
}

int Run(const Invocation& Call) {
    Args args(Call, QStringLiteral("NUMBER... [options]"),
              QStringLiteral(
                  "Asks the carrier's tracking page (www.fedex.com, port 80; --host and --port point\n"
                  "elsewhere) for the tracking numbers, joined with one blank, and prints the shipment\n"
                  "information lines, an empty line, then the scan activity lines, cells separated by '='.\n"
                  "Exit 1 when the page is an error page or lacks a section."));
    args.Flag(QStringLiteral("gui"),
              QStringLiteral("ask for proxy credentials in a dialog (needs a display)"));
    if (!args.Parse(Call.Arguments, 1, -1))
        return ExitOk;
    KvInet::TKvFedExTracker tracker;
    tracker.SetTrackingNumber(args.Positional().join(u' '));
    ApplySocketOptions(args, tracker);
    tracker.Execute();
    WriteLines(*tracker.ShipmentInfo());
    WriteWire(QStringLiteral("\n"));
    WriteLines(*tracker.Activity());
    return FinishExecute(QStringLiteral("fedex"), tracker, QString());
}

const Command reg{"fedex", "shipment and scan activity of parcels from the carrier's tracking page", Run,
                  SocketCommonOptions | coProxy, cgSocket};

} // namespace

} // namespace KvCli

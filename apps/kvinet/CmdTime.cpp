// kvinet daytime and kvinet sntp: the date and time from a daytime or an NTP server.
#include "Cli.h"
#include "SocketOptions.h"

#include "platform/SysUtils.h"
#include "platform/WireText.h"
#include "socket/KvISNTP.h"
#include "socket/KvITime.h"

namespace KvCli {

namespace {

// "YYYY-MM-DD HH:MM:SS", with ".zzz" when WithMilliseconds is set.
QString FormatDateTime(KvInet::TDateTime Value, bool WithMilliseconds) {
    int y = 0, mo = 0, d = 0, h = 0, mi = 0, s = 0, ms = 0;
    KvInet::DecodeDate(Value, y, mo, d);
    KvInet::DecodeTime(Value, h, mi, s, ms);
    const auto two = [](int V) { return QStringLiteral("%1").arg(V, 2, 10, QLatin1Char('0')); };
    QString text = QStringLiteral("%1-%2-%3 %4:%5:%6")
                       .arg(y, 4, 10, QLatin1Char('0'))
                       .arg(two(mo), two(d), two(h), two(mi), two(s));
    if (WithMilliseconds)
        text += QStringLiteral(".%1").arg(ms, 3, 10, QLatin1Char('0'));
    return text;
}

int RunDaytime(const Invocation& Call) {
    Args args(
        Call, QStringLiteral("[--host H] [--port N]"),
        QStringLiteral(
            "Reads the date and time from a daytime server (TCP port 13) and prints it as the\n"
            "server wrote it (usually UTC): YYYY-MM-DD HH:MM:SS. Exits 1 when the reply holds no date."));
    if (!args.Parse(Call.Arguments, 0, 0))
        return ExitOk;
    KvInet::TKvInetDateTime daytime;
    ApplySocketOptions(args, daytime);
    WriteText(FormatDateTime(daytime.GetDateTime(), false));
    return ExitOk;
}

int RunSntp(const Invocation& Call) {
    Args args(Call, QStringLiteral("[--host H] [--port N]"),
              QStringLiteral("Reads the time from an NTP server (UDP port 123) and prints it in local time:\n"
                             "YYYY-MM-DD HH:MM:SS.zzz. Exits 1 when no acceptable reply came."));
    if (!args.Parse(Call.Arguments, 0, 0))
        return ExitOk;
    KvInet::TKvInetSNTP sntp;
    ApplySocketOptions(args, sntp);
    QString reply;
    sntp.SetOnAfterExecute([&reply](QObject*, QString& Text) { reply = Text; });
    const double value = sntp.GetDateTime();
    if (value == 0) {
        const QString server = sntp.Host().isEmpty() ? sntp.Address() : sntp.Host();
        WriteError(sntp.LastError().isEmpty()
                       ? QStringLiteral("kvinet sntp: the reply of %1 was rejected: %2")
                             .arg(server, KvInet::TKvInetSNTP::ReplyProblem(KvInet::WireToBytes(reply)))
                       : QStringLiteral("kvinet sntp: %1").arg(sntp.LastError()));
        return ExitFailed;
    }
    WriteText(FormatDateTime(value, true));
    return ExitOk;
}

// Neither protocol goes through an HTTP proxy (daytime sends nothing, NTP is UDP), and neither uses TLS.
const Command daytime{"daytime", "date and time from a daytime server", RunDaytime, SocketCommonOptions,
                      cgSocket};
const Command sntp{"sntp", "time from an NTP server", RunSntp, SocketCommonOptions, cgSocket};

} // namespace

} // namespace KvCli

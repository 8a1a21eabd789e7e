// kvinet weather: the current temperature of a postal code, from the weather site's local page.
#include "Cli.h"
#include "SocketOptions.h"

#include "socket/KvIWeath.h"

namespace KvCli {

namespace {

int Run(const Invocation& Call) {
    Args args(Call, QStringLiteral("ZIP [options]"),
              QStringLiteral(
                  "Asks the weather site (www.weather.com, port 80; --host and --port point elsewhere) for\n"
                  "the local page of the postal code ZIP and prints its current temperature as a bare\n"
                  "integer. Exit 1, with nothing printed, when the page is an error page or holds no\n"
                  "temperature."));
    args.Flag(QStringLiteral("gui"),
              QStringLiteral("ask for proxy credentials in a dialog (needs a display)"));
    if (!args.Parse(Call.Arguments, 1, 1))
        return ExitOk;
    KvInet::TKvWeatherInfo weather;
    weather.SetZip(args.Positional().at(0));
    ApplySocketOptions(args, weather);
    weather.Execute();
    // A failure prints no number: a script that reads stdout must never take it for 0 degrees.
    return FinishExecute(QStringLiteral("weather"), weather,
                         weather.LastError().isEmpty() ? QString::number(weather.Temperature()) + u'\n'
                                                       : QString());
}

const Command reg{"weather", "the current temperature of a postal code from the weather site", Run,
                  SocketCommonOptions | coProxy, cgSocket};

} // namespace

} // namespace KvCli

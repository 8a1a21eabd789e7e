// Fetches a page with the HTTP client (following a redirect, reporting events) and looks a domain up with
// the whois client.   example_http_and_whois http://HOST:PORT/PATH [DOMAIN [WHOIS-HOST WHOIS-PORT]]
#include "socket/KvIHTTP.h"
#include "socket/KvWhoIs.h"

#include <QCoreApplication>
#include <QTextStream>
#include <QUrl>

int main(int argc, char** argv) {
    QCoreApplication app(argc, argv);
    QTextStream out(stdout);
    if (argc < 2) {
        out << "usage: example_http_and_whois http://HOST:PORT/PATH [DOMAIN [WHOIS-HOST WHOIS-PORT]]\n";
        return 2;
    }
    const QUrl url(QString::fromLocal8Bit(argv[1]));
    KvInet::TKvIHTTPClient http;
    http.SetHost(url.host());
    http.SetPort(url.port(80));
    http.SetRequest(url.path().isEmpty() ? QStringLiteral("/") : url.path());
    http.SetAction(KvInet::haGet);
    http.SetTimeout(10);
    http.SetOnConnect([&](QObject*, KvInet::TCustomWinSocket* Socket) {
        out << "connected to " << Socket->RemoteAddress() << " port " << Socket->RemotePort() << "\n";
    });
    http.SetOnRedirect([&](QObject*, QString& URL, bool& Abort) {
        out << "redirected: " << URL << "\n";
        Abort = false; // follow it
    });
    try {
        const QString body = http.Execute();
        if (!http.LastError().isEmpty()) {
            out << "failed: " << http.LastError() << "\n";
        } else {
            out << http.ResponseHeaders()->Get(0) << ", " << http.Body().size() << " bytes of body\n";
            out << body.left(200) << "\n";
        }
    } catch (const KvInet::Exception& e) {
        out << "cannot connect: " << e.Message() << "\n";
    }

    if (argc >= 3) {
        KvInet::TKvWhoIs whois;
        whois.SetDomain(QString::fromLocal8Bit(argv[2]));
        out << "whois server for " << whois.Domain() << ": " << whois.Host() << "\n";
        if (argc >= 5) {
            whois.SetHost(QString::fromLocal8Bit(argv[3]));
            whois.SetPort(QString::fromLocal8Bit(argv[4]).toInt());
        }
        try {
            out << whois.Execute();
        } catch (const KvInet::Exception& e) {
            out << "cannot connect: " << e.Message() << "\n";
        }
    }
    return 0;
}

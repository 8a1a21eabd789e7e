// Downloads a large body with the HTTP client without holding it in memory: the body goes to a file stream
// as it arrives, and a cut or refused download leaves no file.   example_http_download http://HOST:PORT/PATH
// FILE
#include "platform/Classes.h"
#include "socket/KvIHTTP.h"

#include <QCoreApplication>
#include <QFile>
#include <QTextStream>
#include <QUrl>

int main(int argc, char** argv) {
    QCoreApplication app(argc, argv);
    QTextStream out(stdout);
    if (argc < 3) {
        out << "usage: example_http_download http://HOST:PORT/PATH FILE\n";
        return 2;
    }
    const QUrl url(QString::fromLocal8Bit(argv[1]));
    const QString target = QString::fromLocal8Bit(argv[2]);
    KvInet::TKvIHTTPClient http;
    http.SetHost(url.host());
    http.SetPort(url.port(80));
    http.SetRequest(url.path().isEmpty() ? QStringLiteral("/") : url.path());
    http.SetAction(KvInet::haGet);
    http.SetTimeout(30);       // no byte for 30 s: give up
    http.SetTotalTimeout(600); // the whole download: ten minutes at most
    try {
        bool ok = false;
        {
            KvInet::TFileStream file(target, KvInet::fmCreate);
            http.SetBodyStream(&file); // MaxReplySize now bounds the header section only
            http.Execute();
            ok = http.LastError().isEmpty() && http.ResponseHeaders()->Get(0).section(u' ', 1, 1) == u"200";
        }
        if (!ok) {
            QFile::remove(target);
            out << "failed: "
                << (http.LastError().isEmpty() ? http.ResponseHeaders()->Get(0) : http.LastError()) << "\n";
            return 1;
        }
        out << http.ResponseHeaders()->Get(0) << ", saved to " << target << "\n";
        return 0;
    } catch (const KvInet::Exception& e) {
        QFile::remove(target);
        out << "cannot download: " << e.Message() << "\n";
        return 1;
    }
}

// Uses the installed library: prints the Base64 of its argument and a decoded UTF-8 text.
#include <platform/WireText.h>
#include <socket/kviutil.h>
// Headers that moved stay where a user finds them: Inet.h brings its handles and locations, the XML web
// services sit under services/.
#include <platform/Inet.h>
#include <services/KvIRSS.h>

#include <QCoreApplication>
#include <cstdio>

int main(int argc, char** argv) {
    QCoreApplication app(argc, argv);
    const QString encoded = KvInet::Encode64(QStringLiteral("installed"));
    const QString decoded = KvInet::Utf8Decode(KvInet::BytesToWire(QByteArray("\xC3\xA9")));
    std::printf("%s %s\n", encoded.toUtf8().constData(), decoded.toUtf8().constData());
    return 0;
}

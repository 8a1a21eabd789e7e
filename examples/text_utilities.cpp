// Decodes a UTF-8 reply, encodes credentials and cleans scraped HTML with the shared text routines.
#include "platform/WireText.h"
#include "socket/kviutil.h"

#include <QCoreApplication>
#include <QTextStream>

int main(int argc, char** argv) {
    QCoreApplication app(argc, argv);
    QTextStream out(stdout);
    // Bytes as they arrive from the network, one character per byte.
    const QString wire = KvInet::BytesToWire(QByteArray("Caf\xC3\xA9 \xF0\x9F\x98\x80"));
    out << "decoded:  " << KvInet::Utf8Decode(wire) << "\n";
    out << "base64:   " << KvInet::Encode64(QStringLiteral("user:secret")) << "\n";
    QString html = QStringLiteral("&lt;b&gt;bold&lt;/b&gt; &copy; 2026");
    KvInet::ReplaceHTMLChars(html);
    out << "html:     " << html << "\n";
    out << "type:     " << KvInet::ContentTypeByFile(QStringLiteral("report.pdf")) << "\n";
    out << "column 2: " << KvInet::GetColumn(QStringLiteral("a;b;c;d"), 2, u';') << "\n";
    return 0;
}

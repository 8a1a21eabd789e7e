// KvInCnst: the replaceable texts and the About message.
#include "socket/KvInCnst.h"

#include "platform/Forms.h"

namespace KvInet {

QString strKvInSoftwareUpdate = QStringLiteral("Software update");
QString strKvInConnecting = QStringLiteral("Connecting...");
QString strKvInConnected = QStringLiteral("Connected.");
QString strKvInFileSearch = QStringLiteral("File search...");
QString strKvInFileFound = QStringLiteral("File found.");
QString strKvInFileComparing = QStringLiteral("Comparing...");
QString strKvInFileCompared = QStringLiteral("Compared.");
QString strKvInDownloading = QStringLiteral("Downloading...");
QString strKvInDownloaded = QStringLiteral("Downloaded.");
QString strKvInDisconnecting = QStringLiteral("Disconnecting...");
QString strKvInDisconnected = QStringLiteral("Disconnected.");
QString strKvInProgress = QStringLiteral("Downloaded %d of %d bytes (%d%%)");
QString strKvInProxyLogon = QStringLiteral("Proxy Server authorization");
QString strKvInLogon = QStringLiteral("HTTP Server authorization");
QString strKvInEHost = QStringLiteral("Host/Address is not defined.");
QString strKvInEAuthRequired = QStringLiteral("HTTP Server authorization required");
QString strKvInEProxyAuth = QStringLiteral("Proxy Server authorization required");
QString strKvInEFileNotFound = QStringLiteral("File not found");

QString AboutKvInetText() {
    return QStringLiteral(
        "ZeZezozazi - Internet components\n"
        "\n"
        "TKvWhoIs - looks up a domain's registration record on its whois server\n"
        "TKvInetDateTime - reads the date and time from a daytime server\n"
        "TKvInetSNTP - reads the date and time from an SNTP server\n"
        "TKvIDNSResolver - sends DNS queries for chosen record types\n"
        "TKvIHTTPClient - requests pages over HTTP/1.0 (HEAD, GET, POST)\n"
        "TKvISMTP - sends mail with attachments over SMTP\n"
        "TKvFedExTracker - reads a parcel's shipment data from its tracking page\n"
        "TKvWeatherInfo - reads the local temperature from a weather page\n"
        "TKvWebUpdater - downloads a newer copy of a file over HTTP, HTTPS, FTP or a network path\n"
        "TKvRemoteFiles - lists a remote directory tree\n"
        "TKvRemoteImage - refreshes an image from a remote picture on a timer\n"
        "TKvInfoExtractor - extracts links or e-mail addresses from a remote page\n"
        "TKvWebDirect - shows news and tips from a remote file of links in a tree window\n"
        "TKvXMLEngine - parses XML text into a tree of items\n"
        "TKvIRSSParser - reads RSS feeds into channels and items\n"
        "TKvUPSTracker - tracks a UPS parcel through the UPS XML service\n"
        "TKvMSTranslator - translates text, detects languages and fetches speech");
}

void AboutKvInet() {
    MessageDlg(AboutKvInetText(), mtInformation, mbOK);
}

} // namespace KvInet

// The replaceable texts: exact initial values, writable, and the About message.
#include "socket/KvInCnst.h"

#include "platform/Forms.h"
#include "support/TestSupport.h"

using namespace KvInet;

TEST(KvInCnstTest, InitialValuesAreExact) {
    const std::pair<const QString*, const char*> texts[] = {
        {&strKvInSoftwareUpdate, "Software update"},
        {&strKvInConnecting, "Connecting..."},
        {&strKvInConnected, "Connected."},
        {&strKvInFileSearch, "File search..."},
        {&strKvInFileFound, "File found."},
        {&strKvInFileComparing, "Comparing..."},
        {&strKvInFileCompared, "Compared."},
        {&strKvInDownloading, "Downloading..."},
        {&strKvInDownloaded, "Downloaded."},
        {&strKvInDisconnecting, "Disconnecting..."},
        {&strKvInDisconnected, "Disconnected."},
        {&strKvInProgress, "Downloaded %d of %d bytes (%d%%)"},
        {&strKvInProxyLogon, "Proxy Server authorization"},
        {&strKvInLogon, "HTTP Server authorization"},
        {&strKvInEHost, "Host/Address is not defined."},
        {&strKvInEAuthRequired, "HTTP Server authorization required"},
        {&strKvInEProxyAuth, "Proxy Server authorization required"},
        {&strKvInEFileNotFound, "File not found"},
    };
    for (const auto& [var, value] : texts)
        EXPECT_EQ(*var, QString::fromLatin1(value));
}

TEST(KvInCnstTest, ProgressTextFormatsWithThreeIntegers) {
    EXPECT_EQ(Format(strKvInProgress, {512, 1024, 50}), QStringLiteral("Downloaded 512 of 1024 bytes (50%)"));
    const QString saved = strKvInProgress;
    strKvInProgress = QStringLiteral("%d/%d Bytes geladen (%d%%)");
    EXPECT_EQ(Format(strKvInProgress, {1, 2, 50}), QStringLiteral("1/2 Bytes geladen (50%)"));
    strKvInProgress = saved;
}

TEST(KvInCnstTest, AboutListsEveryComponentThroughTheMessageDialog) {
    TMsgDlgType type = mtCustom;
    unsigned buttons = 0;
    QString text;
    SetMessageDlgHandler([&](TMsgDlgType t, const QString& msg, unsigned b) {
        type = t;
        text = msg;
        buttons = b;
        return int(mrOk);
    });
    AboutKvInet();
    SetMessageDlgHandler(nullptr);
    EXPECT_EQ(type, mtInformation);
    EXPECT_EQ(buttons, unsigned(mbOK));
    for (const char* name :
         {"TKvWhoIs", "TKvInetDateTime", "TKvUPSTracker", "TKvFedExTracker", "TKvIHTTPClient",
          "TKvWebUpdater", "TKvWebDirect", "TKvRemoteImage", "TKvInfoExtractor", "TKvWeatherInfo",
          "TKvRemoteFiles", "TKvISMTP", "TKvIRSSParser", "TKvInetSNTP", "TKvMSTranslator"}) {
        const QStringList lines = text.split(u'\n').filter(QString::fromLatin1(name) + QStringLiteral(" - "));
        EXPECT_EQ(lines.size(), 1) << name;
    }
}

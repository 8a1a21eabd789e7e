// The README's first program: bring a local file up to date from an HTTPS server.
#include "web/kviupdate.h"
#include <QCoreApplication>
#include <cstdio>

int main(int argc, char** argv) {
    QCoreApplication app(argc, argv);
    KvInet::TKvWebUpdater updater;                     // newer copy of a remote file, or nothing
    updater.SetService(KvInet::isHTTPS);
    updater.SetHost(QStringLiteral("downloads.example.com"));
    updater.SetRemoteFileName(QStringLiteral("/tool/latest.zip"));
    updater.SetLocalFileName(QStringLiteral("latest.zip"));
    updater.SetOnProgress([](QObject*, int64_t done, int64_t total, bool&) { std::printf("%lld/%lld\r", (long long)done, (long long)total); });
    updater.Execute();                                 // Status(): isFinished, isSkipped, isNotFound, isFailed
    return updater.Status() == KvInet::isFinished || updater.Status() == KvInet::isSkipped ? 0 : 1;
}

// Started by the kviutil test: asks for its own executable to be deleted, then lingers a moment so the
// deletion must really wait for the exit.
#include "socket/kviutil.h"

#include <QCoreApplication>
#include <QThread>

int main(int argc, char** argv) {
    QCoreApplication app(argc, argv);
    KvInet::DeleteExe();
    QThread::msleep(300);
    return 0;
}

// test-gui
// test-servers: nginx scripted
// test-timeout: 300
// Components run on worker threads of a widget application: the windows they would show stay away (no
// crash from a widget made off the GUI thread, no logon dialog waiting forever on a worker), progress
// still reaches the events, and the results are right.
#include "platform/Forms.h"
#include "socket/KvILogOn.h"
#include "socket/KvInCnst.h"
#include "support/ScriptedPeer.h"
#include "support/TestSupport.h"
#include "web/kviupdate.h"

#include <QApplication>
#include <QEventLoop>
#include <QFile>
#include <QFileInfo>
#include <QSemaphore>
#include <QTemporaryDir>
#include <QThread>

#include <atomic>
#include <memory>

using namespace KvInet;
using namespace KvTest;

namespace {

// Runs each job on a thread of its own while this (the GUI) thread runs its event loop, as an application
// would, and returns when all have ended.
void RunOnWorkers(const std::vector<std::function<void()>>& Jobs) {
    std::vector<std::unique_ptr<QThread>> threads;
    QEventLoop loop;
    int running = int(Jobs.size());
    for (const auto& job : Jobs) {
        threads.emplace_back(QThread::create(job));
        QObject::connect(threads.back().get(), &QThread::finished, &loop, [&] {
            if (--running == 0)
                loop.quit();
        });
        threads.back()->start();
    }
    if (running > 0)
        loop.exec();
    for (auto& t : threads)
        t->wait();
}

TEST(WorkerThreads, NoWindowOffTheGuiThread) {
    // A message box on a worker would be made there (a crash) or wait for a click that never comes.
    TUserInterface ui{};
    bool widgets = true;
    int answer = 0;
    RunOnWorkers({[&] {
        ui = UserInterface();
        widgets = HasWidgets();
        answer = MessageDlg(QStringLiteral("seen?"), mtConfirmation, mbYes | mbNo);
    }});
    EXPECT_EQ(ui, TUserInterface::uiNone);
    EXPECT_FALSE(widgets);
    EXPECT_EQ(answer, mrYes);
    EXPECT_TRUE(HasWidgets());
}

TEST(WorkerThreads, TimerMovedToAnotherThreadFiresThere) {
    // A timer left behind on the old thread can't be started from the new one, and never fires.
    QThread worker;
    worker.start();
    TTimer timer;
    timer.SetEnabled(false);
    timer.SetInterval(1);
    QSemaphore fired;
    QThread* firedOn = nullptr;
    timer.SetOnTimer([&](QObject*) {
        timer.SetEnabled(false);
        firedOn = QThread::currentThread();
        fired.release();
    });
    timer.moveToThread(&worker);
    QMetaObject::invokeMethod(&timer, [&] { timer.SetEnabled(true); });
    fired.acquire();
    EXPECT_EQ(firedOn, &worker);
    worker.quit();
    worker.wait();
}

TEST(WorkerThreads, UpdatersWithWindowsAndPromptsOnWorkers) {
    QTemporaryDir dir;
    ASSERT_TRUE(dir.isValid());
    const QByteArray content(3000, 'k');
    const QString remote = QStringLiteral("/threads-%1.bin").arg(QCoreApplication::applicationPid());
    const QString served = ServerEnv("nginx", "KV_NGINX_ROOT") + remote;
    WriteFile(served, content);
    QFile::setPermissions(served, QFile::permissions(served) | QFileDevice::ReadOther);
    const int nginx = ServerPort("nginx", "KV_NGINX_PORT");
    ScriptedSession denied(
        Script::HttpReply("HTTP/1.1 401 Unauthorized\r\nWWW-Authenticate: Basic realm=\"k\"\r\n"
                          "Content-Length: 0\r\n\r\n"));

    // Made here, on the GUI thread, and run on the workers: the default prompt and the status window on.
    std::vector<std::unique_ptr<TKvWebUpdater>> updaters;
    std::atomic<int> progress[4] = {};
    for (int i = 0; i < 4; ++i) {
        auto u = std::make_unique<TKvWebUpdater>();
        u->SetHost(QStringLiteral("127.0.0.1"));
        u->SetPort(i < 3 ? nginx : denied.Port());
        u->SetRemoteFileName(remote);
        u->SetLocalFileName(dir.filePath(QStringLiteral("copy%1.bin").arg(i)));
        u->StatusDialog()->SetEnabled(true);
        u->SetOnFileCompare([](QObject*, bool& Equal) { Equal = false; });
        u->SetOnProgress([&progress, i](QObject*, int64_t, int64_t, bool&) { ++progress[i]; });
        ASSERT_TRUE(u->LoginPrompt());
        updaters.push_back(std::move(u));
    }
    for (int round = 0; round < 200; ++round) {
        bool results[4] = {};
        std::vector<std::function<void()>> jobs;
        for (int i = 0; i < 4; ++i)
            jobs.push_back([&, i] {
                results[i] = updaters[size_t(i)]->Execute();
                EXPECT_EQ(updaters[size_t(i)]->StatusView(), nullptr);
            });
        RunOnWorkers(jobs);
        for (int i = 0; i < 3; ++i) {
            TKvWebUpdater& u = *updaters[size_t(i)];
            ASSERT_TRUE(results[i] && u.Status() == isFinished)
                << round << ": " << u.LastError().toStdString();
            ASSERT_EQ(ReadFile(u.LocalFileName()), content) << round;
        }
        TKvWebUpdater& refused = *updaters[3];
        ASSERT_EQ(refused.Status(), isNotFound) << round << ": " << refused.LastError().toStdString();
        ASSERT_EQ(refused.LastError(), strKvInEAuthRequired) << round;
        ASSERT_FALSE(QFileInfo::exists(refused.LocalFileName())) << round;
    }
    for (int i = 0; i < 3; ++i)
        EXPECT_GE(progress[i].load(), 200) << i;
    EXPECT_EQ(denied.Connections(), 200); // one request a round: the cancelled prompt asks nothing more
    QFile::remove(served);
}

} // namespace

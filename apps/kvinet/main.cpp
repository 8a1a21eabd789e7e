// kvinet: try every KvInet component from the command line. "kvinet COMMAND [options] [args]".
#include "Cli.h"

#include "platform/SysUtils.h"

#include <QApplication>
#include <QCoreApplication>

#include <cerrno>
#include <cstdio>
#include <cstring>
#include <memory>

using namespace KvCli;

namespace {

// The commands register themselves from their own files (Cli.h, Command).
void PrintHelp() {
    QString text = QStringLiteral("Usage: kvinet COMMAND [options] [args]\n\n"
                                  "Internet components from the command line. Commands:\n");
    for (const Command* c : RegisteredCommands())
        text += QStringLiteral("  %1 %2\n")
                    .arg(QString::fromLatin1(c->Name).leftJustified(12), QString::fromLatin1(c->Summary));
    text += QStringLiteral("\nRun 'kvinet COMMAND --help' for the options of a command.\n"
                           "Exit status: 0 success, 1 the operation failed, 2 usage error.");
    WriteText(text);
}

// Only a command asked to show a window gets a QApplication; the others never need a display.
bool WantsWindows(int argc, char** argv) {
    for (int i = 2; i < argc; ++i)
        if (std::strcmp(argv[i], "--gui") == 0 || std::strcmp(argv[i], "--status-window") == 0)
            return true;
    return false;
}

} // namespace

int main(int argc, char** argv) {
    std::unique_ptr<QCoreApplication> application;
    if (WantsWindows(argc, argv)) {
        if (qEnvironmentVariableIsEmpty("DISPLAY") && qEnvironmentVariableIsEmpty("WAYLAND_DISPLAY") &&
            qEnvironmentVariableIsEmpty("QT_QPA_PLATFORM")) {
            WriteError(QStringLiteral("kvinet: a window was asked for, but there is no display (DISPLAY is not set)"));
            return ExitFailed;
        }
        application = std::make_unique<QApplication>(argc, argv);
    } else {
        application = std::make_unique<QCoreApplication>(argc, argv);
    }
    QCoreApplication::setApplicationName(QStringLiteral("kvinet"));
    if (argc < 2 || std::strcmp(argv[1], "--help") == 0 || std::strcmp(argv[1], "-h") == 0 ||
        std::strcmp(argv[1], "help") == 0) {
        PrintHelp();
        return argc < 2 ? ExitUsage : ExitOk;
    }
    const Command* command = FindCommand(ArgText(argv[1]));
    if (!command) {
        WriteError(QStringLiteral("kvinet: unknown command '%1'; try 'kvinet --help'").arg(ArgText(argv[1])));
        return ExitUsage;
    }
    Invocation call;
    call.Cmd = command;
    for (int i = 2; i < argc; ++i) {
        call.Arguments << ArgText(argv[i]);
        call.Raw << QByteArray(argv[i]);
    }
    try {
        const int status = command->Run(call);
        // Output that never arrived (a full disk, a closed pipe) is a failure whatever the command did.
        if (std::fflush(stdout) != 0 || std::ferror(stdout)) {
            WriteError(QStringLiteral("kvinet %1: cannot write the output: %2")
                           .arg(QString::fromLatin1(command->Name), QString::fromLocal8Bit(std::strerror(errno))));
            return ExitFailed;
        }
        return status;
    } catch (const UsageError& e) {
        WriteError(QStringLiteral("kvinet %1: %2\nTry 'kvinet %1 --help'.")
                       .arg(QString::fromLatin1(command->Name), QString::fromUtf8(e.what())));
        return ExitUsage;
    } catch (const KvInet::Exception& e) {
        WriteError(QStringLiteral("kvinet %1: %2").arg(QString::fromLatin1(command->Name), e.Message()));
        return ExitFailed;
    } catch (const std::exception& e) {
        WriteError(QStringLiteral("kvinet %1: %2")
                       .arg(QString::fromLatin1(command->Name), QString::fromUtf8(e.what())));
        return ExitFailed;
    }
}

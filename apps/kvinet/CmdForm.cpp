// kvinet form: reads a stored form and prints its components and their stored properties, or runs one of
// its components and prints the result.
#include "Cli.h"
#include "SocketOptions.h"

#include "design/KvIForm.h"
#include "socket/KvInBase.h"
#include "web/kvidir.h"
#include "web/kviupdate.h"
#include "web/kvixtract.h"

#include <QMetaEnum>

namespace KvCli {

namespace {

const char* const description =
    "Reads FILE, a stored form, and prints it back as the library writes it: each component with its\n"
    "stored properties (defaults left out). Reading only looks: no timer starts, nothing connects.\n"
    "With --execute NAME the form is loaded to run, and component NAME (at any depth: of two with that\n"
    "name the one nearer the root) runs once: a socket component prints its reply byte for byte; a web\n"
    "component prints its result lines (the remote files' list, the extracted information) and then its\n"
    "outcome: finished, skipped, notfound or failed.\n"
    "Exit status 1 for a form that cannot be read (the message names the line) or a failed run.";

int RunWeb(KvInet::TKvCustomWebComponent& Web) {
    Web.Execute();
    const KvInet::TStrings* lines = nullptr;
    if (auto* files = qobject_cast<KvInet::TKvRemoteFiles*>(&Web))
        lines = files->FileList();
    else if (auto* extractor = qobject_cast<KvInet::TKvInfoExtractor*>(&Web))
        lines = extractor->ExtractedInfo();
    if (lines)
        for (int i = 0; i < lines->Count(); ++i)
            WriteText(lines->Get(i));
    // "isNotFound" -> "notfound", the words of kvinet update.
    const QString status =
        QString::fromLatin1(QMetaEnum::fromType<KvInet::TKvIStatus>().valueToKey(Web.Status()))
            .mid(2)
            .toLower();
    WriteText(status == QLatin1String("inprogress") ? QStringLiteral("failed") : status);
    const bool ok = Web.Status() == KvInet::isFinished || Web.Status() == KvInet::isSkipped;
    if (!ok && !Web.LastError().isEmpty())
        WriteError(QStringLiteral("kvinet form: %1").arg(Web.LastError()));
    return ok ? ExitOk : ExitFailed;
}

int Run(const Invocation& Call) {
    Args args(Call, QStringLiteral("FILE [--execute NAME]"), QString::fromLatin1(description));
    args.Option(QStringLiteral("execute"), QStringLiteral("NAME"),
                QStringLiteral("run component NAME of the form"));
    if (!args.Parse(Call.Arguments, 1, 1))
        return ExitOk;
    const bool execute = args.Has(QStringLiteral("execute"));
    const std::unique_ptr<KvInet::TComponent> form =
        KvInet::LoadComponentFormFile(args.Positional()[0], execute ? KvInet::lmRun : KvInet::lmInspect);
    if (!execute) {
        WriteText(KvInet::WriteComponentForm(form.get()), false);
        return ExitOk;
    }
    const QString name = args.Value(QStringLiteral("execute"));
    KvInet::TComponent* component = KvInet::FindFormComponent(form.get(), name);
    if (!component)
        throw UsageError(QStringLiteral("the form has no component named %1").arg(name));
    if (auto* socket = qobject_cast<KvInet::TKvInetBase*>(component))
        return FinishExecute(QStringLiteral("form"), *socket, socket->Execute());
    if (auto* web = qobject_cast<KvInet::TKvCustomWebComponent*>(component))
        return RunWeb(*web);
    throw UsageError(QStringLiteral("%1 is a %2, which does not run").arg(name, component->ClassName()));
}

const Command reg{"form", "print a stored form's components, or run one of them", Run};

} // namespace

} // namespace KvCli

// load_form: an application's components from a stored form, with one call. Run it with a form file, for
// example examples/forms/updater.kvf; add --run to download with the form's web updater.
#include "design/KvIForm.h"
#include "web/kviupdate.h"

#include <QCoreApplication>

#include <cstdio>

int main(int argc, char** argv) {
    QCoreApplication app(argc, argv);
    const QStringList args = app.arguments();
    if (args.size() < 2) {
        std::fprintf(stderr, "usage: load_form FORMFILE [--run]\n");
        return 2;
    }
    try {
        // Inspecting starts nothing; loading to run applies what the form says (timers included).
        const bool run = args.contains(QStringLiteral("--run"));
        const auto form = KvInet::LoadComponentFormFile(args[1], run ? KvInet::lmRun : KvInet::lmInspect);
        std::printf("%s: %s with %d components\n", qPrintable(form->Name()), qPrintable(form->ClassName()),
                    form->ComponentCount());
        auto* updater = qobject_cast<KvInet::TKvWebUpdater*>(form.get());
        if (!updater)
            updater = form->findChild<KvInet::TKvWebUpdater*>();
        if (updater)
            std::printf("updater %s: %s port %d, %s\n", qPrintable(updater->Name()),
                        qPrintable(updater->Host()), updater->Port(), qPrintable(updater->RemoteFileName()));
        if (run && updater)
            return updater->Execute() ? 0 : 1;
    } catch (const KvInet::Exception& e) {
        std::fprintf(stderr, "%s\n", qPrintable(e.Message()));
        return 1;
    }
    return 0;
}

// kvinet components: the palette page as the designer shows it: position, class and picture.
#include "Cli.h"

#include "design/KvInetR.h"

namespace KvCli {

namespace {

int Run(const Invocation& Call) {
    Args args(
        Call, QString(),
        QStringLiteral("Lists the components on the designer's palette, one line each, fields separated\n"
                       "by tabs: page, position (from 1), class, and \"icon\" when the library has its\n"
                       "24 x 24 picture or \"default\" when the palette shows its default picture."));
    if (!args.Parse(Call.Arguments, 0, 0))
        return ExitOk;
    KvInet::TDesignRegistry designer;
    KvInet::Register(designer);
    for (const QString& page : designer.Pages()) {
        int position = 0;
        for (const KvInet::TComponentClass& c : designer.PageClasses(page))
            WriteText(QStringLiteral("%1\t%2\t%3\t%4")
                          .arg(page)
                          .arg(++position)
                          .arg(c.ClassName, KvInet::PaletteImage(c.ClassName).isNull()
                                                ? QStringLiteral("default")
                                                : QStringLiteral("icon")));
    }
    return ExitOk;
}

const Command reg{"components", "the palette page: components in order, with their pictures", Run};

} // namespace

} // namespace KvCli

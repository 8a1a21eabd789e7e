// Cli: argument parsing and output for the kvinet commands.
#include "Cli.h"

#include "platform/SysUtils.h"
#include "platform/WireText.h"

#include <algorithm>
#include <cstdio>

namespace KvCli {

Args::Args(QString Command, QString Synopsis, QString Description)
    : FCommand(std::move(Command)), FSynopsis(std::move(Synopsis)), FDescription(std::move(Description)) {
    Flag(QStringLiteral("help"), QStringLiteral("show this help and exit"));
}

void Args::Option(const QString& Name, const QString& ValueName, const QString& Help, bool Repeatable,
                  const QString& ShortName) {
    FOptions.push_back({Name, ShortName, ValueName, Help, true, Repeatable});
}

void Args::Flag(const QString& Name, const QString& Help) {
    FOptions.push_back({Name, QString(), QString(), Help, false, false});
}

void Args::CommonOptions() {
    Option(QStringLiteral("host"), QStringLiteral("HOST"), QStringLiteral("server host name or address"));
    Option(QStringLiteral("port"), QStringLiteral("N"), QStringLiteral("server port"));
    Option(QStringLiteral("proxy"), QStringLiteral("HOST:PORT"), QStringLiteral("use this proxy"));
    Option(QStringLiteral("proxy-user"), QStringLiteral("USER"), QStringLiteral("proxy user name"));
    Option(QStringLiteral("proxy-password"), QStringLiteral("PASSWORD"), QStringLiteral("proxy password"));
    Option(QStringLiteral("timeout"), QStringLiteral("SECONDS"),
           QStringLiteral("give up after this many seconds without progress (0: never)"));
    Option(QStringLiteral("cafile"), QStringLiteral("FILE"),
           QStringLiteral("extra trusted CA certificates (PEM)"));
    Flag(QStringLiteral("verbose"), QStringLiteral("report events and response headers on stderr"));
}

const Args::Opt* Args::Find(const QString& Name, bool Short) const {
    for (const Opt& o : FOptions)
        if (Short ? (!o.ShortName.isEmpty() && o.ShortName == Name) : o.Name == Name)
            return &o;
    return nullptr;
}

bool Args::Parse(const QStringList& Arguments, int MinPositional, int MaxPositional) {
    bool optionsDone = false;
    for (qsizetype i = 0; i < Arguments.size(); ++i) {
        const QString& a = Arguments[i];
        if (optionsDone || a == QLatin1String("-") || !a.startsWith(u'-')) {
            FPositional << a;
            FPositionalIndex << int(i);
            continue;
        }
        if (a == QLatin1String("--")) {
            optionsDone = true;
            continue;
        }
        const bool isShort = !a.startsWith(QLatin1String("--"));
        QString name = a.mid(isShort ? 1 : 2);
        QString value;
        bool inlineValue = false;
        if (!isShort && name.contains(u'=')) {
            value = name.section(u'=', 1);
            name = name.section(u'=', 0, 0);
            inlineValue = true;
        }
        const Opt* opt = Find(name, isShort);
        if (!opt)
            throw UsageError(QStringLiteral("unknown option '%1'").arg(a));
        if (!opt->TakesValue) {
            if (inlineValue)
                throw UsageError(QStringLiteral("option '--%1' takes no value").arg(opt->Name));
            FValues[opt->Name] << QString();
            continue;
        }
        if (!inlineValue) {
            if (i + 1 >= Arguments.size())
                throw UsageError(QStringLiteral("option '%1' needs a value").arg(a));
            value = Arguments[++i];
        }
        if (!opt->Repeatable && FValues.count(opt->Name))
            throw UsageError(QStringLiteral("option '--%1' given twice").arg(opt->Name));
        FValues[opt->Name] << value;
    }
    if (Has(QStringLiteral("help"))) {
        WriteText(Help(), false);
        return false;
    }
    if (FPositional.size() < MinPositional || (MaxPositional >= 0 && FPositional.size() > MaxPositional))
        throw UsageError(FPositional.size() < MinPositional ? QStringLiteral("missing argument")
                                                            : QStringLiteral("too many arguments"));
    return true;
}

bool Args::Has(const QString& Name) const {
    return FValues.count(Name) != 0;
}

QString Args::Value(const QString& Name, const QString& Default) const {
    const auto it = FValues.find(Name);
    return it == FValues.end() ? Default : it->second.last();
}

QStringList Args::Values(const QString& Name) const {
    const auto it = FValues.find(Name);
    return it == FValues.end() ? QStringList() : it->second;
}

int Args::IntValue(const QString& Name, int Default, int Min, int Max) const {
    if (!Has(Name))
        return Default;
    int v = 0;
    if (!KvInet::TryStrToInt(Value(Name), v) || v < Min || v > Max)
        throw UsageError(
            QStringLiteral("--%1 must be a whole number from %2 to %3").arg(Name).arg(Min).arg(Max));
    return v;
}

QString Args::Help() const {
    QString text =
        QStringLiteral("Usage: kvinet %1 %2\n\n%3\n\nOptions:\n").arg(FCommand, FSynopsis, FDescription);
    for (const Opt& o : FOptions) {
        QString left = QStringLiteral("  ");
        if (!o.ShortName.isEmpty())
            left += QStringLiteral("-%1, ").arg(o.ShortName);
        left += QStringLiteral("--") + o.Name;
        if (o.TakesValue)
            left += u' ' + o.ValueName;
        text += left.leftJustified(30) + u' ' + o.Help +
                (o.Repeatable ? QStringLiteral(" (repeatable)") : QString()) + u'\n';
    }
    return text;
}

void WriteWire(const QString& Text) {
    // Slice by slice through one small buffer: a large reply is never held twice, and no fresh memory is
    // touched for the bytes.
    constexpr qsizetype Slice = 1 << 16;
    char buffer[Slice];
    const QStringView text(Text);
    for (qsizetype from = 0; from < text.size(); from += Slice) {
        const QStringView slice = text.mid(from, std::min(Slice, text.size() - from));
        KvInet::WireToBytes(slice, buffer);
        std::fwrite(buffer, 1, size_t(slice.size()), stdout);
    }
    std::fflush(stdout);
}

void WriteText(const QString& Text, bool NewLine) {
    QByteArray bytes = Text.toUtf8();
    if (NewLine)
        bytes += '\n';
    std::fwrite(bytes.constData(), 1, size_t(bytes.size()), stdout);
    std::fflush(stdout);
}

void WriteError(const QString& Text) {
    const QByteArray bytes = Text.toUtf8() + '\n';
    std::fwrite(bytes.constData(), 1, size_t(bytes.size()), stderr);
    std::fflush(stderr);
}

QString ArgText(const char* Arg) {
    return QString::fromUtf8(Arg);
}

QString ArgWire(const char* Arg) {
    return QString::fromLatin1(Arg);
}

} // namespace KvCli

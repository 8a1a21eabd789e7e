// Cli: argument parsing and output for the kvinet commands.
#include "Cli.h"

#include "platform/SysUtils.h"
#include "platform/WireText.h"

#include <algorithm>
#include <cstdio>
#include <cstdlib>
#include <cstring>

namespace KvCli {

namespace {

// Function-local, so that registrations from other files' static objects find it built.
std::vector<const Command*>& Registry() {
    static std::vector<const Command*> commands;
    return commands;
}

} // namespace

Command::Command(const char* Name, const char* Summary, TCommandRun Run, TCommonOptions Options,
                 TCommandGroup Group)
    : Name(Name), Summary(Summary), Run(Run), Options(Options), Group(Group) {
    for (const Command* c : Registry())
        if (std::strcmp(c->Name, Name) == 0) {
            std::fprintf(stderr, "kvinet: command '%s' registered twice\n", Name);
            std::abort();
        }
    Registry().push_back(this);
}

std::vector<const Command*> RegisteredCommands() {
    std::vector<const Command*> commands = Registry();
    std::sort(commands.begin(), commands.end(), [](const Command* A, const Command* B) {
        return A->Group != B->Group ? A->Group < B->Group : std::strcmp(A->Name, B->Name) < 0;
    });
    return commands;
}

const Command* FindCommand(const QString& Name) {
    for (const Command* c : Registry())
        if (Name == QLatin1String(c->Name))
            return c;
    return nullptr;
}

Args::Args(QString Command, QString Synopsis, QString Description, TCommonOptions Common)
    : FCommon(Common), FCommand(std::move(Command)), FSynopsis(std::move(Synopsis)),
      FDescription(std::move(Description)) {
    Flag(QStringLiteral("help"), QStringLiteral("show this help and exit"));
    DeclareCommon();
}

Args::Args(const Invocation& Call, QString Synopsis, QString Description)
    : Args(QString::fromLatin1(Call.Cmd->Name), std::move(Synopsis), std::move(Description),
           Call.Cmd->Options) {}

void Args::Option(const QString& Name, const QString& ValueName, const QString& Help, bool Repeatable,
                  const QString& ShortName) {
    FOptions.push_back({Name, ShortName, ValueName, Help, true, Repeatable});
}

void Args::Flag(const QString& Name, const QString& Help) {
    FOptions.push_back({Name, QString(), QString(), Help, false, false});
}

void Args::DeclareCommon() {
    if (FCommon & coHost)
        Option(QStringLiteral("host"), QStringLiteral("HOST"), QStringLiteral("server host name or address"));
    if (FCommon & coPort)
        Option(QStringLiteral("port"), QStringLiteral("N"), QStringLiteral("server port"));
    if (FCommon & coProxy) {
        Option(QStringLiteral("proxy"), QStringLiteral("HOST:PORT"), QStringLiteral("use this proxy"));
        Option(QStringLiteral("proxy-user"), QStringLiteral("USER"), QStringLiteral("proxy user name"));
        Option(QStringLiteral("proxy-password"), QStringLiteral("PASSWORD"),
               QStringLiteral("proxy password"));
    }
    if (FCommon & coCredentials) {
        Option(QStringLiteral("user"), QStringLiteral("USER"), QStringLiteral("user name for the server"));
        Option(QStringLiteral("password"), QStringLiteral("PASSWORD"),
               QStringLiteral("password for the server"));
    }
    if (FCommon & coTimeout)
        Option(QStringLiteral("timeout"), QStringLiteral("SECONDS"),
               QStringLiteral("give up after this many seconds without progress (0: never)"));
    if (FCommon & coMaxTime)
        Option(QStringLiteral("max-time"), QStringLiteral("SECONDS"),
               QStringLiteral("give up when the whole operation takes longer (0: never)"));
    if (FCommon & coMaxSize)
        Option(QStringLiteral("max-size"), QStringLiteral("BYTES"),
               QStringLiteral("fail when an answer kept in memory grows larger (0: no limit)"));
    if (FCommon & coCAFile)
        Option(QStringLiteral("cafile"), QStringLiteral("FILE"),
               QStringLiteral("extra trusted CA certificates (PEM)"));
    if (FCommon & coVerbose)
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
        int from =
            -1; // where the value starts in its argument's bytes: after "--name=", or the whole next one
        if (!inlineValue) {
            if (i + 1 >= Arguments.size())
                throw UsageError(QStringLiteral("option '%1' needs a value").arg(a));
            value = Arguments[++i];
            from = 0;
        }
        if (!opt->Repeatable && FValues.count(opt->Name))
            throw UsageError(QStringLiteral("option '--%1' given twice").arg(opt->Name));
        FValues[opt->Name] << value;
        FValueAt[opt->Name].push_back({int(i), from});
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

QList<QByteArray> Args::RawValues(const QString& Name, const QList<QByteArray>& Raw) const {
    QList<QByteArray> values;
    const auto it = FValueAt.find(Name);
    if (it == FValueAt.end())
        return values;
    for (const auto& [index, from] : it->second) {
        const QByteArray& argument = Raw.value(index);
        values << (from >= 0 ? argument.mid(from) : argument.mid(argument.indexOf('=') + 1));
    }
    return values;
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

qint64 Args::Int64Value(const QString& Name, qint64 Default, qint64 Min, qint64 Max) const {
    if (!Has(Name))
        return Default;
    bool ok = false;
    const qint64 v = Value(Name).trimmed().toLongLong(&ok);
    if (!ok || v < Min || v > Max)
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
        // The help starts at column 31; a longer left part keeps two spaces before it, so that the manual
        // page and completion generator can always find where the option ends.
        text += (left.size() < 30 ? left.leftJustified(30) + u' ' : left + QStringLiteral("  ")) + o.Help +
                (o.Repeatable ? QStringLiteral(" (repeatable)") : QString()) + u'\n';
    }
    return text;
}

bool ProxyOption(const Args& A, QString& Host, int& Port) {
    if (!A.Has(QStringLiteral("proxy")))
        return false;
    const QString proxy = A.Value(QStringLiteral("proxy"));
    const qsizetype colon = proxy.lastIndexOf(u':');
    Port = 0;
    if (colon <= 0 || !KvInet::TryStrToInt(proxy.mid(colon + 1), Port) || Port < 1 || Port > 65535)
        throw UsageError(QStringLiteral("--proxy must be HOST:PORT"));
    Host = proxy.left(colon);
    if (Host.startsWith(u'[') && Host.endsWith(u']'))
        Host = Host.mid(1, Host.size() - 2);
    if (Host.isEmpty() || Host.contains(u' ') || Host.contains(u'/'))
        throw UsageError(QStringLiteral("--proxy must be HOST:PORT"));
    return true;
}

void TLineOutput::Line(QStringView Text) {
    FBuffer += Text.toUtf8();
    FBuffer += '\n';
    if (FBuffer.size() >= 1 << 16)
        Flush();
}

void TLineOutput::Flush() {
    std::fwrite(FBuffer.constData(), 1, size_t(FBuffer.size()), stdout);
    std::fflush(stdout);
    FBuffer.clear();
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

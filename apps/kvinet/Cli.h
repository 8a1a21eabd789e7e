// Cli: the argument parser and output helpers shared by every kvinet command.
#pragma once

#include <QString>
#include <QStringList>

#include <map>
#include <stdexcept>
#include <vector>

namespace KvCli {

enum ExitCode { ExitOk = 0, ExitFailed = 1, ExitUsage = 2 };

/// A usage error: printed with a pointer to --help, exit code 2.
class UsageError : public std::runtime_error {
public:
    explicit UsageError(const QString& Msg) : std::runtime_error(Msg.toStdString()) {}
};

/// Parses "--name value", "--name=value", "-H value" and flags; the rest are positional arguments.
class Args {
public:
    Args(QString Command, QString Synopsis, QString Description);

    /// Declares an option; ShortName is a single letter or empty; Repeatable options collect every value.
    void Option(const QString& Name, const QString& ValueName, const QString& Help, bool Repeatable = false,
                const QString& ShortName = QString());
    void Flag(const QString& Name, const QString& Help);
    /// Declares --host --port --proxy --proxy-user --proxy-password --timeout --cafile --verbose.
    void CommonOptions();

    /// Parses the arguments after the command name. Returns false when --help was asked (the help is
    /// printed then); raises UsageError on unknown options, missing values, or a positional count outside
    /// MinPositional..MaxPositional (-1: no limit).
    bool Parse(const QStringList& Arguments, int MinPositional, int MaxPositional);

    bool Has(const QString& Name) const;
    QString Value(const QString& Name, const QString& Default = QString()) const;
    QStringList Values(const QString& Name) const;
    /// An integer option in Min..Max; raises UsageError otherwise.
    int IntValue(const QString& Name, int Default, int Min, int Max) const;
    const QStringList& Positional() const { return FPositional; }
    /// Index of positional argument I in the argument list given to Parse (to reach its raw bytes).
    int PositionalIndex(int I) const { return FPositionalIndex.at(I); }
    QString Help() const;

private:
    struct Opt {
        QString Name, ShortName, ValueName, Help;
        bool TakesValue = false;
        bool Repeatable = false;
    };
    const Opt* Find(const QString& Name, bool Short) const;

    QString FCommand, FSynopsis, FDescription;
    std::vector<Opt> FOptions;
    std::map<QString, QStringList> FValues;
    QStringList FPositional;
    QList<int> FPositionalIndex;
};

/// What a command receives: its arguments decoded as UTF-8, and the same arguments as raw bytes.
struct Invocation {
    QStringList Arguments;
    QList<QByteArray> Raw;
};

/// Writes wire text (one byte per character) byte for byte to standard output.
void WriteWire(const QString& Text);
/// Writes text as UTF-8 to standard output, with a line break when NewLine is set.
void WriteText(const QString& Text, bool NewLine = true);
/// Writes a line as UTF-8 to standard error.
void WriteError(const QString& Text);

/// Decodes a command-line argument (UTF-8) from the raw bytes main() received.
QString ArgText(const char* Arg);
/// The raw bytes of an argument as wire text (one character per byte).
QString ArgWire(const char* Arg);

} // namespace KvCli

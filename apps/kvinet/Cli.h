// Cli: the command registry, the argument parser and the output helpers shared by every kvinet command.
#pragma once

#include "platform/System.h"

#include <QFlags>
#include <QString>
#include <QStringList>

#include <map>
#include <stdexcept>
#include <vector>

namespace KvCli {

enum ExitCode { ExitOk = 0, ExitFailed = 1, ExitUsage = 2 };

/// The common options; each command declares the ones it honours, the others are unknown to it.
enum TCommonOption : unsigned {
    coHost = 1u << 0,        ///< --host HOST
    coPort = 1u << 1,        ///< --port N
    coProxy = 1u << 2,       ///< --proxy HOST:PORT, --proxy-user, --proxy-password
    coCredentials = 1u << 3, ///< --user, --password (the server's)
    coTimeout = 1u << 4,     ///< --timeout SECONDS
    coMaxTime = 1u << 5,     ///< --max-time SECONDS
    coMaxSize = 1u << 6,     ///< --max-size BYTES
    coCAFile = 1u << 7,      ///< --cafile FILE
    coVerbose = 1u << 8,     ///< --verbose
};
Q_DECLARE_FLAGS(TCommonOptions, TCommonOption)
Q_DECLARE_OPERATORS_FOR_FLAGS(TCommonOptions)

/// Where a command appears in "kvinet --help": by group in this order, then by name.
enum TCommandGroup { cgTool, cgSocket, cgXml, cgWeb };

struct Invocation;
using TCommandRun = int (*)(const Invocation& Call);

/// A kvinet command. Each command's file registers it with a static instance:
///     static const Command reg{"name", "summary", Run, coHost | coPort | coVerbose, cgSocket};
/// Name and Summary must be string literals (they are kept, not copied).
struct Command {
    Command(const char* Name, const char* Summary, TCommandRun Run, TCommonOptions Options = {},
            TCommandGroup Group = cgTool);
    const char* Name;
    const char* Summary;
    TCommandRun Run;
    TCommonOptions Options;
    TCommandGroup Group;
};

/// Every registered command, in help order (group, then name).
std::vector<const Command*> RegisteredCommands();
/// The command named Name, or nullptr.
const Command* FindCommand(const QString& Name);

/// A usage error: printed with a pointer to --help, exit code 2.
class UsageError : public std::runtime_error {
public:
    explicit UsageError(const QString& Msg) : std::runtime_error(Msg.toStdString()) {}
};

/// Parses "--name value", "--name=value", "-H value" and flags; the rest are positional arguments.
class Args {
public:
    /// Declares --help and the common options in Common.
    Args(QString Command, QString Synopsis, QString Description, TCommonOptions Common = {});
    /// The same for the command Call runs, with the common options it registered.
    Args(const Invocation& Call, QString Synopsis, QString Description);

    /// Declares an option; ShortName is a single letter or empty; Repeatable options collect every value.
    void Option(const QString& Name, const QString& ValueName, const QString& Help, bool Repeatable = false,
                const QString& ShortName = QString());
    void Flag(const QString& Name, const QString& Help);
    /// The common options this command declared.
    TCommonOptions Common() const { return FCommon; }

    /// Parses the arguments after the command name. Returns false when --help was asked (the help is
    /// printed then); raises UsageError on unknown options, missing values, or a positional count outside
    /// MinPositional..MaxPositional (-1: no limit).
    bool Parse(const QStringList& Arguments, int MinPositional, int MaxPositional);

    bool Has(const QString& Name) const;
    QString Value(const QString& Name, const QString& Default = QString()) const;
    QStringList Values(const QString& Name) const;
    /// The values of an option as the bytes given on the command line (Raw: the Invocation's Raw), for
    /// values that go to the wire as they are.
    QList<QByteArray> RawValues(const QString& Name, const QList<QByteArray>& Raw) const;
    /// An integer option in Min..Max; raises UsageError otherwise.
    int IntValue(const QString& Name, int Default, int Min, int Max) const;
    /// A 64-bit integer option in Min..Max; raises UsageError otherwise.
    qint64 Int64Value(const QString& Name, qint64 Default, qint64 Min, qint64 Max) const;
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
    void DeclareCommon();

    TCommonOptions FCommon;
    QString FCommand, FSynopsis, FDescription;
    std::vector<Opt> FOptions;
    std::map<QString, QStringList> FValues;
    // Per option, each value's argument index and where the value starts in it (-1: after the first "=").
    std::map<QString, std::vector<std::pair<int, int>>> FValueAt;
    QStringList FPositional;
    QList<int> FPositionalIndex;
};

/// The --proxy HOST:PORT option split into host (an IPv6 address without its brackets) and port; false
/// when the option was not given. Raises UsageError for anything else.
bool ProxyOption(const Args& A, QString& Host, int& Port);

/// What a command receives: its registration, its arguments decoded as UTF-8, and the same arguments as
/// raw bytes.
struct Invocation {
    const Command* Cmd = nullptr;
    QStringList Arguments;
    QList<QByteArray> Raw;
};

/// Text as one line of output, escaped as the platform's EscapeText does (backslash, CR, LF, tab, C0, DEL,
/// C1 and the layout controls), so that nothing in it can start a line of its own, drive the terminal or
/// reorder what it shows. The one escape of the tool: every command that prints what a server sent uses it.
inline QString EscapeLine(QStringView Text) {
    return KvInet::EscapeText(Text);
}

/// Lines of UTF-8 output collected and written to standard output in large blocks: a big document or feed
/// gives millions of lines. What is left goes out at Flush or destruction.
class TLineOutput {
public:
    TLineOutput() = default;
    TLineOutput(const TLineOutput&) = delete;
    TLineOutput& operator=(const TLineOutput&) = delete;
    ~TLineOutput() { Flush(); }
    void Line(QStringView Text);
    void Flush();

private:
    QByteArray FBuffer;
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

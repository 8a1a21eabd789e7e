// CommandCases: the kvinet tool run against a peer from a table, one row per case: the arguments, the peer
// and what the run must give (exit status, standard output and error, what the peer received, files left
// behind).
#pragma once

#include "support/ScriptedPeer.h"

#include <QList>
#include <QStringList>

#include <functional>

namespace KvTest {

/// What an output or a recording must hold; made by Exactly, Contains or Matches.
struct Expect {
    enum TKind { ekExactly, ekContains, ekMatches };
    TKind Kind = ekExactly;
    QByteArray Value;
};
/// These bytes and nothing else.
Expect Exactly(const QByteArray& Bytes);
/// These bytes somewhere (Contains("") holds for anything).
Expect Contains(const QByteArray& Bytes);
/// The whole text, read as UTF-8, matches the regular expression.
Expect Matches(const QString& Pattern);

/// One run of kvinet. Rows are written with designated initializers, in this order; what is left out keeps
/// the default below:
///
///     {.What = "daytime, a silent server",
///      .Args = {"daytime", "--host", "127.0.0.1", "--port", "PORT", "--timeout", "1"},
///      .Script = Script::Steps({Script::Hang()}),
///      .Exit = 1,
///      .Err = Contains("Connection timed out")},
struct CommandCase {
    const char* What = "";
    /// "PORT" in an argument stands for the peer's port.
    QStringList Args{};
    /// Standard input (default: none, the tool reads an immediate end).
    QByteArray Input{};
    /// The script of a fresh scripted peer for this run (empty: it closes every connection at once).
    QJsonObject Script{};
    /// Instead of a scripted peer, one of the test's own (say over UDP) listening on this port.
    int Port = 0;
    int Exit = 0;
    /// Standard output (default: nothing at all).
    Expect Out{};
    /// Standard error (default: nothing at all). Whatever is expected, it must hold no raw CR or ESC byte:
    /// the tool escapes what it prints.
    Expect Err{};
    /// The input is refused before anything is connected: the scripted peer sees no connection.
    bool Refused = false;
    /// What the scripted peer's first connection received (default: anything).
    Expect Received = Contains("");
    /// A path that must not exist after the run (say the --output of a cut download).
    QString NoFile{};
    /// A check of the test's own, called with the run's result after the checks above (say of what a real
    /// server stored); what it expects fails the row.
    std::function<void(const ProcessResult&)> Then{};
};

/// Runs each case (SCOPED_TRACE names it) and checks everything it states; failures are the test's failures.
void RunCommandCases(const QList<CommandCase>& Cases);

} // namespace KvTest

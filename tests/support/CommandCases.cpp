// CommandCases: runs kvinet rows against their peers and checks what each row states.
#include "support/CommandCases.h"

#include <QFile>
#include <QRegularExpression>
#include <QThread>

#include <memory>

namespace KvTest {

Expect Exactly(const QByteArray& Bytes) {
    return Expect{Expect::ekExactly, Bytes};
}

Expect Contains(const QByteArray& Bytes) {
    return Expect{Expect::ekContains, Bytes};
}

Expect Matches(const QString& Pattern) {
    return Expect{Expect::ekMatches, Pattern.toUtf8()};
}

namespace {

bool Holds(const Expect& Expected, const QByteArray& Actual) {
    switch (Expected.Kind) {
    case Expect::ekExactly:
        return Actual == Expected.Value;
    case Expect::ekContains:
        return Actual.contains(Expected.Value);
    case Expect::ekMatches:
        return QRegularExpression(QStringLiteral("\\A(?:%1)\\z").arg(QString::fromUtf8(Expected.Value)))
            .match(QString::fromUtf8(Actual))
            .hasMatch();
    }
    return false;
}

// Bytes as a C string literal would write them, so that control bytes show in a failure.
std::string Shown(const QByteArray& Bytes) {
    std::string out;
    for (const char c : Bytes.left(2000)) {
        const uchar u = uchar(c);
        if (c == '\n')
            out += "\\n";
        else if (c == '\r')
            out += "\\r";
        else if (c == '\\')
            out += "\\\\";
        else if (u < 0x20 || u == 0x7f)
            out += QStringLiteral("\\x%1").arg(u, 2, 16, QChar(u'0')).toStdString();
        else
            out += c;
    }
    return Bytes.size() > 2000 ? out + "... (" + std::to_string(Bytes.size()) + " bytes)" : out;
}

const char* KindName(const Expect& E) {
    return E.Kind == Expect::ekExactly ? "exactly" : E.Kind == Expect::ekContains ? "containing" : "matching";
}

void RunCommandCase(const CommandCase& Case) {
    SCOPED_TRACE(Case.What);
    std::unique_ptr<ScriptedSession> peer;
    int port = Case.Port;
    if (!port) {
        peer = std::make_unique<ScriptedSession>(Case.Script);
        port = peer->Port();
    }
    QStringList args = Case.Args;
    args.replaceInStrings(QStringLiteral("PORT"), QString::number(port));
    const ProcessResult r = Kvinet(args, Case.Input);

    EXPECT_EQ(r.ExitCode, Case.Exit) << "stderr: " << Shown(r.Err);
    EXPECT_TRUE(Holds(Case.Out, r.Out))
        << "stdout: " << Shown(r.Out) << "\nexpected " << KindName(Case.Out) << ": " << Shown(Case.Out.Value);
    EXPECT_TRUE(Holds(Case.Err, r.Err))
        << "stderr: " << Shown(r.Err) << "\nexpected " << KindName(Case.Err) << ": " << Shown(Case.Err.Value);
    EXPECT_FALSE(r.Err.contains('\r')) << "a raw CR on stderr: " << Shown(r.Err);
    EXPECT_FALSE(r.Err.contains('\x1b')) << "a raw ESC on stderr: " << Shown(r.Err);
    if (peer && Case.Refused) {
        // A connection made all the same would be accepted by now.
        QThread::msleep(300);
        EXPECT_EQ(peer->Connections(), 0) << "connected although the input was refused";
    }
    if (peer && !(Case.Received.Kind == Expect::ekContains && Case.Received.Value.isEmpty())) {
        const QByteArray received = peer->Received();
        EXPECT_TRUE(Holds(Case.Received, received))
            << "the peer received: " << Shown(received) << "\nexpected " << KindName(Case.Received) << ": "
            << Shown(Case.Received.Value);
    }
    if (!Case.NoFile.isEmpty()) {
        EXPECT_FALSE(QFile::exists(Case.NoFile)) << Case.NoFile.toStdString() << " was left behind";
    }
    if (Case.Then)
        Case.Then(r);
}

} // namespace

void RunCommandCases(const QList<CommandCase>& Cases) {
    for (const CommandCase& c : Cases)
        RunCommandCase(c);
}

} // namespace KvTest

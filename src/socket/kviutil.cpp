// kviutil: shared text routines.
#include "socket/kviutil.h"

#include "platform/Classes.h"
#include "platform/SysUtils.h"
#include "platform/System.h"
#include "platform/WireText.h"

namespace KvInet {

QString Utf8Decode(const UTF8String& S) {
    if (S.isEmpty())
        return {};
    const char16_t* in = reinterpret_cast<const char16_t*>(S.constData());
    const qsizetype n = S.size();
    QString result(n, Qt::Uninitialized);
    char16_t* out = reinterpret_cast<char16_t*>(result.data());
    qsizetype count = 0;
    const auto isContinuation = [](char16_t c) { return (c & 0xC0) == 0x80; };

    qsizetype i = 0;
    while (i < n) {
        const char16_t u = in[i++];
        if ((u & 0x80) == 0) {
            out[count++] = u;
            continue;
        }
        if (i >= n)
            return {};
        // Four-byte sequences become a surrogate pair; anything that does not form a valid one takes the
        // three-unit path below, as it always has.
        if (ReadUtf8FourByteWire(in, i, n, u & 0xFF, out, count))
            continue;
        unsigned l = u & 0x3F;
        if (l & 0x20) {
            const char16_t c1 = in[i++];
            if (!isContinuation(c1))
                return {};
            if (i >= n)
                return {};
            l = (l << 6) | (c1 & 0x3F);
        }
        const char16_t c = in[i++];
        if (!isContinuation(c))
            return {};
        out[count++] = char16_t(((l << 6) | (c & 0x3F)) & 0xFFFF);
    }
    result.truncate(count);
    return result;
}

QString Encode64(const QString& S) {
    return QString::fromLatin1(WireToBytes(S).toBase64());
}

void DeleteExe() {
    const QString exe = ExeName();
#if defined(Q_OS_WIN)
    // The batch file loops until the program has ended and its file can be deleted, then deletes itself.
    // Paths are quoted and "%" doubled so that no part of a path is read as batch syntax.
    const QString bat = ChangeFileExt(exe, QStringLiteral(".BAT"));
    const auto quote = [](QString p) { return u'"' + p.replace(u'%', QStringLiteral("%%")) + u'"'; };
    const QString text = QStringLiteral(":delete_exe\r\ndel %1\r\nif exist %1 goto delete_exe\r\ndel %2\r\n")
                             .arg(quote(exe), quote(bat));
    {
        TFileStream file(bat, fmCreate);
        const QByteArray bytes = StringToAnsi(text);
        file.WriteBuffer(bytes.constData(), bytes.size());
    }
    StartDetachedProcess(QStringLiteral("cmd.exe"), {QStringLiteral("/c"), bat}, false);
#else
    // The script gets both paths as arguments, never as shell text. Its standard input is a pipe held open
    // by this process, so "read" returns exactly when the program has ended (a zombie or a reused process
    // number cannot fool it), then it removes the program and itself.
    const QString script = ChangeFileExt(exe, QStringLiteral(".sh"));
    static const char text[] =
        "#!/bin/sh\n"
        "# Removes a program after it has ended; written and started by the program.\n"
        "while read -r _; do :; done\n"
        "n=0\n"
        "while [ -e \"$1\" ] && [ $n -lt 60 ]; do rm -f -- \"$1\" || sleep 1; n=$((n+1)); "
        "done\n"
        "rm -f -- \"$0\"\n";
    {
        TFileStream file(script, fmCreate);
        file.WriteBuffer(text, sizeof(text) - 1);
    }
    StartDetachedProcess(QStringLiteral("/bin/sh"), {script, exe}, true);
#endif
}

QString ContentTypeByFile(const QString& FileName) {
    QString result = QStringLiteral("application/octet-stream");
    if (FileName.isEmpty())
        return result;
    const QString type = ContentTypeForExtension(ExtractFileExt(FileName));
    if (!type.isEmpty())
        result = type.left(257);
    return result;
}

QString Reverse(const QString& S) {
    QString result(S.size(), Qt::Uninitialized);
    for (qsizetype i = 0, n = S.size(); i < n; ++i)
        result[n - 1 - i] = S[i];
    return result;
}

QString GetColumn(const QString& Line, int Column, QChar Separator) {
    QString result;
    if (Line == QLatin1String("\t"))
        return result;
    int counter = 0;
    for (const QChar c : Line) {
        if (c == Separator)
            ++counter;
        else if (counter == Column)
            result += c;
        else if (counter > Column)
            break;
    }
    return result;
}

void ReplaceHTMLChars(QString& S) {
    struct Entity {
        const char16_t* Name;
        const char16_t* Replacement;
    };
    static const Entity table[] = {
        {u"&brvbar", u"|"}, {u"&deg", u"\u00B0"}, {u"&plusmn", u"+"}, {u"&para", u"\u00A6"},
        {u"&amp", u"&"},    {u"&lt", u"<"},       {u"&gt", u">"},     {u"&copy", u"c"},
        {u"&quot", u"\""},  {u"&apos", u"'"},     {u"&trade", u"T"},  {u"&nbsp", u""},
    };

    // Every pass looks for the first "&" of the text. Nothing before the last replacement can hold one,
    // so the scan resumes there; the text is compacted in place (every entity is longer than its
    // replacement), which keeps the whole operation linear. A replacement "&" is put back in front of the
    // unread text, where the next pass finds it first.
    QChar* buf = S.data();
    const qsizetype n = S.size();
    qsizetype r = 0; // next character to read
    qsizetype w = 0; // next character to write
    while (true) {
        qsizetype amp = r;
        while (amp < n && buf[amp] != u'&')
            ++amp;
        if (amp >= n)
            break;
        std::copy(buf + r, buf + amp, buf + w);
        w += amp - r;
        r = amp;
        qsizetype semi = amp + 1;
        while (semi < n && buf[semi] != u';')
            ++semi;
        const QStringView name(buf + amp, semi - amp);
        const Entity* found = nullptr;
        for (const Entity& e : table)
            if (name == QStringView(e.Name)) {
                found = &e;
                break;
            }
        if (!found)
            break;
        const qsizetype next = semi < n ? semi + 1 : n;
        const QStringView replacement(found->Replacement);
        if (replacement == u"&") {
            r = next - 1;
            buf[r] = u'&';
        } else {
            for (QChar c : replacement)
                buf[w++] = c;
            r = next;
        }
    }
    std::copy(buf + r, buf + n, buf + w);
    w += n - r;
    S.truncate(w);
}

void ParseProxySetting(QString& ProxyServer, bool UseProxy, int& ProxyPort) {
    if (!UseProxy || ProxyServer.isEmpty())
        return;
    const qsizetype tag = ProxyServer.indexOf(QLatin1String("http="));
    if (tag >= 0) {
        ProxyServer = ProxyServer.mid(tag + 5);
        const qsizetype semi = ProxyServer.indexOf(u';');
        if (semi >= 0)
            ProxyServer.truncate(semi);
    }
    const qsizetype colon = ProxyServer.indexOf(u':');
    if (colon >= 0) {
        ProxyPort = StrToIntDef(ProxyServer.mid(colon + 1), 0);
        ProxyServer.truncate(colon);
    }
}

void ReadProxyInfo(QString& ProxyServer, bool& UseProxy, int& ProxyPort) {
    const QString setting = SystemProxySetting();
    if (!setting.isEmpty()) {
        ProxyServer = setting.left(257);
        UseProxy = true;
    }
    ParseProxySetting(ProxyServer, UseProxy, ProxyPort);
}

} // namespace KvInet

// MailParse: reads a message the way a mail reader does, through Python's email package
// (tests/socket/mailparse.py), so that the mail tests check what a reader sees, not what we meant to write.
#pragma once

#include "support/TestSupport.h"

#include <QJsonArray>
#include <QJsonDocument>
#include <QJsonObject>
#include <QTemporaryDir>

namespace KvTest {

struct ParsedAttachment {
    QString FileName, ContentType, Encoding, Disposition;
    QByteArray Data;
    QString Charset; // the charset parameter as written; "" when there is none
};

struct ParsedMail {
    QList<QPair<QString, QString>> HeaderList;
    QString ContentType;
    bool Multipart = false;
    QString Body, BodyCharset, BodyEncoding;
    QList<ParsedAttachment> Attachments;
    QStringList Defects;

    /// Every value of a header (names compared without case), decoded.
    QStringList Headers(const QString& Name) const {
        QStringList values;
        for (const auto& h : HeaderList)
            if (h.first.compare(Name, Qt::CaseInsensitive) == 0)
                values << h.second;
        return values;
    }
    /// The one value of a header; "" when absent; fails the test when it occurs more than once.
    QString Header(const QString& Name) const {
        const QStringList values = Headers(Name);
        EXPECT_LE(values.size(), 1) << "header " << Name.toStdString() << " occurs " << values.size()
                                    << " times";
        return values.value(0);
    }
};

inline ParsedMail ParseMailFile(const QString& Path) {
    const ProcessResult r = Run(QStringLiteral("/usr/bin/python3"),
                                {SourceDir() + QStringLiteral("/tests/socket/mailparse.py"), Path});
    EXPECT_EQ(r.ExitCode, 0) << r.Err.toStdString();
    const QJsonObject o = QJsonDocument::fromJson(r.Out).object();
    ParsedMail m;
    for (const QJsonValue& h : o[QStringLiteral("headers")].toArray())
        m.HeaderList << qMakePair(h[0].toString(), h[1].toString());
    m.ContentType = o[QStringLiteral("content_type")].toString();
    m.Multipart = o[QStringLiteral("multipart")].toBool();
    m.Body = o[QStringLiteral("body")].toString();
    m.BodyCharset = o[QStringLiteral("body_charset")].toString();
    m.BodyEncoding = o[QStringLiteral("body_encoding")].toString();
    for (const QJsonValue& a : o[QStringLiteral("attachments")].toArray())
        m.Attachments << ParsedAttachment{
            a[QStringLiteral("filename")].toString(),
            a[QStringLiteral("content_type")].toString(),
            a[QStringLiteral("encoding")].toString(),
            a[QStringLiteral("disposition")].toString(),
            QByteArray::fromBase64(a[QStringLiteral("data")].toString().toLatin1()),
            a[QStringLiteral("charset")].toString()};
    for (const QJsonValue& d : o[QStringLiteral("defects")].toArray())
        m.Defects << d.toString();
    return m;
}

inline ParsedMail ParseMail(const QByteArray& Message) {
    QTemporaryDir dir;
    const QString path = dir.filePath(QStringLiteral("message.eml"));
    WriteFile(path, Message);
    return ParseMailFile(path);
}

/// Every byte value, repeated to Size bytes: a binary file that no text encoding passes unharmed.
inline QByteArray AllBytes(qsizetype Size) {
    QByteArray data(Size, Qt::Uninitialized);
    for (qsizetype i = 0; i < Size; ++i)
        data[i] = char((i * 7 + i / 256) & 0xFF);
    return data;
}

} // namespace KvTest

// test-servers: nginx scripted
// The parcel tracker: the request it posts (compared with the literal documents), what it reads from an
// answer, and how cut, failed, oversized and foreign answers end; against scripted stand-ins of the
// service over HTTP and nginx over HTTPS. Also "kvinet ups".
#include "services/KvIUPS.h"

#include "support/ScriptedPeer.h"

#include <QCoreApplication>
#include <QFile>
#include <QThread>

using namespace KvInet;
using namespace KvTest;

namespace {

// The request for license LIC, agent AGENT and number NUM, as the service expects it.
const QByteArray ExpectedBody =
    "<?xml version=\"1.0\"?><AccessRequest "
    "xml:lang=\"en-US\"><AccessLicenseNumber>LIC</AccessLicenseNumber>\r\n"
    "<UserId>xkq</UserId><Password>xkq</Password></AccessRequest>\r\n"
    "<?xml version=\"1.0\"?><TrackRequest xml:lang=\"en-US\"><Request><TransactionReference>\r\n"
    "<CustomerContext>AGENT</CustomerContext><XpciVersion>1.0</XpciVersion></TransactionReference>\r\n"
    "<RequestAction>Track</RequestAction><RequestOption>activity</RequestOption></Request>\r\n"
    "<TrackingNumber>#NUM</TrackingNumber></TrackRequest>";

const QByteArray FullAnswer =
    "<?xml version=\"1.0\"?><TrackResponse><Response><ResponseStatusCode>1</ResponseStatusCode></Response>"
    "<Shipment><Shipper><ShipperNumber>A1B2C3</ShipperNumber><Address><AddressLine1>1 Quai du Ch\xC3\xA2teau "
    "&amp; Co"
    "</AddressLine1><City>Paris</City><PostalCode>75002</PostalCode><CountryCode>FR</CountryCode></Address>"
    "</Shipper><ShipTo><Address><City>Lyon</City><CountryCode>FR</CountryCode></Address></ShipTo>"
    "<ShipmentWeight><UnitOfMeasurement><Code>KGS</Code></UnitOfMeasurement><Weight>2.50</Weight>"
    "</ShipmentWeight><Service><Code>011</Code><Description>STANDARD</Description></Service>"
    "<ShipmentIdentificationNumber>1Z999AA10123456784</ShipmentIdentificationNumber>"
    "<PickupDate>20140505</PickupDate>"
    "<Package><TrackingNumber>1Z999AA10123456784</TrackingNumber>"
    "<Activity><ActivityLocation><Address><City>Lyon</City><CountryCode>FR</CountryCode></Address>"
    "<Code>ML</Code><Description>FRONT DOOR</Description><SignedForByName>DUPONT</SignedForByName>"
    "</ActivityLocation><Status><StatusType><Code>D</Code><Description>DELIVERED</Description></StatusType>"
    "<StatusCode><Code>KB</Code></StatusCode></Status><Date>20140506</Date><Time>071809</Time></Activity>"
    "<Message><Code>01</Code></Message>"
    "<Activity><ActivityLocation><Address><City>Macon</City></Address></ActivityLocation><Status><StatusType>"
    "<Code>I</Code><Description>OUT FOR DELIVERY</Description></StatusType></Status><Date>20140506</Date>"
    "</Activity>"
    "<activity><Status><StatusType><Code>X</Code></StatusType></Status></activity>"
    "<Activity><Status><StatusType><Code>P</Code><Description>PICKUP</Description></StatusType></Status>"
    "<Date>20140505</Date><Time>180000</Time></Activity>"
    "</Package></Shipment></TrackResponse>";

const QByteArray ErrorAnswer =
    "<?xml version=\"1.0\"?><TrackResponse><Response><ResponseStatusCode>0</ResponseStatusCode>"
    "<Error><ErrorSeverity>Hard</ErrorSeverity><ErrorCode>151018</ErrorCode>"
    "<ErrorDescription>Invalid tracking number</ErrorDescription></Error></Response></TrackResponse>";

QByteArray Ok(const QByteArray& Body, bool WithLength = true) {
    return "HTTP/1.1 200 OK\r\nContent-Type: application/xml\r\n" +
           (WithLength ? "Content-Length: " + QByteArray::number(Body.size()) + "\r\n" : QByteArray()) +
           "Connection: close\r\n\r\n" + Body;
}

/// A stand-in that reads the whole request (its body ends with the TrackRequest end tag) and sends Reply.
QJsonObject Answer(const QByteArray& Reply, int Blocks = 1, int DelayMs = 0) {
    return Script::Steps({Script::ReadUntil("</TrackRequest>"), Script::Send(Reply, Blocks, DelayMs)});
}

class UPSTest : public ::testing::Test {
protected:
    void SetUp() override {
        qunsetenv("http_proxy");
        qunsetenv("https_proxy");
        qunsetenv("all_proxy");
    }
    /// A tracker talking plain HTTP to the stand-in on Port.
    static void Local(TKvUPSTracker& T, int Port) {
        T.SetService(isHTTP);
        T.SetHost(QStringLiteral("127.0.0.1"));
        T.SetPort(Port);
        T.SetTimeout(5);
        T.SetAccessLicenseNumber(QStringLiteral("LIC"));
        T.SetAgent(QStringLiteral("AGENT"));
    }
};

TEST_F(UPSTest, Defaults) {
    TKvUPSTracker t;
    EXPECT_EQ(t.AccessLicenseNumber(), "7D1E94C05AB3F628");
    EXPECT_EQ(t.Agent(), "Norvalith Tracker");
    EXPECT_EQ(t.Service(), isHTTPS);
    EXPECT_EQ(t.Port(), 443);
    EXPECT_FALSE(t.Host().isEmpty());
    EXPECT_TRUE(t.TrackingNumber().isEmpty());
    EXPECT_EQ(t.Activities()->KvInetControl(), &t);
}

// The values are escaped for XML and sent as UTF-8; ordinary values go in as they are.
TEST_F(UPSTest, RequestBodyIsTheTemplateWithEscapedValues) {
    struct Case {
        const char* Number;
        const char* Agent;
        QByteArray Number8, Agent8;
    } cases[] = {
        {"NUM", "AGENT", "NUM", "AGENT"},
        {"%2%1", "AGENT", "%2%1", "AGENT"},
        {"1</TrackingNumber><X>", "AGENT", "1&lt;/TrackingNumber&gt;&lt;X&gt;", "AGENT"},
        {"NUM", "A & \"B\"", "NUM", "A &amp; &quot;B&quot;"},
        {"NUM", "Soci\xC3\xA9t\xC3\xA9", "NUM", "Soci\xC3\xA9t\xC3\xA9"},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.Number);
        TKvUPSTracker t;
        t.SetAccessLicenseNumber(QStringLiteral("LIC"));
        t.SetAgent(QString::fromUtf8(c.Agent));
        t.SetTrackingNumber(QString::fromUtf8(c.Number));
        QByteArray expected = ExpectedBody;
        expected.replace("#NUM", "#" + c.Number8).replace(">AGENT<", ">" + c.Agent8 + "<");
        EXPECT_EQ(t.RequestBody(), expected);
    }
}

TEST_F(UPSTest, CompactDatesAndTimes) {
    struct Case {
        const char* Text;
        bool IsDate;
        bool Valid;
        TDateTime Value;
    } cases[] = {
        {"20140506", true, true, EncodeDate(2014, 5, 6)},
        {"20141332", true, false, 0},
        {"20140230", true, false, 0},
        {"201405", true, false, 0},
        {"2014-5-6", true, false, 0},
        {"", true, false, 0},
        {"071809", false, true, (7 * 3600 + 18 * 60 + 9) / 86400.0},
        {"240000", false, false, 0},
        {"0718", false, false, 0},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.Text);
        TDateTime value = 0;
        const bool valid = c.IsDate ? CompactStrToDate(QString::fromLatin1(c.Text), value)
                                    : CompactStrToTime(QString::fromLatin1(c.Text), value);
        EXPECT_EQ(valid, c.Valid);
        if (c.Valid) {
            EXPECT_NEAR(value, c.Value, 1e-9);
        }
    }
}

// One exchange: the request on the wire, then every field of a full answer.
TEST_F(UPSTest, PostsTheRequestAndReadsAFullAnswer) {
    ScriptedSession peer(Answer(Ok(FullAnswer)));
    TKvUPSTracker t;
    Local(t, peer.Port());
    t.SetTrackingNumber(QStringLiteral("NUM"));
    std::vector<std::pair<int64_t, int64_t>> progress;
    t.SetOnProgress([&](QObject*, int64_t Cur, int64_t Max, bool&) { progress.emplace_back(Cur, Max); });
    ASSERT_TRUE(t.Execute()) << t.LastError().toStdString();
    EXPECT_EQ(t.Status(), isFinished);
    EXPECT_EQ(t.LastError(), "");
    EXPECT_EQ(t.LastXMLResponse(), QString::fromLatin1(FullAnswer));

    const QByteArray sent = peer.Received();
    const qsizetype headEnd = sent.indexOf("\r\n\r\n");
    ASSERT_GT(headEnd, 0);
    const QByteArray head = sent.left(headEnd + 2);
    EXPECT_TRUE(head.startsWith("POST /ups.app/xml/Track HTTP/1.1\r\n")) << head.toStdString();
    EXPECT_TRUE(head.contains("\r\nContent-Type: application/x-www-form-urlencoded\r\n"))
        << head.toStdString();
    EXPECT_EQ(sent.mid(headEnd + 4), ExpectedBody);

    EXPECT_EQ(t.ShipperNumber(), "A1B2C3");
    // UTF-8, the encoding of an XML document that declares none; decoded before the entities.
    EXPECT_EQ(t.ShipperAddress()->GetText(),
              QString::fromUtf8("1 Quai du Ch\xC3\xA2teau & Co Paris 75002 FR"));
    EXPECT_EQ(t.ShipToAddress()->GetText(), "Lyon FR");
    EXPECT_EQ(t.IdentificationNumber(), "1Z999AA10123456784");
    EXPECT_EQ(t.PickupDate(), EncodeDate(2014, 5, 5));
    EXPECT_EQ(t.ServiceCode(), "011");
    EXPECT_EQ(t.ServiceDescription(), "STANDARD");
    EXPECT_EQ(t.ShipmentWeight(), "2.50");
    EXPECT_EQ(t.ShipmentWeightUnits(), "KGS");

    // Three "Activity" children in document order; "Message" and the lower-case "activity" are no events.
    ASSERT_EQ(t.Activities()->Count(), 3);
    const TKvInetActivity* first = t.Activities()->Items(0);
    EXPECT_EQ(first->LocationCode(), "ML");
    EXPECT_EQ(first->LocationDescription(), "FRONT DOOR");
    EXPECT_EQ(first->LocationSignedForByName(), "DUPONT");
    EXPECT_EQ(first->Location()->GetText(), "Lyon FR");
    EXPECT_EQ(first->StatusTypeCode(), "D");
    EXPECT_EQ(first->StatusTypeDescription(), "DELIVERED");
    EXPECT_EQ(first->StatusCode(), "KB");
    EXPECT_NEAR(first->DateTime(), EncodeDate(2014, 5, 6) + (7 * 3600 + 18 * 60 + 9) / 86400.0, 1e-9);
    EXPECT_EQ(t.Activities()->Items(1)->StatusTypeDescription(), "OUT FOR DELIVERY");
    EXPECT_EQ(t.Activities()->Items(1)->DateTime(), 0); // no time: no moment
    EXPECT_EQ(t.Activities()->Items(2)->StatusTypeCode(), "P");

    // The progress bar's scale is the announced size, and it is never passed.
    ASSERT_FALSE(progress.empty());
    EXPECT_EQ(progress.back(), std::make_pair(int64_t(FullAnswer.size()), int64_t(FullAnswer.size())));
}

// Activities accumulate over runs until Clear or a new number; the shipment's values stay until an answer
// with a shipment replaces them, also across an error answer.
TEST_F(UPSTest, ActivitiesAccumulateUntilClear) {
    ScriptedSession peer(Script::Connections(
        {Answer(Ok(FullAnswer)), Answer(Ok(FullAnswer)), Answer(Ok(ErrorAnswer)), Answer(Ok(FullAnswer))}));
    TKvUPSTracker t;
    Local(t, peer.Port());
    t.SetTrackingNumber(QStringLiteral("NUM"));
    ASSERT_TRUE(t.Execute());
    ASSERT_TRUE(t.Execute());
    EXPECT_EQ(t.Activities()->Count(), 6);

    t.SetTrackingNumber(QStringLiteral("NUM"));
    EXPECT_EQ(t.Activities()->Count(), 6) << "the same number cleared the results";
    t.SetTrackingNumber(QStringLiteral("OTHER"));
    EXPECT_EQ(t.Activities()->Count(), 0);
    EXPECT_EQ(t.LastXMLResponse(), "");

    // The service's error: the run went through (isFinished) and LastError carries the service's words.
    EXPECT_TRUE(t.Execute());
    EXPECT_EQ(t.Status(), isFinished);
    EXPECT_EQ(t.LastError(), "Invalid tracking number");
    EXPECT_EQ(t.LastXMLResponse(), QString::fromLatin1(ErrorAnswer));
    EXPECT_EQ(t.Activities()->Count(), 0);
    EXPECT_EQ(t.ShipperNumber(), "A1B2C3");
    EXPECT_EQ(t.ShipToAddress()->GetText(), "Lyon FR");
    EXPECT_NE(t.PickupDate(), 0);

    t.Clear();
    ASSERT_TRUE(t.Execute());
    EXPECT_EQ(t.Activities()->Count(), 3);
}

// Values are decoded by what the answer declares, as UTF-8 when it declares nothing.
TEST_F(UPSTest, AnswersAreDecodedAsDeclared) {
    const struct {
        const char* Declaration;
        QByteArray City;
        const char* Expected;
    } cases[] = {
        {"", "Z\xC3\xBCrich", "Zürich"},
        {"<?xml version=\"1.0\" encoding=\"utf-8\"?>", "Z\xC3\xBCrich \xFF", "Zürich \uFFFD"},
        {"<?xml version=\"1.0\" encoding=\"ISO-8859-1\"?>", "Z\xFCrich", "Zürich"},
        {"<?xml version='1.0' encoding='windows-1250'?>",
         QByteArray("\x8A"
                    "a\x9E"
                    "e"),
         "Šaže"},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.Declaration);
        const QByteArray answer = QByteArray(c.Declaration) +
                                  "<TrackResponse><Shipment><ShipTo><Address><City>" + c.City +
                                  "</City></Address></ShipTo></Shipment></TrackResponse>";
        ScriptedSession peer(Answer(Ok(answer)));
        TKvUPSTracker t;
        Local(t, peer.Port());
        t.SetTrackingNumber(QStringLiteral("NUM"));
        ASSERT_TRUE(t.Execute()) << t.LastError().toStdString();
        EXPECT_EQ(t.ShipToAddress()->City(), QString::fromUtf8(c.Expected));
    }
}

// Answers that must not pass for a tracked parcel: how each ends, what LastError says, and that what
// arrived is kept and read.
TEST_F(UPSTest, FailedAndForeignAnswers) {
    const QByteArray packageOnly = "<TrackResponse><Package><Activity><Status><StatusType><Code>M</Code>"
                                   "</StatusType></Status></Activity></Package></TrackResponse>";
    const QByteArray cut = "HTTP/1.1 200 OK\r\nContent-Length: " + QByteArray::number(FullAnswer.size()) +
                           "\r\n\r\n" + FullAnswer.left(FullAnswer.indexOf("<Message>"));
    struct Case {
        const char* Name;
        QJsonObject Peer;
        int64_t MaxReplySize;
        TKvIStatus Status;
        const char* Error; // part of LastError
        int Activities;
    } cases[] = {
        {"server error",
         Answer("HTTP/1.1 500 Internal Server Error\r\nContent-Length: " +
                QByteArray::number(FullAnswer.size()) + "\r\n\r\n" + FullAnswer),
         0, isFailed, "500", 3},
        {"cut mid-body", Answer(cut), 0, isFailed, "", 1},
        {"endless", Answer(Ok(QByteArray(200000, ' '), false), 100, 20), 5000, isFailed, "larger than 5000",
         0},
        {"without Shipment", Answer(Ok(packageOnly)), 0, isFinished, "", 1},
        {"foreign page", Answer(Ok("<html><body>Welcome</body></html>")), 0, isFinished,
         "no tracking information", 0},
        {"empty answer", Answer(Ok("")), 0, isFinished, "empty", 0},
        {"silent server", Script::Steps({Script::Hang()}), 0, isFailed, "", 0},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.Name);
        ScriptedSession peer(c.Peer);
        TKvUPSTracker t;
        Local(t, peer.Port());
        t.SetTimeout(2);
        if (c.MaxReplySize)
            t.SetMaxReplySize(c.MaxReplySize);
        t.SetTrackingNumber(QStringLiteral("NUM"));
        EXPECT_EQ(t.Execute(), c.Status != isFailed);
        EXPECT_EQ(t.Status(), c.Status);
        if (c.Status == isFailed || *c.Error) {
            EXPECT_TRUE(!t.LastError().isEmpty() && t.LastError().contains(QString::fromLatin1(c.Error)))
                << t.LastError().toStdString();
        } else {
            EXPECT_EQ(t.LastError(), "");
        }
        EXPECT_EQ(t.Activities()->Count(), c.Activities);
        if (c.MaxReplySize) {
            EXPECT_LE(t.LastXMLResponse().size(), c.MaxReplySize);
        }
    }
}

// Cancelling in OnProgress fails the run; the text read so far is kept and read.
TEST_F(UPSTest, CancelKeepsWhatArrived) {
    const QByteArray answer = Ok(FullAnswer);
    ScriptedSession peer(Answer(answer, 4, 200));
    TKvUPSTracker t;
    Local(t, peer.Port());
    t.SetTrackingNumber(QStringLiteral("NUM"));
    t.SetOnProgress([](QObject*, int64_t Cur, int64_t, bool& Abort) { Abort = Cur > 0; });
    EXPECT_FALSE(t.Execute());
    EXPECT_EQ(t.Status(), isFailed);
    EXPECT_EQ(t.LastError(), "Cancelled");
    EXPECT_FALSE(t.LastXMLResponse().isEmpty());
    EXPECT_LT(t.LastXMLResponse().size(), FullAnswer.size());
}

// A value XML cannot carry at all is refused before anything is sent.
TEST_F(UPSTest, ControlCharactersAreRefused) {
    ScriptedSession peer(Answer(Ok(FullAnswer)));
    TKvUPSTracker t;
    Local(t, peer.Port());
    t.SetTrackingNumber(QStringLiteral("1Z\x01"));
    EXPECT_FALSE(t.Execute());
    EXPECT_TRUE(t.LastError().contains("tracking number")) << t.LastError().toStdString();
    EXPECT_EQ(peer.Connections(), 0);
}

// Over HTTPS with the test CA: nginx takes the POST and answers that no such service is there (404): a
// failure, never a parcel.
TEST_F(UPSTest, HttpsPostReachesTheServer) {
    const QString log = ServerEnv("nginx", "KV_NGINX_ACCESS_LOG");
    TKvUPSTracker t;
    t.SetHost(QStringLiteral("localhost"));
    t.SetPort(ServerPort("nginx", "KV_NGINX_TLS_PORT"));
    t.SetCACertFile(ServerEnv("nginx", "KV_CA_FILE"));
    const QString number = QStringLiteral("N%1").arg(QCoreApplication::applicationPid());
    t.SetTrackingNumber(number);
    EXPECT_FALSE(t.Execute());
    EXPECT_TRUE(t.LastError().contains("404")) << t.LastError().toStdString();
    bool seen = false;
    for (int i = 0; i < 50 && !seen; ++i) {
        seen = ReadFile(log).contains("\"POST /ups.app/xml/Track HTTP/1.1\" 404");
        if (!seen)
            QThread::msleep(100);
    }
    EXPECT_TRUE(seen);
}

// The command: the shipment, one line per event, --raw, and exit 1 for the service's error.
TEST_F(UPSTest, Command) {
    ScriptedSession peer(
        Script::Connections({Answer(Ok(FullAnswer)), Answer(Ok(FullAnswer)), Answer(Ok(ErrorAnswer))}));
    const QStringList common = {QStringLiteral("--http"), QStringLiteral("--host"),
                                QStringLiteral("127.0.0.1"), QStringLiteral("--port"),
                                QString::number(peer.Port())};
    ProcessResult r = Kvinet(QStringList{QStringLiteral("ups"), QStringLiteral("NUM")} + common);
    EXPECT_EQ(r.ExitCode, 0) << r.Err.toStdString();
    EXPECT_EQ(r.Out, "shipment: 1Z999AA10123456784\n"
                     "shipper: A1B2C3 1 Quai du Ch\xC3\xA2teau & Co Paris 75002 FR\n"
                     "ship-to: Lyon FR\n"
                     "pickup: 2014-05-05\n"
                     "service: 011 STANDARD\n"
                     "weight: 2.50 KGS\n"
                     "2014-05-06 07:18:09\tDELIVERED\tLyon FR\n"
                     "-\tOUT FOR DELIVERY\tMacon\n"
                     "2014-05-05 18:00:00\tPICKUP\t\n");
    r = Kvinet(QStringList{QStringLiteral("ups"), QStringLiteral("NUM"), QStringLiteral("--raw")} + common);
    EXPECT_EQ(r.ExitCode, 0);
    EXPECT_EQ(r.Out, FullAnswer);
    r = Kvinet(QStringList{QStringLiteral("ups"), QStringLiteral("NUM")} + common);
    EXPECT_EQ(r.ExitCode, 1);
    EXPECT_TRUE(r.Err.contains("Invalid tracking number")) << r.Err.toStdString();
    // An option the command does not take is a usage error.
    r = Kvinet({QStringLiteral("ups"), QStringLiteral("NUM"), QStringLiteral("--from"), QStringLiteral("x")});
    EXPECT_EQ(r.ExitCode, 2);
}

} // namespace

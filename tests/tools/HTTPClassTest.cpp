// The HTTP client against a real server on 127.0.0.1: what goes on the wire
// byte for byte, and what comes back however the server frames it.
#include "tools/HTTPClass.h"

#include "tests/support/HttpPeer.h"
#include "tests/support/Peers.h"
#include "tests/support/TestSupport.h"

#include <QElapsedTimer>
#include <gtest/gtest.h>

using namespace pacs::tools;
using namespace pacs::test;

TEST(HTTPClass, URLEncodeKeepsLettersAndDigitsAndEscapesTheLowByteOfEverythingElse)
{
    EXPECT_EQ(HTTPClass::URLEncode("abcXYZ0189"), "abcXYZ0189");
    EXPECT_EQ(HTTPClass::URLEncode("tal mir"), "tal%20mir");
    // Characters a URL could carry as they are are escaped too.
    EXPECT_EQ(HTTPClass::URLEncode("-._~"), "%2D%2E%5F%7E");
    EXPECT_EQ(HTTPClass::URLEncode("a&b=c?d/e+f%"), "a%26b%3Dc%3Fd%2Fe%2Bf%25");
    EXPECT_EQ(HTTPClass::URLEncode("\n\t"), "%0A%09");
    EXPECT_EQ(HTTPClass::URLEncode(QString(QChar(0x00E9))), "%E9"); // é: its code, not UTF-8
    EXPECT_EQ(HTTPClass::URLEncode(QString(QChar(0x20AC))), "%AC"); // €: the low byte only
    EXPECT_EQ(HTTPClass::URLEncode(QString(QChar(0x0100))), "%00");
    EXPECT_EQ(HTTPClass::URLEncode(""), "");
}

TEST(HTTPClass, FieldsIgnoreTheCaseOfTheirNamesAndKeepTheOrderOfFirstSetting)
{
    HTTPClass http;
    EXPECT_EQ(http.formData(), "");
    http.Fields("Username", "first");
    http.Fields("Password", "zaq vet");
    http.Fields("USERNAME", "second");
    for (int i = 0; i < 25; ++i) // past the room the table starts with
        http.Fields(QStringLiteral("f%1").arg(i), QString::number(i));
    EXPECT_EQ(http.fieldCount(), 27);
    EXPECT_EQ(http.Fields("username"), "second");
    EXPECT_EQ(http.Fields("PassWord"), "zaq vet");
    EXPECT_EQ(http.Fields("Email"), "");
    EXPECT_TRUE(http.formData().startsWith("Username=second&Password=zaq%20vet&f0=0&f1=1&")) << http.formData().toStdString();
    EXPECT_TRUE(http.formData().endsWith("&f24=24"));
}

TEST(HTTPClass, GetCarriesTheFieldsAsTheQueryExactlyAsEncoded)
{
    HttpPeer peer;
    ASSERT_TRUE(peer.isListening());
    const QByteArray page("line one\r\nline two\0three", 25);
    peer.enqueue(CannedResponse::ok(page));
    peer.enqueue(CannedResponse::ok("second"));

    HTTPClass http(10000);
    // The port argument is not the one used: the address names it.
    ASSERT_TRUE(http.OpenHTTP(peer.address(), 88, "talmir", "zaqvet")) << http.lastError().toStdString();
    EXPECT_TRUE(http.isOpen());
    EXPECT_EQ(http.port(), peer.port());
    http.Fields("Username", "tal mir");
    http.Fields("Pass.word", "a&b=c");
    const QByteArray body = http.SendRequest("/apps/pacs/server/talmir-pacsd", "get", "http://elsewhere.example/", true);
    EXPECT_EQ(body, page);
    EXPECT_EQ(http.statusCode(), 200);

    ASSERT_EQ(peer.requests().size(), 1);
    const HttpRequestSeen &get = peer.requests()[0];
    EXPECT_EQ(get.requestLine, "GET /apps/pacs/server/talmir-pacsd?Username=tal%20mir&Pass%2Eword=a%26b%3Dc HTTP/1.1");
    EXPECT_EQ(get.header("User-Agent"), "HTTP Client");
    EXPECT_EQ(get.header("Host"), "127.0.0.1:" + QByteArray::number(peer.port()));
    EXPECT_FALSE(get.hasHeader("Referer"));
    EXPECT_FALSE(get.hasHeader("Accept"));
    EXPECT_FALSE(get.hasHeader("Content-Type"));
    EXPECT_FALSE(get.hasHeader("Authorization")); // only when asked for
    EXPECT_EQ(get.header("Cache-Control"), "no-cache");
    EXPECT_EQ(get.header("Pragma"), "no-cache");
    EXPECT_TRUE(get.body.isEmpty());

    // A second request on the same client goes on a new connection; without
    // reload it lets caches answer.
    EXPECT_EQ(http.SendRequest("/x", "GET", "", false), "second");
    ASSERT_EQ(peer.requests().size(), 2);
    EXPECT_FALSE(peer.requests()[1].hasHeader("Cache-Control"));
    http.CloseHTTP();
    EXPECT_FALSE(http.isOpen());
    EXPECT_TRUE(http.SendRequest("/x", "GET", "", false).isEmpty());
    EXPECT_EQ(peer.requests().size(), 2);
}

TEST(HTTPClass, NoFieldsNoQuestionMarkAndPostSendsAForm)
{
    HttpPeer peer;
    peer.setFallback(CannedResponse::ok("fine"));
    HTTPClass http(10000);
    ASSERT_TRUE(http.OpenHTTP(peer.address(), 80, "", ""));
    EXPECT_EQ(http.SendRequest("/apps/pacs/server/talmir-pacs", "GET", "", false), "fine");
    http.Fields("Username", "talmir");
    http.Fields("Password", "zaq'vet");
    EXPECT_EQ(http.SendRequest("/login", "post", "", false), "fine");

    ASSERT_EQ(peer.requests().size(), 2);
    EXPECT_EQ(peer.requests()[0].requestLine, "GET /apps/pacs/server/talmir-pacs HTTP/1.1");
    const HttpRequestSeen &post = peer.requests()[1];
    EXPECT_EQ(post.requestLine, "POST /login HTTP/1.1");
    EXPECT_EQ(post.header("Content-Type"), "application/x-www-form-urlencoded");
    EXPECT_EQ(post.header("Content-Length"), "34");
    EXPECT_EQ(post.body, "Username=talmir&Password=zaq%27vet");
}

TEST(HTTPClass, AnswersArriveWholeHoweverTheyAreFramedAndErrorPagesToo)
{
    QByteArray binary;
    for (int i = 0; i < 5000; ++i)
        binary += char((i * 7) & 0xFF); // zeros, CR and LF among them
    HttpPeer peer;
    peer.enqueue(CannedResponse::ok(binary, CannedResponse::Framing::Chunked));
    peer.enqueue(CannedResponse::ok(binary, CannedResponse::Framing::UntilClose));
    peer.enqueue(CannedResponse::withStatus(404, "Not Found", "<html>missing</html>"));
    CannedResponse none = CannedResponse::withStatus(204, "No Content");
    peer.enqueue(none);

    HTTPClass http(10000);
    ASSERT_TRUE(http.OpenHTTP("127.0.0.1:" + QString::number(peer.port()), 88, "u", "p")); // no scheme: http
    EXPECT_EQ(http.SendRequest("/a", "GET", "", true), binary);
    EXPECT_EQ(http.SendRequest("/b", "GET", "", true), binary);
    EXPECT_EQ(http.SendRequest("/c", "GET", "", true), "<html>missing</html>");
    EXPECT_EQ(http.statusCode(), 404);
    EXPECT_EQ(http.reasonPhrase(), "Not Found");
    EXPECT_TRUE(http.SendRequest("/d", "GET", "", true).isEmpty());
    EXPECT_EQ(http.statusCode(), 204);
    EXPECT_TRUE(http.lastError().isEmpty());
}

TEST(HTTPClass, AddressesPortsAndPathsOfTheServer)
{
    HttpPeer peer;
    peer.setFallback(CannedResponse::ok("x"));
    HTTPClass http(10000);
    ASSERT_TRUE(http.OpenHTTP(peer.address() + "/updates/", 88, "", ""));
    http.SendRequest("/apps/pacs/server/talmir-pacsd", "GET", "", false);
    ASSERT_EQ(peer.requests().size(), 1);
    EXPECT_EQ(peer.requests()[0].target, "/updates/apps/pacs/server/talmir-pacsd");

    QString host, path, error;
    int port = 0;
    ASSERT_TRUE(HTTPClass::parseServer("updates.example", host, port, path, error));
    EXPECT_EQ(host, "updates.example");
    EXPECT_EQ(port, 80); // none named: the standard one
    EXPECT_FALSE(HTTPClass::parseServer("ftp://updates.example", host, port, path, error));
    EXPECT_TRUE(error.contains("http")) << error.toStdString();
    EXPECT_FALSE(HTTPClass::parseServer("", host, port, path, error));
    EXPECT_FALSE(http.OpenHTTP("http://", 80, "", ""));
    EXPECT_FALSE(http.isOpen());
}

TEST(HTTPClass, AServerThatIsDownOrSilentFailsWithinTheTimeout)
{
    HeldPort down;
    HTTPClass http(5000);
    EXPECT_FALSE(http.OpenHTTP(QStringLiteral("http://127.0.0.1:%1").arg(down.port()), 88, "talmir", "zaqvet"));
    EXPECT_FALSE(http.isOpen());
    EXPECT_FALSE(http.lastError().isEmpty());

    HttpPeer peer;
    CannedResponse silent;
    silent.silent = true;
    peer.enqueue(silent);
    HTTPClass slow(300);
    ASSERT_TRUE(slow.OpenHTTP(peer.address(), 88, "", ""));
    QElapsedTimer clock;
    clock.start();
    EXPECT_TRUE(slow.SendRequest("/never", "GET", "", true).isEmpty());
    EXPECT_LT(clock.elapsed(), 5000);
    EXPECT_EQ(slow.statusCode(), 0);
    EXPECT_TRUE(slow.lastError().contains("no answer")) << slow.lastError().toStdString();
    EXPECT_EQ(peer.requests().size(), 1);
}

TEST(HTTPClass, ServerAskingForCredentialsGetsTheUserNameAndPassword)
{
    HttpPeer peer;
    CannedResponse challenge = CannedResponse::withStatus(401, "Unauthorized", "who?");
    challenge.headers.append(qMakePair(QByteArray("WWW-Authenticate"), QByteArray("Basic realm=\"updates\"")));
    peer.enqueue(challenge);
    peer.enqueue(CannedResponse::ok("welcome"));
    HTTPClass http(10000);
    ASSERT_TRUE(http.OpenHTTP(peer.address(), 88, "talmir", "zaqvet"));
    EXPECT_EQ(http.SendRequest("/private", "GET", "", true), "welcome");
    EXPECT_EQ(http.statusCode(), 200);
    ASSERT_EQ(peer.requests().size(), 2);
    EXPECT_FALSE(peer.requests()[0].hasHeader("Authorization"));
    EXPECT_EQ(peer.requests()[1].header("Authorization"), "Basic " + QByteArray("talmir:zaqvet").toBase64());
}

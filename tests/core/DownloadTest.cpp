#include "core/Download.h"

#include "core/Async.h"
#include "core/Files.h"
#include "core/PartialItem.h"
#include "support/Http2TestServer.h"
#include "support/HttpTestServer.h"
#include "support/TestEnvironment.h"

#include <gtest/gtest.h>

#include <QElapsedTimer>
#include <QFileInfo>
#include <QNetworkAccessManager>
#include <QNetworkReply>

using namespace trellium;
using namespace trellium::test;
using namespace std::chrono_literals;

namespace {

class Download : public DataHomeTest {
protected:
    DownloadResult fetch(const QUrl &url, DownloadOptions options = {}, QNetworkRequest request = {})
    {
        request.setUrl(url);
        if (!options.tlsConfiguration && url.scheme() == QStringLiteral("https"))
            options.tlsConfiguration = HttpTestServer::clientConfiguration();
        return runSync(downloadToFile(&m_network, request, target(), options), 60s);
    }

    QString target() const { return scratch(QStringLiteral("downloads")) + QStringLiteral("/file.bin"); }
    QStringList leftovers() const { return listDirectory(scratch(QStringLiteral("downloads"))); }

    QNetworkAccessManager m_network;
};

} // namespace

TEST_F(Download, StreamsWholeChunkedRedirectedAndRangedBodiesWithinTheirBoundsAndChecks)
{
    const QByteArray body = randomBytes(3 * 1024 * 1024 + 17);
    const QString source = scratch() + QStringLiteral("/source.bin");
    writeFileAtomically(source, body);

    for (const auto scheme : {HttpTestServer::Scheme::http, HttpTestServer::Scheme::https}) {
        HttpTestServer server(scheme);
        server.route("/image.img", HttpResponse::file(source));
        QList<qint64> seen;
        DownloadOptions options;
        options.onProgress = [&seen](qint64 received, qint64 expected) {
            EXPECT_EQ(expected, 3 * 1024 * 1024 + 17);
            seen.append(received);
        };
        const DownloadResult result = fetch(server.url(QStringLiteral("/image.img?x=1")), options);
        EXPECT_EQ(result.status, 200);
        EXPECT_EQ(result.bytes, body.size());
        EXPECT_EQ(readWholeFile(target()), body);
        ASSERT_FALSE(seen.isEmpty());
        EXPECT_TRUE(std::is_sorted(seen.begin(), seen.end()));
        EXPECT_EQ(seen.last(), body.size());
        EXPECT_EQ(leftovers(), QStringList{QStringLiteral("file.bin")});
        // Compressed transfer would hand out other bytes than the server's.
        EXPECT_EQ(server.requests().value(0).header("accept-encoding"), "identity");
        removeItem(target());
    }

    // Chunked bodies, redirects and ranges.
    const QByteArray part = body.left(200 * 1024);
    HttpTestServer server;
    HttpResponse chunked = HttpResponse::ok(part);
    chunked.chunked = true;
    server.route("/chunked", chunked);
    server.route("/moved", HttpResponse::redirect("/chunked", 301));

    // The redirect's "Content-Length: 0" must not count for the chunked body.
    DownloadResult result = fetch(server.url(QStringLiteral("/moved")));
    EXPECT_EQ(result.status, 200);
    EXPECT_EQ(result.url.path(), QStringLiteral("/chunked"));
    EXPECT_EQ(readWholeFile(target()), part);

    HttpResponse ranged = HttpResponse::ok(part);
    ranged.acceptRanges = true;
    server.route("/ranged", ranged);
    QNetworkRequest request;
    request.setRawHeader("Range", "bytes=100-199");
    result = fetch(server.url(QStringLiteral("/ranged")), {}, request);
    EXPECT_EQ(result.status, 206);
    EXPECT_EQ(readWholeFile(target()), part.mid(100, 100));
    request.setRawHeader("Range", "bytes=-10");
    result = fetch(server.url(QStringLiteral("/ranged")), {}, request);
    EXPECT_EQ(readWholeFile(target()), part.right(10));
    request.setRawHeader("Range", "bytes=999999-");
    EXPECT_EQ(fetch(server.url(QStringLiteral("/ranged")), {}, request).status, 416);

    // Bounds and checks end the transfer with their own errors.
    server.route("/small", HttpResponse::ok("klein"));
    server.route("/body", HttpResponse::ok(part));
    // Always sending, never idle: only the whole-transfer bound ends it.
    HttpResponse trickle = HttpResponse::ok(part);
    trickle.bytesPerSecond = 4 * 1024;
    server.route("/trickle", trickle);

    request = QNetworkRequest(server.url(QStringLiteral("/small")));
    DownloadResult memory = runSync(downloadToMemory(&m_network, request), 30s);
    EXPECT_EQ(memory.body, "klein");
    request.setUrl(server.url(QStringLiteral("/nowhere")));
    memory = runSync(downloadToMemory(&m_network, request), 30s);
    EXPECT_EQ(memory.status, 404);
    EXPECT_TRUE(memory.body.isEmpty());

    DownloadOptions bounded;
    bounded.maximumBytes = part.size() - 1;
    EXPECT_THROW(fetch(server.url(QStringLiteral("/body")), bounded), DownloadError);
    bounded.maximumBytes = part.size();
    EXPECT_EQ(fetch(server.url(QStringLiteral("/body")), bounded).bytes, part.size());

    DownloadOptions hurried;
    hurried.totalTimeout = 500ms;
    QElapsedTimer clock;
    clock.start();
    EXPECT_THROW(fetch(server.url(QStringLiteral("/trickle")), hurried), TimeoutError);
    EXPECT_LT(clock.elapsed(), 30'000);
    // Data arriving all along is never a stall, however long the whole takes.
    HttpResponse steady = HttpResponse::ok(part.left(192 * 1024));
    steady.bytesPerSecond = 64 * 1024;
    server.route("/steady", steady);
    DownloadOptions patient;
    patient.idleTimeout = 1s;
    EXPECT_EQ(fetch(server.url(QStringLiteral("/steady")), patient).bytes, 192 * 1024);

    DownloadOptions judged;
    judged.checkResponse = [](const QNetworkReply &reply) {
        if (reply.header(QNetworkRequest::ContentTypeHeader).toString() != QStringLiteral("text/plain"))
            throw DecodingError(QStringLiteral("kein Text"));
    };
    removeItem(target());
    EXPECT_THROW(fetch(server.url(QStringLiteral("/body")), judged), DecodingError);
    EXPECT_TRUE(leftovers().isEmpty());
}

TEST_F(Download, FailedOrRefusedAnswersKeepWhatWasThere)
{
    writeFileAtomically(target(), "old");
    const QByteArray body = randomBytes(512 * 1024);
    HttpTestServer server(HttpTestServer::Scheme::https);
    HttpResponse stalling = HttpResponse::ok(body);
    stalling.stallAfter = 64 * 1024;
    server.route("/stall", stalling);
    HttpResponse silent = HttpResponse::ok(body);
    silent.delay = 10s;
    server.route("/silent", silent);
    HttpResponse cut = HttpResponse::ok(body);
    cut.closeAfter = 100 * 1024;
    server.route("/cut", cut);
    cut.chunked = true;
    server.route("/cut-chunks", cut);

    DownloadOptions quick;
    quick.idleTimeout = 500ms;
    for (const QString &path : {QStringLiteral("/stall"), QStringLiteral("/silent")}) {
        QElapsedTimer clock;
        clock.start();
        try {
            fetch(server.url(path), quick);
            ADD_FAILURE() << "no error for " << path.toStdString();
        } catch (const DownloadError &error) {
            EXPECT_EQ(error.reason(), DownloadError::Reason::stalled);
            EXPECT_TRUE(error.localizedDescription().contains(QStringLiteral("keine Daten")));
        }
        EXPECT_LT(clock.elapsed(), 8000);
    }

    EXPECT_THROW(fetch(server.url(QStringLiteral("/cut"))), DownloadError);
    EXPECT_THROW(fetch(server.url(QStringLiteral("/cut-chunks"))), DownloadError);
    // Answers outside success are returned, and write nothing.
    server.route("/gone", HttpResponse::withStatus(404, "no such file\n"));
    EXPECT_EQ(fetch(server.url(QStringLiteral("/gone"))).status, 404);

    // A redirect from HTTPS down to plain HTTP is not followed.
    HttpTestServer plain;
    plain.route("/image", HttpResponse::ok(body));
    server.route("/downgrade", HttpResponse::redirect(plain.url(QStringLiteral("/image")).toEncoded()));
    EXPECT_EQ(fetch(server.url(QStringLiteral("/downgrade"))).status, 302);
    EXPECT_EQ(plain.count("GET", "/image"), 0);

    // A client that does not trust the test authority refuses the server.
    QNetworkAccessManager fresh;
    QNetworkRequest request(server.url(QStringLiteral("/cut")));
    try {
        runSync(downloadToFile(&fresh, request, target()), 30s);
        ADD_FAILURE() << "untrusted certificate accepted";
    } catch (const DownloadError &error) {
        EXPECT_EQ(error.reason(), DownloadError::Reason::transport);
    }

    EXPECT_EQ(readWholeFile(target()), "old");
    EXPECT_EQ(leftovers(), QStringList{QStringLiteral("file.bin")});
}

// HTTP/2 ends every body with its stream, so a body without a length is
// whole when the stream ends well; a stream reset or a connection lost
// mid-body fails the download. HTTP/1.1 over TLS has no such end.
TEST_F(Download, AnHttp2BodyWithoutALengthEndsWithItsStreamAndACutStreamFails)
{
    QString whyNot;
    if (!Http2TestServer::available(&whyNot))
        GTEST_SKIP() << whyNot.toStdString();
    const QByteArray body = randomBytes(3 * 1024 * 1024 + 5);
    const QString source = scratch() + QStringLiteral("/source.bin");
    writeFileAtomically(source, body);
    Http2Route whole;
    whole.file = source;
    Http2Route reset = whole;
    reset.resetAfter = 1024 * 1024;
    Http2Route resetWithoutError = reset;
    resetWithoutError.resetWithoutError = true;
    Http2Route dropped = whole;
    dropped.closeAfter = 1024 * 1024;
    Http2TestServer server(
        {{"/whole", whole}, {"/reset", reset}, {"/reset-no-error", resetWithoutError}, {"/dropped", dropped}});

    DownloadOptions strict;
    strict.requireVerifiableEnd = true;
    QList<qint64> announced;
    strict.onProgress = [&announced](qint64, qint64 expected) { announced.append(expected); };
    const DownloadResult result = fetch(server.url(QStringLiteral("/whole")), strict);
    EXPECT_EQ(result.status, 200);
    EXPECT_EQ(result.bytes, body.size());
    EXPECT_EQ(readWholeFile(target()), body);
    EXPECT_EQ(server.count("/whole"), 1);  // chosen as h2 in the handshake
    ASSERT_FALSE(announced.isEmpty());
    EXPECT_EQ(announced.first(), -1);  // no length was sent

    strict.onProgress = {};
    for (const QString &path : {QStringLiteral("/reset"), QStringLiteral("/reset-no-error"), QStringLiteral("/dropped")}) {
        for (DownloadOptions options : {strict, DownloadOptions{}}) {
            // Qt 6.4 may put a request on a connection the server just
            // dropped and never send it: each try gets a manager of its own.
            QNetworkAccessManager fresh;
            options.tlsConfiguration = HttpTestServer::clientConfiguration();
            try {
                runSync(downloadToFile(&fresh, QNetworkRequest(server.url(path)), target(), options), 60s);
                ADD_FAILURE() << "a cut stream was taken whole: " << path.toStdString();
            } catch (const DownloadError &error) {
                EXPECT_NE(error.reason(), DownloadError::Reason::unverifiable) << path.toStdString();
            }
            EXPECT_EQ(readWholeFile(target()), body) << path.toStdString();
            EXPECT_EQ(leftovers(), QStringList{QStringLiteral("file.bin")});
        }
    }
    EXPECT_EQ(server.count("/reset"), 2);

    HttpTestServer http1(HttpTestServer::Scheme::https);
    HttpResponse closes = HttpResponse::ok(body);
    closes.closeDelimited = true;
    http1.route("/closes", closes);
    try {
        fetch(http1.url(QStringLiteral("/closes")), strict);
        ADD_FAILURE() << "an HTTP/1.1 body delimited by the close was taken";
    } catch (const DownloadError &error) {
        EXPECT_EQ(error.reason(), DownloadError::Reason::unverifiable);
    }
    EXPECT_EQ(readWholeFile(target()), body);
}

// Partials are told apart by who holds them: one that this process still
// writes is never taken for an earlier run's leftover.
TEST_F(Download, APartialStillHeldIsLeftToItsHolderAndDownloadsIntoOneFolderAllComplete)
{
    const QString folder = scratch(QStringLiteral("downloads"));
    {
        PartialItem first(folder + QStringLiteral("/first.bin"));
        writeFileAtomically(folder + QStringLiteral("/unrelated"), "x");
        QFile written(first.path());
        ASSERT_TRUE(written.open(QIODevice::WriteOnly));
        ASSERT_EQ(written.write("begun"), 5);
        written.close();
        PartialItem second(folder + QStringLiteral("/second.bin"));
        PartialItem again(folder + QStringLiteral("/first.bin"));
        QFile kept(first.path());
        EXPECT_TRUE(kept.open(QIODevice::ReadOnly));
        EXPECT_EQ(kept.readAll(), "begun");
        EXPECT_NE(again.path(), first.path());
    }
    EXPECT_EQ(listDirectory(folder), QStringList{QStringLiteral("unrelated")});
    removeItem(folder + QStringLiteral("/unrelated"));

    // The slow download is under way (its partial holds some of its body)
    // when the quick one starts and ends beside it.
    const QByteArray slowBody = randomBytes(384 * 1024, 1);
    const QByteArray quickBody = randomBytes(256 * 1024, 2);
    HttpTestServer server;
    HttpResponse slow = HttpResponse::ok(slowBody);
    slow.bytesPerSecond = 192 * 1024;
    server.route("/slow", slow);
    server.route("/quick", HttpResponse::ok(quickBody));
    std::optional<QString> slowOutcome;
    auto download = [](QNetworkAccessManager *network, QUrl url, QString path,
                       std::optional<QString> *outcome) -> QCoro::Task<void> {
        try {
            co_await downloadToFile(network, QNetworkRequest(url), path);
            *outcome = QStringLiteral("ok");
        } catch (const std::exception &error) {
            *outcome = describeError(error);
        }
    };
    const QString slowPath = folder + QStringLiteral("/slow.bin");
    startDetached(download(&m_network, server.url(QStringLiteral("/slow")), slowPath, &slowOutcome), "slow download");
    auto partialBytes = [&folder]() {
        for (const QString &name : listDirectory(folder)) {
            if (PartialItem::isPartialName(name))
                return QFileInfo(folder + QLatin1Char('/') + name).size();
        }
        return qint64(-1);
    };
    ASSERT_TRUE(waitUntil([&] { return partialBytes() > 0; }, 30s));
    runSync(downloadToFile(&m_network, QNetworkRequest(server.url(QStringLiteral("/quick"))),
                           folder + QStringLiteral("/quick.bin")),
            30s);
    ASSERT_TRUE(waitUntil([&] { return slowOutcome.has_value(); }, 30s));
    EXPECT_EQ(slowOutcome->toStdString(), "ok");
    EXPECT_EQ(readWholeFile(slowPath), slowBody);
    EXPECT_EQ(readWholeFile(folder + QStringLiteral("/quick.bin")), quickBody);
    EXPECT_EQ(listDirectory(folder), (QStringList{QStringLiteral("quick.bin"), QStringLiteral("slow.bin")}));
}

// The menu's "Beenden" and SIGTERM end the event loop: a download waiting
// then never resumes, and its partial goes as the application quits. The next
// attempt removes what an earlier run could not, and only that.
TEST_F(Download, ACancelOrAQuitEndsAWaitingDownloadAndItsPartial)
{
    HttpTestServer server;
    HttpResponse stalling = HttpResponse::ok(randomBytes(100 * 1024));
    stalling.stallAfter = 1000;
    server.route("/stall", stalling);
    const QString lookalike = QStringLiteral(".file.bin.trellium-partial-notours");
    writeFileAtomically(scratch(QStringLiteral("downloads")) + "/.file.bin.trellium-partial-0123456789abcdef", "old");
    writeFileAtomically(scratch(QStringLiteral("downloads")) + "/" + lookalike, "someone else's");

    DownloadOptions options;
    std::optional<bool> cancelled;
    auto download = [](QNetworkAccessManager *network, QNetworkRequest request, QString path, DownloadOptions options,
                       std::optional<bool> *cancelled) -> QCoro::Task<void> {
        try {
            co_await downloadToFile(network, request, path, options);
            *cancelled = false;
        } catch (const std::exception &error) {
            *cancelled = dynamic_cast<const CancelledError *>(&error) != nullptr;
        }
    };
    QNetworkRequest request(server.url(QStringLiteral("/stall")));
    startDetached(download(&m_network, request, target(), options, &cancelled), "download");
    EXPECT_EQ(leftovers().size(), 2);  // its own partial and the lookalike
    QTimer::singleShot(0, []() { QCoreApplication::quit(); });
    QCoreApplication::exec();
    EXPECT_EQ(leftovers(), QStringList{lookalike});

    options.cancel.cancel();
    ASSERT_TRUE(waitUntil([&] { return cancelled.has_value(); }, 30s));
    EXPECT_TRUE(*cancelled);
    // Nowhere to write: fails before asking the server.
    const int asked = server.count("GET", "/stall");
    EXPECT_THROW(runSync(downloadToFile(&m_network, request, scratch() + QStringLiteral("/missing/file.bin"))),
                 FileError);
    EXPECT_EQ(server.count("GET", "/stall"), asked);

    // The network manager's owner may go away mid-transfer: its replies go
    // with it, and the download fails without touching them again.
    auto network = std::make_unique<QNetworkAccessManager>();
    QTimer::singleShot(300, [&network]() { network.reset(); });
    EXPECT_THROW(runSync(downloadToFile(network.get(), request, target()), 30s), DownloadError);
    EXPECT_EQ(leftovers(), QStringList{lookalike});
}

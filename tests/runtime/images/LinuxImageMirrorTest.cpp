#include "core/Async.h"
#include "core/Files.h"
#include "runtime/images/LinuxImageDownloadDelegate.h"
#include "runtime/images/LinuxImageManager.h"

#include "support/Http2TestServer.h"
#include "support/HttpTestServer.h"
#include "support/TestCertificates.h"
#include "support/TestEnvironment.h"

#include <QElapsedTimer>
#include <QNetworkAccessManager>
#include <QSslConfiguration>

using namespace trellium;
using namespace std::chrono_literals;
using Probe = LinuxImageManager::MirrorProbe;

namespace {

constexpr int64_t kMiB = 1024 * 1024;

QByteArray contentRange(int64_t total)
{
    return "bytes 0-4194303/" + QByteArray::number(qint64(total));
}

Probe probe(const QString &host, double bytesPerSecond, double latency)
{
    return Probe{QUrl("https://" + host + "/image.qcow2"), latency, bytesPerSecond, 200 * kMiB};
}

QStringList hosts(const QList<Probe> &probes)
{
    QStringList names;
    for (const Probe &p : probes)
        names << p.url.host();
    return names;
}

class LinuxImageMirrorTest : public test::DataHomeTest {
protected:
    // A file of `size` bytes that is all hole except a marker at each end.
    QString imageFile(int64_t size)
    {
        const QString path = scratch() + QStringLiteral("/image-%1.bin").arg(size);
        QFile file(path);
        EXPECT_TRUE(file.open(QIODevice::WriteOnly));
        file.write("HEAD");
        file.resize(size);
        file.seek(size - 4);
        file.write("TAIL");
        return path;
    }

    QString downloadError(const QList<QUrl> &order, const QList<Probe> &probes)
    {
        return test::errorOf([&] { runSync(images.downloadFromServers(order, probes, target(), {}, {})); });
    }

    QString target() const { return dataHome() + QStringLiteral("/download.img"); }

    test::HttpRequest lastRequest(const QByteArray &path) const
    {
        test::HttpRequest last;
        for (const test::HttpRequest &request : server.requests()) {
            if (request.path == path)
                last = request;
        }
        return last;
    }

    test::HttpTestServer server;
    LinuxImageManager::Dependencies dependencies = [] {
        LinuxImageManager::Dependencies d;
        d.probeTimeout = 5s;
        d.downloadLimits.idle = 1s;
        return d;
    }();
    LinuxImageManager images{LinuxDiskManager(), dependencies};
};

} // namespace

TEST_F(LinuxImageMirrorTest, ProbeAcceptsOnlyAFullRangeAnswerOfALargeEnoughFileAndRanksByAStableInsertionSort)
{
    const QUrl url("https://mirror.example/image.qcow2");
    const auto good = LinuxImageManager::evaluateProbe(url, 206, kMiB, contentRange(104'857'601), 0.5);
    ASSERT_TRUE(good);
    EXPECT_EQ(good->expectedBytes, 104'857'601);
    EXPECT_DOUBLE_EQ(good->bytesPerSecond, 2.0 * kMiB);

    // Body length, status and an unknown total are seen over HTTP below.
    EXPECT_FALSE(LinuxImageManager::evaluateProbe(url, 206, kMiB, contentRange(104'857'600), 0.5));
    EXPECT_FALSE(LinuxImageManager::evaluateProbe(url, 206, kMiB, "bytes 0-4194303/", 0.5));
    EXPECT_FALSE(LinuxImageManager::evaluateProbe(url, 206, kMiB, {}, 0.5));

    // Faster than a millisecond counts as one.
    const auto instant = LinuxImageManager::evaluateProbe(url, 206, kMiB, contentRange(200 * kMiB), 0.0);
    ASSERT_TRUE(instant);
    EXPECT_DOUBLE_EQ(instant->latency, 0.001);
    EXPECT_DOUBLE_EQ(instant->bytesPerSecond, double(kMiB) * 1000);

    // Content-Range totals are read strictly.
    EXPECT_EQ(LinuxImageManager::contentRangeTotal("bytes 0-1/123456789012"), 123456789012);
    EXPECT_EQ(LinuxImageManager::contentRangeTotal("bytes 0-1//500//"), 500);  // empty pieces dropped
    EXPECT_EQ(LinuxImageManager::contentRangeTotal("bytes 0-1/+500"), 500);
    EXPECT_EQ(LinuxImageManager::contentRangeTotal("bytes 0-1/9223372036854775807"), INT64_MAX);
    EXPECT_FALSE(LinuxImageManager::contentRangeTotal("bytes 0-1/9223372036854775808"));  // overflow
    EXPECT_FALSE(LinuxImageManager::contentRangeTotal("bytes 0-1/99999999999999999999999"));
    EXPECT_FALSE(LinuxImageManager::contentRangeTotal("bytes 0-1/ 500"));
    EXPECT_FALSE(LinuxImageManager::contentRangeTotal("bytes 0-1/500 "));
    EXPECT_FALSE(LinuxImageManager::contentRangeTotal("bytes 0-1/0x500"));
    EXPECT_FALSE(LinuxImageManager::contentRangeTotal("bytes 0-1/-"));
    EXPECT_FALSE(LinuxImageManager::contentRangeTotal("///"));

    // Ranking is a stable insertion sort. The tie band is not transitive: a~b and b~c by speed, but a and c are
    // 100 kB/s apart. Insertion keeps this well defined: b goes before a on
    // latency, c (faster than a by more than the band, tied with b) stops
    // behind b because it is slower in latency than b.
    const QList<Probe> finishing{probe("a", 1'000'000, 0.30), probe("b", 1'050'000, 0.10),
                                 probe("c", 1'100'000, 0.20)};
    EXPECT_EQ(hosts(LinuxImageManager::rankProbes(finishing)), (QStringList{"b", "c", "a"}));

    // Exactly the band apart is still a tie (latency decides); more is not.
    EXPECT_EQ(hosts(LinuxImageManager::rankProbes({probe("slow", 1'000'000, 0.1), probe("fast", 1'065'536, 0.2)})),
              (QStringList{"slow", "fast"}));
    EXPECT_EQ(hosts(LinuxImageManager::rankProbes({probe("slow", 1'000'000, 0.1), probe("fast", 1'065'536.5, 0.2)})),
              (QStringList{"fast", "slow"}));

    // Equal in both: finishing order stays, for any number of them.
    const QList<Probe> equal{probe("x", 5e6, 0.1), probe("y", 5e6, 0.1), probe("z", 5e6, 0.1), probe("w", 5e6, 0.1)};
    EXPECT_EQ(hosts(LinuxImageManager::rankProbes(equal)), (QStringList{"x", "y", "z", "w"}));

    const QList<Probe> many{probe("d", 1e6, 0.4), probe("e", 9e6, 0.9), probe("f", 1.02e6, 0.1), probe("g", 9.01e6, 0.5)};
    EXPECT_EQ(hosts(LinuxImageManager::rankProbes(many)), (QStringList{"g", "e", "f", "d"}));

    // The download order and the labels follow the probes.
    const QList<QUrl> table{QUrl("https://one.example/i"), QUrl("https://two.example/i"), QUrl("https://three.example/i")};
    const QList<Probe> ranked{Probe{table[2], 0.1, 12.34 * kMiB, 200 * kMiB}, Probe{table[0], 0.1, 100, 200 * kMiB}};
    EXPECT_EQ(LinuxImageManager::downloadOrder(ranked, table), (QList<QUrl>{table[2], table[0], table[1]}));
    EXPECT_EQ(LinuxImageManager::downloadOrder({}, table), table);

    EXPECT_EQ(LinuxImageManager::mirrorLabel(table[2], ranked), QStringLiteral("three.example \u00B7 Test 12.3 MB/s"));
    EXPECT_EQ(LinuxImageManager::mirrorLabel(table[1], ranked), QStringLiteral("two.example"));
}

TEST_F(LinuxImageMirrorTest, ProbesOverHttpRejectServersThatIgnoreRangesOrReportTooLittle)
{
    const QString file = imageFile(110 * kMiB);
    // A 206 answer of its own making, whatever was asked.
    auto partial = [](int64_t bodyBytes, const QByteArray &range) {
        test::HttpResponse response = test::HttpResponse::ok(QByteArray(bodyBytes, 'x'));
        response.status = 206;
        response.headers.append({"Content-Range", range});
        return response;
    };
    server.route("/ranges.img", test::HttpResponse::file(file));
    server.route("/whole.img", test::HttpResponse::file(file, false));
    server.route("/short.img", partial(kMiB - 1, contentRange(110 * kMiB)));
    server.route("/just-enough.img", partial(kMiB, contentRange(110 * kMiB)));
    server.route("/unknown-total.img", partial(4 * kMiB, "bytes 0-4194303/*"));
    server.route("/small.img", test::HttpResponse::file(imageFile(100 * kMiB)));

    const auto good = runSync(images.probeMirror(server.url("/ranges.img")));
    ASSERT_TRUE(good);
    EXPECT_EQ(good->expectedBytes, 110 * kMiB);
    EXPECT_GT(good->bytesPerSecond, 0);
    const test::HttpRequest asked = lastRequest("/ranges.img");
    EXPECT_EQ(asked.header("range"), QByteArray("bytes=0-4194303"));
    EXPECT_EQ(asked.header("accept-encoding"), QByteArray("identity"));

    EXPECT_TRUE(runSync(images.probeMirror(server.url("/just-enough.img"))));
    EXPECT_FALSE(runSync(images.probeMirror(server.url("/short.img"))));
    EXPECT_FALSE(runSync(images.probeMirror(server.url("/unknown-total.img"))));
    EXPECT_FALSE(runSync(images.probeMirror(server.url("/small.img"))));
    EXPECT_FALSE(runSync(images.probeMirror(server.url("/missing.img"))));
    EXPECT_FALSE(runSync(images.probeMirror(QUrl("http://127.0.0.1:1/closed.img"))));

    // A mirror that sends its clients on is judged by where it sends them;
    // the probe keeps the address it was given.
    auto movedTo = [&](const QString &path) {
        test::HttpResponse moved = test::HttpResponse::redirect(server.url(path).toEncoded());
        moved.body = "<html><body>Moved</body></html>";
        return moved;
    };
    server.route("/moved.img", movedTo(QStringLiteral("/ranges.img")));
    server.route("/moved-whole.img", movedTo(QStringLiteral("/whole.img")));
    const auto followed = runSync(images.probeMirror(server.url("/moved.img")));
    ASSERT_TRUE(followed);
    EXPECT_EQ(followed->url, server.url("/moved.img"));
    EXPECT_EQ(followed->expectedBytes, 110 * kMiB);
    EXPECT_EQ(lastRequest("/ranges.img").header("range"), QByteArray("bytes=0-4194303"));
    EXPECT_FALSE(runSync(images.probeMirror(server.url("/moved-whole.img"))));

    // All at once; the one ignoring the range is dropped as soon as its
    // headers arrive, long before its 110 MiB could, and so is one that
    // stalls after them, long before its idle bound.
    test::HttpResponse silent = test::HttpResponse::file(file, false);
    silent.stallAfter = 0;
    server.route("/silent.img", silent);
    LinuxImageManager::Dependencies patient = dependencies;
    patient.probeTimeout = 10min;
    const QList<QUrl> urls{server.url("/whole.img"), server.url("/ranges.img"), server.url("/short.img"),
                           server.url("/silent.img")};
    const auto ranked = runSync(LinuxImageManager(LinuxDiskManager(), patient).probeMirrors(urls), 60s);
    ASSERT_EQ(ranked.size(), 1);
    EXPECT_EQ(ranked.first().url, server.url("/ranges.img"));
    EXPECT_EQ(LinuxImageManager::downloadOrder(ranked, urls),
              (QList<QUrl>{server.url("/ranges.img"), server.url("/whole.img"), server.url("/short.img"),
                           server.url("/silent.img")}));

    // A server that keeps sending, too slowly to ever finish the range,
    // fails in a bounded time: every preparation waits for all probes.
    test::HttpResponse trickle = test::HttpResponse::file(file);
    trickle.bytesPerSecond = 64 * 1024;
    server.route("/trickle.img", trickle);
    LinuxImageManager::Dependencies quick = dependencies;
    quick.probeTimeout = 400ms;
    QElapsedTimer clock;
    clock.start();
    EXPECT_FALSE(runSync(LinuxImageManager(LinuxDiskManager(), quick).probeMirror(server.url("/trickle.img")), 30s));
    EXPECT_LT(clock.elapsed(), 10000);
}

TEST_F(LinuxImageMirrorTest, DownloadStreamsToAPartFileReplacesAnOldOneAndThrottlesProgress)
{
    const QString file = imageFile(40 * kMiB);
    server.route("/image.img", test::HttpResponse::file(file));
    writeFileAtomically(target(), "left from an earlier attempt");

    QList<int64_t> written;
    LinuxImageDownloadDelegate delegate(target(), [&](int64_t w, int64_t expected) {
        EXPECT_EQ(expected, 40 * kMiB);
        written << w;
    });
    QNetworkAccessManager network;
    runSync(delegate.download(&network, server.url("/image.img"), {}));
    EXPECT_EQ(fileSize(target()), 40 * kMiB);
    EXPECT_EQ(listDirectory(dataHome()).filter("download"), QStringList{"download.img"});
    ASSERT_FALSE(written.isEmpty());
    EXPECT_EQ(written.last(), 40 * kMiB);
    QFile result(target());
    ASSERT_TRUE(result.open(QIODevice::ReadOnly));
    EXPECT_EQ(result.read(4), "HEAD");
    result.seek(40 * kMiB - 4);
    EXPECT_EQ(result.read(4), "TAIL");
    EXPECT_EQ(lastRequest("/image.img").header("accept-encoding"), QByteArray("identity"));

    // Progress is throttled by time and bytes, except the final report.
    auto now = std::chrono::steady_clock::time_point{} + 100s;
    QList<QPair<int64_t, int64_t>> reports;
    LinuxImageDownloadDelegate throttled(target(), [&](int64_t w, int64_t expected) { reports.append({w, expected}); },
                                         [&] { return now; });
    auto at = [&](std::chrono::milliseconds offset, int64_t w, int64_t expected) {
        now = std::chrono::steady_clock::time_point{} + 100s + offset;
        throttled.bytesWritten(w, expected);
    };
    at(0ms, 1 * kMiB, 100 * kMiB);      // the first always reports
    at(300ms, 2 * kMiB, 100 * kMiB);    // too soon, too little
    at(600ms, 9 * kMiB, 100 * kMiB);    // 8 MiB more
    at(700ms, 10 * kMiB, 100 * kMiB);   // too soon again
    at(1400ms, 11 * kMiB, 100 * kMiB);  // 0.8 s since the last
    at(1410ms, 100 * kMiB, 100 * kMiB); // complete
    EXPECT_EQ(reports, (QList<QPair<int64_t, int64_t>>{
                           {1 * kMiB, 100 * kMiB}, {9 * kMiB, 100 * kMiB}, {11 * kMiB, 100 * kMiB}, {100 * kMiB, 100 * kMiB}}));

    // Without a known length the last chunk is not special.
    reports.clear();
    at(1500ms, 101 * kMiB, -1);
    EXPECT_TRUE(reports.isEmpty());
    at(2200ms, 102 * kMiB, -1);
    EXPECT_EQ(reports.size(), 1);
}

TEST_F(LinuxImageMirrorTest, AFailingServerIsReportedAndTheNextOneTried)
{
    const QString file = imageFile(120 * kMiB);
    test::HttpResponse stalls = test::HttpResponse::file(file);
    stalls.stallAfter = 3 * kMiB;
    server.route("/stalls.img", stalls);
    test::HttpResponse gone = test::HttpResponse::file(file);
    gone.status = 404;
    server.route("/gone.img", gone);
    server.route("/good.img", test::HttpResponse::file(file));
    server.route("/shorter.img", test::HttpResponse::file(imageFile(110 * kMiB)));
    // Unprobed, and the end of its body only its closing tells: cut there, it
    // would pass for whole.
    test::HttpResponse closes = test::HttpResponse::file(file, false);
    closes.closeDelimited = true;
    closes.closeAfter = 35 * kMiB;
    server.route("/closes.img", closes);

    // A body of unknown end, a stall mid-body, then a 404 body of the right
    // size: all are failures, and none leaves a file; the last server delivers.
    QStringList labels;
    const QUrl good = server.url("/good.img");
    const QList<QUrl> order{server.url("/closes.img"), server.url("/stalls.img"), server.url("/gone.img"), good};
    const QUrl used = runSync(images.downloadFromServers(order, {}, target(), {}, [&](const QString &label) { labels << label; }), 60s);
    EXPECT_EQ(used, good);
    EXPECT_EQ(labels, (QStringList{"127.0.0.1", "127.0.0.1", "127.0.0.1", "127.0.0.1"}));
    EXPECT_EQ(fileSize(target()), 120 * kMiB);

    // A file of another size than its probe announced: code 4, and the
    // next server; when none is left, code 5 with every server's text.
    const QList<Probe> probes{Probe{server.url("/shorter.img"), 0.1, 1e6, 120 * kMiB}};
    const QString text = downloadError({server.url("/shorter.img"), server.url("/gone.img")}, probes);
    EXPECT_EQ(text, QStringLiteral("Kein Downloadserver war erfolgreich. "
                                   "127.0.0.1: Unvollständiger Download (115343360 von 125829120 Bytes). \u00B7 "
                                   "127.0.0.1: Der Server antwortete mit HTTP-Status 404."));
    EXPECT_FALSE(itemExists(target()));
    EXPECT_EQ(listDirectory(dataHome()).filter("download"), QStringList());

    const QString stalled = downloadError({server.url("/stalls.img")}, {});
    EXPECT_TRUE(stalled.contains(QStringLiteral("1 s lang keine Daten"))) << qPrintable(stalled);

    // A body that runs on past what the probe announced (here without a
    // length) is cut there, not written to the disk until the time limit;
    // without a probe, at the bound for unprobed servers.
    test::HttpResponse endless = test::HttpResponse::file(imageFile(400 * kMiB));
    endless.chunked = true;
    server.route("/endless.img", endless);
    const QString cut = downloadError({server.url("/endless.img")}, {Probe{server.url("/endless.img"), 0.1, 1e6, 110 * kMiB}});
    EXPECT_TRUE(cut.contains(QStringLiteral("größer als erlaubt (mehr als 115343360 Bytes)"))) << qPrintable(cut);
    LinuxImageManager::Dependencies bounded = dependencies;
    bounded.downloadLimits.unprobedMaximumBytes = 150 * kMiB;
    const QString unprobed = test::errorOf([&] {
        runSync(LinuxImageManager(LinuxDiskManager(), bounded).downloadFromServers({server.url("/endless.img")}, {}, target(), {}, {}));
    });
    EXPECT_TRUE(unprobed.contains(QStringLiteral("größer als erlaubt (mehr als 157286400 Bytes)"))) << qPrintable(unprobed);
    EXPECT_EQ(listDirectory(dataHome()).filter("download"), QStringList());
}

namespace {

// The process trusts the test authority while alive, as the image manager's
// own network managers use the default TLS configuration.
class TrustTestAuthority {
public:
    TrustTestAuthority() : m_previous(QSslConfiguration::defaultConfiguration())
    {
        QSslConfiguration trusting = m_previous;
        trusting.addCaCertificate(test::TestCertificates::shared().authority);
        QSslConfiguration::setDefaultConfiguration(trusting);
    }
    ~TrustTestAuthority() { QSslConfiguration::setDefaultConfiguration(m_previous); }
    TrustTestAuthority(const TrustTestAuthority &) = delete;
    TrustTestAuthority &operator=(const TrustTestAuthority &) = delete;

private:
    QSslConfiguration m_previous;
};

} // namespace

// An HTTPS mirror that answers over HTTP/2 sends no length: its stream's end
// delimits the image, and a stream reset mid-body is a failure, not an image.
TEST_F(LinuxImageMirrorTest, AnUnprobedHttp2MirrorWithoutALengthDeliversTheWholeImage)
{
    QString whyNot;
    if (!test::Http2TestServer::available(&whyNot))
        GTEST_SKIP() << whyNot.toStdString();
    const QString file = imageFile(24 * kMiB);
    test::Http2Route whole;
    whole.file = file;
    test::Http2Route reset = whole;
    reset.resetAfter = 8 * kMiB;
    test::Http2TestServer mirror({{"/image.img", whole}, {"/reset.img", reset}});
    const TrustTestAuthority trust;

    QStringList labels;
    const QUrl used = runSync(images.downloadFromServers({mirror.url("/reset.img"), mirror.url("/image.img")}, {},
                                                         target(), {}, [&](const QString &label) { labels << label; }),
                              60s);
    EXPECT_EQ(used, mirror.url("/image.img"));
    EXPECT_EQ(labels.size(), 2);
    EXPECT_EQ(mirror.count("/image.img"), 1);
    EXPECT_EQ(fileSize(target()), 24 * kMiB);
    QFile result(target());
    ASSERT_TRUE(result.open(QIODevice::ReadOnly));
    EXPECT_EQ(result.read(4), "HEAD");
    result.seek(24 * kMiB - 4);
    EXPECT_EQ(result.read(4), "TAIL");
}

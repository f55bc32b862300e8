// wan_proxy: a loopback TCP proxy that makes a far, slow link out of a local
// one, for benchmarks. Each direction adds a fixed delay and is capped at a
// rate shared by all connections. The first line on standard output is
// "listening 127.0.0.1:PORT", as update_service prints it.
#include "wanproxy.h"

#include <QCommandLineParser>
#include <QCoreApplication>
#include <QHostAddress>

#include <cstdio>
#include <iostream>

namespace {

int usageError(const QString &text)
{
    std::cerr << "wan_proxy: " << text.toStdString() << std::endl;
    return 2;
}

} // namespace

int main(int argc, char *argv[])
{
    QCoreApplication app(argc, argv);
    QCoreApplication::setApplicationName(QStringLiteral("wan_proxy"));

    QCommandLineParser parser;
    parser.setApplicationDescription(QStringLiteral("Forwards loopback TCP connections over a simulated slow link."));
    parser.addHelpOption();
    const QCommandLineOption listenOption(QStringLiteral("listen-port"), QStringLiteral("Port; 0 picks a free one."),
                                          QStringLiteral("N"), QStringLiteral("0"));
    const QCommandLineOption targetOption(QStringLiteral("target"), QStringLiteral("Loopback address to forward to."),
                                          QStringLiteral("HOST:PORT"));
    const QCommandLineOption delayOption(QStringLiteral("delay-ms"), QStringLiteral("One-way delay per direction."),
                                         QStringLiteral("MS"), QStringLiteral("0"));
    const QCommandLineOption rateOption(QStringLiteral("rate-mbit"),
                                        QStringLiteral("Rate cap per direction in Mbit/s; 0: none."),
                                        QStringLiteral("MBIT"), QStringLiteral("0"));
    parser.addOptions({listenOption, targetOption, delayOption, rateOption});
    parser.process(app);

    bool ok = false;
    const uint listenPort = parser.value(listenOption).toUInt(&ok);
    if (!ok || listenPort > 65535)
        return usageError(QStringLiteral("bad --listen-port"));
    const double delayMs = parser.value(delayOption).toDouble(&ok);
    if (!ok || delayMs < 0 || delayMs > 60'000)
        return usageError(QStringLiteral("bad --delay-ms (0 to 60000)"));
    const double rateMbit = parser.value(rateOption).toDouble(&ok);
    if (!ok || rateMbit < 0 || rateMbit > 100'000)
        return usageError(QStringLiteral("bad --rate-mbit (0 to 100000)"));

    const QString target = parser.value(targetOption);
    const int colon = target.lastIndexOf(QLatin1Char(':'));
    QHostAddress host(target.left(colon) == QLatin1String("localhost") ? QStringLiteral("127.0.0.1")
                                                                        : target.left(colon));
    const uint targetPort = target.mid(colon + 1).toUInt(&ok);
    // A benchmark tool: it only ever talks to servers on this machine.
    if (colon < 0 || !ok || targetPort == 0 || targetPort > 65535 || host.protocol() != QAbstractSocket::IPv4Protocol
        || !host.isLoopback())
        return usageError(QStringLiteral("--target must be a loopback IPv4 HOST:PORT"));

    const auto delayNs = static_cast<qint64>(delayMs * 1e6);
    const auto bytesPerSecond = static_cast<qint64>(rateMbit * 1e6 / 8);
    WanProxy proxy(host.toIPv4Address(), static_cast<quint16>(targetPort), delayNs, bytesPerSecond);
    if (!proxy.listen(QHostAddress::LocalHost, static_cast<quint16>(listenPort))) {
        std::cerr << "wan_proxy: cannot listen on 127.0.0.1:" << listenPort << ": "
                  << proxy.errorString().toStdString() << std::endl;
        return 1;
    }
    std::printf("listening 127.0.0.1:%u\n", static_cast<unsigned>(proxy.serverPort()));
    std::fflush(stdout);
    return QCoreApplication::exec();
}

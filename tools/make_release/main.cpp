#include "tools/make_release/creleasepublisher.h"

#include <QCommandLineParser>
#include <QCoreApplication>
#include <QElapsedTimer>
#include <QTextStream>

#include <cstdio>

// make_release --source DIR --version V --folder NAME --output OUTDIR [--encoding utf-8|gbk]
//              [--sign KEYFILE [--sign KEYFILE...] [--expires-days N] [--sequence N]] [--connections N]
// make_release --keygen KEYFILE
//
// Exit codes: 0 published, 1 publishing failed, 2 bad command line.
int main(int argc, char *argv[])
{
    QCoreApplication app(argc, argv);
    QCoreApplication::setApplicationName(QStringLiteral("make_release"));

    QCommandLineParser parser;
    parser.setApplicationDescription(QStringLiteral(
        "Publishes a client release as the tree an HTTP update server serves: "
        "OUTDIR/update.ini, OUTDIR/NAME/md5.txt and OUTDIR/NAME/<files>."));
    parser.addHelpOption();
    const QCommandLineOption source(QStringLiteral("source"), QStringLiteral("Directory holding the client release."),
                                    QStringLiteral("DIR"));
    const QCommandLineOption version(QStringLiteral("version"), QStringLiteral("Version text of the release."),
                                     QStringLiteral("V"));
    const QCommandLineOption folder(QStringLiteral("folder"), QStringLiteral("Release folder name on the server."),
                                    QStringLiteral("NAME"));
    const QCommandLineOption output(QStringLiteral("output"), QStringLiteral("Root of the server tree to write."),
                                    QStringLiteral("OUTDIR"));
    const QCommandLineOption encoding(QStringLiteral("encoding"),
                                      QStringLiteral("Encoding of md5.txt: utf-8 (default) or gbk."),
                                      QStringLiteral("ENC"), QStringLiteral("utf-8"));
    const QCommandLineOption keygen(QStringLiteral("keygen"),
                                    QStringLiteral("Write a new Ed25519 key pair: the private key to FILE, the public "
                                                   "key (for system.cfg PublicKey=) to standard output."),
                                    QStringLiteral("FILE"));
    const QCommandLineOption sign(QStringLiteral("sign"),
                                  QStringLiteral("Sign the release with the private key in FILE (repeat to sign "
                                                 "with several keys while moving to a new one)."),
                                  QStringLiteral("FILE"));
    const QCommandLineOption expiresDays(QStringLiteral("expires-days"),
                                         QStringLiteral("Days until the signature expires (default 30)."),
                                         QStringLiteral("N"), QStringLiteral("30"));
    const QCommandLineOption sequence(QStringLiteral("sequence"),
                                      QStringLiteral("Sequence of the signed release (default: the highest in "
                                                     "OUTDIR + 1)."),
                                      QStringLiteral("N"));
    const QCommandLineOption connections(QStringLiteral("connections"),
                                         QStringLiteral("Connections a client may use for the files, 1 to 8 "
                                                        "(default 6; 1: one file after another)."),
                                         QStringLiteral("N"), QStringLiteral("6"));
    parser.addOptions({source, version, folder, output, encoding, keygen, sign, expiresDays, sequence, connections});
    parser.process(app);

    QTextStream err(stderr);
    if (parser.isSet(keygen)) {
        QString publicKey;
        QString error;
        if (!CReleasePublisher::generateKeyPair(parser.value(keygen), &publicKey, &error)) {
            err << "make_release: " << error << '\n';
            return 1;
        }
        QTextStream(stdout) << publicKey << '\n';
        return 0;
    }
    bool daysOk = false;
    const int days = parser.value(expiresDays).toInt(&daysOk);
    bool sequenceOk = !parser.isSet(sequence);
    const qint64 sequenceValue = parser.isSet(sequence) ? parser.value(sequence).toLongLong(&sequenceOk) : -1;
    bool connectionsOk = false;
    const int connectionsValue = parser.value(connections).toInt(&connectionsOk);
    if (!daysOk || !sequenceOk || sequenceValue < -1 || !connectionsOk) {
        err << "make_release: --expires-days, --sequence and --connections take a number\n";
        return 2;
    }
    if (!parser.isSet(source) || !parser.isSet(version) || !parser.isSet(folder) || !parser.isSet(output)) {
        err << "make_release: --source, --version, --folder and --output are all required\n\n"
            << parser.helpText();
        return 2;
    }
    if (!parser.positionalArguments().isEmpty()) {
        err << "make_release: unexpected argument " << parser.positionalArguments().constFirst() << '\n';
        return 2;
    }

    QElapsedTimer timer;
    timer.start();
    CReleasePublisher publisher(ReleaseOptions{parser.value(source), parser.value(version), parser.value(folder),
                                               parser.value(output), parser.value(encoding), parser.values(sign), days,
                                               sequenceValue, connectionsValue});
    if (!publisher.publish()) {
        err << "make_release: " << publisher.errorString() << '\n';
        return 1;
    }
    QTextStream out(stdout);
    out << "published " << publisher.manifest().size() << " files (" << publisher.byteCount() << " bytes) as "
        << parser.value(output) << '/' << parser.value(folder) << ", version " << parser.value(version) << " in "
        << timer.elapsed() << " ms";
    if (parser.isSet(sign))
        out << ", signed (sequence " << publisher.description().sequence << ")";
    out << '\n';
    return 0;
}

#include "tcp/tcpmessages.h"
#include "tcp/tcpprotocol.h"

#include <QtTest>

using namespace TcpProtocol;

namespace {

QByteArray hex(const char *text)
{
    return QByteArray::fromHex(text);
}

QByteArray zeros(int count)
{
    return QByteArray(count, '\0');
}

// The bytes of a fixed-width text field, as a sender must produce them.
QByteArray field(const QByteArray &utf8, int width)
{
    return utf8.left(width - 1) + zeros(width - qMin(utf8.size(), width - 1));
}

} // namespace

class TestTcpProtocol : public QObject
{
    Q_OBJECT

private slots:
    void headerBytes_data();
    void headerBytes();
    void textFieldCut_data();
    void textFieldCut();
    void bodyLayouts_data();
    void bodyLayouts();
    void parsersAndShortBodies();
    void versionReplyParse_data();
    void versionReplyParse();
    void pipelineOffer_data();
    void pipelineOffer();
    void projectNames_data();
    void projectNames();
};

void TestTcpProtocol::headerBytes_data()
{
    QTest::addColumn<quint32>("type");
    QTest::addColumn<quint32>("length");
    QTest::addColumn<qint32>("projectType");
    QTest::addColumn<QByteArray>("expected");
    QTest::newRow("version check of 84 bytes, length sent as 54 00 00 00")
        << quint32(VersionCheck) << quint32(84) << 3 << hex("78563412 54000000 02000000 03000000 00000000");
    QTest::newRow("heartbeat reply without body") << quint32(HeartbeatReply) << quint32(0) << 1
                                                  << hex("78563412 00000000 01800000 01000000 00000000");
    QTest::newRow("error reply code 0xFFFF, every length byte in order")
        << quint32(ErrorReply) << quint32(0x01020304) << 6 << hex("78563412 04030201 ffff0000 06000000 00000000");
    QTest::newRow("negative project type as two's complement")
        << quint32(FileDownload) << quint32(176) << -1 << hex("78563412 b0000000 03000000 ffffffff 00000000");
}

void TestTcpProtocol::headerBytes()
{
    QFETCH(quint32, type);
    QFETCH(quint32, length);
    QFETCH(qint32, projectType);
    QFETCH(QByteArray, expected);
    QCOMPARE(buildHeader(type, length, projectType), expected);
}

void TestTcpProtocol::textFieldCut_data()
{
    QTest::addColumn<QByteArray>("utf8");
    QTest::addColumn<int>("width");
    QTest::addColumn<int>("sentBytes");
    QTest::newRow("31-byte version sent whole") << QByteArray(31, 'v') << 32 << 31;
    QTest::newRow("32-byte version cut to 31") << QByteArray(32, 'v') << 32 << 31;
    QTest::newRow("empty text is all NUL") << QByteArray() << 32 << 0;
    QTest::newRow("127-byte path sent whole") << QByteArray(127, 'p') << 128 << 127;
    QTest::newRow("200-byte path cut to 127") << QByteArray(200, 'p') << 128 << 127;
    // 11 × 3 bytes: the cut at 31 bytes splits the eleventh character.
    QTest::newRow("multi-byte text cut inside a character") << QByteArray("版").repeated(11) << 32 << 31;
}

void TestTcpProtocol::textFieldCut()
{
    QFETCH(QByteArray, utf8);
    QFETCH(int, width);
    QFETCH(int, sentBytes);

    const QString text = QString::fromUtf8(utf8);
    QCOMPARE(fieldBytes(text, width), utf8.left(sentBytes));
    QCOMPARE(fitsField(text, width), utf8.size() <= width - 1);
    QByteArray bytes(width, '\0');
    writeTextField(bytes.data(), width, text);
    QCOMPARE(bytes, field(utf8, width));
    QCOMPARE(readTextField(bytes.constData(), width), QString::fromUtf8(utf8.left(sentBytes)));
}

void TestTcpProtocol::bodyLayouts_data()
{
    QTest::addColumn<QByteArray>("body");
    QTest::addColumn<QByteArray>("expected");

    QTest::newRow("heartbeat: time stamp as 8 little-endian bytes")
        << TcpMessages::buildHeartbeat(Q_INT64_C(1700000000000)) << hex("0068e5cf8b010000");
    QTest::newRow("version check: version, client id, project type, 16 reserved")
        << TcpMessages::buildVersionCheck({QStringLiteral("1.2.3"), QStringLiteral("1"), 5})
        << field("1.2.3", 32) + field("1", 32) + hex("05000000") + zeros(16);
    QTest::newRow("version check: empty client id sent as Zentrovian, 40-byte version cut")
        << TcpMessages::buildVersionCheck({QString(40, QLatin1Char('9')), QString(), -2})
        << field(QByteArray(40, '9'), 32) + field("Zentrovian", 32) + hex("feffffff") + zeros(16);
    QTest::newRow("file download: path 128, name 32, 16 reserved")
        << TcpMessages::buildFileDownload(QStringLiteral("bin/plugins"), QStringLiteral("core.dll"))
        << field("bin/plugins", 128) + field("core.dll", 32) + zeros(16);
    QTest::newRow("file download from an offset: WIN 01 at 160, the offset at 164")
        << TcpMessages::buildFileDownload(QString(), QStringLiteral("big.bin"), 0x01020304u)
        << zeros(128) + field("big.bin", 32) + hex("57494e01 04030201") + zeros(8);

    const QVector<RemoteFileEntry> files = {TcpMessages::makeRemoteFileEntry(QStringLiteral("bin"), QStringLiteral("a.dll")),
                                            TcpMessages::makeRemoteFileEntry(QString(), QStringLiteral("client.exe"))};
    QTest::newRow("version reply: project type unaligned at 33, count at 53, 180-byte records")
        << TcpMessages::buildVersionReply(true, QStringLiteral("1.1.0"), 3, files)
        << QByteArray("\x01") + field("1.1.0", 32) + hex("03000000") + zeros(16) + hex("02000000")
               + field("bin", 128) + field("a.dll", 32) + zeros(20) + zeros(128) + field("client.exe", 32) + zeros(20);
    QTest::newRow("file data: sizes, last flag, auxiliary word unaligned at 169, chunk")
        << TcpMessages::buildFileData(QStringLiteral("p"), QStringLiteral("n.bin"), 0x01020304u, true, 0xAABBCCDDu,
                                      "0123456789")
        << field("p", 128) + field("n.bin", 32) + hex("04030201 0a000000 01 ddccbbaa") + "0123456789";
    QTest::newRow("file data header alone announces the chunk")
        << TcpMessages::buildFileDataHeader(QString(), QStringLiteral("n"), 8192, 4096, false, 4096)
        << zeros(128) + field("n", 32) + hex("00200000 00100000 00 00100000");
}

void TestTcpProtocol::bodyLayouts()
{
    QFETCH(QByteArray, body);
    QFETCH(QByteArray, expected);
    QCOMPARE(body, expected);
}

void TestTcpProtocol::parsersAndShortBodies()
{
    // A body one byte short of its fixed part is refused (version replies: below).
    VersionCheckRequest request;
    QVERIFY(!TcpMessages::parseVersionCheck(QByteArray(kVersionCheckSize - 1, '1'), &request));
    FileItem item;
    QVERIFY(!TcpMessages::parseFileDownload(QByteArray(kFileDownloadSize - 1, 'a'), &item));
    quint32 startAt = 7;
    QVERIFY(TcpMessages::parseFileDownload(TcpMessages::buildFileDownload(QString(), QStringLiteral("f"), 9000), &item,
                                           &startAt));
    QCOMPARE(startAt, 9000u);
    QByteArray unmarked = TcpMessages::buildFileDownload(QString(), QStringLiteral("f"), 9000);
    unmarked[160] = 'X'; // an offset without the marker is no offset
    QVERIFY(TcpMessages::parseFileDownload(unmarked, &item, &startAt));
    QCOMPARE(startAt, 0u);
    FileDataChunk untouched;
    QVERIFY(!TcpMessages::parseFileData(QByteArray(kFileDataHeaderSize - 1, 'a'), &untouched));
    QVERIFY(!TcpMessages::parseFileData(QByteArray(), &untouched));
    QVERIFY(untouched.fileName.isEmpty());

    // Reserved bytes of a record reach the client as they were sent.
    RemoteFileEntry entry = TcpMessages::makeRemoteFileEntry(QStringLiteral("sub/dir"), QStringLiteral("f.txt"));
    for (int i = 160; i < kRemoteFileEntrySize; ++i)
        entry.raw[i] = static_cast<char>(i);
    VersionInfo info;
    QVERIFY(TcpMessages::parseVersionReply(TcpMessages::buildVersionReply(true, QStringLiteral("2"), 1, {entry}), &info));
    QCOMPARE(info.files.size(), 1);
    QCOMPARE(info.files.at(0).raw, entry.raw);
    QCOMPARE(info.files.at(0).path(), QStringLiteral("sub/dir"));
    QCOMPARE(info.files.at(0).name(), QStringLiteral("f.txt"));

    QByteArray data = TcpMessages::buildFileData(QStringLiteral("a/b"), QStringLiteral("c"), 5, false, 7, "hello");
    data[168] = 2; // any non-zero flag byte marks the last chunk
    FileDataChunk chunk;
    QVERIFY(TcpMessages::parseFileData(data, &chunk, true));
    QCOMPARE(chunk.filePath, QStringLiteral("a/b"));
    QCOMPARE(chunk.fileName, QStringLiteral("c"));
    QCOMPARE(chunk.totalSize, 5u);
    QCOMPARE(chunk.chunkSize, 5u);
    QVERIFY(chunk.isLast);
    QCOMPARE(chunk.auxValue, 7u);
    QCOMPARE(chunk.data, QByteArray("hello"));
    QCOMPARE(chunk.data.constData(), data.constData() + kFileDataHeaderSize); // shared, not copied
    QVERIFY(TcpMessages::parseFileData(data.left(kFileDataHeaderSize), &chunk));
    QVERIFY(chunk.data.isEmpty());

}

void TestTcpProtocol::versionReplyParse_data()
{
    QTest::addColumn<QByteArray>("body");
    QTest::addColumn<bool>("usable");
    QTest::addColumn<bool>("hasUpdate");
    QTest::addColumn<QString>("version");
    QTest::addColumn<QString>("projectName");
    QTest::addColumn<int>("fileCount");

    const QVector<RemoteFileEntry> two = {TcpMessages::makeRemoteFileEntry(QStringLiteral("d"), QStringLiteral("x")),
                                          TcpMessages::makeRemoteFileEntry(QStringLiteral("e"), QStringLiteral("y"))};
    const QByteArray full = TcpMessages::buildVersionReply(true, QStringLiteral("1.1.0"), 2, two);
    const QByteArray none = TcpMessages::buildVersionReply(false, QStringLiteral("1.0.0"), 1, {});
    const QString v110 = QStringLiteral("1.1.0");
    const QString v100 = QStringLiteral("1.0.0");

    QTest::newRow("two entries") << full << true << true << v110 << QStringLiteral("lunetta-x") << 2;
    QTest::newRow("trailing bytes after the records are ignored")
        << full + QByteArray(7, 'z') << true << true << v110 << QStringLiteral("lunetta-x") << 2;
    QTest::newRow("exactly 57 bytes, N = 0") << none << true << false << v100 << QStringLiteral("Lunetta") << 0;
    QTest::newRow("N announces more records than present: unusable")
        << full.left(57 + 180) << false << false << QString() << QString() << 0;
    QByteArray hugeCount = none;
    putUInt32(hugeCount.data() + 53, 0xFFFFFFFFu);
    QTest::newRow("count 0xFFFFFFFF does not wrap") << hugeCount << false << false << QString() << QString() << 0;
    QTest::newRow("56 bytes: too short") << full.left(56) << false << false << QString() << QString() << 0;
    QTest::newRow("empty body") << QByteArray() << false << false << QString() << QString() << 0;

    QByteArray type7 = none;
    putUInt32(type7.data() + 33, 7);
    type7[0] = 9;
    QTest::newRow("project type 7 is Unknown, any non-zero flag byte is an update")
        << type7 << true << true << v100 << QStringLiteral("Unknown") << 0;
    QByteArray fullVersion = none;
    fullVersion.replace(1, 32, QByteArray(32, 'v'));
    QTest::newRow("version field without NUL is read to its width")
        << fullVersion << true << false << QString(32, QLatin1Char('v')) << QStringLiteral("Lunetta") << 0;
}

void TestTcpProtocol::versionReplyParse()
{
    QFETCH(QByteArray, body);
    QFETCH(bool, usable);
    QFETCH(bool, hasUpdate);
    QFETCH(QString, version);
    QFETCH(QString, projectName);
    QFETCH(int, fileCount);

    VersionInfo info;
    info.version = QStringLiteral("stale");
    QCOMPARE(TcpMessages::parseVersionReply(body, &info), usable);
    QCOMPARE(info.hasUpdate, hasUpdate);
    QCOMPARE(info.version, version);
    QCOMPARE(info.projectName, projectName);
    QCOMPARE(info.files.size(), fileCount);
}

void TestTcpProtocol::pipelineOffer_data()
{
    QTest::addColumn<QByteArray>("body");
    QTest::addColumn<int>("depth");
    QTest::addColumn<bool>("startOffsets");

    const QByteArray offer = TcpMessages::buildVersionReply(true, QStringLiteral("2.0"), 1, {}, 64);
    QTest::newRow("offer of 64 after the marker at 37") << offer << 64 << false;
    QTest::newRow("no offer: zeros") << TcpMessages::buildVersionReply(true, QStringLiteral("2.0"), 1, {}) << 1 << false;
    QByteArray huge = offer;
    putUInt32(huge.data() + 41, 100000);
    QTest::newRow("a huge offer is cut") << huge << 64 << false;
    QByteArray zero = offer;
    putUInt32(zero.data() + 41, 0);
    QTest::newRow("an offer of 0 is one at a time") << zero << 1 << false;
    const QByteArray offsets = TcpMessages::buildVersionReply(true, QStringLiteral("2.0"), 1, {}, 64, 1);
    QTest::newRow("start offsets: flag 1 at 45") << offsets << 64 << true;
    QByteArray otherMarker = offsets;
    otherMarker[40] = 2;
    QTest::newRow("another format is not understood") << otherMarker << 1 << false;
}

void TestTcpProtocol::pipelineOffer()
{
    QFETCH(QByteArray, body);
    QFETCH(int, depth);
    QFETCH(bool, startOffsets);
    VersionInfo info;
    QVERIFY(TcpMessages::parseVersionReply(body, &info));
    QCOMPARE(info.pipelineDepth, depth);
    QCOMPARE(info.startOffsets, startOffsets);
}

void TestTcpProtocol::projectNames_data()
{
    QTest::addColumn<int>("code");
    QTest::addColumn<QString>("name");
    const QStringList names = {QStringLiteral("Lunetta"),  QStringLiteral("lunetta-x"), QStringLiteral("mistral run"),
                               QStringLiteral("quaywright"), QStringLiteral("Brisolde"), QStringLiteral("Tamsk Vale")};
    for (int code = 1; code <= names.size(); ++code)
        QTest::addRow("%d", code) << code << names.at(code - 1);
    QTest::newRow("0 is unknown") << 0 << QStringLiteral("Unknown");
    QTest::newRow("7 is unknown") << 7 << QStringLiteral("Unknown");
    QTest::newRow("-1 is unknown") << -1 << QStringLiteral("Unknown");
}

void TestTcpProtocol::projectNames()
{
    QFETCH(int, code);
    QFETCH(QString, name);
    QCOMPARE(projectName(code), name);
}

QTEST_GUILESS_MAIN(TestTcpProtocol)
#include "tst_tcpprotocol.moc"

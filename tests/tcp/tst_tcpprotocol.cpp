#include "tcp/tcpmessages.h"
#include "tcp/tcpprotocol.h"

#include <QtTest>

using namespace TcpProtocol;

namespace {

QByteArray hex(const char *text)
{
    return QByteArray::fromHex(text);
}

QByteArray utf8Repeat(const char *piece, int times)
{
    QByteArray bytes;
    for (int i = 0; i < times; ++i)
        bytes += piece;
    return bytes;
}

// The bytes of a fixed-width text field, as a sender must produce them.
QByteArray expectedField(const QByteArray &utf8, int width)
{
    QByteArray field = utf8.left(width - 1);
    field.append(QByteArray(width - field.size(), '\0'));
    return field;
}

} // namespace

class TestTcpProtocol : public QObject
{
    Q_OBJECT

private slots:
    void headerBytes_data();
    void headerBytes();
    void integersAreLittleEndian();
    void textFieldCut_data();
    void textFieldCut();
    void readTextFieldStopsAtNulOrWidth();
    void versionCheckLayout();
    void versionCheckEmptyClientId();
    void versionCheckRoundTrip();
    void fileDownloadLayout();
    void heartbeatBody_data();
    void heartbeatBody();
    void versionReplyLayout();
    void versionReplyParse_data();
    void versionReplyParse();
    void versionReplyKeepsRawRecords();
    void fileDataLayout();
    void fileDataParse_data();
    void fileDataParse();
    void fileDataSharedBody();
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
    QTest::newRow("error reply code 0xFFFF") << quint32(ErrorReply) << quint32(0x01020304) << 6
                                             << hex("78563412 04030201 ffff0000 06000000 00000000");
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

void TestTcpProtocol::integersAreLittleEndian()
{
    char bytes[8] = {};
    putUInt32(bytes, 0xA1B2C3D4u);
    QCOMPARE(QByteArray(bytes, 4), hex("d4c3b2a1"));
    QCOMPARE(getUInt32(bytes), 0xA1B2C3D4u);

    putInt64(bytes, Q_INT64_C(0x0102030405060708));
    QCOMPARE(QByteArray(bytes, 8), hex("0807060504030201"));
    putInt64(bytes, -2);
    QCOMPARE(QByteArray(bytes, 8), hex("feffffffffffffff"));
    QCOMPARE(getInt64(bytes), qint64(-2));

    const QByteArray packet = buildPacket(VersionCheck, QByteArray(84, 'x'), 2);
    QCOMPARE(packet.size(), kHeaderSize + 84);
    QCOMPARE(packet.mid(20), QByteArray(84, 'x'));
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
    QTest::newRow("multi-byte text cut inside a character") << utf8Repeat("版", 11) << 32 << 31;
}

void TestTcpProtocol::textFieldCut()
{
    QFETCH(QByteArray, utf8);
    QFETCH(int, width);
    QFETCH(int, sentBytes);

    const QString text = QString::fromUtf8(utf8);
    QCOMPARE(fieldBytes(text, width), utf8.left(sentBytes));
    QCOMPARE(fitsField(text, width), utf8.size() <= width - 1);

    QByteArray field(width, '\0');
    writeTextField(field.data(), width, text);
    QCOMPARE(field, expectedField(utf8, width));
    QCOMPARE(field.at(width - 1), '\0');
}

void TestTcpProtocol::readTextFieldStopsAtNulOrWidth()
{
    const QByteArray full(32, 'a');
    QCOMPARE(readTextField(full.constData(), 32), QString(32, QLatin1Char('a')));

    QByteArray withNul("abc\0def", 7);
    QCOMPARE(readTextField(withNul.constData(), 7), QStringLiteral("abc"));
    QCOMPARE(readTextField(withNul.constData(), 2), QStringLiteral("ab"));
    const QByteArray chinese = QByteArray("版本") + QByteArray(26, '\0');
    QCOMPARE(readTextField(chinese.constData(), 32), QStringLiteral("版本"));
}

void TestTcpProtocol::versionCheckLayout()
{
    VersionCheckRequest request;
    request.version = QStringLiteral("1.2.3");
    request.clientId = QStringLiteral("1");
    request.projectType = 5;
    const QByteArray body = TcpMessages::buildVersionCheck(request);

    QCOMPARE(body.size(), kVersionCheckSize);
    QCOMPARE(body.mid(0, 32), expectedField("1.2.3", 32));
    QCOMPARE(body.mid(32, 32), expectedField("1", 32));
    QCOMPARE(body.mid(64, 4), hex("05000000"));
    QCOMPARE(body.mid(68), QByteArray(16, '\0'));
}

void TestTcpProtocol::versionCheckEmptyClientId()
{
    VersionCheckRequest request;
    request.version = QString(40, QLatin1Char('9'));
    const QByteArray body = TcpMessages::buildVersionCheck(request);
    QCOMPARE(body.mid(32, 32), expectedField("Zentrovian", 32));
    QCOMPARE(body.mid(0, 32), expectedField(QByteArray(40, '9'), 32));
}

void TestTcpProtocol::versionCheckRoundTrip()
{
    VersionCheckRequest request;
    request.version = QStringLiteral("2.0.0-测试");
    request.clientId = QStringLiteral("1");
    request.projectType = 4;
    VersionCheckRequest parsed;
    QVERIFY(TcpMessages::parseVersionCheck(TcpMessages::buildVersionCheck(request), &parsed));
    QCOMPARE(parsed.version, request.version);
    QCOMPARE(parsed.clientId, request.clientId);
    QCOMPARE(parsed.projectType, 4);
    QVERIFY(!TcpMessages::parseVersionCheck(QByteArray(83, '\0'), &parsed));
}

void TestTcpProtocol::fileDownloadLayout()
{
    const QByteArray body = TcpMessages::buildFileDownload(QStringLiteral("bin/plugins"), QStringLiteral("core.dll"));
    QCOMPARE(body.size(), kFileDownloadSize);
    QCOMPARE(body.mid(0, 128), expectedField("bin/plugins", 128));
    QCOMPARE(body.mid(128, 32), expectedField("core.dll", 32));
    QCOMPARE(body.mid(160), QByteArray(16, '\0'));

    FileItem item;
    QVERIFY(TcpMessages::parseFileDownload(body, &item));
    QCOMPARE(item.path, QStringLiteral("bin/plugins"));
    QCOMPARE(item.name, QStringLiteral("core.dll"));
    QVERIFY(!TcpMessages::parseFileDownload(body.left(175), &item));
}

void TestTcpProtocol::heartbeatBody_data()
{
    QTest::addColumn<qint64>("msecs");
    QTest::addColumn<QByteArray>("expected");
    QTest::newRow("a 2023 time stamp") << Q_INT64_C(1700000000000) << hex("0068e5cf8b010000");
    QTest::newRow("zero") << qint64(0) << QByteArray(8, '\0');
}

void TestTcpProtocol::heartbeatBody()
{
    QFETCH(qint64, msecs);
    QFETCH(QByteArray, expected);
    QCOMPARE(TcpMessages::buildHeartbeat(msecs), expected);
}

void TestTcpProtocol::versionReplyLayout()
{
    QVector<RemoteFileEntry> files;
    files << TcpMessages::makeRemoteFileEntry(QStringLiteral("bin"), QStringLiteral("a.dll"))
          << TcpMessages::makeRemoteFileEntry(QString(), QStringLiteral("client.exe"));
    const QByteArray body = TcpMessages::buildVersionReply(true, QStringLiteral("1.1.0"), 3, files);

    QCOMPARE(body.size(), kVersionReplyHeaderSize + 2 * kRemoteFileEntrySize);
    QCOMPARE(body.at(0), '\1');
    QCOMPARE(body.mid(1, 32), expectedField("1.1.0", 32));
    QCOMPARE(body.mid(33, 4), hex("03000000")); // the unaligned word at offset 33
    QCOMPARE(body.mid(37, 16), QByteArray(16, '\0'));
    QCOMPARE(body.mid(53, 4), hex("02000000"));
    QCOMPARE(body.mid(57, 128), expectedField("bin", 128));
    QCOMPARE(body.mid(57 + 128, 32), expectedField("a.dll", 32));
    QCOMPARE(body.mid(57 + 160, 20), QByteArray(20, '\0'));
    QCOMPARE(body.mid(57 + 180 + 128, 32), expectedField("client.exe", 32));
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
    QTest::newRow("two entries") << full << true << true << QStringLiteral("1.1.0") << QStringLiteral("lunetta-x") << 2;
    QTest::newRow("trailing bytes after the records are ignored")
        << full + QByteArray(7, 'z') << true << true << QStringLiteral("1.1.0") << QStringLiteral("lunetta-x") << 2;

    const QByteArray none = TcpMessages::buildVersionReply(false, QStringLiteral("1.0.0"), 1, {});
    QTest::newRow("exactly 57 bytes, N = 0, fields still taken")
        << none << true << false << QStringLiteral("1.0.0") << QStringLiteral("Lunetta") << 0;
    QTest::newRow("N = 0 with a longer body") << none + QByteArray(180, 'q') << true << false
                                              << QStringLiteral("1.0.0") << QStringLiteral("Lunetta") << 0;

    QByteArray announcesMore = full.left(57 + 180);
    QTest::newRow("N announces more records than present: unusable")
        << announcesMore << false << false << QString() << QString() << 0;
    QByteArray headerOnlyWithCount = full.left(57);
    QTest::newRow("57 bytes announcing 2 records: unusable")
        << headerOnlyWithCount << false << false << QString() << QString() << 0;
    QByteArray hugeCount = none;
    putUInt32(hugeCount.data() + 53, 0xFFFFFFFFu);
    QTest::newRow("count 0xFFFFFFFF does not wrap") << hugeCount << false << false << QString() << QString() << 0;
    QTest::newRow("56 bytes: too short") << full.left(56) << false << false << QString() << QString() << 0;
    QTest::newRow("empty body") << QByteArray() << false << false << QString() << QString() << 0;

    QByteArray type0 = none;
    putUInt32(type0.data() + 33, 0);
    QTest::newRow("project type 0 is Unknown")
        << type0 << true << false << QStringLiteral("1.0.0") << QStringLiteral("Unknown") << 0;
    QByteArray type7 = none;
    putUInt32(type7.data() + 33, 7);
    type7[0] = 9; // any non-zero byte means an update
    QTest::newRow("project type 7 is Unknown, hasUpdate byte 9")
        << type7 << true << true << QStringLiteral("1.0.0") << QStringLiteral("Unknown") << 0;
    QByteArray fullVersion = none;
    for (int i = 1; i <= 32; ++i)
        fullVersion[i] = 'v';
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

void TestTcpProtocol::versionReplyKeepsRawRecords()
{
    RemoteFileEntry entry = TcpMessages::makeRemoteFileEntry(QStringLiteral("sub/dir"), QStringLiteral("f.txt"));
    for (int i = 160; i < 180; ++i)
        entry.raw[i] = static_cast<char>(i);
    const QByteArray body = TcpMessages::buildVersionReply(true, QStringLiteral("2"), 1, {entry});
    VersionInfo info;
    QVERIFY(TcpMessages::parseVersionReply(body, &info));
    QCOMPARE(info.files.size(), 1);
    QCOMPARE(info.files.at(0).raw, entry.raw);
    QCOMPARE(info.files.at(0).raw.size(), kRemoteFileEntrySize);
    QCOMPARE(info.files.at(0).path(), QStringLiteral("sub/dir"));
    QCOMPARE(info.files.at(0).name(), QStringLiteral("f.txt"));
    QCOMPARE(RemoteFileEntry().path(), QString());
}

void TestTcpProtocol::fileDataLayout()
{
    const QByteArray chunk("0123456789");
    const QByteArray body = TcpMessages::buildFileData(QStringLiteral("p"), QStringLiteral("n.bin"), 0x01020304u,
                                                       true, 0xAABBCCDDu, chunk);
    QCOMPARE(body.size(), kFileDataHeaderSize + chunk.size());
    QCOMPARE(body.mid(0, 128), expectedField("p", 128));
    QCOMPARE(body.mid(128, 32), expectedField("n.bin", 32));
    QCOMPARE(body.mid(160, 4), hex("04030201"));
    QCOMPARE(body.mid(164, 4), hex("0a000000"));
    QCOMPARE(body.at(168), '\1');
    QCOMPARE(body.mid(169, 4), hex("ddccbbaa")); // the unaligned word at offset 169
    QCOMPARE(body.mid(173), chunk);
}

void TestTcpProtocol::fileDataParse_data()
{
    QTest::addColumn<QByteArray>("body");
    QTest::addColumn<bool>("ok");
    QTest::addColumn<QByteArray>("data");
    QTest::addColumn<bool>("isLast");

    const QByteArray whole = TcpMessages::buildFileData(QStringLiteral("a/b"), QStringLiteral("c"), 5, false, 7,
                                                        QByteArray("hello"));
    QTest::newRow("header and chunk") << whole << true << QByteArray("hello") << false;
    QTest::newRow("exactly the header: empty chunk") << whole.left(173) << true << QByteArray() << false;
    QTest::newRow("172 bytes: too short") << whole.left(172) << false << QByteArray() << false;
    QTest::newRow("empty body") << QByteArray() << false << QByteArray() << false;
    QByteArray last = whole;
    last[168] = 2;
    QTest::newRow("any non-zero isLast byte") << last << true << QByteArray("hello") << true;
}

void TestTcpProtocol::fileDataParse()
{
    QFETCH(QByteArray, body);
    QFETCH(bool, ok);
    QFETCH(QByteArray, data);
    QFETCH(bool, isLast);

    FileDataChunk chunk;
    QCOMPARE(TcpMessages::parseFileData(body, &chunk), ok);
    if (!ok) {
        QCOMPARE(chunk.fileName, QString());
        return;
    }
    QCOMPARE(chunk.filePath, QStringLiteral("a/b"));
    QCOMPARE(chunk.fileName, QStringLiteral("c"));
    QCOMPARE(chunk.totalSize, 5u);
    QCOMPARE(chunk.chunkSize, 5u);
    QCOMPARE(chunk.auxValue, 7u);
    QCOMPARE(chunk.isLast, isLast);
    QCOMPARE(chunk.data, data);
}

void TestTcpProtocol::fileDataSharedBody()
{
    const QByteArray body = TcpMessages::buildFileData(QString(), QStringLiteral("s"), 4, true, 0, "data");
    FileDataChunk chunk;
    QVERIFY(TcpMessages::parseFileData(body, &chunk, true));
    QCOMPARE(chunk.data, QByteArray("data"));
    QCOMPARE(chunk.data.constData(), body.constData() + kFileDataHeaderSize); // no copy
}

void TestTcpProtocol::projectNames_data()
{
    QTest::addColumn<int>("code");
    QTest::addColumn<QString>("name");
    QTest::newRow("1") << 1 << QStringLiteral("Lunetta");
    QTest::newRow("2") << 2 << QStringLiteral("lunetta-x");
    QTest::newRow("3") << 3 << QStringLiteral("mistral run");
    QTest::newRow("4") << 4 << QStringLiteral("quaywright");
    QTest::newRow("5") << 5 << QStringLiteral("Brisolde");
    QTest::newRow("6") << 6 << QStringLiteral("Tamsk Vale");
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

#include "tcp/packetassembler.h"
#include "tcp/tcpmessages.h"

#include <QtTest>

#include <cstring>

using namespace TcpProtocol;

namespace {

// Takes every message the assembler can give right now.
QVector<Packet> takeAll(PacketAssembler &assembler, PacketAssembler::Result *last = nullptr)
{
    QVector<Packet> packets;
    Packet packet;
    PacketAssembler::Result result;
    while ((result = assembler.next(&packet)) == PacketAssembler::Result::Message)
        packets.append(packet);
    if (last)
        *last = result;
    return packets;
}

} // namespace

Q_DECLARE_METATYPE(PacketAssembler::Result)

class TestPacketAssembler : public QObject
{
    Q_OBJECT

private slots:
    void splitAtEveryByte();
    void severalMessagesInOneRead();
    void badMagic_data();
    void badMagic();
    void bodyLengthLimit_data();
    void bodyLengthLimit();
    void largeMessageCostsItsSizeOnce();
    void manySmallMessagesStayLinear();
};

void TestPacketAssembler::splitAtEveryByte()
{
    const QByteArray first = buildPacket(HeartbeatReply, QByteArray(), 1);
    const QByteArray second =
        buildPacket(FileData, TcpMessages::buildFileData(QStringLiteral("d"), QStringLiteral("f"), 3, true, 0, "abc"), 1);
    const QByteArray stream = first + second;

    for (int cut = 0; cut <= stream.size(); ++cut) {
        PacketAssembler assembler;
        assembler.append(stream.left(cut));
        QVector<Packet> all = takeAll(assembler);
        // A message is delivered exactly when its last byte is there.
        QCOMPARE(all.size(), cut == stream.size() ? 2 : (cut >= first.size() ? 1 : 0));

        // The rest is read in place, into more room than it fills.
        const int rest = stream.size() - cut;
        std::memcpy(assembler.prepareAppend(rest + 64), stream.constData() + cut, static_cast<size_t>(rest));
        assembler.commitAppend(rest);
        all += takeAll(assembler);
        QCOMPARE(all.size(), 2);
        QCOMPARE(all.at(0).type, quint32(HeartbeatReply));
        QCOMPARE(all.at(0).body, QByteArray());
        QCOMPARE(all.at(1).type, quint32(FileData));
        QCOMPARE(all.at(1).body, second.mid(kHeaderSize));
        QCOMPARE(assembler.bufferedSize(), 0);
    }
}

void TestPacketAssembler::severalMessagesInOneRead()
{
    PacketAssembler assembler;
    assembler.append(buildPacket(VersionReply, QByteArray(57, '\0'), 1) + buildPacket(0x1234, QByteArray(), 1)
                     + buildPacket(ErrorReply, "oops", 1));
    PacketAssembler::Result last;
    const QVector<Packet> packets = takeAll(assembler, &last);
    QCOMPARE(last, PacketAssembler::Result::NeedMore);
    QCOMPARE(packets.size(), 3);
    QCOMPARE(packets.at(0).type, quint32(VersionReply));
    QCOMPARE(packets.at(0).body.size(), 57);
    QCOMPARE(packets.at(1).type, 0x1234u); // zero-length body of an unknown type
    QVERIFY(packets.at(1).body.isEmpty());
    QCOMPARE(packets.at(2).type, quint32(ErrorReply));
    QCOMPARE(packets.at(2).body, QByteArray("oops"));

    // A renewed connection drops a half-received message.
    assembler.append(buildPacket(ErrorReply, "stale", 1).left(22));
    assembler.clear();
    QCOMPARE(assembler.bufferedSize(), 0);
    assembler.append(buildPacket(ErrorReply, "fresh", 1));
    QCOMPARE(takeAll(assembler).value(0).body, QByteArray("fresh"));
}

void TestPacketAssembler::badMagic_data()
{
    QTest::addColumn<QByteArray>("stream");
    QTest::addColumn<int>("messagesBefore");

    const QByteArray valid = buildPacket(HeartbeatReply, "x", 1);
    QByteArray wrongOrder = valid;
    wrongOrder.replace(0, 4, QByteArray::fromHex("12345678")); // big-endian magic is not the magic
    QTest::newRow("garbage in front loses the valid message behind it") << QByteArray(20, 'G') + valid << 0;
    QTest::newRow("magic in the wrong byte order") << wrongOrder + valid << 0;
    QTest::newRow("a valid message before the garbage is still taken") << valid + QByteArray(25, 'G') << 1;
}

void TestPacketAssembler::badMagic()
{
    QFETCH(QByteArray, stream);
    QFETCH(int, messagesBefore);

    PacketAssembler assembler;
    assembler.append(stream);
    PacketAssembler::Result last;
    QCOMPARE(takeAll(assembler, &last).size(), messagesBefore);
    QCOMPARE(last, PacketAssembler::Result::BadMagic);
    QCOMPARE(assembler.bufferedSize(), 0);

    // Framing starts afresh with the bytes that arrive next.
    assembler.append(buildPacket(HeartbeatReply, "again", 1));
    const QVector<Packet> after = takeAll(assembler);
    QCOMPARE(after.size(), 1);
    QCOMPARE(after.at(0).body, QByteArray("again"));
}

void TestPacketAssembler::bodyLengthLimit_data()
{
    QTest::addColumn<quint32>("type");
    QTest::addColumn<quint32>("length");
    QTest::addColumn<bool>("clientLimits");
    QTest::addColumn<PacketAssembler::Result>("result");
    const auto waits = PacketAssembler::Result::NeedMore;
    const auto refused = PacketAssembler::Result::TooLong;
    QTest::newRow("64 MiB is accepted and waited for") << quint32(FileData) << kMaxBodyLength << false << waits;
    QTest::newRow("64 MiB + 1 is refused") << quint32(FileData) << kMaxBodyLength + 1 << false << refused;
    QTest::newRow("0xFFFFFFFF is refused") << quint32(FileData) << 0xFFFFFFFFu << false << refused;
    // The client's limits: large file chunks, small everything else.
    QTest::newRow("client: file data at its limit waits") << quint32(FileData) << kMaxFileDataBodyLength << true << waits;
    QTest::newRow("client: file data above its limit") << quint32(FileData) << kMaxFileDataBodyLength + 1 << true << refused;
    QTest::newRow("client: version reply at the control limit")
        << quint32(VersionReply) << kMaxControlBodyLength << true << waits;
    QTest::newRow("client: version reply above it") << quint32(VersionReply) << kMaxControlBodyLength + 1 << true << refused;
    QTest::newRow("client: unknown type above it") << 0x4242u << kMaxControlBodyLength + 1 << true << refused;
}

void TestPacketAssembler::bodyLengthLimit()
{
    QFETCH(quint32, type);
    QFETCH(quint32, length);
    QFETCH(bool, clientLimits);
    QFETCH(PacketAssembler::Result, result);

    PacketAssembler assembler(clientLimits ? kMaxControlBodyLength : kMaxBodyLength);
    if (clientLimits)
        assembler.setBodyLimit(FileData, kMaxFileDataBodyLength);
    assembler.append(buildHeader(type, length, 1) + QByteArray(100, 'b'));
    Packet packet;
    QCOMPARE(assembler.next(&packet), result);
    const bool refused = result == PacketAssembler::Result::TooLong;
    QCOMPARE(assembler.bufferedSize(), refused ? 0 : 120);
    if (refused) {
        QCOMPARE(assembler.refusedLength(), length);
        QCOMPARE(assembler.refusedType(), type);
    }
}

// A large message read block by block costs its own size once: room is
// reserved when its header is known, the body is handed on without a copy,
// and the buffer gives the room back once the message is used up.
void TestPacketAssembler::largeMessageCostsItsSizeOnce()
{
    constexpr int kBlock = 256 * 1024;
    const QByteArray message = buildPacket(FileData, QByteArray(12 * 1024 * 1024 + 5, 'z'), 1);
    PacketAssembler assembler;
    Packet packet;
    for (int offset = 0; offset < message.size(); offset += kBlock) {
        const int size = qMin(kBlock, message.size() - offset);
        memcpy(assembler.prepareAppend(size), message.constData() + offset, static_cast<size_t>(size));
        assembler.commitAppend(size);
        QVERIFY2(assembler.capacity() <= message.size() + kBlock, qPrintable(QString::number(assembler.capacity())));
        if (offset + size < message.size())
            QCOMPARE(assembler.next(&packet, true), PacketAssembler::Result::NeedMore);
    }
    QCOMPARE(assembler.next(&packet, true), PacketAssembler::Result::Message);
    QCOMPARE(packet.body.size(), message.size() - kHeaderSize);
    QVERIFY(packet.body.constData() != nullptr && packet.body.at(0) == 'z');
    QCOMPARE(assembler.next(&packet, true), PacketAssembler::Result::NeedMore);
    QVERIFY2(assembler.capacity() <= 1024 * 1024, qPrintable(QString::number(assembler.capacity())));
}

// 300,000 messages in one read: with a copy of the remaining buffer per
// message this would move hundreds of gigabytes and never finish.
void TestPacketAssembler::manySmallMessagesStayLinear()
{
    constexpr int kCount = 300000;
    const QByteArray one = buildPacket(HeartbeatReply, "hb", 1);
    PacketAssembler assembler;
    assembler.append(one.repeated(kCount) + one.left(11));
    QElapsedTimer timer;
    timer.start();
    QCOMPARE(takeAll(assembler).size(), kCount);
    QCOMPARE(assembler.bufferedSize(), 11);
    assembler.append(one.mid(11));
    QCOMPARE(takeAll(assembler).value(0).body, QByteArray("hb"));
    QVERIFY2(timer.elapsed() < 20000, "reassembly is not linear in the bytes received");
}

QTEST_GUILESS_MAIN(TestPacketAssembler)
#include "tst_packetassembler.moc"

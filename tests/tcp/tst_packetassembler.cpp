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
    for (;;) {
        Packet packet;
        const PacketAssembler::Result result = assembler.next(&packet);
        if (result != PacketAssembler::Result::Message) {
            if (last)
                *last = result;
            return packets;
        }
        packets.append(packet);
    }
}

QByteArray fileDataPacket()
{
    return buildPacket(FileData,
                       TcpMessages::buildFileData(QStringLiteral("d"), QStringLiteral("f"), 3, true, 0, "abc"), 1);
}

} // namespace

Q_DECLARE_METATYPE(PacketAssembler::Result)

class TestPacketAssembler : public QObject
{
    Q_OBJECT

private slots:
    void splitAtEveryByte();
    void twoMessagesInOneRead();
    void zeroLengthBody();
    void badMagic_data();
    void badMagic();
    void bodyLengthLimit_data();
    void bodyLengthLimit();
    void partialMessageWaits();
    void manySmallMessagesStayLinear();
    void clearDropsBufferedBytes();
    void appendInPlace();
};

void TestPacketAssembler::splitAtEveryByte()
{
    const QByteArray first = buildPacket(HeartbeatReply, QByteArray(), 1);
    const QByteArray second = fileDataPacket();
    const QByteArray stream = first + second;

    for (int cut = 0; cut <= stream.size(); ++cut) {
        PacketAssembler assembler;
        assembler.append(stream.left(cut));
        const QVector<Packet> early = takeAll(assembler);
        // A message is delivered exactly when its last byte is there.
        const int completeBefore = cut >= stream.size() ? 2 : (cut >= first.size() ? 1 : 0);
        QCOMPARE(early.size(), completeBefore);

        assembler.append(stream.mid(cut));
        const QVector<Packet> late = takeAll(assembler);
        QVector<Packet> all = early + late;
        QCOMPARE(all.size(), 2);
        QCOMPARE(all.at(0).type, quint32(HeartbeatReply));
        QCOMPARE(all.at(0).body, QByteArray());
        QCOMPARE(all.at(1).type, quint32(FileData));
        QCOMPARE(all.at(1).body, second.mid(kHeaderSize));
        QCOMPARE(assembler.bufferedSize(), 0);
    }
}

void TestPacketAssembler::twoMessagesInOneRead()
{
    PacketAssembler assembler;
    assembler.append(buildPacket(VersionReply, QByteArray(57, '\0'), 1) + buildPacket(ErrorReply, "oops", 1));
    const QVector<Packet> packets = takeAll(assembler);
    QCOMPARE(packets.size(), 2);
    QCOMPARE(packets.at(0).type, quint32(VersionReply));
    QCOMPARE(packets.at(0).body.size(), 57);
    QCOMPARE(packets.at(1).type, quint32(ErrorReply));
    QCOMPARE(packets.at(1).body, QByteArray("oops"));
}

void TestPacketAssembler::zeroLengthBody()
{
    PacketAssembler assembler;
    assembler.append(buildPacket(0x1234, QByteArray(), 1));
    PacketAssembler::Result last;
    const QVector<Packet> packets = takeAll(assembler, &last);
    QCOMPARE(packets.size(), 1);
    QCOMPARE(packets.at(0).type, 0x1234u);
    QVERIFY(packets.at(0).body.isEmpty());
    QCOMPARE(last, PacketAssembler::Result::NeedMore);
}

void TestPacketAssembler::badMagic_data()
{
    QTest::addColumn<QByteArray>("before");
    QTest::addColumn<QByteArray>("stream");
    QTest::addColumn<int>("messagesBefore");

    const QByteArray valid = buildPacket(HeartbeatReply, "x", 1);
    QByteArray wrongMagic = valid;
    wrongMagic[0] = 0x12; // big-endian magic is not the magic
    QTest::newRow("garbage in front loses the valid message behind it")
        << QByteArray() << QByteArray(20, 'G') + valid << 0;
    QTest::newRow("magic in the wrong byte order") << QByteArray() << wrongMagic + valid << 0;
    QTest::newRow("a valid message before the garbage is still taken") << valid << QByteArray(25, 'G') << 1;
}

void TestPacketAssembler::badMagic()
{
    QFETCH(QByteArray, before);
    QFETCH(QByteArray, stream);
    QFETCH(int, messagesBefore);

    PacketAssembler assembler;
    assembler.append(before + stream);
    PacketAssembler::Result last;
    QCOMPARE(takeAll(assembler, &last).size(), messagesBefore);
    QCOMPARE(last, PacketAssembler::Result::BadMagic);
    QCOMPARE(assembler.bufferedSize(), 0);

    // Framing starts afresh with the bytes that arrive next.
    assembler.append(buildPacket(HeartbeatReply, "again", 1));
    const QVector<Packet> after = takeAll(assembler, &last);
    QCOMPARE(after.size(), 1);
    QCOMPARE(after.at(0).body, QByteArray("again"));
}

void TestPacketAssembler::bodyLengthLimit_data()
{
    QTest::addColumn<quint32>("length");
    QTest::addColumn<PacketAssembler::Result>("result");
    QTest::newRow("64 MiB is accepted and waited for") << kMaxBodyLength << PacketAssembler::Result::NeedMore;
    QTest::newRow("64 MiB + 1 is refused") << kMaxBodyLength + 1 << PacketAssembler::Result::TooLong;
    QTest::newRow("0xFFFFFFFF is refused") << 0xFFFFFFFFu << PacketAssembler::Result::TooLong;
}

void TestPacketAssembler::bodyLengthLimit()
{
    QFETCH(quint32, length);
    QFETCH(PacketAssembler::Result, result);

    PacketAssembler assembler;
    assembler.append(buildHeader(FileData, length, 1) + QByteArray(100, 'b'));
    Packet packet;
    QCOMPARE(assembler.next(&packet), result);
    if (result == PacketAssembler::Result::TooLong) {
        QCOMPARE(assembler.bufferedSize(), 0);
        QCOMPARE(assembler.refusedLength(), length);
    } else {
        QCOMPARE(assembler.bufferedSize(), 120);
    }
}

void TestPacketAssembler::partialMessageWaits()
{
    PacketAssembler assembler;
    const QByteArray packet = fileDataPacket();
    assembler.append(packet.left(19));
    Packet out;
    QCOMPARE(assembler.next(&out), PacketAssembler::Result::NeedMore);
    assembler.append(packet.mid(19, 10));
    QCOMPARE(assembler.next(&out), PacketAssembler::Result::NeedMore);
    QCOMPARE(assembler.bufferedSize(), 29);
    assembler.append(packet.mid(29));
    QCOMPARE(assembler.next(&out), PacketAssembler::Result::Message);
    QCOMPARE(out.body, packet.mid(20));
}

// 300,000 messages in one read: with a copy of the remaining buffer per
// message this would move hundreds of gigabytes and never finish.
void TestPacketAssembler::manySmallMessagesStayLinear()
{
    constexpr int kCount = 300000;
    const QByteArray one = buildPacket(HeartbeatReply, "hb", 1);
    QByteArray stream;
    stream.reserve(one.size() * kCount + 11);
    for (int i = 0; i < kCount; ++i)
        stream += one;
    stream += one.left(11);

    PacketAssembler assembler;
    assembler.append(stream);
    QElapsedTimer timer;
    timer.start();
    int taken = 0;
    Packet packet;
    while (assembler.next(&packet) == PacketAssembler::Result::Message)
        ++taken;
    QCOMPARE(taken, kCount);
    QCOMPARE(assembler.bufferedSize(), 11);
    assembler.append(one.mid(11));
    QCOMPARE(assembler.next(&packet), PacketAssembler::Result::Message);
    QCOMPARE(packet.body, QByteArray("hb"));
    QVERIFY2(timer.elapsed() < 20000, "reassembly is not linear in the bytes received");
}

void TestPacketAssembler::clearDropsBufferedBytes()
{
    PacketAssembler assembler;
    assembler.append(fileDataPacket().left(30));
    assembler.clear();
    QCOMPARE(assembler.bufferedSize(), 0);
    assembler.append(fileDataPacket());
    Packet packet;
    QCOMPARE(assembler.next(&packet), PacketAssembler::Result::Message);
}

void TestPacketAssembler::appendInPlace()
{
    const QByteArray stream = fileDataPacket() + buildPacket(HeartbeatReply, "x", 1);
    PacketAssembler assembler;
    int offset = 0;
    QVector<Packet> packets;
    // Room for 64 bytes each time, filled with fewer: only the filled part counts.
    while (offset < stream.size()) {
        char *room = assembler.prepareAppend(64);
        const int filled = qMin(37, stream.size() - offset);
        std::memcpy(room, stream.constData() + offset, static_cast<size_t>(filled));
        assembler.commitAppend(filled);
        offset += filled;
        packets += takeAll(assembler);
    }
    QCOMPARE(packets.size(), 2);
    QCOMPARE(packets.at(0).body, fileDataPacket().mid(kHeaderSize));
    QCOMPARE(packets.at(1).body, QByteArray("x"));
    QCOMPARE(assembler.bufferedSize(), 0);

    assembler.prepareAppend(128);
    assembler.commitAppend(0);
    QCOMPARE(assembler.bufferedSize(), 0);
}

QTEST_GUILESS_MAIN(TestPacketAssembler)
#include "tst_packetassembler.moc"

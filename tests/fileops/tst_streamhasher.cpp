#include "fileops/streamhasher.h"

#include <QCryptographicHash>
#include <QtTest>

class TestStreamHasher : public QObject
{
    Q_OBJECT

private slots:
    void digestOfTheWholeStream_data();
    void digestOfTheWholeStream();
    void resetStartsAgain();
};

namespace {

QByteArray pattern(int size, char seed)
{
    QByteArray bytes(size, Qt::Uninitialized);
    for (int i = 0; i < size; ++i)
        bytes[i] = static_cast<char>(seed + i * 31 + i / 7);
    return bytes;
}

} // namespace

void TestStreamHasher::digestOfTheWholeStream_data()
{
    QTest::addColumn<QList<int>>("chunks");
    QTest::addColumn<bool>("shared");
    QTest::addColumn<bool>("sha256");
    const int inlineMax = StreamHasher::kInlineBytes;
    const int big = 3 * 1024 * 1024;
    QTest::newRow("nothing") << QList<int>{} << true << false;
    QTest::newRow("a small stream, hashed at once") << QList<int>{100, 0, 4096} << true << false;
    QTest::newRow("small chunks beyond the start") << QList<int>{inlineMax - 1, 1, 4096, 0, 7} << true << false;
    QTest::newRow("small chunks behind a queued one") << QList<int>{inlineMax + 1, 5, 4096, 3} << true << false;
    // More than the pending bound: the caller waits for room.
    QTest::newRow("shared, beyond the pending bound") << QList<int>{big, big, 17, big} << true << false;
    // Copied chunks come from one buffer that the caller overwrites at once.
    QTest::newRow("copied, beyond the pending bound") << QList<int>{big, 10, big, big, inlineMax} << false << false;
    // The signed-release digest, checked against the toolkit's own SHA-256.
    QTest::newRow("SHA-256, small") << QList<int>{100, 0, 4096} << true << true;
    QTest::newRow("SHA-256, beyond the pending bound") << QList<int>{big, 10, big, inlineMax} << false << true;
}

void TestStreamHasher::digestOfTheWholeStream()
{
    QFETCH(QList<int>, chunks);
    QFETCH(bool, shared);
    QFETCH(bool, sha256);
    StreamHasher hasher;
    hasher.reset(sha256 ? Digest::Algorithm::Sha256 : Digest::Algorithm::Md5);
    QCryptographicHash expected(sha256 ? QCryptographicHash::Sha256 : QCryptographicHash::Md5);
    QByteArray reused;
    char seed = 1;
    for (int size : chunks) {
        const QByteArray chunk = pattern(size, seed++);
        expected.addData(chunk);
        if (shared) {
            hasher.addShared(chunk);
        } else {
            reused = QByteArray(chunk.constData(), chunk.size()); // unshared: fill() overwrites it
            hasher.addData(reused.constData(), reused.size());
            reused.fill('x');
        }
    }
    QCOMPARE(hasher.result().toHex(), expected.result().toHex());
}

void TestStreamHasher::resetStartsAgain()
{
    StreamHasher hasher;
    for (int i = 0; i < 4; ++i)
        hasher.addShared(pattern(2 * 1024 * 1024, char(i)));
    hasher.reset();
    const QByteArray tail = pattern(5000, 9);
    hasher.addShared(tail);
    QCOMPARE(hasher.result(), QCryptographicHash::hash(tail, QCryptographicHash::Md5));
    // The digest can be read again, and a new stream follows a reset.
    QCOMPARE(hasher.result(), QCryptographicHash::hash(tail, QCryptographicHash::Md5));
    hasher.reset();
    QCOMPARE(hasher.result(), QCryptographicHash::hash(QByteArray(), QCryptographicHash::Md5));
}

QTEST_GUILESS_MAIN(TestStreamHasher)
#include "tst_streamhasher.moc"

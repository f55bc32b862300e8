#include <QtTest>

#include <qt_windows.h>

#include <vector>

// What Windows reads from each shipped program before running it: the
// version shown in Explorer, the manifest and the icon.
class TestProgramResources : public QObject
{
    Q_OBJECT

private slots:
    void resourcesAreEmbedded_data();
    void resourcesAreEmbedded();
};

void TestProgramResources::resourcesAreEmbedded_data()
{
    QTest::addColumn<QString>("program");
    QTest::newRow("update") << QStringLiteral(UPDATE_PATH);
    QTest::newRow("update_helper") << QStringLiteral(UPDATE_HELPER_PATH);
    QTest::newRow("update_service") << QStringLiteral(UPDATE_SERVICE_PATH);
    QTest::newRow("make_release") << QStringLiteral(MAKE_RELEASE_PATH);
}

void TestProgramResources::resourcesAreEmbedded()
{
    QFETCH(QString, program);
    const std::wstring path = QDir::toNativeSeparators(program).toStdWString();
    DWORD ignored = 0;
    const DWORD size = GetFileVersionInfoSizeW(path.c_str(), &ignored);
    QVERIFY2(size > 0, qPrintable(program));
    std::vector<char> data(size);
    QVERIFY(GetFileVersionInfoW(path.c_str(), 0, size, data.data()));
    VS_FIXEDFILEINFO *fixed = nullptr;
    UINT length = 0;
    QVERIFY(VerQueryValueW(data.data(), L"\\", reinterpret_cast<void **>(&fixed), &length) && fixed);
    const QString fileVersion = QStringLiteral("%1.%2.%3")
                                    .arg(HIWORD(fixed->dwFileVersionMS))
                                    .arg(LOWORD(fixed->dwFileVersionMS))
                                    .arg(HIWORD(fixed->dwFileVersionLS));
    QCOMPARE(fileVersion, QStringLiteral(PROJECT_VERSION));
    wchar_t *text = nullptr;
    QVERIFY(VerQueryValueW(data.data(), L"\\StringFileInfo\\040904b0\\ProductVersion",
                           reinterpret_cast<void **>(&text), &length));
    QCOMPARE(QString::fromWCharArray(text), QStringLiteral(PROJECT_VERSION));

    const HMODULE image = LoadLibraryExW(path.c_str(), nullptr, LOAD_LIBRARY_AS_DATAFILE | LOAD_LIBRARY_AS_IMAGE_RESOURCE);
    QVERIFY(image);
    const HRSRC manifest = FindResourceW(image, MAKEINTRESOURCEW(1), MAKEINTRESOURCEW(24));
    const QByteArray xml = manifest ? QByteArray(static_cast<const char *>(LockResource(LoadResource(image, manifest))),
                                                 static_cast<int>(SizeofResource(image, manifest)))
                                    : QByteArray();
    const bool icon = FindResourceW(image, MAKEINTRESOURCEW(1), MAKEINTRESOURCEW(14)) != nullptr;
    FreeLibrary(image);
    QVERIFY(icon);
    for (const char *setting : {"level=\"asInvoker\"", "PerMonitorV2", "<longPathAware", "8e0f7a12-bfb3-4fe8-b9a5-48fd50a15a9a"})
        QVERIFY2(xml.contains(setting), setting);
}

QTEST_GUILESS_MAIN(TestProgramResources)
#include "tst_programresources.moc"

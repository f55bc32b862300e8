#include "fileops/delaystart.h"

#include "fileops/restartscript.h"

#include <QDateTime>
#include <QDebug>
#include <QDir>
#include <QFile>
#include <QProcess>

namespace {

#ifdef Q_OS_WIN
constexpr bool kWindows = true;
#else
constexpr bool kWindows = false;
#endif // Q_OS_WIN

// Two starts within the same millisecond must not share one script file.
bool createScript(QFile &file)
{
    qint64 stamp = QDateTime::currentMSecsSinceEpoch();
    for (int attempt = 0; attempt < 100; ++attempt, ++stamp) {
        file.setFileName(QDir::tempPath() + QLatin1Char('/') + RestartScript::fileName(stamp, kWindows));
        if (file.open(QIODevice::WriteOnly | QIODevice::NewOnly))
            return true;
    }
    return false;
}

} // namespace

void delayStart(const QString &program, const QStringList &arguments)
{
    const QString target = QDir::current().filePath(program);

    QFile script;
    if (!createScript(script)) {
        qWarning() << "无法创建批处理文件:" << script.fileName() << script.errorString();
        QProcess::startDetached(target, arguments);
        return;
    }
    const QString scriptPath = script.fileName();
    const QByteArray text = kWindows ? RestartScript::windowsScript(target, arguments, scriptPath)
                                     : RestartScript::posixScript(target, arguments, scriptPath);
    const bool written = script.write(text) == text.size();
    script.close();

    bool started = false;
    if (written && script.error() == QFileDevice::NoError) {
#ifdef Q_OS_WIN
        started = QProcess::startDetached(QStringLiteral("cmd.exe"),
                                          {QStringLiteral("/c"), QDir::toNativeSeparators(scriptPath)});
#else
        started = QProcess::startDetached(QStringLiteral("/bin/sh"), {scriptPath});
#endif // Q_OS_WIN
    }
    if (!started) {
        qWarning() << "无法启动批处理脚本:" << scriptPath;
        QFile::remove(scriptPath);
        QProcess::startDetached(target, arguments);
    }
}

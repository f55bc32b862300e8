#include "fileops/delaystart.h"

#include "fileops/delaystart_p.h"
#include "fileops/restartscript.h"

#include <QDateTime>
#include <QDebug>
#include <QDir>
#include <QFile>

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
        DelayStartPlatform::startDirectly(target, arguments);
        return;
    }
    const QString scriptPath = script.fileName();
    const QByteArray text = DelayStartPlatform::scriptText(target, arguments, scriptPath);
    if (text.isEmpty()) {
        // A script that names another file would start nothing; the delay is
        // the smaller loss.
        qWarning() << "无法编码批处理脚本:" << scriptPath;
        script.close();
        QFile::remove(scriptPath);
        DelayStartPlatform::startDirectly(target, arguments);
        return;
    }
    const bool written = script.write(text) == text.size();
    script.close();

    const bool started = written && script.error() == QFileDevice::NoError
                         && DelayStartPlatform::startScript(scriptPath);
    if (!started) {
        qWarning() << "无法启动批处理脚本:" << scriptPath;
        QFile::remove(scriptPath);
        DelayStartPlatform::startDirectly(target, arguments);
    }
}

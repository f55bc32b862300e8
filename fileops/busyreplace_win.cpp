#include "fileops/busyreplace.h"

#include "log/logger.h"

#include <QDir>
#include <QFileInfo>

#include <vector>

#include <windows.h>
#include <restartmanager.h>

namespace BusyReplace {

QStringList holders(const QString &path)
{
    if (!QFileInfo::exists(path))
        return QStringList();
    DWORD session = 0;
    WCHAR key[CCH_RM_SESSION_KEY + 1] = {};
    if (RmStartSession(&session, 0, key) != ERROR_SUCCESS) {
        logWarn(QStringLiteral("无法查询占用文件的程序:") + path);
        return QStringList();
    }
    // The Restart Manager takes plain absolute paths, not extended-length ones.
    const std::wstring name = QDir::toNativeSeparators(QFileInfo(path).absoluteFilePath()).toStdWString();
    LPCWSTR files[] = {name.c_str()};
    QStringList result;
    UINT needed = 0;
    UINT count = 0;
    DWORD reasons = 0;
    std::vector<RM_PROCESS_INFO> info;
    DWORD status = RmRegisterResources(session, 1, files, 0, nullptr, 0, nullptr);
    if (status == ERROR_SUCCESS)
        status = RmGetList(session, &needed, &count, nullptr, &reasons);
    // The list may grow between the call that sizes it and the one that fills it.
    for (int i = 0; status == ERROR_MORE_DATA && i < 3; ++i) {
        info.resize(needed);
        count = needed;
        status = RmGetList(session, &needed, &count, info.data(), &reasons);
    }
    if (status == ERROR_SUCCESS) {
        for (UINT i = 0; i < count; ++i)
            result.append(QString::fromWCharArray(info[i].strAppName)
                          + QStringLiteral(" (PID %1)").arg(info[i].Process.dwProcessId));
    } else {
        logWarn(QStringLiteral("无法查询占用文件的程序:") + path + QStringLiteral(", ")
                + qt_error_string(static_cast<int>(status)));
    }
    RmEndSession(session);
    return result;
}

} // namespace BusyReplace

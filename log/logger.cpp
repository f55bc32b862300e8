#include "log/logger.h"

#include <QString>

#include <spdlog/pattern_formatter.h>
#include <spdlog/sinks/rotating_file_sink.h>
#include <spdlog/sinks/stdout_color_sinks.h>
#include <spdlog/spdlog.h>

#include <iostream>
#include <memory>

namespace {

constexpr std::size_t kMaxFileSize = 5 * 1024 * 1024;
constexpr std::size_t kRotatedFiles = 3;
const char *const kLoggerName = "update_helper";
const char *const kPattern = "[%Y-%m-%d %H:%M:%S.%e] [%^%l%$] [%t] %v";

// The shared pointer keeps the logger alive; the raw pointer is what the
// facade tests, so a failed set-up simply leaves it null.
std::shared_ptr<spdlog::logger> g_loggerHandle;
spdlog::logger *g_logger = nullptr;

void logAt(spdlog::level::level_enum level, const char *tag, std::ostream &fallback,
           const std::string &message)
{
    if (g_logger) {
        // Passed as an argument, never as the format string, so that braces
        // and percent signs in the message are written literally.
        g_logger->log(level, "{}", message);
        return;
    }
    fallback << tag << message << std::endl;
}

// On Windows spdlog takes wide file names, so that a path outside the ANSI
// code page (a Chinese installation directory on a Western system, or the
// reverse) opens the file it names instead of a mis-decoded one.
spdlog::filename_t nativeFileName(const std::string &utf8Path)
{
#if defined(Q_OS_WIN) && defined(SPDLOG_WCHAR_FILENAMES)
    return QString::fromStdString(utf8Path).toStdWString();
#else
    return utf8Path;
#endif
}

} // namespace

std::string logFilePathFor(const std::string &appDir, const std::string &configuredDir)
{
    return appDir + "/" + configuredDir + "update.log";
}

void initLogger(const std::string &logFilePath)
{
    try {
#ifdef Q_OS_WIN
        auto consoleSink = std::make_shared<spdlog::sinks::wincolor_stdout_sink_mt>();
#else
        auto consoleSink = std::make_shared<spdlog::sinks::ansicolor_stdout_sink_mt>();
#endif // Q_OS_WIN
        consoleSink->set_level(spdlog::level::info);

        auto fileSink = std::make_shared<spdlog::sinks::rotating_file_sink_mt>(
            nativeFileName(logFilePath), kMaxFileSize, kRotatedFiles, false);
        fileSink->set_level(spdlog::level::debug);

        g_loggerHandle = std::make_shared<spdlog::logger>(
            kLoggerName, spdlog::sinks_init_list{consoleSink, fileSink});
        g_logger = g_loggerHandle.get();
        g_logger->set_level(spdlog::level::debug);
        g_logger->set_formatter(std::make_unique<spdlog::pattern_formatter>(
            kPattern, spdlog::pattern_time_type::local, "\r\n"));
        // Lines that explain a failure must be on disk while a failed update's
        // window stays open, and must survive a crash; the rest stays buffered.
        g_logger->flush_on(spdlog::level::warn);
        spdlog::register_logger(g_loggerHandle);
        spdlog::set_default_logger(g_loggerHandle);
    } catch (const spdlog::spdlog_ex &ex) {
        std::cerr << "Log initialization failed: " << ex.what() << std::endl;
    }
}

void setupLogging(const std::string &logFilePath)
{
    initLogger(logFilePath);
    logInfo("Update started");
}

void logDebug(const std::string &message)
{
    logAt(spdlog::level::debug, "[DEBUG] ", std::cout, message);
}

void logInfo(const std::string &message)
{
    logAt(spdlog::level::info, "[INFO] ", std::cout, message);
}

void logWarn(const std::string &message)
{
    logAt(spdlog::level::warn, "[WARN] ", std::cout, message);
}

void logError(const std::string &message)
{
    logAt(spdlog::level::err, "[ERROR] ", std::cerr, message);
}

void logDebug(const QString &message)
{
    logDebug(message.toStdString());
}

void logInfo(const QString &message)
{
    logInfo(message.toStdString());
}

void logWarn(const QString &message)
{
    logWarn(message.toStdString());
}

void logError(const QString &message)
{
    logError(message.toStdString());
}

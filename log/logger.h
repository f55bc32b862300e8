#pragma once

#include <QString>

#include <string>

/// Sets up the process-wide logger writing to @p logFilePath (see
/// `logFilePathFor`) and logs "Update started". Failures are reported on
/// standard error and leave the facade on its console fallback.
void setupLogging(const std::string &logFilePath);

/// Creates the logger "update_helper" with a colour console sink (info and
/// above) and a rotating file sink at @p logFilePath (debug and above).
/// Never throws; on failure it writes "Log initialization failed: ..." to
/// standard error.
void initLogger(const std::string &logFilePath);

/// Builds the log file path: application directory, "/", @p configuredDir
/// and "update.log", joined as plain text.
std::string logFilePathFor(const std::string &appDir, const std::string &configuredDir);

// The facade: each takes one ready-made UTF-8 message, written verbatim.
void logDebug(const std::string &message);
void logInfo(const std::string &message);
void logWarn(const std::string &message);
void logError(const std::string &message);

// The same for a message composed as text, so callers need no conversion,
// and for a literal (which would otherwise match both of the above).
void logDebug(const QString &message);
void logInfo(const QString &message);
void logWarn(const QString &message);
void logError(const QString &message);
inline void logDebug(const char *message) { logDebug(std::string(message)); }
inline void logInfo(const char *message) { logInfo(std::string(message)); }
inline void logWarn(const char *message) { logWarn(std::string(message)); }
inline void logError(const char *message) { logError(std::string(message)); }

#pragma once

#include <string>

/// Sets up the process-wide logger from the configured log directory
/// (`Paths`/`Log`) and logs "Update started". Failures are reported on
/// standard error and leave the facade on its console fallback.
void setupLogging();

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

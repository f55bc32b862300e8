#pragma once

#include <QString>

#include <iostream>
#include <sstream>

/// Collects what the logging facade writes while no logger is set up (it
/// then writes to the standard streams), so that tests can check log lines.
class LogCapture
{
public:
    LogCapture()
        : oldOut(std::cout.rdbuf(out.rdbuf()))
        , oldErr(std::cerr.rdbuf(err.rdbuf()))
    {
    }
    ~LogCapture()
    {
        std::cout.rdbuf(oldOut);
        std::cerr.rdbuf(oldErr);
    }
    LogCapture(const LogCapture &) = delete;
    LogCapture &operator=(const LogCapture &) = delete;

    QString text() const { return QString::fromStdString(out.str() + err.str()); }
    bool contains(const QString &line) const { return text().contains(line); }

private:
    std::stringstream out;
    std::stringstream err;
    std::streambuf *oldOut;
    std::streambuf *oldErr;
};

#pragma once

#include <QtGlobal>

/// Bounds that keep one client, or one address, from exhausting the service.
struct ServiceLimits
{
    /// Queued output above which a session's requests are not read (until it
    /// drains): a client that asks and never reads stops being heard.
    qint64 pauseReadingAbove = 4 * 1024 * 1024;
    /// Queued output above which a session is closed at once.
    qint64 closeAbove = 16 * 1024 * 1024;
    /// A session whose output stays above pauseReadingAbove this long is closed.
    int stuckMs = 60000;
    /// A session that completes no request this long is closed (clients send
    /// a heartbeat every 30 s). Bytes of an unfinished request do not count,
    /// so a client cannot hold its place by trickling them.
    int idleMs = 180000;
    /// A request whose first byte arrived this long ago and is still not
    /// complete closes the session: a request is a few hundred bytes.
    int requestMs = 10000;
    /// Clients served at the same time; more are turned away.
    int maxSessions = 64;
    /// Sessions from one peer address at the same time; more from that
    /// address are turned away, so that one host cannot take every place.
    int maxSessionsPerAddress = 8;
};

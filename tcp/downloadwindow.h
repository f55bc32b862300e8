#pragma once

#include "tcp/versioninfo.h"

#include <QList>
#include <QtGlobal>

/// Which download requests of a run are on the wire. The files of a run are
/// fetched in list order over one connection; a service that answers requests
/// in order lets the client ask for the next files while the current one
/// streams in, so that a far service is not idle for a round trip per file.
///
/// Indices run over the planned list: files before head() are complete,
/// head() … next() − 1 are requested and not yet complete, the rest wait.
/// The window holds at most maxFiles requests and, counting the sizes known
/// ahead (signed releases), at most maxBytes beyond the head file. The head
/// file itself is always requested, whatever its size.
class DownloadWindow {
public:
    /// One request at a time: the plain request-and-wait exchange.
    DownloadWindow() = default;

    void setLimits(int maxFiles, qint64 maxBytes);
    int maxFiles() const { return fileLimit; }

    /// A new run over @p files: nothing is requested or complete yet.
    void plan(const QList<FileItem> &files);
    const QList<FileItem> &files() const { return planned; }
    /// Index of the first planned file with @p item's path and name, or −1.
    int indexOf(const FileItem &item) const;
    /// The planned file at @p index is fetched whole from now on.
    void dropResume(int index);

    /// Makes @p index the head, the first file still to come (everything
    /// requested beyond it is forgotten when it was not the head already),
    /// and returns the indices to request now, in order, to fill the window.
    QList<int> fill(int index);
    /// The head file arrived complete; the next requested one becomes head.
    void completeHead();
    /// The connection was lost: nothing is on the wire any more.
    void reset() { next = head; }

    int headIndex() const { return head; }
    int nextIndex() const { return next; }
    /// True while requests beyond the completed files are on the wire.
    bool hasInFlight() const { return next > head; }

private:
    QList<FileItem> planned;
    int fileLimit = 1;
    qint64 byteLimit = 0;
    int head = 0;
    int next = 0;
};

#include "tcp/downloadwindow.h"

void DownloadWindow::setLimits(int maxFiles, qint64 maxBytes)
{
    fileLimit = qMax(1, maxFiles);
    byteLimit = qMax<qint64>(0, maxBytes);
}

void DownloadWindow::plan(const QList<FileItem> &files)
{
    planned = files;
    head = 0;
    next = 0;
}

void DownloadWindow::dropResume(int index)
{
    if (index >= 0 && index < planned.size())
        planned[index].resumeFrom = 0;
}

int DownloadWindow::indexOf(const FileItem &item) const
{
    for (int i = 0; i < planned.size(); ++i) {
        if (planned.at(i).path == item.path && planned.at(i).name == item.name)
            return i;
    }
    return -1;
}

QList<int> DownloadWindow::fill(int index)
{
    QList<int> requests;
    if (index < 0 || index >= planned.size())
        return requests;
    if (index != head) {
        head = index;
        next = index;
    }
    // Sizes known ahead count against the byte bound; a file of unknown
    // size counts as nothing, so the file count alone bounds those.
    qint64 bytes = 0;
    for (int i = head + 1; i < next; ++i)
        bytes += qMax<qint64>(0, planned.at(i).size);
    while (next < planned.size() && next - head < fileLimit) {
        if (next > head) {
            const qint64 size = qMax<qint64>(0, planned.at(next).size);
            if (bytes + size > byteLimit)
                break;
            bytes += size;
        }
        requests.append(next);
        ++next;
    }
    return requests;
}

void DownloadWindow::completeHead()
{
    if (head < next)
        ++head;
}

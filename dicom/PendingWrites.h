#pragma once

#include <QHash>
#include <QString>
#include <QStringList>

#include <sys/types.h>

namespace pacs {

// The images whose row is written while their file may not be complete yet,
// noted on disk so that a start after a crash can remove a row whose file
// never came (DicomServer::repairInterruptedWrites). Each save in progress
// holds one small marker file ("slot") with the image's UID; a finished save
// empties its slot for the next image instead of deleting it. Making and
// deleting a file per image cost more than the write itself: on a volume
// without a journal the file system searches past every recently deleted
// inode for a free one.
//
// Used on the main thread only; one save per key (the association) at a time.
class PendingWrites
{
public:
    PendingWrites() = default;
    PendingWrites(const PendingWrites &) = delete;
    PendingWrites &operator=(const PendingWrites &) = delete;
    ~PendingWrites();

    // Notes the write of `uid` under `storageRoot` for `key`; the slot's path.
    QString begin(const void *key, const QString &storageRoot, const QString &uid);
    // The save of `key` finished (stored or refused): its slot is empty again.
    void end(const void *key);

    // The UID a slot names; empty for an emptied slot (a blank) or one that
    // cannot be read.
    static QString uidIn(const QString &slotPath);

private:
    struct OpenSlot
    {
        int fd = -1;
        dev_t device = 0;
        ino_t inode = 0;
        off_t size = 0; // its length: only this program writes it
    };
    // Null when it cannot be opened. A note written goes to the file at the
    // slot's name (`named`: opened anew when that file was removed or
    // replaced); a slot emptied is emptied in the file that got its note.
    OpenSlot *slotFile(const QString &slot, bool named);
    static bool overwrite(OpenSlot &open, const QByteArray &text);
    void forget(const QString &slot);

    QHash<const void *, QString> m_busy;
    QHash<QString, OpenSlot> m_open;
    QStringList m_free;
    int m_made = 0;
};

} // namespace pacs

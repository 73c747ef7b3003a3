// The window of recently written files: the files that fall out of it lose
// their cached pages (and nothing else), the last ones keep theirs.

#include "dicom/toolkit/detail/WrittenFileWindow.h"

#include <QFile>
#include <QTemporaryDir>

#include <gtest/gtest.h>

#include <fcntl.h>
#include <linux/magic.h>
#include <sys/mman.h>
#include <sys/vfs.h>
#include <unistd.h>
#include <vector>

using pacs::toolkit::detail::WrittenFileWindow;

namespace {

constexpr qint64 kFileBytes = 1024 * 1024;

QByteArray contentOf(int n)
{
    QByteArray data(kFileBytes, Qt::Uninitialized);
    for (qint64 i = 0; i < data.size(); ++i)
        data[i] = char((i * 31 + n) & 0xFF);
    return data;
}

// Written and flushed, as the window's files are when they are added.
QString writeFlushed(const QString &folder, int n)
{
    const QString path = folder + QStringLiteral("/f%1.dcm").arg(n);
    QFile file(path);
    EXPECT_TRUE(file.open(QIODevice::WriteOnly));
    EXPECT_EQ(file.write(contentOf(n)), kFileBytes);
    file.flush();
    EXPECT_EQ(::fdatasync(file.handle()), 0);
    return path;
}

// The share of the file's pages in the page cache.
double residentShare(const QString &path)
{
    const int fd = ::open(QFile::encodeName(path).constData(), O_RDONLY);
    if (fd < 0)
        return -1;
    void *map = ::mmap(nullptr, size_t(kFileBytes), PROT_READ, MAP_SHARED, fd, 0);
    ::close(fd);
    if (map == MAP_FAILED)
        return -1;
    const long page = ::sysconf(_SC_PAGESIZE);
    std::vector<unsigned char> pages(size_t((kFileBytes + page - 1) / page));
    const bool known = ::mincore(map, size_t(kFileBytes), pages.data()) == 0;
    ::munmap(map, size_t(kFileBytes));
    if (!known)
        return -1;
    int resident = 0;
    for (unsigned char p : pages)
        resident += p & 1;
    return double(resident) / double(pages.size());
}

bool pageCacheDropsHere(const QString &folder)
{
    struct statfs fs {};
    // A memory file system keeps its files in those pages.
    return ::statfs(QFile::encodeName(folder).constData(), &fs) == 0 && fs.f_type != TMPFS_MAGIC
           && fs.f_type != RAMFS_MAGIC;
}

} // namespace

TEST(WrittenFileWindow, FilesLeavingTheWindowGiveBackTheirPagesAndKeepTheirData)
{
    QTemporaryDir dir;
    ASSERT_TRUE(dir.isValid());
    if (!pageCacheDropsHere(dir.path()))
        GTEST_SKIP() << "the temporary folder is in memory";

    // Bounded by bytes: two and a half files' worth keeps the last two.
    WrittenFileWindow byBytes(kFileBytes * 5 / 2, 100);
    QStringList paths;
    for (int n = 0; n < 4; ++n) {
        paths << writeFlushed(dir.path(), n);
        EXPECT_EQ(residentShare(paths.last()), 1.0) << n;
        byBytes.add(paths.last(), kFileBytes);
    }
    EXPECT_EQ(residentShare(paths[0]), 0.0);
    EXPECT_EQ(residentShare(paths[1]), 0.0);
    EXPECT_EQ(residentShare(paths[2]), 1.0);
    EXPECT_EQ(residentShare(paths[3]), 1.0);
    for (int n = 0; n < 4; ++n) {
        QFile file(paths[n]);
        ASSERT_TRUE(file.open(QIODevice::ReadOnly));
        EXPECT_EQ(file.readAll(), contentOf(n)) << n;
    }

    // Bounded by files; a file removed while in the window is passed over.
    WrittenFileWindow byFiles(kFileBytes * 100, 2);
    const QString gone = writeFlushed(dir.path(), 10);
    byFiles.add(gone, kFileBytes);
    ASSERT_TRUE(QFile::remove(gone));
    const QString first = writeFlushed(dir.path(), 11);
    byFiles.add(first, kFileBytes);
    const QString second = writeFlushed(dir.path(), 12);
    byFiles.add(second, kFileBytes);
    EXPECT_EQ(residentShare(first), 1.0);
    byFiles.add(writeFlushed(dir.path(), 13), kFileBytes);
    EXPECT_EQ(residentShare(first), 0.0);
    EXPECT_EQ(residentShare(second), 1.0);
}

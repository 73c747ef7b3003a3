#include "tools/FolderImages.h"

#include "dicom/toolkit/ToolkitImageList.h"

#include <QDir>
#include <QFileInfo>

#include <cmath>

namespace pacs::tools {

QString withTrailingSlash(const QString &folder)
{
    return folder.endsWith(QLatin1Char('/')) ? folder : folder + QLatin1Char('/');
}

bool listFolderFiles(const QString &folder, const QString &extension, QStringList &names, QString &error)
{
    names.clear();
    const QFileInfo info(folder);
    if (!info.exists()) {
        error = QStringLiteral("Path not found: ") + folder;
        return false;
    }
    if (!info.isDir()) {
        error = QStringLiteral("Not a folder: ") + folder;
        return false;
    }
    QDir dir(folder);
    if (!info.isReadable() || !dir.isReadable()) {
        error = QStringLiteral("Permission denied: ") + folder;
        return false;
    }
    const QFileInfoList files =
        dir.entryInfoList(QDir::Files | QDir::Hidden | QDir::System, QDir::Name | QDir::IgnoreCase);
    const QString suffix = QLatin1Char('.') + extension;
    for (const QFileInfo &file : files) {
        const QString name = file.fileName();
        const bool picked = extension.isEmpty() ? !name.contains(QLatin1Char('.'))
                                                : name.endsWith(suffix, Qt::CaseInsensitive);
        if (picked)
            names << name;
    }
    return true;
}

QStringList listSubfolders(const QString &folder)
{
    QStringList paths;
    const QDir dir(folder);
    const QFileInfoList entries = dir.entryInfoList(QDir::Dirs | QDir::NoDotAndDotDot | QDir::Hidden | QDir::System,
                                                    QDir::Name | QDir::IgnoreCase);
    for (const QFileInfo &entry : entries) {
        if (entry.fileName().isEmpty() || entry.fileName() == QLatin1String("System Volume Information"))
            continue;
        paths << entry.filePath();
    }
    return paths;
}

bool readImageFile(toolkit::ToolkitImageList &list, const QString &path, QString &error)
{
    list.listClear();
    QString reason;
    if (!list.listReadFile(path, &reason)) {
        error = reason.isEmpty() ? QStringLiteral("Cannot read ") + path : reason;
        return false;
    }
    const toolkit::ToolkitImage image = list.listItem(1);
    if (image.sopClassUid().isEmpty() && image.instanceUid().isEmpty()) {
        list.listClear();
        error = QStringLiteral("Not a DICOM image: ") + path;
        return false;
    }
    return true;
}

bool storagePortNumber(const QString &text, int &port, QString &error)
{
    bool ok = false;
    const double value = text.trimmed().toDouble(&ok);
    const double rounded = ok ? std::nearbyint(value) : 0; // halves to even, as the setting readers round
    if (!ok || !std::isfinite(value) || rounded < 1 || rounded > 65535) {
        error = QStringLiteral("Type mismatch: the StoragePort setting \"") + text + QStringLiteral("\" is not a port number");
        return false;
    }
    port = int(rounded);
    return true;
}

} // namespace pacs::tools

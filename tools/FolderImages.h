#pragma once

#include <QString>
#include <QStringList>

namespace pacs::toolkit {
class ToolkitImageList;
}

namespace pacs::tools {

// What the folder tools share: listing a folder's image files, reading one
// into an image list, and the storage node's port from its setting.

// The folder text with a "/" at its end.
QString withTrailingSlash(const QString &folder);

// Names of the files of one folder (not its subfolders) that end in "." +
// extension, letter case ignored as the archive's old file system did; an
// empty extension picks the names without one. Sorted by name, so a run
// reports the same order every time. False with a description when the
// folder cannot be opened.
bool listFolderFiles(const QString &folder, const QString &extension, QStringList &names, QString &error);

// Full paths of the subfolders, by name; "System Volume Information" and
// folders that cannot be listed are left out.
QStringList listSubfolders(const QString &folder);

// Empties the list and reads the file into it, so nothing of an earlier file
// is ever taken for this one. A file that reads but holds no image (no SOP
// Class or Instance UID) counts as not DICOM. False with a description.
bool readImageFile(toolkit::ToolkitImageList &list, const QString &path, QString &error);

// The StoragePort setting as a port number: a number (blanks around it
// allowed, decimals rounded) from 1 to 65535. False with a description.
bool storagePortNumber(const QString &text, int &port, QString &error);

} // namespace pacs::tools

#pragma once

#include "dicom/toolkit/ToolkitImageList.h"

#include <QObject>
#include <QString>

namespace pacs {
class ServerOptions;
}

namespace pacs::tools {

// "Folder Transmit": sends every file of one folder with the chosen
// extension to the storage node of the settings, one after the other. With
// the node pointing at this server it imports a folder into the archive
// through the normal reception. The first failure ends the run.
class FolderTransmit : public QObject
{
    Q_OBJECT
public:
    explicit FolderTransmit(ServerOptions &options, QObject *parent = nullptr);

    // "Transmit": true when every file was sent ("done" closes the progress);
    // false with errorMessage() (the message box's text) otherwise.
    bool Transmit(const QString &folder, const QString &extension);
    bool isRunning() const { return m_running; }

    const QString &progress() const { return m_progress; }
    const QString &errorMessage() const { return m_error; }
    int imagesSent() const { return m_sent; }

signals:
    void progressAppended(const QString &text); // CR LF and the new line
    void runningChanged(bool running);

private:
    void append(const QString &line);
    bool fail(const QString &message);
    bool sendFile(const QString &path);

    ServerOptions &m_options;
    toolkit::ToolkitImageList m_viewerImages; // the viewer's image list each file is read into
    QString m_progress;
    QString m_error;
    bool m_running = false;
    int m_sent = 0;
};

} // namespace pacs::tools

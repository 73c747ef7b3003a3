#include "tools/FolderTransmit.h"

#include "core/EventYield.h"
#include "core/ServerOptions.h"
#include "tools/FolderImages.h"

namespace pacs::tools {

FolderTransmit::FolderTransmit(ServerOptions &options, QObject *parent) : QObject(parent), m_options(options) {}

void FolderTransmit::append(const QString &line)
{
    const QString text = QStringLiteral("\r\n") + line;
    m_progress += text;
    emit progressAppended(text);
}

bool FolderTransmit::fail(const QString &message)
{
    m_error = message;
    // A failed file is not sent first by the next run.
    m_viewerImages.listClear();
    m_running = false;
    emit runningChanged(false);
    return false;
}

bool FolderTransmit::Transmit(const QString &folderText, const QString &extension)
{
    if (m_running) {
        m_error = QStringLiteral("A folder transmit is running already.");
        return false;
    }
    m_running = true;
    emit runningChanged(true);
    m_error.clear();
    m_sent = 0;
    const QString folder = withTrailingSlash(folderText);
    QStringList names;
    QString error;
    if (!listFolderFiles(folder, extension, names, error))
        return fail(error);
    append(QStringLiteral("starting"));
    for (const QString &name : names) {
        const QString path = folder + name;
        append(path);
        if (!sendFile(path))
            return false;
        yieldToEvents();
    }
    append(QStringLiteral("done"));
    m_running = false;
    emit runningChanged(false);
    return true;
}

bool FolderTransmit::sendFile(const QString &path)
{
    QString error;
    if (!readImageFile(m_viewerImages, path, error))
        return fail(error);
    append(QStringLiteral("sending..."));
    int port = 0;
    if (!storagePortNumber(m_options.storagePort(), port, error))
        return fail(error);
    if (!m_viewerImages.listItem(1).sendToNode(m_options.storageNode().trimmed(), port, m_options.aeName(),
                                               m_options.storageAE(), &error))
        return fail(error.isEmpty() ? QStringLiteral("The storage node did not take ") + path : error);
    ++m_sent;
    m_viewerImages.listClear();
    return true;
}

} // namespace pacs::tools

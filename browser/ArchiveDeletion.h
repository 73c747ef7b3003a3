#pragma once

#include <QObject>
#include <QString>
#include <QStringList>
#include <functional>

namespace pacs {
class Prompter;
namespace db {
class ArchiveConnection;
}
} // namespace pacs

namespace pacs::browser {

class StudyInfo;
class StudyInfoFields;
class StudyListSearch;

// "Delete Image" and "Delete Study" on "Study Info", "Delete ALL" on the study
// list. The patient row always stays. A file goes only once the rows that
// name it are gone, so a failed deletion never leaves a row without its file.
class ArchiveDeletion : public QObject
{
    Q_OBJECT
public:
    // forgetLastStudy: reception's remembered study (and series) key is reset,
    // so a later image of a deleted study writes its rows again.
    ArchiveDeletion(db::ArchiveConnection &connection, StudyInfoFields &fields, StudyInfo &studyInfo,
                    StudyListSearch &studyList, std::function<Prompter *()> prompter,
                    std::function<void()> forgetLastStudy, bool &searching, QObject *parent = nullptr);

    // Each returns the text of its message box, empty when it shows none.
    QString cmdDeleteImage();
    QString cmdDeleteStudy();
    void cmdDeleteALL();

    // Files that were there but could not be removed by the last command; the
    // window skips them without a word, the command line names them.
    const QStringList &filesLeft() const { return m_filesLeft; }

    static QString failedImageText(const QString &instanceUid);
    static QString failedStudyText(const QString &studyUid);

signals:
    void message(const QString &text); // a message box with an OK button
    void beep();
    void busyChanged(bool busy);       // hourglass pointer

private:
    void removeFile(const QString &storedName);
    QString inform(const QString &text);

    db::ArchiveConnection &m_connection;
    StudyInfoFields &m_fields;
    StudyInfo &m_studyInfo;
    StudyListSearch &m_studyList;
    std::function<Prompter *()> m_prompter;
    std::function<void()> m_forgetLastStudy;
    bool &m_searching;
    QStringList m_filesLeft;
};

} // namespace pacs::browser

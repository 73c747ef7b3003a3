#pragma once

#include <QDialog>
#include <QList>
#include <QStringList>
#include <functional>

class QLabel;
class QLineEdit;

namespace pacs {

// The add and edit form of a list window: one box per field (objectName
// "txt" + field). OK hands the values to the save function; its message
// stays on the form until the values are right, an empty one closes it.
class BrowseRowDialog : public QDialog
{
    Q_OBJECT
public:
    using Save = std::function<QString(const QStringList &values)>;

    BrowseRowDialog(const QString &title, const QStringList &fields, const QStringList &values, Save save, QWidget *parent);

    QStringList values() const;
    void setValue(const QString &field, const QString &value);
    QString message() const;
    // OK: saves, and closes when saving worked.
    void save();

private:
    QStringList m_fields;
    QList<QLineEdit *> m_boxes;
    QLabel *m_message = nullptr;
    Save m_save;
};

} // namespace pacs

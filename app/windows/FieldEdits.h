#pragma once

#include "browser/StudyInfoFields.h"

#include <QObject>
#include <QString>
#include <QVector>

class QLineEdit;
class QWidget;

namespace pacs {

// A line edit over one of the shared identifier boxes: typing sets the
// field, and a change of the field (by a view or a command) shows in the
// edit. Several pages may show the same field.
QLineEdit *makeFieldEdit(browser::StudyInfoFields &fields, browser::StudyInfoFields::Field field,
                         QWidget *parent = nullptr);

// Line edits over the text members of a logic class's form: typing writes
// the member; refresh() shows the members again after a command filled them.
class FormEdits : public QObject
{
    Q_OBJECT
public:
    explicit FormEdits(QObject *parent = nullptr) : QObject(parent) {}

    QLineEdit *add(const QString &name, QString &value, QWidget *parent = nullptr);
    void refresh();

private:
    QVector<std::pair<QLineEdit *, QString *>> m_edits;
};

} // namespace pacs

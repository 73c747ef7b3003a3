#include "app/windows/FieldEdits.h"

#include <QLineEdit>

namespace pacs {

using browser::StudyInfoFields;

QLineEdit *makeFieldEdit(StudyInfoFields &fields, StudyInfoFields::Field field, QWidget *parent)
{
    auto *edit = new QLineEdit(parent);
    edit->setObjectName(StudyInfoFields::controlName(field));
    edit->setText(fields.value(field));
    QObject::connect(edit, &QLineEdit::textEdited, &fields,
                     [&fields, field](const QString &text) { fields.setValue(field, text); });
    QObject::connect(&fields, &StudyInfoFields::fieldChanged, edit,
                     [edit, field](StudyInfoFields::Field changed, const QString &text) {
                         if (changed == field && edit->text() != text)
                             edit->setText(text);
                     });
    return edit;
}

QLineEdit *FormEdits::add(const QString &name, QString &value, QWidget *parent)
{
    auto *edit = new QLineEdit(parent);
    edit->setObjectName(name);
    edit->setText(value);
    QString *target = &value;
    connect(edit, &QLineEdit::textEdited, this, [target](const QString &text) { *target = text; });
    m_edits.append({edit, target});
    return edit;
}

void FormEdits::refresh()
{
    for (const auto &[edit, value] : m_edits)
        if (edit->text() != *value)
            edit->setText(*value);
}

} // namespace pacs

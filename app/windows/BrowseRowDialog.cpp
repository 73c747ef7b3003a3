#include "app/windows/BrowseRowDialog.h"

#include <QDialogButtonBox>
#include <QFormLayout>
#include <QLabel>
#include <QLineEdit>
#include <QPushButton>
#include <QVBoxLayout>

namespace pacs {

BrowseRowDialog::BrowseRowDialog(const QString &title, const QStringList &fields, const QStringList &values, Save save,
                                 QWidget *parent)
    : QDialog(parent), m_fields(fields), m_save(std::move(save))
{
    setObjectName(QStringLiteral("frmBrowseRow"));
    setWindowTitle(title);
    setAttribute(Qt::WA_DeleteOnClose);
    auto *layout = new QVBoxLayout(this);
    auto *form = new QFormLayout;
    for (qsizetype i = 0; i < fields.size(); ++i) {
        auto *box = new QLineEdit(values.value(i), this);
        box->setObjectName(QStringLiteral("txt") + fields[i]);
        form->addRow(fields[i], box);
        m_boxes << box;
    }
    layout->addLayout(form);
    m_message = new QLabel(this);
    m_message->setObjectName(QStringLiteral("lblMessage"));
    m_message->setStyleSheet(QStringLiteral("color: #b00000;"));
    m_message->setWordWrap(true);
    layout->addWidget(m_message);
    auto *buttons = new QDialogButtonBox(QDialogButtonBox::Ok | QDialogButtonBox::Cancel, this);
    buttons->button(QDialogButtonBox::Ok)->setObjectName(QStringLiteral("cmdOk"));
    buttons->button(QDialogButtonBox::Cancel)->setObjectName(QStringLiteral("cmdCancel"));
    layout->addWidget(buttons);
    connect(buttons, &QDialogButtonBox::accepted, this, &BrowseRowDialog::save);
    connect(buttons, &QDialogButtonBox::rejected, this, &QDialog::reject);
}

QStringList BrowseRowDialog::values() const
{
    QStringList values;
    for (const QLineEdit *box : m_boxes)
        values << box->text();
    return values;
}

void BrowseRowDialog::setValue(const QString &field, const QString &value)
{
    const qsizetype i = m_fields.indexOf(field);
    if (i >= 0)
        m_boxes[i]->setText(value);
}

QString BrowseRowDialog::message() const
{
    return m_message->text();
}

void BrowseRowDialog::save()
{
    const QString wrong = m_save(values());
    m_message->setText(wrong);
    if (wrong.isEmpty())
        accept();
}

} // namespace pacs

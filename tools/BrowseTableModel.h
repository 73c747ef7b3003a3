#pragma once

#include "tools/BrowseSettings.h"

#include <QAbstractTableModel>
#include <QList>
#include <QString>
#include <QStringList>
#include <functional>

namespace pacs::db {
class ArchiveConnection;
}

namespace pacs::tools {

// The rows of one list window: the table the browse settings name, listed,
// found, added to, edited and deleted as PropOperation allows (F find,
// A add, E edit, D delete; adding and editing also need the staff's edit
// right, deleting its delete right). The columns and their widths come from
// the ListView row named by propviewtoload, or are the table's own when
// there is none; PropFieldNameID is the key every change finds its row by.
// Values are written as quoted texts, an empty one as NULL.
class BrowseTableModel : public QAbstractTableModel
{
    Q_OBJECT
public:
    // A table's own check of a row about to be written: an empty text or
    // what is wrong with it.
    using RowCheck = std::function<QString(const QStringList &fields, const QStringList &values)>;
    static constexpr int MaxRows = 1000;
    static constexpr int TwipsPerPixel = 15;

    BrowseTableModel(db::ArchiveConnection &connection, const BrowseSettings &settings, const QString &listViewTable,
                     RowCheck check = {}, QObject *parent = nullptr);

    const BrowseSettings &settings() const { return m_settings; }
    bool canFind() const { return m_settings.allows(QLatin1Char('F')) && !m_settings.findField1.isEmpty(); }
    bool canAdd() const { return m_settings.allows(QLatin1Char('A')) && m_settings.staffAllowEdit; }
    bool canEdit() const { return m_settings.allows(QLatin1Char('E')) && m_settings.staffAllowEdit; }
    bool canDelete() const { return m_settings.allows(QLatin1Char('D')) && m_settings.staffAllowDelete; }

    // Reads the list view and the table's columns, then the rows, unless
    // the list waits for a find first. False with the reason.
    bool load(QString &error);
    // The rows whose find fields begin with the texts (an empty text does
    // not restrict).
    bool find(const QString &text1, const QString &text2, QString &error);
    // The last listing again.
    bool refresh(QString &error);

    bool hasListView() const { return m_hasListView; }
    const QStringList &columns() const { return m_columns; }
    // In pixels; -1 where the list view gives none.
    const QList<int> &columnWidths() const { return m_widths; }
    int keyColumn() const { return m_keyColumn; }
    // The fields of the add and edit form, the key among them.
    const QStringList &formFields() const { return m_formFields; }
    // The form of a new row: empty but for PropAutoFillField3 in its third field.
    QStringList newRowValues() const;
    // Whether rows have been read (not before the first find of a list
    // that finds before listing); whether more rows matched than are shown.
    bool listed() const { return m_listed; }
    bool truncated() const { return m_truncated; }
    QString statusText() const;

    QString cell(int row, int column) const;
    QString key(int row) const { return cell(row, m_keyColumn); }
    // The row's key with its PropFieldNameDesc value: "DEST (10.0.0.5)".
    QString description(int row) const;
    int rowOfKey(const QString &key) const;
    // The form fields of a listed row as stored now.
    bool rowValues(int row, QStringList &values, QString &error);

    // Each returns an empty text when done (the list is read again), or
    // what is wrong; values are in formFields() order.
    QString addRow(const QStringList &values);
    QString editRow(int row, const QStringList &values);
    QString deleteRow(int row);

    int rowCount(const QModelIndex &parent = QModelIndex()) const override;
    int columnCount(const QModelIndex &parent = QModelIndex()) const override;
    QVariant data(const QModelIndex &index, int role = Qt::DisplayRole) const override;
    QVariant headerData(int section, Qt::Orientation orientation, int role = Qt::DisplayRole) const override;

private:
    bool readListView(QString &error);
    bool tableColumns(QStringList &names, QString &error);
    bool list(QString &error);
    QString checkValues(const QStringList &values) const;
    QString keyField() const { return m_keyColumn >= 0 ? m_columns.value(m_keyColumn) : m_settings.fieldNameId; }
    int countWithKey(const QString &key, QString &error);
    bool run(const QString &statement, QString &error);

    db::ArchiveConnection &m_connection;
    BrowseSettings m_settings;
    QString m_listViewTable;
    RowCheck m_check;
    QStringList m_columns;
    QList<int> m_widths;
    QStringList m_formFields;
    int m_keyColumn = -1;
    bool m_hasListView = false;
    bool m_loaded = false;
    bool m_listed = false;
    bool m_truncated = false;
    QString m_find1;
    QString m_find2;
    QList<QStringList> m_rows;
};

} // namespace pacs::tools

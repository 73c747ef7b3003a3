#include "tools/BrowseTableModel.h"

#include "db/ArchiveConnection.h"
#include "db/SqlText.h"

#include <QRegularExpression>

namespace pacs::tools {

namespace {
bool isPlainName(const QString &name)
{
    static const QRegularExpression plain(QStringLiteral("^[A-Za-z_][A-Za-z0-9_]*$"));
    return plain.match(name).hasMatch();
}

// A column name as the statements write it.
QString bracketed(const QString &column)
{
    return QLatin1Char('[') + column + QLatin1Char(']');
}

QString literal(const QString &value)
{
    return value.isEmpty() ? QStringLiteral("NULL") : QLatin1Char('\'') + db::Quote(value) + QLatin1Char('\'');
}

int indexOf(const QStringList &names, const QString &name)
{
    for (qsizetype i = 0; i < names.size(); ++i)
        if (names[i].compare(name, Qt::CaseInsensitive) == 0)
            return int(i);
    return -1;
}
} // namespace

BrowseTableModel::BrowseTableModel(db::ArchiveConnection &connection, const BrowseSettings &settings, const QString &listViewTable,
                                   RowCheck check, QObject *parent)
    : QAbstractTableModel(parent), m_connection(connection), m_settings(settings), m_listViewTable(listViewTable),
      m_check(std::move(check))
{
}

bool BrowseTableModel::run(const QString &statement, QString &error)
{
    bool failed = false;
    db::ResultSet result = m_connection.ExecuteSQL(statement, failed);
    if (result.isNone()) {
        error = m_connection.lastError();
        return false;
    }
    result.close();
    return true;
}

bool BrowseTableModel::readListView(QString &error)
{
    m_hasListView = false;
    if (m_settings.viewToLoad.isEmpty() || m_listViewTable.isEmpty())
        return true;
    bool failed = false;
    db::ResultSet rows = m_connection.ExecuteSQL(QStringLiteral("SELECT TOP 1 FieldList, FieldSizes FROM ") + m_listViewTable
                                                     + QStringLiteral(" WHERE ViewName = '") + db::Quote(m_settings.viewToLoad)
                                                     + QStringLiteral("' ORDER BY ID"),
                                                 failed);
    if (rows.isNone()) {
        error = m_connection.lastError();
        return false;
    }
    if (rows.atEnd())
        return true; // no view of that name: the table's own columns
    const QStringList fields = rows.text(0).split(QLatin1Char(','));
    const QStringList sizes = rows.text(1).split(QLatin1Char(','));
    rows.close();
    for (qsizetype i = 0; i < fields.size(); ++i) {
        QString name = fields[i].trimmed();
        if (name.startsWith(QLatin1Char('[')) && name.endsWith(QLatin1Char(']')))
            name = name.mid(1, name.size() - 2).trimmed();
        if (name.isEmpty() || name.contains(QLatin1Char('[')) || name.contains(QLatin1Char(']')))
            continue;
        bool ok = false;
        const int twips = sizes.value(i).trimmed().toInt(&ok);
        m_columns << name;
        m_widths << (ok && twips > 0 ? twips / TwipsPerPixel : -1);
    }
    m_hasListView = !m_columns.isEmpty();
    return true;
}

bool BrowseTableModel::tableColumns(QStringList &names, QString &error)
{
    bool failed = false;
    db::ResultSet rows =
        m_connection.ExecuteSQL(QStringLiteral("SELECT * FROM ") + m_settings.qualifiedTable() + QStringLiteral(" WHERE 1=0"), failed);
    if (rows.isNone()) {
        error = m_connection.lastError();
        return false;
    }
    for (int i = 0; i < rows.fieldCount(); ++i)
        names << rows.fieldName(i);
    rows.close();
    return true;
}

bool BrowseTableModel::load(QString &error)
{
    beginResetModel();
    m_columns.clear();
    m_widths.clear();
    m_formFields.clear();
    m_rows.clear();
    m_listed = false;
    m_loaded = false;
    endResetModel();
    if (!isPlainName(m_settings.table) || (!m_settings.databaseName.isEmpty() && !isPlainName(m_settings.databaseName))) {
        error = QStringLiteral("Not a table name: ") + m_settings.qualifiedTable();
        return false;
    }
    QStringList all;
    if (!readListView(error) || !tableColumns(all, error))
        return false;
    if (!m_hasListView) {
        m_columns = all;
        m_widths = QList<int>(all.size(), -1);
    }
    m_keyColumn = indexOf(m_columns, m_settings.fieldNameId);
    if (m_keyColumn < 0 && indexOf(all, m_settings.fieldNameId) >= 0) {
        // The key is listed even where the view leaves it out: rows are found by it.
        m_columns << all.value(indexOf(all, m_settings.fieldNameId));
        m_widths << -1;
        m_keyColumn = int(m_columns.size()) - 1;
    }
    if (m_keyColumn < 0) {
        error = QStringLiteral("The key field ") + m_settings.fieldNameId + QStringLiteral(" is not a field of ")
                + m_settings.qualifiedTable() + QLatin1Char('.');
        return false;
    }
    m_formFields = m_settings.formUseOnlyBrowseFields ? m_columns : all;
    m_loaded = true;
    if (canFind() && m_settings.findBeforeListing) {
        beginResetModel();
        endResetModel();
        return true;
    }
    return list(error);
}

bool BrowseTableModel::find(const QString &text1, const QString &text2, QString &error)
{
    m_find1 = text1.trimmed();
    m_find2 = text2.trimmed();
    return list(error);
}

bool BrowseTableModel::refresh(QString &error)
{
    if (!m_loaded)
        return load(error);
    if (!m_listed && canFind() && m_settings.findBeforeListing)
        return true;
    return list(error);
}

bool BrowseTableModel::list(QString &error)
{
    if (!m_loaded) {
        error = QStringLiteral("The list is not loaded.");
        return false;
    }
    QStringList select;
    for (const QString &c : m_columns)
        select << bracketed(c);
    QStringList where;
    if (canFind()) {
        if (!m_find1.isEmpty())
            where << bracketed(m_settings.findField1) + QStringLiteral(" LIKE '") + db::Quote(m_find1) + QStringLiteral("%'");
        if (!m_find2.isEmpty() && !m_settings.findField2.isEmpty())
            where << bracketed(m_settings.findField2) + QStringLiteral(" LIKE '") + db::Quote(m_find2) + QStringLiteral("%'");
    }
    const int order = indexOf(m_columns, m_settings.fieldNameDesc);
    QString statement = QStringLiteral("SELECT TOP %1 ").arg(MaxRows + 1) + select.join(QStringLiteral(", ")) + QStringLiteral(" FROM ")
                        + m_settings.qualifiedTable();
    if (!where.isEmpty())
        statement += QStringLiteral(" WHERE ") + where.join(QStringLiteral(" AND "));
    statement += QStringLiteral(" ORDER BY ") + bracketed(m_columns.value(order >= 0 ? order : m_keyColumn));
    bool failed = false;
    db::ResultSet rows = m_connection.ExecuteSQL(statement, failed);
    if (rows.isNone()) {
        error = m_connection.lastError();
        return false;
    }
    QList<QStringList> read;
    bool more = false;
    for (; !rows.atEnd(); rows.moveNext()) {
        if (read.size() == MaxRows) {
            more = true;
            break;
        }
        QStringList cells;
        for (int c = 0; c < m_columns.size(); ++c)
            cells << rows.text(c);
        read << cells;
    }
    const bool broken = rows.endedWithError();
    const QString readError = rows.error();
    rows.close();
    beginResetModel();
    m_rows = read;
    m_truncated = more;
    m_listed = true;
    endResetModel();
    if (broken) {
        error = readError;
        return false;
    }
    return true;
}

QStringList BrowseTableModel::newRowValues() const
{
    QStringList values(m_formFields.size());
    if (!m_settings.autoFillField3.isEmpty() && values.size() >= 3)
        values[2] = m_settings.autoFillField3;
    return values;
}

QString BrowseTableModel::statusText() const
{
    if (!m_listed)
        return QStringLiteral("Find first.");
    if (m_truncated)
        return QStringLiteral("The first %1 rows; find to narrow the list.").arg(MaxRows);
    return QStringLiteral("%1 rows").arg(m_rows.size());
}

QString BrowseTableModel::cell(int row, int column) const
{
    return m_rows.value(row).value(column);
}

QString BrowseTableModel::description(int row) const
{
    const int column = indexOf(m_columns, m_settings.fieldNameDesc);
    const QString text = column >= 0 && column != m_keyColumn ? cell(row, column) : QString();
    return text.isEmpty() ? key(row) : key(row) + QStringLiteral(" (") + text + QLatin1Char(')');
}

int BrowseTableModel::rowOfKey(const QString &key) const
{
    for (qsizetype r = 0; r < m_rows.size(); ++r)
        if (m_rows[r].value(m_keyColumn).compare(key, Qt::CaseInsensitive) == 0)
            return int(r);
    return -1;
}

bool BrowseTableModel::rowValues(int row, QStringList &values, QString &error)
{
    if (row < 0 || row >= m_rows.size()) {
        error = QStringLiteral("No row chosen.");
        return false;
    }
    QStringList select;
    for (const QString &f : m_formFields)
        select << bracketed(f);
    bool failed = false;
    db::ResultSet rows = m_connection.ExecuteSQL(QStringLiteral("SELECT ") + select.join(QStringLiteral(", ")) + QStringLiteral(" FROM ")
                                                     + m_settings.qualifiedTable() + QStringLiteral(" WHERE ") + bracketed(keyField())
                                                     + QStringLiteral(" = '") + db::Quote(key(row)) + QLatin1Char('\''),
                                                 failed);
    if (rows.isNone()) {
        error = m_connection.lastError();
        return false;
    }
    if (rows.atEnd()) {
        error = keyField() + QLatin1Char(' ') + key(row) + QStringLiteral(" is no longer there.");
        return false;
    }
    values.clear();
    for (int i = 0; i < m_formFields.size(); ++i)
        values << rows.text(i);
    rows.close();
    return true;
}

QString BrowseTableModel::checkValues(const QStringList &values) const
{
    if (values.size() != m_formFields.size())
        return QStringLiteral("%1 values for %2 fields.").arg(values.size()).arg(m_formFields.size());
    const int keyAt = indexOf(m_formFields, keyField());
    if (keyAt >= 0 && values[keyAt].trimmed().isEmpty())
        return keyField() + QStringLiteral(" is needed.");
    return m_check ? m_check(m_formFields, values) : QString();
}

int BrowseTableModel::countWithKey(const QString &key, QString &error)
{
    bool failed = false;
    db::ResultSet rows = m_connection.ExecuteSQL(QStringLiteral("SELECT count(*) FROM ") + m_settings.qualifiedTable()
                                                     + QStringLiteral(" WHERE ") + bracketed(keyField()) + QStringLiteral(" = '")
                                                     + db::Quote(key) + QLatin1Char('\''),
                                                 failed);
    if (rows.isNone() || rows.atEnd()) {
        error = m_connection.lastError();
        return -1;
    }
    const int count = int(rows.field(0).toInteger());
    rows.close();
    return count;
}

QString BrowseTableModel::addRow(const QStringList &values)
{
    if (!m_loaded)
        return QStringLiteral("The list is not loaded.");
    if (!canAdd())
        return QStringLiteral("Rows cannot be added to this list.");
    if (const QString wrong = checkValues(values); !wrong.isEmpty())
        return wrong;
    const int keyAt = indexOf(m_formFields, keyField());
    QString error;
    if (keyAt >= 0) {
        const int existing = countWithKey(values[keyAt].trimmed(), error);
        if (existing < 0)
            return error;
        if (existing > 0)
            return keyField() + QLatin1Char(' ') + values[keyAt].trimmed() + QStringLiteral(" exists already.");
    }
    QStringList names;
    QStringList literals;
    for (qsizetype i = 0; i < m_formFields.size(); ++i) {
        names << bracketed(m_formFields[i]);
        literals << literal(i == keyAt ? values[i].trimmed() : values[i]);
    }
    if (!run(QStringLiteral("INSERT INTO ") + m_settings.qualifiedTable() + QStringLiteral(" (") + names.join(QStringLiteral(", "))
                 + QStringLiteral(") VALUES (") + literals.join(QStringLiteral(", ")) + QLatin1Char(')'),
             error))
        return error;
    return refresh(error) ? QString() : error;
}

QString BrowseTableModel::editRow(int row, const QStringList &values)
{
    if (!canEdit())
        return QStringLiteral("Rows of this list cannot be edited.");
    if (row < 0 || row >= m_rows.size())
        return QStringLiteral("No row chosen.");
    if (const QString wrong = checkValues(values); !wrong.isEmpty())
        return wrong;
    const QString oldKey = key(row);
    const int keyAt = indexOf(m_formFields, keyField());
    QString error;
    const int existing = countWithKey(oldKey, error);
    if (existing < 0)
        return error;
    if (existing == 0)
        return keyField() + QLatin1Char(' ') + oldKey + QStringLiteral(" is no longer there.");
    if (keyAt >= 0 && values[keyAt].trimmed().compare(oldKey, Qt::CaseInsensitive) != 0) {
        const int taken = countWithKey(values[keyAt].trimmed(), error);
        if (taken < 0)
            return error;
        if (taken > 0)
            return keyField() + QLatin1Char(' ') + values[keyAt].trimmed() + QStringLiteral(" exists already.");
    }
    QStringList sets;
    for (qsizetype i = 0; i < m_formFields.size(); ++i)
        sets << bracketed(m_formFields[i]) + QStringLiteral(" = ") + literal(i == keyAt ? values[i].trimmed() : values[i]);
    if (!run(QStringLiteral("UPDATE ") + m_settings.qualifiedTable() + QStringLiteral(" SET ") + sets.join(QStringLiteral(", "))
                 + QStringLiteral(" WHERE ") + bracketed(keyField()) + QStringLiteral(" = '") + db::Quote(oldKey) + QLatin1Char('\''),
             error))
        return error;
    return refresh(error) ? QString() : error;
}

QString BrowseTableModel::deleteRow(int row)
{
    if (!canDelete())
        return QStringLiteral("Rows of this list cannot be deleted.");
    if (row < 0 || row >= m_rows.size())
        return QStringLiteral("No row chosen.");
    QString error;
    if (!run(QStringLiteral("DELETE FROM ") + m_settings.qualifiedTable() + QStringLiteral(" WHERE ") + bracketed(keyField())
                 + QStringLiteral(" = '") + db::Quote(key(row)) + QLatin1Char('\''),
             error))
        return error;
    return refresh(error) ? QString() : error;
}

int BrowseTableModel::rowCount(const QModelIndex &parent) const
{
    return parent.isValid() ? 0 : int(m_rows.size());
}

int BrowseTableModel::columnCount(const QModelIndex &parent) const
{
    return parent.isValid() ? 0 : int(m_columns.size());
}

QVariant BrowseTableModel::data(const QModelIndex &index, int role) const
{
    if (!index.isValid() || (role != Qt::DisplayRole && role != Qt::ToolTipRole))
        return QVariant();
    return cell(index.row(), index.column());
}

QVariant BrowseTableModel::headerData(int section, Qt::Orientation orientation, int role) const
{
    if (role != Qt::DisplayRole)
        return QVariant();
    if (orientation == Qt::Horizontal)
        return m_columns.value(section);
    return section + 1;
}

} // namespace pacs::tools

#pragma once

#include "db/TsqlTranslator.h"

#include <QHash>
#include <QString>
#include <optional>
#include <vector>

namespace pacs::db {

// Translations kept by the statement's shape: its text with every text
// literal standing for any text. The statements of an image's reception
// differ only in their texts (UIDs, names), so each was translated anew;
// when the translation of a shape looked at none of its literals, a
// statement of that shape is its kept translation with the literals put
// back. A shape whose translation depends on a literal's value (a date into
// a date column, a LIKE pattern) is remembered as such and its statements
// are translated whole.
class TranslationShapes
{
public:
    // false when the statement holds no text literal or its shape's
    // translation depends on them: the caller translates it whole.
    bool translate(const QString &statement, const TsqlTranslator &translator, TranslatedStatement &out);

    // Translations depend on the translator's catalog of columns.
    void clear() { m_shapes.clear(); }

private:
    // One translated text as pieces around the places of the literals:
    // pieces[0] literal[places[0]] pieces[1] ... pieces[n].
    struct Spliced
    {
        std::vector<QString> pieces;
        std::vector<int> places;
        QString with(const std::vector<QStringView> &literals) const;
    };
    struct Shape
    {
        Spliced sql;
        Spliced guardQuery;
        bool guardNegated = false;
    };

    static bool split(const QString &text, int literals, std::vector<bool> &seen, Spliced &out);

    QHash<QString, std::optional<Shape>> m_shapes; // nullopt: translated whole
};

} // namespace pacs::db

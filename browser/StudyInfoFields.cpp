#include "browser/StudyInfoFields.h"

namespace pacs::browser {

void StudyInfoFields::setValue(Field field, const QString &text)
{
    if (field < 0 || field >= FieldCount || m_values[field] == text)
        return;
    m_values[field] = text;
    emit fieldChanged(field, text);
}

QString StudyInfoFields::controlName(Field field)
{
    static const char *const names[FieldCount] = {
        "txtStudyUID",      "txtNewPATIDforSTUDY", "txtUpdateStudyUID", "txtSeriesUID",     "txtSeriesUIDtoUpdate",
        "txtUpdatesSeriesUID", "txtImageSeriesUID", "txtSeriesStudyUID", "txtInstanceUID",
    };
    return field >= 0 && field < FieldCount ? QLatin1String(names[field]) : QString();
}

} // namespace pacs::browser

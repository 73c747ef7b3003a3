#pragma once

#include <QDate>
#include <QString>

namespace pacs::browser {

// The values of the study list's filter controls, as the search reads them:
// texts as typed (neither trimmed nor escaped), check boxes as checked.
struct StudyFilter
{
    QString hospNum;         // txtHospNum
    QString lastName;        // txtLastname
    QString firstName;       // txtFirstName
    QString accessionNumber; // txtAccessionNumber
    QString fileNum;         // txtFileNum
    bool cr = false;         // chkCR
    bool ct = false;         // chkCT
    bool mr = false;         // chkMR
    bool us = false;         // chkUS
    bool nm = false;         // chkNM
    bool xc = false;         // chkXC
    bool mg = false;         // chkMG
    QString otherModality;   // txtOtherModality
    bool allDates = true;    // optAll (optSpecified otherwise)
    QDate startDate = QDate::currentDate(); // dtPickerStart
    bool range = false;      // chkRange
    QDate endDate = QDate::currentDate();   // dtPicker
    bool pendingResult = false; // chkPendingResult
    bool noResult = false;      // chkNoResult
};

} // namespace pacs::browser

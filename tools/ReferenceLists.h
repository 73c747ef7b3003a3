#pragma once

#include <QString>

class QObject;

namespace pacs::tools {

class HostFramework;

// "Doctors", "PACS Patients" and "HIS Patients": list windows of the
// referring doctors (Build_File), the archive's patients and the hospital
// information system's master patient list, opened through the host
// framework with the settings of each list.
class ReferenceLists
{
public:
    enum class List { Doctors, PacsPatients, HisPatients };

    explicit ReferenceLists(HostFramework &host) : m_host(host) {}

    // The browse sequence of one list; false with the reason when the
    // framework could not be set up.
    bool open(List list, QObject *parentWindow, QString &error);
    bool cmdDoctors(QObject *parentWindow, QString &error) { return open(List::Doctors, parentWindow, error); }
    bool cmdPatients(QObject *parentWindow, QString &error) { return open(List::PacsPatients, parentWindow, error); }
    bool cmdHISPatients(QObject *parentWindow, QString &error) { return open(List::HisPatients, parentWindow, error); }

private:
    HostFramework &m_host;
};

} // namespace pacs::tools

#pragma once

#include <QDialog>

class QButtonGroup;
class QCheckBox;
class QGroupBox;
class QLineEdit;
class QPushButton;
class QRadioButton;

namespace pacs {

class ServerController;
class ServerOptions;

// "Options": the settings dialog over the controller's ServerOptions. Every
// change is stored at once (Port and AE title on each keystroke, the other
// fields on leaving them, boxes and options on click); there is no Cancel.
// "&Close" only hides it: the main window keeps the one dialog for the whole
// run, so reopening shows the values as last typed.
class OptionsDialog : public QDialog
{
    Q_OBJECT
public:
    explicit OptionsDialog(ServerController &controller, QWidget *parent = nullptr);

    // Where "Install as Service" writes its unit (systemd's folder unless set).
    void setUnitFolder(const QString &folder) { m_unitFolder = folder; }

public slots:
    void reject() override;

signals:
    void remoteAetsRequested(); // "Remote AETs": the editor of the RemoteAETs table
    void closed();              // hidden by "&Close", Esc or the window's close box

protected:
    void showEvent(QShowEvent *event) override;

private:
    QWidget *buildLeftColumn();
    QWidget *buildRightColumn();
    QLineEdit *addField(QWidget *frame, const QString &name, const QString &label, const QString &designText);
    QCheckBox *addCheck(QWidget *frame, const QString &name, const QString &caption);
    // The fields stored on leaving them, stored now (the dialog is closing
    // with the focus still in one).
    void commitFields();
    void showValues();
    void installAsService();

    ServerController &m_controller;
    ServerOptions &m_options;
    QString m_unitFolder;
    QLineEdit *m_aeName = nullptr;
    QLineEdit *m_port = nullptr;
    QLineEdit *m_storageNode = nullptr;
    QLineEdit *m_storagePort = nullptr;
    QLineEdit *m_storageAE = nullptr;
    QLineEdit *m_drive = nullptr;
    QLineEdit *m_jpegQuality = nullptr;
    QCheckBox *m_storeByInst = nullptr;
    QCheckBox *m_autoEcho = nullptr;
    QCheckBox *m_traceMode = nullptr;
    QCheckBox *m_acceptKnownOnly = nullptr;
    QCheckBox *m_checkCallerAddress = nullptr;
    QLineEdit *m_tlsCertificate = nullptr;
    QLineEdit *m_tlsPrivateKey = nullptr;
    QLineEdit *m_tlsTrusted = nullptr;
    QCheckBox *m_tlsOutgoing = nullptr;
    QCheckBox *m_saveDbFirst = nullptr;
    QCheckBox *m_disregardDuplicates = nullptr;
    QCheckBox *m_hospNumExist = nullptr;
    QCheckBox *m_checkDifferentName = nullptr;
    QCheckBox *m_useCallingRemoteIp = nullptr;
    QCheckBox *m_checkRequestNum = nullptr;
    QGroupBox *m_sameId = nullptr;
    QRadioButton *m_disregard = nullptr;
    QRadioButton *m_createTempId = nullptr;
    QButtonGroup *m_profiles = nullptr;
};

} // namespace pacs

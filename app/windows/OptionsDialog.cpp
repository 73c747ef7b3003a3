#include "app/windows/OptionsDialog.h"

#include "app/shell/ServerController.h"
#include "app/shell/ServiceCommands.h"
#include "core/ServerOptions.h"

#include <QApplication>
#include <QButtonGroup>
#include <QCheckBox>
#include <QFormLayout>
#include <QGroupBox>
#include <QHBoxLayout>
#include <QLabel>
#include <QLineEdit>
#include <QMessageBox>
#include <QPushButton>
#include <QRadioButton>
#include <QVBoxLayout>

namespace pacs {

using Profile = ServerOptions::SiteProfile;

namespace {
QGroupBox *frame(const QString &name, const QString &caption, QWidget *parent)
{
    auto *box = new QGroupBox(caption, parent);
    box->setObjectName(name);
    auto *layout = new QFormLayout(box);
    layout->setFieldGrowthPolicy(QFormLayout::AllNonFixedFieldsGrow);
    return box;
}

QFormLayout *formOf(QWidget *frame)
{
    return static_cast<QFormLayout *>(frame->layout());
}
} // namespace

OptionsDialog::OptionsDialog(ServerController &controller, QWidget *parent)
    : QDialog(parent),
      m_controller(controller),
      m_options(controller.options()),
      m_unitFolder(tools::ServiceInstaller::systemUnitFolder())
{
    setObjectName(QStringLiteral("frmOptions"));
    setWindowTitle(QStringLiteral("Options"));
    setModal(false);

    auto *layout = new QVBoxLayout(this);
    auto *columns = new QHBoxLayout;
    columns->addWidget(buildLeftColumn(), 1);
    columns->addWidget(buildRightColumn(), 1);
    layout->addLayout(columns);

    auto *buttons = new QHBoxLayout;
    auto *install = new QPushButton(QStringLiteral("Install as Service"), this);
    install->setObjectName(QStringLiteral("cmdInstallAsService"));
    auto *close = new QPushButton(QStringLiteral("&Close"), this);
    close->setObjectName(QStringLiteral("cmdOk"));
    close->setAutoDefault(false);
    install->setAutoDefault(false);
    buttons->addWidget(install);
    buttons->addStretch();
    buttons->addWidget(close);
    layout->addLayout(buttons);

    connect(install, &QPushButton::clicked, this, &OptionsDialog::installAsService);
    connect(close, &QPushButton::clicked, this, &OptionsDialog::reject);
    showValues();
}

QLineEdit *OptionsDialog::addField(QWidget *frame, const QString &name, const QString &label, const QString &designText)
{
    auto *field = new QLineEdit(designText, frame);
    field->setObjectName(name);
    formOf(frame)->addRow(label, field);
    return field;
}

QCheckBox *OptionsDialog::addCheck(QWidget *frame, const QString &name, const QString &caption)
{
    auto *box = new QCheckBox(caption, frame);
    box->setObjectName(name);
    formOf(frame)->addRow(box);
    return box;
}

QWidget *OptionsDialog::buildLeftColumn()
{
    auto *column = new QWidget(this);
    auto *layout = new QVBoxLayout(column);
    layout->setContentsMargins(0, 0, 0, 0);

    QGroupBox *entity = frame(QStringLiteral("fraThisEntity"), QStringLiteral("This Entity"), column);
    m_aeName = addField(entity, QStringLiteral("AEName"), QStringLiteral("This Application Entitiy Title:"), QStringLiteral("TALMIR"));
    m_port = addField(entity, QStringLiteral("Port"), QStringLiteral("Port to Listen On:"), QStringLiteral("106"));
    layout->addWidget(entity);

    QGroupBox *remote = frame(QStringLiteral("fraRemoteStorage"), QStringLiteral("Remote SCP Storage"), column);
    m_storageNode = addField(remote, QStringLiteral("StorageNode"), QStringLiteral("Node Name or IP Address:"), QStringLiteral("localhost"));
    m_storagePort = addField(remote, QStringLiteral("StoragePort"), QStringLiteral("Port Number:"), QStringLiteral("104"));
    m_storageAE = addField(remote, QStringLiteral("StorageAE"), QStringLiteral("AE Name:"), QStringLiteral("REMOTE_AET"));
    layout->addWidget(remote);

    QGroupBox *storage = frame(QStringLiteral("fraStorage"), QStringLiteral("Storage"), column);
    m_drive = addField(storage, QStringLiteral("txtDrive"), QStringLiteral("Image Store (end with \"\\\"'):"), QStringLiteral("D:\\"));
    m_jpegQuality = new QLineEdit(QStringLiteral("0"), storage);
    m_jpegQuality->setObjectName(QStringLiteral("txtJPEGQuality"));
    m_jpegQuality->setMaximumWidth(60);
    auto *quality = new QHBoxLayout;
    quality->addWidget(m_jpegQuality);
    quality->addWidget(new QLabel(QStringLiteral("(1 to 100) 1=highest, 0=no JPEG"), storage), 1);
    formOf(storage)->addRow(QStringLiteral("JPEG Quality:"), quality);
    m_storeByInst = addCheck(storage, QStringLiteral("chkStorebyInst"), QStringLiteral("Store Images by Institution Name"));
    layout->addWidget(storage);

    QGroupBox *sync = frame(QStringLiteral("fraSynchronize"), QStringLiteral("Synchronize"), column);
    m_autoEcho = addCheck(sync, QStringLiteral("chkAuotEcho"), QStringLiteral("Auto Echo Image when received"));
    m_traceMode = addCheck(sync, QStringLiteral("chkTraceMode"), QStringLiteral("Trace Mode"));
    layout->addWidget(sync);

    // Off by default; a listening server takes the TLS files when the dialog closes.
    QGroupBox *security = frame(QStringLiteral("fraSecurity"), QStringLiteral("Security"), column);
    m_acceptKnownOnly = addCheck(security, QStringLiteral("chkAcceptKnownAETsOnly"),
                                 QStringLiteral("Accept only AE titles listed in Remote AETs"));
    m_checkCallerAddress = addCheck(security, QStringLiteral("chkCheckCallerAddress"),
                                    QStringLiteral("... and only from their IP address"));
    m_tlsCertificate = addField(security, QStringLiteral("TLSCertificate"), QStringLiteral("TLS Certificate (PEM):"), QString());
    m_tlsPrivateKey = addField(security, QStringLiteral("TLSPrivateKey"), QStringLiteral("TLS Private Key (PEM):"), QString());
    m_tlsTrusted = addField(security, QStringLiteral("TLSTrustedCertificates"), QStringLiteral("Trusted Certificates (PEM):"),
                            QString());
    m_tlsOutgoing = addCheck(security, QStringLiteral("chkTLSOutgoing"), QStringLiteral("Use TLS for outgoing associations too"));
    layout->addWidget(security);
    layout->addStretch();

    // Port and AE title: every keystroke is stored.
    connect(m_aeName, &QLineEdit::textEdited, this, [this](const QString &text) { m_options.setAeName(text); });
    connect(m_port, &QLineEdit::textEdited, this, [this](const QString &text) { m_options.setPort(text); });
    // The others when the operator leaves the field.
    for (QLineEdit *field : {m_storageNode, m_storagePort, m_storageAE, m_drive, m_jpegQuality, m_tlsCertificate,
                             m_tlsPrivateKey, m_tlsTrusted})
        connect(field, &QLineEdit::editingFinished, this, &OptionsDialog::commitFields);
    connect(m_acceptKnownOnly, &QCheckBox::clicked, this, [this](bool on) {
        m_options.setAcceptKnownAETsOnly(on ? 1 : 0);
        m_checkCallerAddress->setEnabled(on);
    });
    connect(m_checkCallerAddress, &QCheckBox::clicked, this, [this](bool on) { m_options.setCheckCallerAddress(on ? 1 : 0); });
    connect(m_tlsOutgoing, &QCheckBox::clicked, this, [this](bool on) { m_options.setTlsOutgoing(on ? 1 : 0); });

    connect(m_storeByInst, &QCheckBox::clicked, this, [this](bool on) { m_options.setStoreByInstitution(on ? 1 : 0); });
    connect(m_autoEcho, &QCheckBox::clicked, this, [this](bool on) { m_options.setAutoEcho(on ? 1 : 0); });
    connect(m_traceMode, &QCheckBox::clicked, this, [this](bool on) { m_options.setTraceMode(on); });
    return column;
}

QWidget *OptionsDialog::buildRightColumn()
{
    auto *column = new QWidget(this);
    auto *layout = new QVBoxLayout(column);
    layout->setContentsMargins(0, 0, 0, 0);

    QGroupBox *options = frame(QStringLiteral("fraOptions"), QStringLiteral("Options"), column);
    m_saveDbFirst = addCheck(options, QStringLiteral("chkSavetoDBbeforeSaveImage"), QStringLiteral("Save image data to DB before saving image."));
    m_disregardDuplicates = addCheck(options, QStringLiteral("chkDisregardDuplicates"), QStringLiteral("Disregard Duplicate Images"));
    m_hospNumExist = addCheck(options, QStringLiteral("chkHospNumExist"), QStringLiteral("Verify TALMIR HospNum exists"));
    m_checkDifferentName = addCheck(options, QStringLiteral("chkDisregardDifferentName"), QStringLiteral("Check exitsting ID with different name"));
    m_sameId = new QGroupBox(QStringLiteral("Same ID but different Name"), options);
    m_sameId->setObjectName(QStringLiteral("fraSameID"));
    auto *sameIdLayout = new QVBoxLayout(m_sameId);
    m_disregard = new QRadioButton(QStringLiteral("Disregard"), m_sameId);
    m_disregard->setObjectName(QStringLiteral("optDisregard"));
    m_createTempId = new QRadioButton(QStringLiteral("Create _temp ID"), m_sameId);
    m_createTempId->setObjectName(QStringLiteral("optCreateTempID"));
    sameIdLayout->addWidget(m_disregard);
    sameIdLayout->addWidget(m_createTempId);
    formOf(options)->addRow(m_sameId);
    m_useCallingRemoteIp = addCheck(options, QStringLiteral("chkUseCallingRemoteIP"),
                                    QStringLiteral("Use Calling Remote IP instead of saved IP in Remote AETs"));
    m_checkRequestNum = addCheck(options, QStringLiteral("chkCheckRequestNum"), QStringLiteral("Check Accession Number/Req Num"));
    auto *remoteAets = new QPushButton(QStringLiteral("Remote AETs"), options);
    remoteAets->setObjectName(QStringLiteral("cmdRemoteAET"));
    remoteAets->setAutoDefault(false);
    formOf(options)->addRow(remoteAets);
    layout->addWidget(options);

    QGroupBox *custom = frame(QStringLiteral("fraCustom"), QStringLiteral("CustomDB"), column);
    m_profiles = new QButtonGroup(this);
    const std::pair<const char *, Profile> profiles[] = {{"ORVIK", Profile::ORVIK},
                                                         {"Quillstad", Profile::Quillstad},
                                                         {"Brackmoor", Profile::Brackmoor},
                                                         {"Tessmark", Profile::Tessmark},
                                                         {"None", Profile::None}};
    for (const auto &[caption, profile] : profiles) {
        auto *option = new QRadioButton(QLatin1String(caption), custom);
        option->setObjectName(QStringLiteral("opt") + QLatin1String(caption));
        m_profiles->addButton(option, int(profile));
        formOf(custom)->addRow(option);
    }
    layout->addWidget(custom);
    layout->addStretch();

    connect(m_saveDbFirst, &QCheckBox::clicked, this, [this](bool on) { m_options.setSaveToDbBeforeImage(on ? 1 : 0); });
    connect(m_disregardDuplicates, &QCheckBox::clicked, this, [this](bool on) { m_options.setDisregardDuplicates(on ? 1 : 0); });
    connect(m_hospNumExist, &QCheckBox::clicked, this, [this](bool on) { m_options.setHospNumExists(on ? 1 : 0); });
    connect(m_checkDifferentName, &QCheckBox::clicked, this, [this](bool on) {
        m_options.setCheckDifferentName(on ? 1 : 0);
        m_sameId->setEnabled(m_options.sameIdFrameEnabled()); // the choice inside is kept
    });
    connect(m_useCallingRemoteIp, &QCheckBox::clicked, this, [this](bool on) { m_options.setUseCallingRemoteIp(on ? 1 : 0); });
    connect(m_checkRequestNum, &QCheckBox::clicked, this, [this](bool on) { m_options.setCheckRequestNumber(on ? 1 : 0); });
    connect(m_disregard, &QRadioButton::clicked, this, [this] { m_options.selectDisregard(); });
    connect(m_createTempId, &QRadioButton::clicked, this, [this] { m_options.selectCreateTempId(); });
    connect(m_profiles, &QButtonGroup::idClicked, this, [this](int id) { m_options.selectSiteProfile(Profile(id)); });
    connect(remoteAets, &QPushButton::clicked, this, &OptionsDialog::remoteAetsRequested);
    return column;
}

void OptionsDialog::commitFields()
{
    if (m_storageNode->text() != m_options.storageNode())
        m_options.setStorageNode(m_storageNode->text());
    if (m_storagePort->text() != m_options.storagePort())
        m_options.setStoragePort(m_storagePort->text());
    if (m_storageAE->text() != m_options.storageAE())
        m_options.setStorageAE(m_storageAE->text());
    if (m_jpegQuality->text() != m_options.jpegQuality())
        m_options.setJpegQuality(m_jpegQuality->text());
    if (m_tlsCertificate->text().trimmed() != m_options.tlsCertificate())
        m_options.setTlsCertificate(m_tlsCertificate->text());
    if (m_tlsPrivateKey->text().trimmed() != m_options.tlsPrivateKey())
        m_options.setTlsPrivateKey(m_tlsPrivateKey->text());
    if (m_tlsTrusted->text().trimmed() != m_options.tlsTrustedCertificates())
        m_options.setTlsTrustedCertificates(m_tlsTrusted->text());
    if (m_drive->text() != m_options.storageRoot()) {
        m_options.setStorageRoot(m_drive->text());
        m_drive->setText(m_options.storageRoot()); // the folder as it is used, ending in "/"
    }
}

void OptionsDialog::showValues()
{
    m_aeName->setText(m_options.aeName());
    m_port->setText(m_options.port());
    m_storageNode->setText(m_options.storageNode());
    m_storagePort->setText(m_options.storagePort());
    m_storageAE->setText(m_options.storageAE());
    m_drive->setText(m_options.storageRoot());
    m_jpegQuality->setText(m_options.jpegQuality());
    m_storeByInst->setChecked(m_options.storeByInstitution() == 1);
    m_autoEcho->setChecked(m_options.autoEcho() == 1);
    m_traceMode->setChecked(m_options.traceMode());
    m_acceptKnownOnly->setChecked(m_options.acceptKnownAETsOnly() == 1);
    m_checkCallerAddress->setChecked(m_options.checkCallerAddress() == 1);
    m_checkCallerAddress->setEnabled(m_options.acceptKnownAETsOnly() == 1);
    m_tlsCertificate->setText(m_options.tlsCertificate());
    m_tlsPrivateKey->setText(m_options.tlsPrivateKey());
    m_tlsTrusted->setText(m_options.tlsTrustedCertificates());
    m_tlsOutgoing->setChecked(m_options.tlsOutgoing() == 1);
    m_saveDbFirst->setChecked(m_options.saveToDbBeforeImage() == 1);
    m_disregardDuplicates->setChecked(m_options.disregardDuplicates() == 1);
    m_hospNumExist->setChecked(m_options.hospNumExists() == 1);
    m_checkDifferentName->setChecked(m_options.checkDifferentName() == 1);
    m_useCallingRemoteIp->setChecked(m_options.useCallingRemoteIp() == 1);
    m_checkRequestNum->setChecked(m_options.checkRequestNumber() == 1);
    m_sameId->setEnabled(m_options.sameIdFrameEnabled());
    m_disregard->setChecked(m_options.disregardSelected());
    m_createTempId->setChecked(m_options.createTempIdSelected());
    // No profile selected is a state of its own: no option checked.
    m_profiles->setExclusive(false);
    for (QAbstractButton *option : m_profiles->buttons())
        option->setChecked(m_profiles->id(option) == int(m_options.siteProfile()));
    m_profiles->setExclusive(true);
}

void OptionsDialog::showEvent(QShowEvent *event)
{
    showValues();
    QDialog::showEvent(event);
}

void OptionsDialog::reject()
{
    commitFields();
    QDialog::reject(); // hides; the dialog stays for the rest of the run
    emit closed();
}

void OptionsDialog::installAsService()
{
    QApplication::setOverrideCursor(Qt::WaitCursor);
    tools::ServiceInstaller installer = ServiceCommands::installerFor(m_controller.home().path(), m_unitFolder);
    const bool done = installer.install();
    QApplication::restoreOverrideCursor();
    const QString text = ServiceCommands::reportText(installer);
    if (done)
        QMessageBox::information(this, QStringLiteral("Install as Service"), text, QMessageBox::Ok);
    else
        QMessageBox::warning(this, QStringLiteral("Install as Service"), text, QMessageBox::Ok);
}

} // namespace pacs

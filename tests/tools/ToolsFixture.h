#pragma once

#include "core/ServerOptions.h"
#include "core/SettingsStore.h"
#include "db/SqlText.h"
#include "tests/db/ArchiveFixture.h"
#include "tests/support/SampleImages.h"
#include "tests/support/TestSupport.h"

#include <QDir>
#include <QFile>
#include <dcmtk/dcmdata/dcfilefo.h>
#include <dcmtk/dcmdata/dcmetinf.h>
#include <dcmtk/dcmdata/dcdeftag.h>
#include <gtest/gtest.h>

namespace pacs::test {

// An installed archive on a scratch home, with the settings dialog's values
// over the scratch settings file, and a folder for the image files.
class ToolsFixture : public ArchiveFixture
{
protected:
    void SetUp() override
    {
        ArchiveFixture::SetUp();
        if (HasFatalFailure())
            return;
        options.load();
        ASSERT_TRUE(files.isValid());
    }

    void addPatient(const QString &id, const QString &last)
    {
        bool failed = false;
        connection.ExecuteSQL(QStringLiteral("insert into PatientTable (PatientID, Name_Last, Name_First) values ('")
                                  + db::Quote(id) + "', '" + db::Quote(last) + "', 'X')",
                              failed);
        ASSERT_FALSE(failed) << log.errorText().toStdString();
    }

    // A sample image at a path below the files folder; its folders are made.
    QString image(const QString &relativePath, const QString &patientId, const QString &patientName)
    {
        const QString path = files.path() + "/" + relativePath;
        QDir().mkpath(QFileInfo(path).path());
        SampleSpec spec;
        spec.patientId = patientId;
        spec.patientName = patientName;
        EXPECT_FALSE(writeSample(path, spec).isEmpty()) << path.toStdString();
        return path;
    }

    QString junk(const QString &relativePath, const QByteArray &content = "not an image\n")
    {
        const QString path = files.path() + "/" + relativePath;
        QDir().mkpath(QFileInfo(path).path());
        QFile file(path);
        EXPECT_TRUE(file.open(QIODevice::WriteOnly));
        file.write(content);
        return path;
    }

    // The calling AE title a storage node wrote into a received file's meta header.
    static QString sourceAeTitle(const QString &path)
    {
        DcmFileFormat file;
        if (file.loadFile(QFile::encodeName(path).constData()).bad())
            return QString();
        OFString value;
        file.getMetaInfo()->findAndGetOFString(DCM_SourceApplicationEntityTitle, value);
        return QString::fromLatin1(value.c_str()).trimmed();
    }

    void pointStorageNodeAt(int port, const QString &aeTitle)
    {
        options.setStorageNode("127.0.0.1");
        options.setStoragePort(QString::number(port));
        options.setStorageAE(aeTitle);
    }

    SettingsStore store{scratch.settingsFile()};
    ServerOptions options{store, scratch.home()};
    QTemporaryDir files;
};

} // namespace pacs::test

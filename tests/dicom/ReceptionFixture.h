#pragma once

#include "app/shell/ServerController.h"
#include "core/Prompter.h"
#include "tests/support/SampleImages.h"
#include "tests/support/ServerProcess.h"
#include "tests/support/TestSupport.h"

#include <QStringList>
#include <gtest/gtest.h>
#include <memory>

namespace pacs::test {

// Statuses storescu reported, one per file sent.
struct StoreOutcome
{
    int exitCode = -1;
    int success = 0;
    int warning = 0;
    int failure = 0;
    QString output;
};

// Sends files with DCMTK's storescu while this process keeps serving events.
StoreOutcome storeFiles(int port, const QStringList &files, const QStringList &extraArguments = {});

// The program's main-window logic running in this process on a scratch home,
// listening on a free port.
class ReceptionFixture : public ::testing::Test
{
protected:
    void SetUp() override;
    void TearDown() override;

    // Settings to give before start(); the settings dialog's values after.
    void setSetting(const QString &section, const QString &key, const QString &value);
    void start();
    // The program stops and starts again on the same home folder.
    void restart();

    int port() const;
    QString scalar(const QString &sql);
    int count(const QString &sql) { return scalar(sql).toInt(); }
    QString errors() const { return m_controller->log().errorText(); }
    QString logText() const { return m_controller->log().logText(); }
    QString sample(const QString &name, const SampleSpec &spec);
    StoreOutcome send(const QStringList &files) { return storeFiles(port(), files); }
    // Every received file has been compressed into its stored form.
    bool waitForStoredForm();

    ScratchHome scratch;
    std::unique_ptr<ServerController> m_controller;

private:
    class NoQuestions : public Prompter
    {
    public:
        bool askYesNo(const QString &) override { return false; }
        void inform(const QString &) override {}
    } m_prompter;
};

} // namespace pacs::test

#include "core/ServerOptions.h"
#include "core/SettingsStore.h"
#include "tests/support/TestSupport.h"

#include <gtest/gtest.h>

using namespace pacs;
using Profile = ServerOptions::SiteProfile;

TEST(ServerOptions, AFreshLoadShowsTheDefaultsAndStoresOnlyPortAndAeTitle)
{
    test::ScratchHome scratch;
    SettingsStore store;
    ServerOptions options(store, scratch.home());
    options.load();
    EXPECT_EQ(options.port(), "104");
    EXPECT_EQ(options.aeName(), "TALMIR");
    EXPECT_EQ(options.storageRoot(), scratch.home() + "/");
    EXPECT_EQ(options.storageAE(), "");
    EXPECT_EQ(options.storagePort(), "");
    EXPECT_TRUE(options.disregardSelected());
    EXPECT_FALSE(options.createTempIdSelected());
    EXPECT_EQ(options.storeByInstitution(), 1);
    EXPECT_EQ(options.disregardDuplicates(), 1);
    EXPECT_EQ(options.saveDbBeforeImage(), 1);
    EXPECT_EQ(options.siteProfile(), Profile::NoneSelected);
    EXPECT_FALSE(options.sameIdFrameEnabled());
    EXPECT_EQ(options.jpegQuality(), "0");

    EXPECT_TRUE(store.contains("SERVER", "PORT"));
    EXPECT_TRUE(store.contains("SERVER", "AEName"));
    EXPECT_FALSE(store.contains("SERVER", "ServerDrive"));
    EXPECT_FALSE(store.contains("SERVER", "chkStorebyInst"));
}

TEST(ServerOptions, StoredValuesAreReadTheWayTheDialogReadsThem)
{
    test::ScratchHome scratch;
    SettingsStore store;
    store.write("SERVER", "ServerDrive", "0");
    store.write("SERVER", "JPEGQuality", "85abc");
    store.write("SERVER", "PORT", "");
    store.write("Main", "optCreateTempID", "1");
    store.write("Main", "chkDisregardDifferentName", "1");
    store.write("SERVER", "chkSavetoDBbeforeSaveImage", "0");
    ServerOptions options(store, scratch.home());
    options.load();
    EXPECT_EQ(options.storageRoot(), scratch.home() + "/");
    EXPECT_EQ(store.read("SERVER", "ServerDrive"), scratch.home() + "/");
    EXPECT_EQ(options.jpegQuality(), "85");
    EXPECT_EQ(options.port(), "104");
    EXPECT_EQ(store.read("SERVER", "PORT"), "104");
    EXPECT_TRUE(options.createTempIdSelected());
    EXPECT_FALSE(options.disregardSelected());
    EXPECT_TRUE(options.sameIdFrameEnabled());
    EXPECT_EQ(options.saveDbBeforeImage(), 0);
    options.setSaveToDbBeforeImage(1);
    EXPECT_EQ(options.saveDbBeforeImage(), 1);
    EXPECT_EQ(store.read("SERVER", "chkSavetoDBbeforeSaveImage"), "1");
}

// Restarting brings back the profile chosen last, not the one the load
// order favours among keys that were never cleared.
TEST(ServerOptions, TheProfileChosenLastIsTheOneRestored)
{
    test::ScratchHome scratch;
    auto restart = [&](auto &&whileRunning) {
        SettingsStore store;
        ServerOptions options(store, scratch.home());
        options.load();
        whileRunning(options, store);
    };
    restart([](ServerOptions &options, SettingsStore &) { options.selectSiteProfile(Profile::Brackmoor); });
    restart([](ServerOptions &options, SettingsStore &store) {
        EXPECT_EQ(options.siteProfile(), Profile::Brackmoor);
        options.selectSiteProfile(Profile::ORVIK);
        EXPECT_EQ(store.read("Main", "optBrackmoor"), "False");
        EXPECT_FALSE(store.contains("Main", "optQuillstad")); // never chosen, never written
    });
    restart([](ServerOptions &options, SettingsStore &) {
        EXPECT_EQ(options.siteProfile(), Profile::ORVIK);
        options.selectSiteProfile(Profile::Tessmark); // not kept itself, but ORVIK is left
    });
    restart([](ServerOptions &options, SettingsStore &) { EXPECT_EQ(options.siteProfile(), Profile::NoneSelected); });
}

TEST(ServerOptions, DisregardChosenAfterATempIdSurvivesARestart)
{
    test::ScratchHome scratch;
    {
        SettingsStore store;
        ServerOptions options(store, scratch.home());
        options.load();
        options.selectCreateTempId();
        options.selectDisregard();
    }
    SettingsStore store;
    ServerOptions options(store, scratch.home());
    options.load();
    EXPECT_TRUE(options.disregardSelected());
    EXPECT_FALSE(options.createTempIdSelected());
    EXPECT_EQ(store.read("Main", "optCreateTempID"), "0");
}

TEST(ServerOptions, AStorageRootFromAnotherInstallationFallsBackToTheHomeFolder)
{
    test::ScratchHome scratch;
    SettingsStore store;
    store.write("SERVER", "ServerDrive", "D:\\");
    ServerOptions options(store, scratch.home());
    options.load();
    EXPECT_EQ(options.storageRoot(), scratch.home() + "/");
    options.setStorageRoot("/srv/pacs");
    EXPECT_EQ(options.storageRoot(), "/srv/pacs/");
    EXPECT_EQ(store.read("SERVER", "ServerDrive"), "/srv/pacs/");
}

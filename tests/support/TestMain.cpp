#ifdef PACS_TEST_WIDGETS
#include <QApplication>
#else
#include <QCoreApplication>
#endif
#include <gtest/gtest.h>

// One Qt application object for the whole test executable: the program's
// logic posts events and yields to the event loop, so tests need one too.
// Only window tests get a widget application; the rest run as the service does.
int main(int argc, char **argv)
{
#ifdef PACS_TEST_WIDGETS
    qputenv("QT_QPA_PLATFORM", qgetenv("QT_QPA_PLATFORM").isEmpty() ? QByteArray("offscreen")
                                                                   : qgetenv("QT_QPA_PLATFORM"));
    QApplication app(argc, argv);
#else
    QCoreApplication app(argc, argv);
#endif
    ::testing::InitGoogleTest(&argc, argv);
    return RUN_ALL_TESTS();
}

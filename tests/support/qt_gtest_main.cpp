// GoogleTest main for tests that need a QApplication (widgets, timers, sockets).
#include <QApplication>
#include <QStandardPaths>
#include <QTemporaryDir>
#include <gtest/gtest.h>

int main(int argc, char** argv)
{
    if (qEnvironmentVariableIsEmpty("QT_QPA_PLATFORM"))
        qputenv("QT_QPA_PLATFORM", "offscreen");
    // Keep the user's configuration folder out of every test run.
    QTemporaryDir config;
    qputenv("XDG_CONFIG_HOME", config.path().toLocal8Bit());
    // No test grabs the automation port of a real instance; tests that serve ask for a port.
    if (!qEnvironmentVariableIsSet("KELVARO64_AUTOMATION_PORT"))
        qputenv("KELVARO64_AUTOMATION_PORT", "0");
    QStandardPaths::setTestModeEnabled(false);
    testing::InitGoogleTest(&argc, argv);
    QApplication app(argc, argv);
    return RUN_ALL_TESTS();
}

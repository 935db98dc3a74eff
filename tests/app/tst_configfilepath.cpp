// SPDX-License-Identifier: MIT
#include "configfilepath.h"

#include <QCoreApplication>
#include <QTest>

// Runs with the application's arguments set to a program name and two
// paths; without arguments the default is covered by the window tests.
class tst_ConfigFilePath : public QObject
{
    Q_OBJECT

private slots:
    void firstArgumentOnly()
    {
        QCOMPARE(QCoreApplication::arguments().size(), 3);
        QCOMPARE(configFilePath(), QStringLiteral("conf/first camera.ini"));
    }
};

int main(int argc, char* argv[])
{
    char first[] = "conf/first camera.ini";
    char second[] = "second.ini";
    char* appArgv[] = {argv[0], first, second, nullptr};
    int appArgc = 3;
    QCoreApplication app(appArgc, appArgv);
    tst_ConfigFilePath test;
    return QTest::qExec(&test, argc, argv);
}

#include "tst_configfilepath.moc"

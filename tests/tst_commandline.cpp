// The program's command line, through the real binary: help, version, Qt's own options, and
// mistakes that end it before any window opens.
#include "app/commandline.h"

#include <QFile>
#include <QProcess>
#include <QRegularExpression>
#include <QTemporaryDir>
#include <QtTest>

class tst_commandline : public QObject
{
    Q_OBJECT

private slots:
    void answersWithoutOpeningTheWindow_data();
    void answersWithoutOpeningTheWindow();
};

void tst_commandline::answersWithoutOpeningTheWindow_data()
{
    QTest::addColumn<QStringList>("arguments");
    QTest::addColumn<int>("exitCode");
    QTest::addColumn<QString>("output"); // a pattern standard output must match
    QTest::addColumn<QString>("error");  // a pattern standard error must match

    const QString usage = QStringLiteral("Usage: \\S*quorvel \\[options\\]");
    const QString noText = QStringLiteral("^$");
    const QString version =
        QStringLiteral("^quorvel %1\\n$").arg(QRegularExpression::escape(programVersion()));

    QTest::newRow("--help") << QStringList{QStringLiteral("--help")} << 0
                            << usage + QStringLiteral("[\\s\\S]*-t, --traffic <file>") << noText;
    QTest::newRow("-h") << QStringList{QStringLiteral("-h")} << 0 << usage << noText;
    QTest::newRow("--version") << QStringList{QStringLiteral("--version")} << 0 << version
                               << noText;
    QTest::newRow("Qt's -platform, then --version")
        << QStringList{QStringLiteral("-platform"), QStringLiteral("offscreen"),
                       QStringLiteral("--version")}
        << 0 << version << noText;
    QTest::newRow("unknown option")
        << QStringList{QStringLiteral("--trafic"), QStringLiteral("x.log")} << 2 << noText
        << QStringLiteral("^quorvel: Unknown option 'trafic'.\\n") + usage;
    QTest::newRow("stray argument") << QStringList{QStringLiteral("traffic.log")} << 2 << noText
                                    << QStringLiteral("'traffic.log'[\\s\\S]*") + usage;
    QTest::newRow("--traffic without a file")
        << QStringList{QStringLiteral("--traffic")} << 2 << noText
        << QStringLiteral("Missing value after '--traffic'[\\s\\S]*") + usage;
}

void tst_commandline::answersWithoutOpeningTheWindow()
{
    QFETCH(QStringList, arguments);
    QFETCH(int, exitCode);
    QFETCH(QString, output);
    QFETCH(QString, error);

    const QString binary = qEnvironmentVariable("QUORVEL_BINARY");
    QVERIFY2(QFile::exists(binary), "QUORVEL_BINARY must name the built program");
    // A copy of its own, so that a window that did open would leave setting.ini behind.
    QTemporaryDir dir;
    QVERIFY(dir.isValid());
    const QString program = dir.filePath(QStringLiteral("quorvel"));
    QVERIFY(QFile::copy(binary, program));

    QProcess process;
    QProcessEnvironment env = QProcessEnvironment::systemEnvironment();
    env.insert(QStringLiteral("QT_QPA_PLATFORM"), QStringLiteral("offscreen"));
    // Otherwise Qt remarks on its absence, and standard error is to hold only the program's.
    env.insert(QStringLiteral("XDG_RUNTIME_DIR"), dir.path());
    process.setProcessEnvironment(env);
    process.setWorkingDirectory(dir.path());
    process.start(program, arguments);
    QVERIFY(process.waitForStarted());
    QVERIFY2(process.waitForFinished(60000), "the program kept running");

    const QString out = QString::fromLocal8Bit(process.readAllStandardOutput());
    const QString err = QString::fromLocal8Bit(process.readAllStandardError());
    QCOMPARE(process.exitStatus(), QProcess::NormalExit);
    QCOMPARE(process.exitCode(), exitCode);
    QVERIFY2(QRegularExpression(output).match(out).hasMatch(), qPrintable(out));
    QVERIFY2(QRegularExpression(error).match(err).hasMatch(), qPrintable(err));
    QVERIFY(!QFile::exists(dir.filePath(QStringLiteral("setting.ini"))));
}

QTEST_GUILESS_MAIN(tst_commandline)
#include "tst_commandline.moc"

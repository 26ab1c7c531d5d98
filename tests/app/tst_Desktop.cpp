// The program as a desktop sees it: --help and --version without a window or display, its names, icon and
// Qt's German texts, and the host paths shown for the tool paths in messages.

#include "app/Desktop.h"
#include "config/ed_ini.h"
#include "pages/Dialogs.h"
#include "platform/Paths.h"

#include <QApplication>
#include <QDir>
#include <QIcon>
#include <QProcess>
#include <QTemporaryDir>
#include <QtTest>

class TestDesktop : public QObject {
    Q_OBJECT

    // Runs the installed-to-be program in an empty directory with no display at all.
    struct Run {
        int code;
        QString out;
        QStringList leftBehind;
    };
    static Run RunProgram(const QStringList& args) {
        QTemporaryDir dir;
        QProcess p;
        QProcessEnvironment env = QProcessEnvironment::systemEnvironment();
        for (const char* v : {"DISPLAY", "WAYLAND_DISPLAY", "QT_QPA_PLATFORM"}) env.remove(QString::fromLatin1(v));
        p.setProcessEnvironment(env);
        p.setWorkingDirectory(dir.path());
        p.start(QStringLiteral(INI4ZAV_PROGRAM), args);
        if (!p.waitForFinished(120000)) return {-1, QString(), {}};
        return {p.exitStatus() == QProcess::NormalExit ? p.exitCode() : -2, QString::fromUtf8(p.readAllStandardOutput()),
                QDir(dir.path()).entryList(QDir::AllEntries | QDir::NoDotAndDotDot)};
    }

private slots:
    void helpAndVersionNeedNoWindow_data() {
        QTest::addColumn<QStringList>("args");
        QTest::addColumn<QStringList>("expected");
        const QStringList usage{"Aufruf: ini4zav", "/i=", "/m=", "/use=develop", "[drives]", "[devices]",
                                "COMn", "sim", "simmodem", "simctl", "Handbuch: "};
        const QStringList version{"ini4zav " INI4ZAV_VERSION, "Editor f\u00fcr ZAV-IniFiles"};
        QTest::newRow("--help") << QStringList{"--help"} << usage;
        QTest::newRow("-h nach Schaltern") << QStringList{"/m=xy", "-h"} << usage;
        QTest::newRow("--version") << QStringList{"--version"} << version;
        QTest::newRow("-v") << QStringList{"-v"} << version;
    }
    void helpAndVersionNeedNoWindow() {
        QFETCH(QStringList, args);
        QFETCH(QStringList, expected);
        const Run run = RunProgram(args);
        QCOMPARE(run.code, 0);
        for (const QString& text : expected) QVERIFY2(run.out.contains(text), qPrintable(text + "\n" + run.out));
        // No configuration was started: no INI file read or written, no log created.
        QCOMPARE(run.leftBehind, QStringList());
    }

    // Started with unknown switches, among them Qt-looking ones, the program opens its window, names them
    // (not its own switches, nor Qt's options and their values) in its log once the window is up, and keeps
    // running.
    void unknownSwitchesDoNotEndTheProgram() {
        QTemporaryDir dir;
        QFile ini(dir.filePath("ini4zav.ini"));
        QVERIFY(ini.open(QIODevice::WriteOnly));
        ini.write("[files]\r\nbase=V:\r\n[drives]\r\nV=.\r\n[logfiles]\r\nmainlogfile=$(BASE)\\main.log\r\n"
                  "reports=100000000000000000000\r\n");
        ini.close();
        QProcess p;
        QProcessEnvironment env = QProcessEnvironment::systemEnvironment();
        env.insert("QT_QPA_PLATFORM", "offscreen");
        p.setProcessEnvironment(env);
        p.setWorkingDirectory(dir.path());
        p.start(QStringLiteral(INI4ZAV_PROGRAM), {"--foo", "/m=xy", "/x=1", "-style", "fusion", "-help", "/use=develop",
                                                  "--geometry=1x1", "-reverse", "-qwindowgeometry"});
        QVERIFY(p.waitForStarted());
        QFile log(dir.filePath("main.log"));
        auto logText = [&] { return log.open(QIODevice::ReadOnly) ? QString::fromLatin1(log.readAll()) : QString(); };
        auto logged = [&] {
            const bool found = logText().contains("Unbekannte Schalter ignoriert: --foo /x=1 -help /use=develop "
                                                  "--geometry=1x1 (ini4zav --help nennt die Schalter)");
            log.close();
            return found;
        };
        QTRY_VERIFY_WITH_TIMEOUT(logged() || p.state() == QProcess::NotRunning, 60000);
        QVERIFY2(p.state() == QProcess::Running, qPrintable(p.readAllStandardError() + logText()));
        p.kill();
        p.waitForFinished();
    }

    // The manual named in the usage is a file that exists (here: the source tree's).
    void usageNamesAnExistingManual() {
        const Run run = RunProgram({"--help"});
        const QString line = run.out.section(QStringLiteral("Handbuch: "), 1)
                                 .section(QLatin1Char('\n'), 0, 0)
                                 .trimmed(); // CR LF
        QVERIFY2(QFileInfo(line).isFile(), qPrintable(line));
    }

    void translationLanguage_data() {
        QTest::addColumn<QString>("locale");
        QTest::addColumn<QString>("language");
        QTest::newRow("nicht gesetzt") << QString() << "de";
        QTest::newRow("C") << "C" << "de";
        QTest::newRow("C.UTF-8") << "C.UTF-8" << "de";
        QTest::newRow("POSIX") << "POSIX" << "de";
        QTest::newRow("de_AT.UTF-8") << "de_AT.UTF-8" << "de_AT";
        QTest::newRow("fr_FR.UTF-8") << "fr_FR.UTF-8" << "fr_FR";
    }
    void translationLanguage() {
        QFETCH(QString, locale);
        QFETCH(QString, language);
        QCOMPARE(desktop::TranslationLanguage(locale), language);
    }

    // Without a language set, Qt's own texts are German; the machine name and the title the user reads
    // are set, and the window icon has its drawn sizes.
    void applicationSpeaksGermanAndIsNamed() {
        for (const char* v : {"LANGUAGE", "LC_ALL", "LC_MESSAGES"}) qunsetenv(v);
        qputenv("LANG", "C");
        QCOMPARE(desktop::SetUpApplication(*qApp), QString("de"));
        QCOMPARE(QCoreApplication::translate("QPlatformTheme", "Cancel"), QString("Abbrechen"));
        QCOMPARE(QCoreApplication::applicationName(), QString("ini4zav"));
        QCOMPARE(QGuiApplication::applicationDisplayName(), QString("Editor f\u00fcr ZAV-IniFiles"));
        QCOMPARE(QGuiApplication::desktopFileName(), QString("ini4zav"));
        const QIcon icon = QApplication::windowIcon();
        QVERIFY(!icon.isNull());
        QCOMPARE(icon.pixmap(QSize(48, 48)).size(), QSize(48, 48));
    }

    // Qt's texts are German whatever the locale; the program's INI file ([desktop] qtlanguage) or the
    // environment (INI4ZAV_QT_LANGUAGE, which wins) asks for another language or for the locale's.
    void qtTextsAreGermanUnlessAskedOtherwise() {
        auto cancel = [] { return QCoreApplication::translate("QPlatformTheme", "Cancel"); };
        for (const char* v : {"LANGUAGE", "LC_ALL", "LC_MESSAGES", "INI4ZAV_QT_LANGUAGE"}) qunsetenv(v);
        qputenv("LANG", "en_US.UTF-8");
        QCOMPARE(desktop::SetUpApplication(*qApp, desktop::RequestedQtLanguage()), QString("de"));
        QCOMPARE(cancel(), QString("Abbrechen"));

        QTemporaryDir dir;
        QFile ini(dir.filePath("ini4zav.ini"));
        QVERIFY(ini.open(QIODevice::WriteOnly));
        ini.write("[files]\r\nbase=V:\r\n[desktop]\r\nqtlanguage=locale\r\n");
        ini.close();
        StartConfiguration({"/opt/ini4zav/ini4zav", "/i=" + plat::FromHostPath(ini.fileName().toStdString())});
        QCOMPARE(desktop::SetUpApplication(*qApp, desktop::RequestedQtLanguage()), QString("en_US"));
        QCOMPARE(cancel(), QString("Cancel"));
        qputenv("INI4ZAV_QT_LANGUAGE", "fr");
        QCOMPARE(desktop::SetUpApplication(*qApp, desktop::RequestedQtLanguage()), QString("fr"));
        QCOMPARE(cancel(), QString("Annuler"));
        ShutdownConfiguration();
        qunsetenv("INI4ZAV_QT_LANGUAGE");
        desktop::SetUpApplication(*qApp);
    }

    // A message box's tooltip names the host path of every tool path in its text.
    void hostPathsInMessages() {
        QTemporaryDir dir;
        plat::SetDriveMapping('V', dir.path().toStdString());
        const auto v = [&dir](const char* rel) {
            return QDir::toNativeSeparators(dir.path() + QLatin1String(rel));
        };
        QCOMPARE(dlg::HostPathsIn(QStringLiteral("\"V:\\ed4vam\\zwei wort.txt\" nicht gefunden")),
                 QStringLiteral("V:\\ed4vam\\zwei wort.txt = ") + v("/ed4vam/zwei wort.txt"));
        QCOMPARE(dlg::HostPathsIn(QStringLiteral("V:\\a.ini nicht gefunden")),
                 QStringLiteral("V:\\a.ini = ") + v("/a.ini"));
        QCOMPARE(dlg::HostPathsIn(QStringLiteral("Datei V:\\a.ini und V:\\b.ini, noch einmal V:\\a.ini")),
                 QStringLiteral("V:\\a.ini = %1\nV:\\b.ini = %2").arg(v("/a.ini"), v("/b.ini")));
        QCOMPARE(dlg::HostPathsIn(QStringLiteral("Ung\u00fcltige Ebene (3) f\u00fcr Eintrag \"a\\b\"")), QString());
        QCOMPARE(dlg::HostPathsIn(QStringLiteral("kein Pfad hier")), QString());
        plat::ClearDriveMappings();
    }
};

int main(int argc, char** argv) {
    QApplication app(argc, argv);
    TestDesktop test;
    return QTest::qExec(&test, argc, argv);
}

#include "tst_Desktop.moc"

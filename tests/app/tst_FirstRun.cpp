// A newcomer's first run in a home of its own (temporary HOME, configuration and documents folders): the
// example family offered as a copy in the documents folder and worked in there, and a family the user
// cannot write said once, with the offer of a copy, instead of a warning per log file at every start.

#include "app/Family.h"
#include "app/FirstRun.h"
#include "app/Startup.h"
#include "app/main.h"
#include "config/ed_ini.h"
#include "pages/Dialogs.h"
#include "platform/ComMap.h"
#include "platform/Paths.h"
#include "platform/qt/QtText.h"

#include <QDir>
#include <QDirIterator>
#include <QFile>
#include <QFileInfo>
#include <QLabel>
#include <QStatusBar>
#include <QTemporaryDir>
#include <QToolButton>
#include <QtTest>

#ifdef Q_OS_UNIX
#include <unistd.h>
#endif

namespace {

QByteArray Read(const QString& path) {
    QFile f(path);
    return f.open(QIODevice::ReadOnly) ? f.readAll() : QByteArray("<missing>");
}

// The files below dir, relative to it.
QStringList FilesBelow(const QString& dir) {
    QStringList files;
    QDirIterator it(dir, QDir::Files | QDir::Hidden, QDirIterator::Subdirectories);
    while (it.hasNext())
        files << QDir(dir).relativeFilePath(it.next());
    files.sort();
    return files;
}

#ifdef Q_OS_UNIX
void SetModes(const QString& dir, QFileDevice::Permissions dirs, QFileDevice::Permissions files) {
    QDirIterator it(dir, QDir::AllEntries | QDir::Hidden | QDir::NoDotAndDotDot,
                    QDirIterator::Subdirectories);
    while (it.hasNext()) {
        const QString path = it.next();
        QFile::setPermissions(path, it.fileInfo().isDir() ? dirs : files);
    }
    QFile::setPermissions(dir, dirs);
}

constexpr auto AllRead = QFileDevice::ReadOwner | QFileDevice::ReadGroup | QFileDevice::ReadOther;
constexpr auto AllEnter = QFileDevice::ExeOwner | QFileDevice::ExeGroup | QFileDevice::ExeOther;
constexpr auto AllWrite = QFileDevice::WriteOwner | QFileDevice::WriteGroup | QFileDevice::WriteOther;
#endif

} // namespace

class TestFirstRun : public QObject {
    Q_OBJECT

    QTemporaryDir* work = nullptr;
    QString documents; // the user's documents folder, as user-dirs.dirs names it

    void Start(const std::vector<std::string>& args) {
        StartConfiguration(args, family::StartIni(args));
        CreateForms();
        MainForm->ShowStartTabs();
        MainForm->show();
    }
    void Stop() {
        DestroyForms();
        ShutdownConfiguration();
        plat::ClearDriveMappings();
        plat::ClearComDevices();
    }
    QString ProgramIniHost() const { return plat::HostToQ(plat::ToHostPath(ProgramIniFileName())); }
    QLabel* ReadOnlyNote() const { return MainForm->StatusBar1->findChild<QLabel*>("ReadOnlyFamilyNote"); }

private slots:
    void initTestCase() {
#ifdef Q_OS_WIN
        QSKIP("Windows' documents folder cannot be moved for one process");
#endif
        documents = QDir::homePath() + "/Dokumente";
        QCOMPARE(QDir::cleanPath(firstrun::CopyTarget("/irgendwo/vamtools")),
                 documents + "/ini4zav/vamtools");
        QVERIFY(!firstrun::ExampleFamily().isEmpty());
    }
    void init() {
        work = new QTemporaryDir;
        QVERIFY(QDir::setCurrent(work->path())); // no program INI file here
        dlg::ClearHistory();
    }
    void cleanup() {
        Stop();
        QDir::setCurrent(QDir::homePath());
        delete work;
        QDir(documents).removeRecursively();
        QFile::remove(family::SettingsFile());
        QFile::remove(QFileInfo(family::SettingsFile()).absolutePath() + "/hinweise.ini");
    }

    // Started from the menu without any INI file: the box offers the example; the copy lands in the
    // documents folder byte for byte, is opened, remembered and writable, and the installed example stays
    // as it was. A later offer opens the user's copy with the user's edits instead of copying again.
    void newcomerWorksInACopyOfTheExample() {
        const std::vector<std::string> plain{"/usr/bin/ini4zav"};
        const QString example = firstrun::ExampleFamily();
        const QString copy = documents + "/ini4zav/vamtools";
        const QByteArray exampleMonitor = Read(example + "/mon4vam/mon4vam.ini");
        Start(plain);
        QVERIFY(ProgramIniFileName().empty());
        dlg::SetNextAnswer(dlg::mrRetry);
        ShowStartupNotes(plain);
        QCOMPARE(dlg::History().size(), std::size_t(1)); // the offer, and no warning after it
        const dlg::Shown box = dlg::History()[0];
        QCOMPARE(box.caption, std::string("Eigene INI-Datei fehlt"));
        QCOMPARE(box.labels.front(), std::string("Beispiel kopieren und \xF6"
                                                 "ffnen"));
        QVERIFY(plat::ToQ(box.text).contains(QDir::toNativeSeparators(copy)));
        QVERIFY(plat::ToQ(box.text).contains(QDir::toNativeSeparators(example)));

        QCOMPARE(ProgramIniHost(), QDir::toNativeSeparators(copy + "/ini4zav.ini"));
        QCOMPARE(family::Remembered(), copy);
        QTRY_VERIFY(!MainForm->StatusBar1->findChild<QLabel*>("MissingIniNote"));
        const QStringList files = FilesBelow(example);
        QVERIFY(files.contains(QString("ed4vam/data/st\u00f6rung.esr")));
        for (const QString& file : files) {
            QCOMPARE(Read(copy + "/" + file), Read(example + "/" + file));
            QVERIFY2(QFileInfo(copy + "/" + file).isWritable(), qPrintable(file));
        }
        QVERIFY(firstrun::Writable(copy, copy + "/ini4zav.ini"));
        QVERIFY(!ReadOnlyNote());

        // The tools of the copy work, and what is saved goes into the copy only.
        QVERIFY(MainForm->SpeedButton3->isEnabled());
        MainForm->SpeedButton3->click();
        QCOMPARE(plat::HostToQ(plat::ToHostPath(IniFileName())),
                 QDir::toNativeSeparators(copy + "/mon4vam/mon4vam.ini"));
        ToolIni().WriteString("modem", "Askmodem", "ATI4");
        ReleaseToolIni();
        QVERIFY(Read(copy + "/mon4vam/mon4vam.ini").contains("Askmodem=ATI4"));
        QCOMPARE(Read(example + "/mon4vam/mon4vam.ini"), exampleMonitor);

        // The next start opens the copy without a word; with the choice forgotten, the offer opens the copy
        // as the user left it.
        Stop();
        dlg::ClearHistory();
        Start(plain);
        ShowStartupNotes(plain);
        QCOMPARE(ProgramIniHost(), QDir::toNativeSeparators(copy + "/ini4zav.ini"));
        QVERIFY(dlg::History().empty());
        Stop();
        QVERIFY(QFile::remove(family::SettingsFile()));
        Start(plain);
        dlg::SetNextAnswer(dlg::mrRetry);
        ShowStartupNotes(plain);
        QCOMPARE(dlg::History().front().labels.front(), std::string("Beispiel \xF6"
                                                                    "ffnen"));
        QCOMPARE(ProgramIniHost(), QDir::toNativeSeparators(copy + "/ini4zav.ini"));
        QVERIFY(Read(copy + "/mon4vam/mon4vam.ini").contains("Askmodem=ATI4"));
    }

    // A family the user may not write (an installed one): one plain box with the offer of a copy instead of
    // a warning per log file, and at later starts only the note in the status bar; the note's link copies it.
    void readOnlyFamilyIsSaidOnceWithTheOfferOfACopy() {
#ifndef Q_OS_UNIX
        QSKIP("needs POSIX permissions");
#else
        const QString family = work->path() + "/anlage";
        const QString copy = documents + "/ini4zav/anlage";
        QCOMPARE(firstrun::CopyFamily(firstrun::ExampleFamily(), family), std::string());
        SetModes(family, AllRead | AllEnter, AllRead);
        QFile::setPermissions(work->path(), AllRead | AllEnter | QFileDevice::WriteOwner);
        // The user's own folders: the user may write them (root acts as "nobody" below).
        for (const QString& own : {QDir::homePath(), QDir::homePath() + "/.config",
                                   QFileInfo(family::SettingsFile()).absolutePath(), documents}) {
            QVERIFY(QDir().mkpath(own));
            QFile::setPermissions(own, AllRead | AllEnter | AllWrite);
        }
        const std::vector<std::string> args{
            "/usr/bin/ini4zav", "/i=" + plat::FromHostPath((family + "/ini4zav.ini").toStdString())};
        // Root may write anything: an ordinary user is needed to meet a read-only folder.
        const bool root = geteuid() == 0;
        struct Ordinary {
            bool active;
            explicit Ordinary(bool asNobody) : active(asNobody && seteuid(65534) == 0) {}
            ~Ordinary() {
                if (active) QVERIFY(seteuid(0) == 0);
            }
        };
        {
            const Ordinary user(root);
            QVERIFY(!firstrun::Writable(family, family + "/ini4zav.ini"));
            Start(args);
            QVERIFY(!StartupMessages().empty()); // the logs could not be made
            dlg::SetNextAnswer(dlg::mrOK);       // "Schreibgeschützt weiter"
            ShowStartupNotes(args);
            QCOMPARE(dlg::History().size(), std::size_t(1));
            const dlg::Shown box = dlg::History()[0];
            QCOMPARE(box.caption, std::string("Werkzeugfamilie schreibgesch\xFCtzt"));
            QCOMPARE(box.labels, (std::vector<std::string>{"Kopieren und \xF6"
                                                           "ffnen",
                                                           "Schreibgesch\xFCtzt weiter"}));
            QVERIFY(plat::ToQ(box.text).contains(QDir::toNativeSeparators(family)));
            QVERIFY(plat::ToQ(box.text).contains("Protokolldateien"));
            QVERIFY(plat::ToQ(box.text).contains(QDir::toNativeSeparators(copy)));
            QVERIFY(ReadOnlyNote());
            QVERIFY(ReadOnlyNote()->toolTip().contains("Protokolldatei"));

            // The next start: nothing modal, the note again.
            Stop();
            dlg::ClearHistory();
            Start(args);
            ShowStartupNotes(args);
            QVERIFY2(dlg::History().empty(), dlg::History().empty() ? "" : dlg::History()[0].text.c_str());
            QVERIFY(ReadOnlyNote());

            // The note's link: the copy, opened, writable, without a note.
            emit ReadOnlyNote()->linkActivated("kopie");
            QCOMPARE(ProgramIniHost(), QDir::toNativeSeparators(copy + "/ini4zav.ini"));
            QVERIFY(firstrun::Writable(copy, copy + "/ini4zav.ini"));
            QVERIFY(dlg::History().empty());
            QTRY_VERIFY(!ReadOnlyNote());
            QCOMPARE(family::Remembered(), copy);
        }
        SetModes(family, AllRead | AllEnter | QFileDevice::WriteOwner, AllRead | QFileDevice::WriteOwner);
        QFile::setPermissions(work->path(), AllRead | AllEnter | QFileDevice::WriteOwner);
#endif
    }

    // A copy that cannot be made (the documents folder is a file, or lies inside the family) is said, and
    // nothing changes.
    void copyThatFailsIsSaid() {
        QVERIFY(plat::ToQ(firstrun::CopyFamily(QDir::homePath(), documents + "/ini4zav/home"))
                    .contains("in der Familie selbst"));
        QVERIFY(!QFileInfo::exists(documents + "/ini4zav/home"));
        const std::vector<std::string> plain{"/usr/bin/ini4zav"};
        Start(plain);
        QDir().mkpath(documents);
        QFile blocker(documents + "/ini4zav");
        QVERIFY(blocker.open(QIODevice::WriteOnly));
        blocker.close();
        QVERIFY(!firstrun::CopyAndOpen(firstrun::ExampleFamily()));
        QCOMPARE(dlg::History().size(), std::size_t(1));
        QCOMPARE(dlg::History()[0].kind, dlg::Kind::Error);
        QVERIFY(plat::ToQ(dlg::History()[0].text)
                    .contains(QDir::toNativeSeparators(documents + "/ini4zav/vamtools")));
        QVERIFY(ProgramIniFileName().empty());
        QVERIFY(family::Remembered().isEmpty());
    }
};

int main(int argc, char** argv) {
    // A home of its own, before anything asks for the user's folders; documents named the German way.
    QTemporaryDir home;
    const QByteArray path = QFile::encodeName(home.path());
    qputenv("HOME", path);
    qputenv("XDG_CONFIG_HOME", path + "/.config");
    qputenv("XDG_CACHE_HOME", path + "/.cache");
    qputenv("XDG_DATA_HOME", path + "/.local/share");
    QDir().mkpath(home.path() + "/.config");
    QFile dirs(home.path() + "/.config/user-dirs.dirs");
    if (dirs.open(QIODevice::WriteOnly)) dirs.write("XDG_DOCUMENTS_DIR=\"$HOME/Dokumente\"\n");
    dirs.close();
    TApplication app(argc, argv);
    TApplication::setQuitOnLastWindowClosed(false);
    TestFirstRun test;
    return QTest::qExec(&test, argc, argv);
}

#include "tst_FirstRun.moc"

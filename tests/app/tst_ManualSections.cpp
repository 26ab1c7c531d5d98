// F1 and the "?" button land at a section of the HTML manual: every section the program's windows, pages
// and menus lead to must exist there, or the browser opens the manual at its top without a word.

#include "app/Help.h"
#include "app/HelpWindow.h"
#include "app/Startup.h"
#include "config/ed_ini.h"
#include "pages/Unit8.h"
#include "platform/Paths.h"

#include <QApplication>
#include <QDialog>
#include <QFile>
#include <QRegularExpression>
#include <QSet>
#include <QTemporaryDir>
#include <QWidget>
#include <QtTest>

class TestManualSections : public QObject {
    Q_OBJECT

private slots:
    void everyHelpSectionExistsInTheManual() {
        QFile manual(QStringLiteral(MANUAL_HTML));
        QVERIFY(manual.open(QIODevice::ReadOnly));
        QSet<QString> ids;
        const QString html = QString::fromUtf8(manual.readAll());
        for (const auto& m : QRegularExpression(QStringLiteral("\\bid=\"([^\"]+)\"")).globalMatch(html)) ids << m.captured(1);

        // A small tool family, so that start-up creates every form as it does for the user.
        QTemporaryDir dir;
        const std::string root = dir.path().toStdString() + "/";
        QFile own(QString::fromStdString(root + "ini4zav.ini"));
        QVERIFY(own.open(QIODevice::WriteOnly));
        own.write(("[files]\r\nbase=V:\r\n[drives]\r\nV=" + root + "\r\n").c_str());
        own.close();
        StartConfiguration({"/opt/ini4zav/ini4zav", "/i=" + plat::FromHostPath(root + "ini4zav.ini")});
        CreateForms();

        QSet<QString> sections;
        for (int context : {0, 210, 220, 450, 470}) sections << help::SectionForContext(context);
        for (const QWidget* w : QApplication::allWidgets())
            if (w->property("helpSection").isValid() || w->property("helpContext").isValid())
                sections << help::SectionFor(w);
        // Dialogs made on demand: the port page's device list.
        const auto run = TForm8::RunDeviceForm;
        TForm8::RunDeviceForm = [&sections](QDialog& d) {
            sections << help::SectionFor(&d);
            return false;
        };
        Form8->DevicesButtonClick();
        TForm8::RunDeviceForm = run;
        QVERIFY(sections.contains(QStringLiteral("geraete")));
        // The help window itself (F1 in it explains it).
        sections << help::SectionFor(help::ShowWindow(QUrl::fromLocalFile(QStringLiteral(MANUAL_HTML))));
        QVERIFY(sections.contains(QStringLiteral("hilfe")));
        DestroyForms();
        ShutdownConfiguration();

        QVERIFY(sections.size() >= 10); // the pages, the viewers, the console, the menus
        for (const QString& section : sections)
            QVERIFY2(ids.contains(section), qPrintable("the manual has no section \"" + section + "\""));
    }
};

QTEST_MAIN(TestManualSections)
#include "tst_ManualSections.moc"

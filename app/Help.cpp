#include "app/Help.h"

#include "app/HelpWindow.h"
#include "app/Shell.h"
#include "pages/Dialogs.h"
#include "platform/qt/QtText.h"

#include <QApplication>
#include <QCoreApplication>
#include <QDir>
#include <QFileInfo>
#include <QKeyEvent>
#include <QMenu>
#include <QSaveFile>
#include <QShortcut>
#include <QStandardPaths>
#include <QSysInfo>
#include <QUrl>
#include <QVariant>

namespace help {

namespace {

// The manual where the installation puts it, beside the program.
QString InstalledManual() {
    return QDir::toNativeSeparators(QDir::cleanPath(QCoreApplication::applicationDirPath() +
                                                    QStringLiteral("/../share/ini4zav/manual/index.html")));
}

// Windows opens documents by the program registered for them; other desktops through xdg-open.
bool OpensThroughWindowsShell() {
    return QSysInfo::kernelType() == QLatin1String("winnt");
}

} // namespace

std::string ManualFile() {
    QStringList candidates;
    if (const QString fromEnv = qEnvironmentVariable("INI4ZAV_MANUAL"); !fromEnv.isEmpty()) {
        candidates << fromEnv; // given explicitly: the only place looked at
    } else {
        candidates << InstalledManual();
#ifdef INI4ZAV_SOURCE_DIR
        candidates << QStringLiteral(INI4ZAV_SOURCE_DIR "/docs/manual/index.html");
#endif
    }
    for (const QString& candidate : candidates)
        if (QFileInfo(candidate).isFile())
            return QDir::toNativeSeparators(QDir::cleanPath(QFileInfo(candidate).absoluteFilePath()))
                .toStdString();
    return {};
}

std::string ManualLocation() {
    const std::string file = ManualFile();
    return file.empty() ? std::string("(nicht installiert)") : file;
}

QString SectionForContext(int context) {
    switch (context) {
    case 210: return QStringLiteral("menue-datei");
    case 220: return QStringLiteral("menue-info");
    case 450: return QStringLiteral("seitenvorlage");
    case 470: return QStringLiteral("konsole");
    default: return QStringLiteral("hauptfenster");
    }
}

QString SectionFor(const QWidget* widget) {
    for (const QWidget* w = widget; w; w = w->parentWidget()) {
        if (const QVariant section = w->property("helpSection"); section.isValid()) return section.toString();
        if (const QVariant context = w->property("helpContext"); context.isValid())
            return SectionForContext(context.toInt());
    }
    return SectionForContext(0);
}

QUrl SectionPage(const QUrl& target) {
    // Openers of local files (xdg-open and the like) hand the browser a file name, which drops the
    // "#section": a small page in the cache folder that forwards to it keeps the section.
    const QString dir = QStandardPaths::writableLocation(QStandardPaths::CacheLocation);
    if (dir.isEmpty() || !QDir().mkpath(dir)) return target;
    QSaveFile page(dir + QStringLiteral("/hilfe.html"));
    if (!page.open(QIODevice::WriteOnly)) return target;
    const QString link = target.toString(QUrl::FullyEncoded).toHtmlEscaped();
    page.write(QStringLiteral("<!DOCTYPE html>\n<html lang=\"de\"><head><meta charset=\"utf-8\">"
                              "<meta http-equiv=\"refresh\" content=\"0; url=%1\"><title>ini4zav \u2013 Hilfe</title>"
                              "</head><body><p><a href=\"%1\">Zum Handbuch</a></p></body></html>\n")
                   .arg(link)
                   .toUtf8());
    return page.commit() ? QUrl::fromLocalFile(page.fileName()) : target;
}

bool OpenManual(const QString& section) {
    const std::string file = ManualFile();
    if (file.empty()) {
        dlg::MessageDlg(
            plat::FromQ(QStringLiteral("Die Hilfe kann nicht angezeigt werden: das Handbuch ist auf "
                                       "diesem Rechner nicht installiert (gesucht unter %1).")
                            .arg(InstalledManual())),
            dlg::Kind::Warning, dlg::mbOK);
        return false;
    }
    QUrl url = QUrl::fromLocalFile(QString::fromStdString(file));
    url.setFragment(section);
    ShowWindow(url);
    return true;
}

bool OpenInBrowser(const QUrl& page) {
    if (shell::OpenUrl(SectionPage(page))) return true;
    const QString noViewer =
        OpensThroughWindowsShell()
            ? QStringLiteral("Windows hat kein Programm zum \u00d6ffnen von HTML-Seiten "
                             "(kein Standardbrowser eingestellt)")
            : QStringLiteral("kein Programm zum Anzeigen von HTML-Seiten gefunden (xdg-open)");
    dlg::MessageDlg(
        plat::FromQ(QStringLiteral("Das Handbuch kann nicht im Browser ge\u00f6ffnet werden: %1.\n"
                                   "Es bleibt im Hilfefenster; die Datei liegt unter %2")
                        .arg(noViewer, page.toLocalFile())),
        dlg::Kind::Warning, dlg::mbOK);
    return false;
}

void ShowHelp(const std::string& helpFile, const QString& section) {
    if (!helpFile.empty() && shell::ShellOpen(helpFile)) return;
    OpenManual(section);
}

namespace {

// F1 inside an open menu: the menu's own help.
class MenuF1 : public QObject {
public:
    MenuF1(QObject* parent, std::string helpFile) : QObject(parent), helpFile_(std::move(helpFile)) {}

protected:
    bool eventFilter(QObject* watched, QEvent* event) override {
        if (event->type() != QEvent::KeyPress || static_cast<QKeyEvent*>(event)->key() != Qt::Key_F1) return false;
        auto* menu = qobject_cast<QMenu*>(watched);
        if (!menu) return false;
        const QString section = SectionFor(menu);
        menu->close();
        ShowHelp(helpFile_, section);
        return true;
    }

private:
    std::string helpFile_;
};

// F1 in a modal dialog: the window's shortcut is blocked there, so the key reaches the dialog's focus widget.
class ModalF1 : public QObject {
public:
    ModalF1(QObject* parent, std::string helpFile) : QObject(parent), helpFile_(std::move(helpFile)) {}

protected:
    bool eventFilter(QObject* watched, QEvent* event) override {
        if (event->type() != QEvent::KeyPress) return false;
        const auto* key = static_cast<QKeyEvent*>(event);
        if (key->key() != Qt::Key_F1 || key->modifiers() != Qt::NoModifier) return false;
        auto* widget = qobject_cast<QWidget*>(watched);
        const QWidget* modal = QApplication::activeModalWidget();
        if (!widget || !modal || widget->window() != modal) return false;
        ShowHelp(helpFile_, SectionFor(widget));
        return true;
    }

private:
    std::string helpFile_;
};

} // namespace

void InstallF1(QWidget* window, const std::string& helpFile, std::initializer_list<QMenu*> menus) {
    auto* f1 = new QShortcut(QKeySequence(Qt::Key_F1), window);
    f1->setContext(Qt::ApplicationShortcut);
    QObject::connect(f1, &QShortcut::activated, window, [window, helpFile] {
        // An open menu has the keyboard: its help, not that of the widget below it.
        if (auto* menu = qobject_cast<QMenu*>(QApplication::activePopupWidget())) {
            const QString section = SectionFor(menu);
            menu->close();
            ShowHelp(helpFile, section);
            return;
        }
        QWidget* focus = QApplication::focusWidget();
        ShowHelp(helpFile, SectionFor(focus ? focus : window));
    });
    auto* filter = new MenuF1(window, helpFile);
    for (QMenu* menu : menus) menu->installEventFilter(filter);
    qApp->installEventFilter(new ModalF1(window, helpFile));
}

} // namespace help

#include "app/HelpWindow.h"

#include "app/Help.h"
#include "app/Shell.h"
#include "pages/Dialogs.h"
#include "platform/qt/QtText.h"

#include <QApplication>
#include <QFileInfo>
#include <QHBoxLayout>
#include <QImage>
#include <QKeySequence>
#include <QLabel>
#include <QLineEdit>
#include <QPointer>
#include <QShortcut>
#include <QTextBrowser>
#include <QTextDocument>
#include <QTimer>
#include <QToolButton>
#include <QVBoxLayout>

namespace {

QToolButton* Button(QWidget* parent, const char* name, const QString& text, const QString& tip) {
    auto* b = new QToolButton(parent);
    b->setObjectName(QLatin1String(name));
    b->setText(text);
    b->setToolTip(tip);
    b->setToolButtonStyle(Qt::ToolButtonTextOnly);
    return b;
}

// A page of the manual: a local HTML file (links to pictures or other files go to the desktop).
bool IsManualPage(const QUrl& url) {
    if (!url.isLocalFile()) return false;
    const QString suffix = QFileInfo(url.toLocalFile()).suffix().toLower();
    return suffix == QLatin1String("html") || suffix == QLatin1String("htm");
}

// The manual's pictures are screenshots up to 1200 pixels wide; a browser scales them to the page, the text
// view does not: wider ones are scaled down to fit the window.
class ManualView : public QTextBrowser {
public:
    using QTextBrowser::QTextBrowser;
    static constexpr int MaxPictureWidth = 860;

    QVariant loadResource(int type, const QUrl& name) override {
        QVariant resource = QTextBrowser::loadResource(type, name);
        if (type != QTextDocument::ImageResource || resource.typeId() != QMetaType::QByteArray)
            return resource;
        const QImage picture = QImage::fromData(resource.toByteArray());
        if (picture.isNull() || picture.width() <= MaxPictureWidth) return resource;
        return picture.scaledToWidth(MaxPictureWidth, Qt::SmoothTransformation);
    }
};

} // namespace

THelpWindow::THelpWindow(QWidget* parent) : QWidget(parent, Qt::Window) {
    setObjectName(QStringLiteral("HelpWindow"));
    setWindowTitle(QStringLiteral("ini4zav \u2013 Handbuch"));
    setProperty("helpSection", QStringLiteral("hilfe"));
    resize(1020, 760);

    auto* layout = new QVBoxLayout(this);
    layout->setContentsMargins(4, 4, 4, 4);
    auto* bar = new QHBoxLayout;
    BackButton = Button(this, "BackButton", QStringLiteral("\u25c0 Zur\u00fcck"),
                        QStringLiteral("Zur\u00fcck zur vorigen Stelle (Alt+Links)"));
    ForwardButton = Button(this, "ForwardButton", QStringLiteral("Vor \u25b6"),
                           QStringLiteral("Vor zur n\u00e4chsten Stelle (Alt+Rechts)"));
    HomeButton =
        Button(this, "HomeButton", QStringLiteral("Inhalt"), QStringLiteral("Zum Anfang des Handbuchs"));
    auto* searchLabel = new QLabel(QStringLiteral("&Suchen:"), this);
    SearchEdit = new QLineEdit(this);
    SearchEdit->setObjectName(QStringLiteral("SearchEdit"));
    SearchEdit->setPlaceholderText(QStringLiteral("Wort im Handbuch"));
    SearchEdit->setClearButtonEnabled(true);
    SearchEdit->setToolTip(QStringLiteral("Eingabe sucht die n\u00e4chste Fundstelle (Strg+F)"));
    searchLabel->setBuddy(SearchEdit);
    FindNextButton = Button(this, "FindNextButton", QStringLiteral("N\u00e4chste"),
                            QStringLiteral("N\u00e4chste Fundstelle (F3)"));
    FindPreviousButton = Button(this, "FindPreviousButton", QStringLiteral("Vorige"),
                                QStringLiteral("Vorige Fundstelle (Umschalt+F3)"));
    BrowserButton = Button(this, "BrowserButton", QStringLiteral("Im Browser \u00f6ffnen"),
                           QStringLiteral("Diese Stelle des Handbuchs im Browser des Desktops zeigen"));
    for (QWidget* w : {static_cast<QWidget*>(BackButton), static_cast<QWidget*>(ForwardButton),
                       static_cast<QWidget*>(HomeButton)})
        bar->addWidget(w);
    bar->addSpacing(12);
    bar->addWidget(searchLabel);
    bar->addWidget(SearchEdit, 1);
    bar->addWidget(FindNextButton);
    bar->addWidget(FindPreviousButton);
    bar->addSpacing(12);
    bar->addWidget(BrowserButton);
    layout->addLayout(bar);

    Browser = new ManualView(this);
    Browser->setObjectName(QStringLiteral("Browser"));
    Browser->setOpenLinks(false); // every link through FollowLink: places here, the rest to the desktop
    layout->addWidget(Browser, 1);
    Note = new QLabel(this);
    Note->setObjectName(QStringLiteral("Note"));
    Note->setTextInteractionFlags(Qt::TextSelectableByMouse);
    layout->addWidget(Note);

    BackButton->setEnabled(false);
    ForwardButton->setEnabled(false);
    connect(Browser, &QTextBrowser::backwardAvailable, BackButton, &QWidget::setEnabled);
    connect(Browser, &QTextBrowser::forwardAvailable, ForwardButton, &QWidget::setEnabled);
    connect(BackButton, &QToolButton::clicked, Browser, &QTextBrowser::backward);
    connect(ForwardButton, &QToolButton::clicked, Browser, &QTextBrowser::forward);
    connect(HomeButton, &QToolButton::clicked, this, [this] {
        QUrl top = Shown;
        top.setFragment(QStringLiteral("inhalt"));
        FollowLink(top);
    });
    connect(Browser, &QTextBrowser::anchorClicked, this, &THelpWindow::FollowLink);
    connect(Browser, &QTextBrowser::sourceChanged, this, [this](const QUrl& url) { Shown = url; });
    connect(SearchEdit, &QLineEdit::returnPressed, this, [this] { Find(false); });
    connect(SearchEdit, &QLineEdit::textChanged, Note, &QLabel::clear);
    connect(FindNextButton, &QToolButton::clicked, this, [this] { Find(false); });
    connect(FindPreviousButton, &QToolButton::clicked, this, [this] { Find(true); });
    connect(BrowserButton, &QToolButton::clicked, this, &THelpWindow::OpenInBrowser);
    auto shortcut = [this](const QKeySequence& keys, auto action) {
        connect(new QShortcut(keys, this), &QShortcut::activated, this, action);
    };
    shortcut(QKeySequence::Find, [this] {
        SearchEdit->setFocus();
        SearchEdit->selectAll();
    });
    shortcut(QKeySequence::FindNext, [this] { Find(false); });
    shortcut(QKeySequence::FindPrevious, [this] { Find(true); });
    shortcut(QKeySequence::Back, [this] { Browser->backward(); });
    shortcut(QKeySequence::Forward, [this] { Browser->forward(); });
}

void THelpWindow::ShowAt(const QUrl& page) {
    Note->clear();
    FollowLink(page);
    // Inside a modal dialog every other window is blocked: the help must be modal itself to be used, until
    // the dialog is closed.
    QWidget* modal = QApplication::activeModalWidget();
    SetModalOver(modal == this ? ModalOver.data() : modal);
    if (isMinimized())
        showNormal();
    else
        show(); // a maximised window stays so
    raise();
    activateWindow();
}

void THelpWindow::SetModalOver(QWidget* modal) {
    if (ModalOver && ModalOver != modal) ModalOver->removeEventFilter(this);
    ModalOver = modal;
    if (modal) {
        modal->installEventFilter(this);
        connect(modal, &QObject::destroyed, this, &THelpWindow::LeaveModality, Qt::UniqueConnection);
    }
    const Qt::WindowModality wanted = modal ? Qt::ApplicationModal : Qt::NonModal;
    if (windowModality() == wanted) return;
    const bool shown = isVisible();
    hide(); // the modality of a shown window does not change
    setWindowModality(wanted);
    if (shown) show();
}

void THelpWindow::LeaveModality() {
    ModalOver = nullptr;
    SetModalOver(nullptr);
}

bool THelpWindow::eventFilter(QObject* watched, QEvent* event) {
    if (watched == ModalOver && event->type() == QEvent::Hide)
        QTimer::singleShot(0, this, [this] {
            if (!ModalOver || !ModalOver->isVisible()) LeaveModality();
        });
    return QWidget::eventFilter(watched, event);
}

QString THelpWindow::Section() const {
    return Shown.fragment();
}

void THelpWindow::FollowLink(const QUrl& link) {
    const QUrl url = Browser->source().isEmpty() ? link : Browser->source().resolved(link);
    if (IsManualPage(url)) {
        Shown = url;
        if (url.adjusted(QUrl::RemoveFragment) == Browser->source().adjusted(QUrl::RemoveFragment) &&
            url.fragment() == Browser->source().fragment())
            Browser->scrollToAnchor(url.fragment()); // the same place again: back to its top
        else
            Browser->setSource(url);
        return;
    }
    if (shell::OpenUrl(url)) return;
    Note->setText(QStringLiteral("Der Verweis %1 l\u00e4sst sich nicht \u00f6ffnen: kein Programm daf\u00fcr "
                                 "gefunden (Browser, E-Mail). Die Adresse l\u00e4sst sich hier markieren und "
                                 "kopieren.")
                      .arg(url.toString()));
}

bool THelpWindow::Find(bool backward) {
    const QString text = SearchEdit->text();
    if (text.isEmpty()) return false;
    const QTextDocument::FindFlags flags =
        backward ? QTextDocument::FindBackward : QTextDocument::FindFlags();
    // From the place shown: a cursor scrolled out of sight starts at the top (or bottom) of the view.
    const QRect view = Browser->viewport()->rect();
    if (!view.intersects(Browser->cursorRect()))
        Browser->setTextCursor(Browser->cursorForPosition(backward ? view.bottomRight() : view.topLeft()));
    if (Browser->find(text, flags)) {
        Note->clear();
        return true;
    }
    // Over the end: once more from the other end of the page.
    QTextCursor start = Browser->textCursor();
    start.movePosition(backward ? QTextCursor::End : QTextCursor::Start);
    Browser->setTextCursor(start);
    if (Browser->find(text, flags)) {
        Note->setText(backward ? QStringLiteral("Suche am Ende des Handbuchs weitergef\u00fchrt.")
                               : QStringLiteral("Suche am Anfang des Handbuchs weitergef\u00fchrt."));
        return true;
    }
    Note->setText(QStringLiteral("\u201e%1\u201c kommt im Handbuch nicht vor.").arg(text));
    return false;
}

bool THelpWindow::OpenInBrowser() {
    return !Shown.isEmpty() && help::OpenInBrowser(Shown);
}

namespace help {
namespace {
QPointer<THelpWindow>& Instance() {
    static QPointer<THelpWindow> window;
    return window;
}
} // namespace

THelpWindow* Window() {
    return Instance();
}

THelpWindow* ShowWindow(const QUrl& page) {
    QPointer<THelpWindow>& window = Instance();
    if (!window) {
        window = new THelpWindow;
        QObject::connect(qApp, &QCoreApplication::aboutToQuit, window, [] { DestroyWindow(); });
    }
    window->ShowAt(page);
    return window;
}

void DestroyWindow() {
    delete Instance().data();
    Instance() = nullptr;
}

} // namespace help

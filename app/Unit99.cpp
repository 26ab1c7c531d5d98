#include "app/Unit99.h"

#include "app/Help.h"

#include <QFrame>
#include <QHBoxLayout>
#include <QLabel>
#include <QPushButton>
#include <QTabWidget>
#include <QToolButton>
#include <QVBoxLayout>

#include <stdexcept>

TForm99* Form99 = nullptr;

const char* const TForm99::HelpFilePath = "c:\\vamtools\\help\\ini4zav.hlp";

namespace {
QPushButton* Button(QWidget* parent, const char* name, const QString& caption, const char* hint) {
    auto* b = new QPushButton(caption, parent);
    b->setObjectName(name);
    b->setToolTip(QString::fromUtf8(hint));
    return b;
}
QLabel* HiddenLabel(QWidget* parent, const char* name) {
    auto* l = new QLabel(name, parent);
    l->setObjectName(name);
    l->hide();
    return l;
}
} // namespace

TForm99::TForm99(QWidget* parent) : QWidget(parent) {
    setObjectName("Form99");
    setProperty("helpContext", HelpContext);
    setWindowTitle("Form99");
    setWindowFlags(windowFlags() | Qt::FramelessWindowHint | Qt::WindowStaysOnTopHint);
    resize(423, 474);
    setContentsMargins(1, 1, 1, 1);

    auto* layout = new QVBoxLayout(this);
    auto* header = new QHBoxLayout;
    Picture = new QLabel(this);
    Picture->setObjectName("Picture");
    FormLabel = new QLabel("Formlabel", this);
    FormLabel->setObjectName("FormLabel");
    HelpButton = new QToolButton(this);
    HelpButton->setObjectName("HelpButton");
    HelpButton->setAutoRaise(true);
    HelpButton->setText("?");
    header->addWidget(Picture);
    header->addWidget(FormLabel, 1);
    header->addWidget(HelpButton);
    layout->addLayout(header);
    Strich = new QFrame(this);
    Strich->setObjectName("Strich");
    Strich->setFrameShape(QFrame::HLine);
    Strich->setFixedHeight(1);
    layout->addWidget(Strich);
    Orientierung = new QFrame(this);
    Orientierung->setObjectName("Orientierung");
    auto* area = new QVBoxLayout(Orientierung);
    area->setContentsMargins(0, 0, 0, 0);
    PageControl1 = new QTabWidget(Orientierung);
    PageControl1->setObjectName("PageControl1");
    area->addWidget(PageControl1);
    layout->addWidget(Orientierung, 1);

    auto* buttons = new QHBoxLayout;
    Next = new QToolButton(this);
    Next->setObjectName("Next");
    Next->setText("next");
    Next->setToolTip(QString::fromUtf8("speichern und nächstes Menü"));
    Next->hide();
    OKButton = Button(this, "OKButton", "OK", "Speichern und schliessen");
    AbortButton = Button(this, "AbortButton", "abort", "Abbruch ohne speichern");
    WiderrufenButton = Button(this, "WiderrufenButton", "Alt", "Änderung widerrufen");
    SichernButton = Button(this, "SichernButton", "sichern", "speichern");
    buttons->addWidget(Next);
    buttons->addStretch(1);
    for (QPushButton* b : {OKButton, AbortButton, WiderrufenButton, SichernButton})
        buttons->addWidget(b);
    layout->addLayout(buttons);
    Inform = HiddenLabel(this, "Inform");
    Highlight = HiddenLabel(this, "Highlight");
    Init_from_Tree = HiddenLabel(this, "Init_from_Tree");

    connect(HelpButton, &QToolButton::clicked, this, &TForm99::HelpButtonClick);
    hide();
}

void TForm99::FormCreate(QWidget* clientPanel) {
    if (!clientPanel) return;
    const QRect panel = clientPanel->geometry();
    setParent(clientPanel);
    setWindowFlags(Qt::Widget);
    setGeometry(0, panel.top() + 14, panel.width(), panel.height() - 10);
    hide();
}

void TForm99::LoadFromSysMod() {
    throw std::logic_error("Abstrakter Fehler");
}

void TForm99::HelpButtonClick() { ShowHelpAt(help::SectionForContext(HelpContext)); }

void TForm99::ShowHelpAt(const QString& section) { help::ShowHelp(HelpFilePath, section); }

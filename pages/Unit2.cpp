#include "pages/Unit2.h"

#include "pages/PageParts.h"

#include "config/IniStore.h"
#include "config/Reports.h"
#include "config/ed_ini.h"
#include "platform/Text.h"
#include "platform/qt/QtText.h"

#include <QCheckBox>
#include <QGridLayout>
#include <QGroupBox>
#include <QHBoxLayout>
#include <QLabel>
#include <QLineEdit>
#include <QListWidget>
#include <QPushButton>
#include <QStyle>
#include <QVBoxLayout>

#include <exception>
#include <vector>

std::string ModemDatabasePath;
TForm2* Form2 = nullptr;

using plat::FromQ;
using plat::ToQ;

namespace {

std::string UpperCase(const std::string& s) { return plat::AnsiUpperCase(s); }

void InfoBackground(QWidget* w) {
    QPalette p = w->palette();
    p.setColor(QPalette::Base, p.color(QPalette::ToolTipBase));
    p.setColor(QPalette::Text, p.color(QPalette::ToolTipText));
    w->setPalette(p);
}

QLineEdit* Edit(const char* name, const QString& hint) {
    auto* e = new QLineEdit;
    e->setObjectName(QString::fromLatin1(name));
    e->setToolTip(hint);
    return e;
}

} // namespace

TForm2::TForm2(QWidget* parent) : QWidget(parent) {
    setObjectName(QStringLiteral("Form2"));
    setWindowTitle(QStringLiteral("Modem-Type"));

    BitBtn1 = MakeSaveButton(this, "BitBtn1");
    Panel1 = new QLabel;
    Panel1->setObjectName(QStringLiteral("Panel1"));
    Panel1->setFrameShape(QFrame::Panel);
    Panel1->setFrameShadow(QFrame::Sunken);
    Panel1->setFont(TypewriterFont("Courier"));
    Panel1->setStyleSheet(QStringLiteral("color: purple;"));
    auto* toolBar = new QHBoxLayout;
    toolBar->addWidget(BitBtn1);
    toolBar->addWidget(Panel1, 1);

    ModemListBox = new QListWidget;
    ModemListBox->setObjectName(QStringLiteral("ModemListBox"));
    InfoBackground(ModemListBox);
    ModemType = Edit("ModemType", QStringLiteral("ausgewähltes Modem"));
    ModemType->setReadOnly(true);
    QFont bold = ModemType->font();
    bold.setBold(true);
    ModemType->setFont(bold);
    InfoBackground(ModemType);
    auto* typeGroup = new QGroupBox(QStringLiteral("ModemType"));
    auto* typeLayout = new QVBoxLayout(typeGroup);
    typeLayout->addWidget(ModemListBox, 1);
    typeLayout->addWidget(ModemType);

    ini1 = Edit("ini1", QStringLiteral("ini-string-1"));
    ini2 = Edit("ini2", QStringLiteral("ini-string-2"));
    ini3 = Edit("ini3", QStringLiteral("ini-string-3"));
    auto* initGroup = new QGroupBox(QStringLiteral("Modem Initialisierung"));
    auto* initLayout = new QVBoxLayout(initGroup);
    for (QLineEdit* e : {ini1, ini2, ini3}) initLayout->addWidget(e);

    dial_timeout = Edit("dial_timeout", QStringLiteral("beendet die Anwahl"));
    dial = Edit("dial", QStringLiteral("Ton= ATDT Puls=ATDP"));
    hangup = Edit("hangup", QStringLiteral(" ATH"));
    askmodem = Edit("askmodem", QStringLiteral("ModemKennung abfragen"));
    echooff = Edit("echooff", QStringLiteral("Echo ausschalten"));
    hangupLabel = new QLabel(QStringLiteral("Auflegen"));
    hangup->setEnabled(false);
    hangupLabel->setEnabled(false);
    auto* stringsGroup = new QGroupBox(QStringLiteral("Modem Strings"));
    auto* strings = new QGridLayout(stringsGroup);
    strings->addWidget(new QLabel(QStringLiteral("max Wähl-Zeit")), 0, 0);
    strings->addWidget(dial_timeout, 0, 1);
    strings->addWidget(new QLabel(QStringLiteral("[sec]")), 0, 2);
    strings->addWidget(new QLabel(QStringLiteral("Wähl-String")), 1, 0);
    strings->addWidget(dial, 1, 1);
    strings->addWidget(hangupLabel, 2, 0);
    strings->addWidget(hangup, 2, 1);
    strings->addWidget(new QLabel(QStringLiteral("ModemType abfragen")), 3, 0);
    strings->addWidget(askmodem, 3, 1);
    strings->addWidget(new QLabel(QStringLiteral("Echo aus")), 4, 0);
    strings->addWidget(echooff, 4, 1);

    AutoInit = new QCheckBox(QStringLiteral("Auto-Init."));
    AutoInit->setObjectName(QStringLiteral("AutoInit"));
    AutoInit->setToolTip(QStringLiteral("Modem sofort initialisieren"));
    AutoInit->setChecked(true);
    AutoDial = new QCheckBox(QStringLiteral("Auto-Wahl"));
    AutoDial->setObjectName(QStringLiteral("AutoDial"));
    AutoDial->setToolTip(QStringLiteral("gegenwärtig nicht verwendet"));
    AutoDialNumber = Edit("AutoDialNumber", QStringLiteral("gegenwärtig nicht verwendet"));
    AutoDialNumber->setText(QStringLiteral("0"));
    AutoDialNumber->setEnabled(false);
    defaultdial = Edit("defaultdial", QString());
    defaultdial->setText(QStringLiteral("06601234567"));
    auto* autoGroup = new QGroupBox(QStringLiteral("Automatisch"));
    auto* autoLayout = new QGridLayout(autoGroup);
    autoLayout->addWidget(AutoInit, 0, 0);
    autoLayout->addWidget(AutoDial, 1, 0);
    autoLayout->addWidget(AutoDialNumber, 1, 1);
    autoLayout->addWidget(new QLabel(QStringLiteral("TelNummer")), 2, 0);
    autoLayout->addWidget(defaultdial, 2, 1);

    auto* right = new QVBoxLayout;
    right->addWidget(initGroup);
    right->addWidget(stringsGroup);
    right->addWidget(autoGroup);
    right->addStretch(1);
    auto* body = new QHBoxLayout;
    body->addWidget(typeGroup, 1);
    body->addLayout(right, 1);
    auto* top = new QVBoxLayout(this);
    top->addLayout(toolBar);
    top->addLayout(body, 1);

    connect(BitBtn1, &QPushButton::clicked, this, [this] { BitBtn1Click(); });
    // A click, or choosing a type with the keys (arrows, Space); the list's own filling does not count.
    // Tabbing into the list makes its first row current without choosing it: that changes nothing.
    connect(ModemListBox, &QListWidget::itemClicked, this, [this] { ModemListBoxClick(); });
    connect(ModemListBox, &QListWidget::itemSelectionChanged, this, [this] {
        if (!ModemListBox->selectedItems().isEmpty()) ModemListBoxClick();
    });
}

TForm2::~TForm2() {
    try {
        CloseModemStore();
    } catch (const std::exception& e) {
        // The program is ending and no window is left to show it: the main log keeps the failure.
        WriteLogLine(std::string("Modem-Typen nicht gesichert: ") + e.what());
    }
}

void TForm2::LoadSettings() {
    // A fresh modem-types store each time, so edits of the file on disk show up; the old one is not written.
    FModemStore.reset();
    FModemStore = std::make_unique<TIniStore>(ModemDatabasePath, TIniStore::IfMissing::Say);

    const QSignalBlocker quiet(ModemListBox);
    ModemListBox->clear();
    std::vector<std::string> types;
    FModemStore->ReadSection("MODEM-TYPEN", types);
    for (const std::string& name : types) ModemListBox->addItem(ToQ(name));

    TIniStore& ini = ToolIni();
    ModemType->setText(ToQ(ini.ReadString("Modem", "Type", "")));
    dial_timeout->setText(ToQ(UpperCase(FModemStore->ReadString("time", "dial_timeout", "40"))));
    const std::pair<QLineEdit*, const char*> upper[] = {
        {ini1, "i1"},           {ini2, "i2"},         {ini3, "i3"},
        {dial, "Dial"},         {hangup, "Hangup"},   {echooff, "Echooff"},
        {askmodem, "Askmodem"}, {defaultdial, "Defaultdial"}, {AutoDialNumber, "autodial"}};
    for (auto [edit, key] : upper) edit->setText(ToQ(UpperCase(ini.ReadString("Modem", key, ""))));
    AutoInit->setChecked(ini.ReadBool("Modem", "autoinit", false));
    AutoDial->setChecked(!AutoDialNumber->text().isEmpty());
}

void TForm2::ModemListBoxClick() {
    QListWidgetItem* item = ModemListBox->currentItem();
    if (!item || !item->isSelected() || !FModemStore) {
        ini1->clear();
        ini2->clear();
        ini3->clear();
        return;
    }
    ModemType->setText(item->text());
    const std::string type = FromQ(ModemType->text());
    ini1->setText(ToQ(UpperCase(FModemStore->ReadString(type, "i1", "??"))));
    ini2->setText(ToQ(UpperCase(FModemStore->ReadString(type, "i2", "??"))));
    ini3->setText(ToQ(UpperCase(FModemStore->ReadString(type, "i3", "??"))));
    hangup->setText(ToQ(UpperCase(FModemStore->ReadString(type, "Hangup", ""))));
    echooff->setText(ToQ(UpperCase(FModemStore->ReadString(type, "Echooff", ""))));
    askmodem->setText(ToQ(UpperCase(FModemStore->ReadString(type, "Askmodem", ""))));
}

void TForm2::SaveSettings() {
    TIniStore& ini = ToolIni();
    ini.WriteString("Modem", "Type", FromQ(ModemType->text()));
    ini.WriteString("time", "dial_timeout", FromQ(dial_timeout->text()));
    ini.WriteString("Modem", "i1", FromQ(ini1->text()));
    ini.WriteString("Modem", "i2", FromQ(ini2->text()));
    ini.WriteString("Modem", "i3", FromQ(ini3->text()));
    ini.WriteString("Modem", "Dial", FromQ(dial->text()));
    ini.WriteString("Modem", "Hangup", FromQ(hangup->text()));
    ini.WriteString("Modem", "Echooff", FromQ(echooff->text()));
    ini.WriteString("Modem", "Askmodem", FromQ(askmodem->text()));
    ini.WriteString("Modem", "Defaultdial", FromQ(defaultdial->text()));
    ini.WriteString("Modem", "autodial", FromQ(AutoDialNumber->text()));
    ini.WriteBool("Modem", "autoinit", AutoInit->isChecked());
}

void TForm2::FormShow() { Panel1->setText(FModemStore ? ToQ(FModemStore->FileName()) : QString()); }

void TForm2::showEvent(QShowEvent* event) {
    QWidget::showEvent(event);
    FormShow();
}

void TForm2::CloseModemStore() {
    std::unique_ptr<TIniStore> store = std::move(FModemStore);
    ModemDatabasePath.clear();
    // A store opened over an empty path (the tab was shown before the monitor tool was chosen) has no file.
    if (!store || store->FileName().empty()) return;
    // The page never changes the modem types, so the write-back only brings the file into the store's form;
    // a file changed on disk since the last load keeps its new content (the store's write-back rule).
    store->UpdateFile();
}

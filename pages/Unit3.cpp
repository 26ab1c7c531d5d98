#include "pages/Unit3.h"

#include "pages/PageParts.h"

#include "config/IniStore.h"
#include "config/ed_ini.h"

#include <QCheckBox>
#include <QGridLayout>
#include <QGroupBox>
#include <QHBoxLayout>
#include <QLabel>
#include <QLineEdit>
#include <QPushButton>
#include <QSpinBox>
#include <QStyle>
#include <QVBoxLayout>

#include <climits>

TForm3* Form3 = nullptr;

namespace {

QCheckBox* Box(const char* name, const QString& caption, const QString& hint) {
    auto* b = new QCheckBox(caption);
    b->setObjectName(QString::fromLatin1(name));
    b->setToolTip(hint);
    return b;
}

// A spin edit without range check: every integer the file holds is shown unchanged.
QSpinBox* Spin(const char* name, const QString& hint) {
    auto* s = new QSpinBox;
    s->setObjectName(QString::fromLatin1(name));
    s->setToolTip(hint);
    s->setRange(INT_MIN, INT_MAX);
    s->setMaximumWidth(120);
    return s;
}

} // namespace

TForm3::TForm3(QWidget* parent) : QWidget(parent) {
    setObjectName(QStringLiteral("Form3"));
    setWindowTitle(QStringLiteral("Monitor Task"));

    BitBtn1 = MakeSaveButton(this, "BitBtn1");
    auto* toolBar = new QHBoxLayout;
    toolBar->addWidget(BitBtn1);
    toolBar->addStretch(1);

    MonitorCheckBox = Box("MonitorCheckBox", QStringLiteral("1 Schacht"), QStringLiteral("Schacht Info holen (standard JA)"));
    QuittierungsCheckBox = Box("QuittierungsCheckBox", QStringLiteral("2 Quittierung"),
                               QStringLiteral("Drücker-Quittierung holen (standard JA)"));
    FZ_CheckBox = Box("FZ_CheckBox", QStringLiteral("4 FZ"), QStringLiteral("Fahrtenzähler holen (standard JA)"));
    BS_CheckBox = Box("BS_CheckBox", QStringLiteral("8 BS"), QStringLiteral("'Betriebs-Stunden holen' (standard JA)"));
    fehler_checkbox =
        Box("fehler_checkbox", QStringLiteral("16 Fehler"), QStringLiteral("\"letzten Fehler\" holen (standard JA)"));
    StartMonitor = Box("StartMonitor", QStringLiteral("32 autorun"),
                       QStringLiteral("automatischer Schacht-Aufbau nach Programm-Start"));
    const QString tick = QStringLiteral("Warte-Tick");
    tickumonblk = Spin("tickumonblk", tick);
    tickuquitt = Spin("tickuquitt", tick);
    tickufz = Spin("tickufz", tick);
    tickubs = Spin("tickubs", tick);
    tickuerror = Spin("tickuerror", tick);
    auto* taskGroup = new QGroupBox(QStringLiteral("Monitor Task"));
    auto* task = new QGridLayout(taskGroup);
    QSpinBox* ticks[] = {tickumonblk, tickuquitt, tickufz, tickubs, tickuerror};
    QCheckBox* taskBoxes[] = {MonitorCheckBox, QuittierungsCheckBox, FZ_CheckBox, BS_CheckBox, fehler_checkbox,
                              StartMonitor};
    for (int i = 0; i < 6; ++i) {
        if (i < 5) task->addWidget(ticks[i], i, 0);
        task->addWidget(taskBoxes[i], i, 1);
    }

    const QString sheetsHint = QStringLiteral("Anzeige Blätter");
    Check_monitor = Box("Check_monitor", QStringLiteral("Monitor"), sheetsHint);
    Check_funktionen = Box("Check_funktionen", QStringLiteral("Funktionen"), sheetsHint);
    Check_fehler = Box("Check_fehler", QStringLiteral("Fehler"), sheetsHint);
    Check_test = Box("Check_test", QStringLiteral("Test"), sheetsHint);
    Check_eeprom = Box("Check_eeprom", QStringLiteral("EEprom"), sheetsHint);
    Check_telefon = Box("Check_telefon", QStringLiteral("Telefon"), sheetsHint);
    auto* sheetsGroup = new QGroupBox(QStringLiteral("Tabsheets"));
    auto* sheets = new QVBoxLayout(sheetsGroup);
    for (QCheckBox* b : {Check_monitor, Check_funktionen, Check_fehler, Check_test, Check_eeprom, Check_telefon})
        sheets->addWidget(b);

    KabinenTimer = Spin("KabinenTimer", QStringLiteral("weiche Kabinenbewegung"));
    KabinenTimer->setValue(1);
    auto* cabinGroup = new QGroupBox(QStringLiteral("Kabinentimer"));
    (new QVBoxLayout(cabinGroup))->addWidget(KabinenTimer);

    SysModSenden = Box("SysModSenden", QStringLiteral("SysMod senden erlaubt"), QString());
    MonitorButton = Box("MonitorButton", QStringLiteral("Monitor Button(Editor)"), QString());
    MonitorButton->setVisible(false);
    auto* extraGroup = new QGroupBox(QStringLiteral("Extra"));
    auto* extra = new QVBoxLayout(extraGroup);
    extra->addWidget(SysModSenden);
    extra->addWidget(MonitorButton);

    reset_timeout = new QLineEdit(QStringLiteral("reset_timeout"));
    reset_timeout->setObjectName(QStringLiteral("reset_timeout"));
    auto* resetLabel = new QLabel(QStringLiteral("Reset Timer"));
    resetLabel->setToolTip(QStringLiteral("Wiederaufnahme nach Steuerungs Reset"));
    auto* timeoutsGroup = new QGroupBox(QStringLiteral("TimeOuts"));
    auto* timeouts = new QHBoxLayout(timeoutsGroup);
    timeouts->addWidget(resetLabel);
    timeouts->addWidget(reset_timeout);

    auto* left = new QVBoxLayout;
    left->addWidget(taskGroup);
    left->addWidget(cabinGroup);
    left->addStretch(1);
    auto* right = new QVBoxLayout;
    right->addWidget(sheetsGroup);
    right->addWidget(extraGroup);
    right->addWidget(timeoutsGroup);
    right->addStretch(1);
    auto* body = new QHBoxLayout;
    body->addLayout(left, 1);
    body->addLayout(right, 1);
    auto* top = new QVBoxLayout(this);
    top->addLayout(toolBar);
    top->addLayout(body, 1);
}

void TForm3::LoadSettings() {
    TIniStore& ini = ToolIni();
    MonitorButton->setChecked(ini.ReadBool("unit43", "monitor", false));

    const int sheets = ini.ReadInteger("unit43", "tabsheets", 0);
    const std::pair<QCheckBox*, int> sheetBits[] = {{Check_monitor, 1}, {Check_funktionen, 2}, {Check_fehler, 8},
                                                    {Check_test, 16},   {Check_eeprom, 32},     {Check_telefon, 128}};
    for (auto [box, bit] : sheetBits) box->setChecked((sheets & bit) != 0);

    const std::pair<QSpinBox*, const char*> spins[] = {{KabinenTimer, "kabinentimer"}, {tickufz, "tickufz"},
                                                       {tickubs, "tickubs"},           {tickuquitt, "tickuquitt"},
                                                       {tickumonblk, "tickumonblk"},   {tickuerror, "tickuerror"}};
    for (auto [spin, key] : spins) spin->setValue(ini.ReadInteger("unit43", key, 0));

    SysModSenden->setChecked(ini.ReadBool("Unit43", "senden", false));

    const int task = ini.ReadInteger("unit43", "task", 0);
    const std::pair<QCheckBox*, int> taskBits[] = {{MonitorCheckBox, 1}, {QuittierungsCheckBox, 2}, {FZ_CheckBox, 4},
                                                   {BS_CheckBox, 8},     {fehler_checkbox, 16},     {StartMonitor, 32}};
    for (auto [box, bit] : taskBits) box->setChecked((task & bit) != 0);
}

void TForm3::showEvent(QShowEvent* event) {
    QWidget::showEvent(event);
    FormShow();
}

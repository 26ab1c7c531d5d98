#include "pages/Unit8.h"

#include "pages/PageParts.h"

#include "config/IniStore.h"
#include "config/ed_ini.h"
#include "link/port.h"
#include "pages/Dialogs.h"
#include "platform/ComMap.h"
#include "platform/SerialDevices.h"
#include "platform/qt/QtText.h"
#include "serial/widgets/SerialDeviceSelect.h"

#include <QFrame>
#include <QGroupBox>
#include <QGuiApplication>
#include <QHBoxLayout>
#include <QLineEdit>
#include <QPushButton>
#include <QRadioButton>
#include <QStyle>
#include <QToolButton>
#include <QVBoxLayout>

#include <initializer_list>
#include <stdexcept>
#include <vector>

TForm8* Form8 = nullptr;

std::function<bool(QDialog&)> TForm8::RunDeviceForm = [](QDialog& form) {
    if (QGuiApplication::platformName() == QStringLiteral("offscreen")) return false; // nobody could answer
    return form.exec() == QDialog::Accepted;
};
std::string TForm8::DeviceRoot;

namespace {

// A radio button of a group whose exclusion the page keeps itself: checking one unchecks the others,
// unchecking one leaves the others as they are, so that a group can end up with none checked. A click
// on a checked button leaves it checked, as with any radio button.
class GroupRadioButton : public QRadioButton {
public:
    GroupRadioButton(const char* name, const QString& caption) : QRadioButton(caption) {
        setObjectName(QString::fromLatin1(name));
        setAutoExclusive(false);
    }

protected:
    void nextCheckState() override {
        if (!isChecked()) setChecked(true);
    }
};

void MakeGroup(std::initializer_list<QRadioButton*> buttons) {
    const std::vector<QRadioButton*> group(buttons);
    for (QRadioButton* b : group)
        QObject::connect(b, &QRadioButton::toggled, b, [b, group](bool on) {
            if (!on) return;
            for (QRadioButton* other : group)
                if (other != b) other->setChecked(false);
        });
}

// Position pos (0-based) of a methode value is '1'; positions past the end count as '0'.
bool Flag(const std::string& methode, size_t pos) {
    return pos < methode.size() && methode[pos] == '1';
}

} // namespace

TForm8::TForm8(QWidget* parent) : QWidget(parent) {
    setObjectName(QStringLiteral("Form8"));
    setWindowTitle(QStringLiteral("Port"));

    OKButton = MakeSaveButton(this, "OKButton");
    connect(OKButton, &QPushButton::clicked, this, [this] { OKButtonClick(); });
    PortTestButton = new QPushButton(QStringLiteral("PortTest"));
    PortTestButton->setObjectName(QStringLiteral("PortTestButton"));
    connect(PortTestButton, &QPushButton::clicked, this, [this] { PortTestButtonClick(); });
    DevicesButton = new QPushButton(QStringLiteral("Ger\u00e4te \u2026"));
    DevicesButton->setObjectName(QStringLiteral("DevicesButton"));
    DevicesButton->setToolTip(
        QStringLiteral("Serielle Ger\u00e4te dieses Rechners einer COM-Nummer zuordnen"));
    connect(DevicesButton, &QPushButton::clicked, this, [this] { DevicesButtonClick(); });
    auto* toolBar = new QHBoxLayout;
    toolBar->addWidget(OKButton);
    toolBar->addWidget(PortTestButton);
    toolBar->addWidget(DevicesButton);
    toolBar->addStretch(1);

    Com1Button = new GroupRadioButton("Com1Button", QStringLiteral("COM1"));
    Com2Button = new GroupRadioButton("Com2Button", QStringLiteral("COM2"));
    Com3Button = new GroupRadioButton("Com3Button", QStringLiteral("COM3"));
    Com4Button = new GroupRadioButton("Com4Button", QStringLiteral("COM4"));
    MakeGroup({Com1Button, Com2Button, Com3Button, Com4Button});
    Com1Button->setChecked(true);
    ComPortGroup = new QGroupBox(QStringLiteral("ComPort"));
    ComPortGroup->setObjectName(QStringLiteral("ComPortGroup"));
    auto* comLayout = new QVBoxLayout(ComPortGroup);
    for (QRadioButton* b : {Com1Button, Com2Button, Com3Button, Com4Button})
        comLayout->addWidget(b);

    LokalButton = new GroupRadioButton("LokalButton", QStringLiteral("Lokal"));
    ModemButton = new GroupRadioButton("ModemButton", QStringLiteral("Modem"));
    FileButton = new GroupRadioButton("FileButton", QStringLiteral("FileButton"));
    FileButton->setEnabled(false);
    MakeGroup({LokalButton, ModemButton, FileButton});
    LokalButton->setChecked(true);
    BetriebGroup = new QGroupBox(QStringLiteral("Betrieb"));
    BetriebGroup->setObjectName(QStringLiteral("BetriebGroup"));
    auto* modeLayout = new QVBoxLayout(BetriebGroup);
    for (QRadioButton* b : {LokalButton, ModemButton, FileButton})
        modeLayout->addWidget(b);

    Filepanel = new QWidget;
    Filepanel->setObjectName(QStringLiteral("Filepanel"));
    FileString = new QLineEdit;
    FileString->setObjectName(QStringLiteral("FileString"));
    FileOpenButton = new QToolButton;
    FileOpenButton->setObjectName(QStringLiteral("FileOpenButton"));
    FileOpenButton->setIcon(style()->standardIcon(QStyle::SP_DirOpenIcon));
    auto* fileLayout = new QHBoxLayout(Filepanel);
    fileLayout->setContentsMargins(0, 0, 0, 0);
    fileLayout->addWidget(FileString, 1);
    fileLayout->addWidget(FileOpenButton);
    Filepanel->setVisible(false);

    Panel10 = new QFrame;
    Panel10->setObjectName(QStringLiteral("Panel10"));
    Panel10->setFrameStyle(QFrame::Panel | QFrame::Sunken);
    Panel10->setLineWidth(2);
    auto* consoleLayout = new QVBoxLayout(Panel10);
    consoleLayout->setContentsMargins(2, 2, 2, 2);

    auto* left = new QVBoxLayout;
    left->addWidget(ComPortGroup);
    left->addWidget(BetriebGroup);
    left->addWidget(Filepanel);
    left->addStretch(1);
    auto* body = new QHBoxLayout;
    body->addLayout(left);
    body->addWidget(Panel10, 1);
    auto* top = new QVBoxLayout(this);
    top->addLayout(toolBar);
    top->addLayout(body, 1);
}

void TForm8::LoadSettings() {
    TIniStore& ini = ToolIni();
    const std::string methode = ini.ReadString("start", "methode", "10000");
    // One group: the last of the three whose position is '1' stays checked; with none, none is.
    LokalButton->setChecked(Flag(methode, 0));
    ModemButton->setChecked(Flag(methode, 1));
    FileButton->setChecked(Flag(methode, 2));

    FileString->setText(plat::ToQ(ini.ReadString("Unit43", "file", "")));

    QRadioButton* const coms[] = {Com1Button, Com2Button, Com3Button, Com4Button};
    const int port = ini.ReadInteger("ComPort", "port", 2);
    if (port >= 1 && port <= 4) coms[port - 1]->setChecked(true); // any other value leaves them alone
}

std::string TForm8::WithMode(std::string methode, bool local) {
    if (methode.size() < 2) methode.resize(2, '0');
    methode[0] = local ? '1' : '0';
    methode[1] = local ? '0' : '1';
    return methode;
}

void TForm8::SaveSettings() {
    TIniStore& ini = ToolIni();
    QRadioButton* const coms[] = {Com1Button, Com2Button, Com3Button, Com4Button};
    for (int i = 0; i < 4; ++i)
        if (coms[i]->isChecked()) ini.WriteInteger("ComPort", "port", i + 1);
    if (LokalButton->isChecked())
        ini.WriteString("Start", "methode", WithMode(ini.ReadString("Start", "methode", "00000"), true));
    if (ModemButton->isChecked())
        ini.WriteString("Start", "methode", WithMode(ini.ReadString("Start", "methode", "00000"), false));
}

void TForm8::PortTestButtonClick() {
    if (!MyComPort) return;
    if (MyComPort->parentWidget() != Panel10) {
        MyComPort->setParent(Panel10, Qt::Widget);
        Panel10->layout()->addWidget(MyComPort);
    }
    MyComPort->show();
}

void TForm8::DevicesButtonClick() {
    QRadioButton* const coms[] = {Com1Button, Com2Button, Com3Button, Com4Button};
    int n = 1;
    for (int i = 0; i < 4; ++i)
        if (coms[i]->isChecked()) n = i + 1;
    sx::TSerialDeviceForm form(plat::ListSerialDevices(DeviceRoot), n, this);
    form.setProperty("helpSection", QStringLiteral("geraete")); // F1: the list explained, not the page
    if (!RunDeviceForm(form) || form.SelectedTarget().empty()) return;
    MapComDevice(ProgramIniFileName(), form.ComNumber(), form.SelectedTarget());
}

bool TForm8::MapComDevice(const std::string& programIni, int n, const std::string& device) {
    plat::SetComDevice(n, device);
    const std::string key = "COM" + std::to_string(n);
    if (programIni.empty()) {
        dlg::MessageDlg(key + " steht jetzt f\xFCr " + device +
                            ", aber nur bis zum Ende des Programms: ohne eigene INI-Datei des Programms kann "
                            "die Zuordnung nicht gespeichert werden.",
                        dlg::Kind::Warning, dlg::mbOK);
        return false;
    }
    try {
        if (IniFileName() == programIni) { // the open store: written back with it, never behind its back
            ToolIni().WriteString("devices", key, device);
            return true;
        }
        TIniStore ini(programIni);
        if (!ini.Loaded()) throw std::runtime_error(ini.LoadError());
        ini.WriteString("devices", key, device);
        ini.UpdateFile();
    } catch (const std::exception& e) {
        dlg::MessageDlg(key + " steht jetzt f\xFCr " + device +
                            ", aber nur bis zum Ende des Programms: " + e.what(),
                        dlg::Kind::Error, dlg::mbOK);
        return false;
    }
    return true;
}

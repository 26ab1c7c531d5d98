#pragma once
// Port page: how a tool reaches the lift controller ([ComPort] port, the operating mode in [start] methode),
// and the place where the port test console is shown ("PortTest").
//
// methode is a string of '0'/'1': position 1 = local operation, 2 = modem, 3 = from a file; positions past
// the end of the value count as '0'. Saving sets positions 1 and 2 for "Lokal" or "Modem" and keeps the rest.

#include <QWidget>

#include <functional>
#include <string>

class QDialog;
class QFrame;
class QGroupBox;
class QLineEdit;
class QPushButton;
class QRadioButton;
class QToolButton;

class TForm8 : public QWidget {
    Q_OBJECT
public:
    explicit TForm8(QWidget* parent = nullptr);

    // Fills the page from the tool INI store each time its tab is shown.
    void LoadSettings();
    // Writes the checked COM port and, when "Lokal" or "Modem" is checked, methode (memory only).
    void SaveSettings();
    void OKButtonClick() { SaveSettings(); }
    // Shows the port test console inside Panel10, borderless and filling it.
    void PortTestButtonClick();
    // Lists the machine's serial devices and maps the COM number chosen to the device chosen.
    void DevicesButtonClick();
    // Maps COM n to device for this run and in [devices] of the program's own INI file programIni; false with
    // a German message when the file cannot be written (the mapping then holds for this run only).
    static bool MapComDevice(const std::string& programIni, int n, const std::string& device);

    // For tests: the device mapping dialog's run (exec by default; without a screen: cancelled) and the
    // root the devices are read below ("" = this machine).
    static std::function<bool(QDialog&)> RunDeviceForm;
    static std::string DeviceRoot;

    // methode with positions 1 and 2 set to local (true) or modem (false); a value shorter than two
    // characters is first filled up with '0'.
    static std::string WithMode(std::string methode, bool local);

    QPushButton* OKButton;
    QPushButton* PortTestButton;
    QPushButton* DevicesButton;
    QGroupBox* ComPortGroup;
    QRadioButton* Com1Button;
    QRadioButton* Com2Button;
    QRadioButton* Com3Button;
    QRadioButton* Com4Button;
    QGroupBox* BetriebGroup;
    QRadioButton* LokalButton;
    QRadioButton* ModemButton;
    QRadioButton* FileButton; // disabled
    QWidget* Filepanel;       // hidden
    QLineEdit* FileString;
    QToolButton* FileOpenButton; // no caption, no action
    QFrame* Panel10;             // where the port test console is shown
};

extern TForm8* Form8;

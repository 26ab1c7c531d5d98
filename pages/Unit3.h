#pragma once
// Monitor task page: shows the monitor tool's task bits, wait ticks, tab sheets and cabin timer ([unit43]).
// The page only reads; its "Sichern" button has no action.

#include <QWidget>

class QCheckBox;
class QLineEdit;
class QPushButton;
class QSpinBox;

class TForm3 : public QWidget {
    Q_OBJECT
public:
    explicit TForm3(QWidget* parent = nullptr);

    // Overwrites every control but reset_timeout from the tool INI store.
    void LoadSettings();
    // Showing the page loads it again.
    void FormShow() { LoadSettings(); }

    QPushButton* BitBtn1; // "Sichern", no action

    // [unit43] task, bits 1, 2, 4, 8, 16, 32
    QCheckBox* MonitorCheckBox;
    QCheckBox* QuittierungsCheckBox;
    QCheckBox* FZ_CheckBox;
    QCheckBox* BS_CheckBox;
    QCheckBox* fehler_checkbox;
    QCheckBox* StartMonitor;
    // wait ticks beside the first five task boxes
    QSpinBox* tickumonblk;
    QSpinBox* tickuquitt;
    QSpinBox* tickufz;
    QSpinBox* tickubs;
    QSpinBox* tickuerror;

    // [unit43] tabsheets, bits 1, 2, 8, 16, 32, 128
    QCheckBox* Check_monitor;
    QCheckBox* Check_funktionen;
    QCheckBox* Check_fehler;
    QCheckBox* Check_test;
    QCheckBox* Check_eeprom;
    QCheckBox* Check_telefon;

    QSpinBox* KabinenTimer;
    QCheckBox* SysModSenden;
    QCheckBox* MonitorButton; // exists, never visible
    QLineEdit* reset_timeout; // never loaded

protected:
    void showEvent(QShowEvent* event) override;
};

extern TForm3* Form3;

#pragma once
// The machine's serial devices, to choose which one a COM number stands for: each with its stable name and
// what it is; devices the user may not open are marked.

#include "platform/SerialDevices.h"

#include <QDialog>

#include <string>
#include <vector>

class QLabel;
class QPushButton;
class QSpinBox;
class QTreeWidget;

namespace sx {

class TSerialDeviceForm : public QDialog {
    Q_OBJECT
public:
    TSerialDeviceForm(std::vector<plat::SerialDevice> devices, int comNumber, QWidget* parent = nullptr);

    int ComNumber() const;
    // The name the chosen device is mapped by ("" when none is chosen).
    std::string SelectedTarget() const;

    QSpinBox* ComSpin;
    QLabel* CurrentLabel; // what the COM number stands for now
    QTreeWidget* DeviceList;
    QPushButton* OKBtn;
    QPushButton* CancelBtn;

private:
    void ShowCurrent();
    std::vector<plat::SerialDevice> devices_;
};

} // namespace sx

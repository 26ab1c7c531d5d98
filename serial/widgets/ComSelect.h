#pragma once
// The port selection dialog: offered when a port is opened while its ComNumber is still 0.

#include <QDialog>

#include <functional>

class QComboBox;
class QLabel;
class QPushButton;

namespace sx {

class TComSelectForm : public QDialog {
    Q_OBJECT
public:
    // Tries COM1..COM50: 0 when the port opens, a negative result code when it does not.
    using TProbe = std::function<int(int comNumber)>;

    // Probes the ports (probe, or the real devices when empty) and lists those that open or are
    // in use; the first one is preselected.
    explicit TComSelectForm(QWidget* parent = nullptr, TProbe probe = {});

    // The chosen port number (the digits after "COM"), 0 when the list is empty.
    int SelectedComNumber() const;

    QLabel* Label1;
    QLabel* Label2;
    QComboBox* PortsCombo;
    QPushButton* OKBtn;
    QPushButton* CancelBtn;
};

// Shows the dialog modally; true with comNumber set when the user chose a port with "OK".
bool SxSelectPort(int& comNumber);

// Makes ports opened with PromptForPort ask through SxSelectPort.
void SxInstallPortPrompt();

// For tests: the next SxSelectPort returns at once as if the user had chosen comNumber (0: Cancel).
void SxSetNextPortAnswer(int comNumber);

} // namespace sx

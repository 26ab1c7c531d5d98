#include "serial/widgets/ComSelect.h"

#include "platform/qt/QtText.h"
#include "serial/errors/SxErrors.h"
#include "serial/port/SxComPort.h"

#include <QComboBox>
#include <QGuiApplication>
#include <QHBoxLayout>
#include <QLabel>
#include <QPushButton>
#include <QVBoxLayout>

#include <optional>

namespace sx {

namespace {
std::optional<int> nextAnswer;
}

TComSelectForm::TComSelectForm(QWidget* parent, TProbe probe) : QDialog(parent)
{
    setWindowTitle(QStringLiteral("Select Port"));
    Label1 = new QLabel(QStringLiteral("The configured serial port is not valid."), this);
    Label2 = new QLabel(QStringLiteral("Please choose another port."), this);
    PortsCombo = new QComboBox(this);
    PortsCombo->setEditable(false);
    OKBtn = new QPushButton(QStringLiteral("OK"), this);
    CancelBtn = new QPushButton(QStringLiteral("Cancel"), this);
    OKBtn->setDefault(true);
    connect(OKBtn, &QPushButton::clicked, this, &QDialog::accept);
    connect(CancelBtn, &QPushButton::clicked, this, &QDialog::reject);

    auto* buttons = new QHBoxLayout;
    buttons->addStretch();
    buttons->addWidget(OKBtn);
    buttons->addWidget(CancelBtn);
    auto* layout = new QVBoxLayout(this);
    layout->addWidget(Label1);
    layout->addWidget(Label2);
    layout->addWidget(PortsCombo);
    layout->addLayout(buttons);

    if (!probe) probe = &SxProbePort;
    for (int n = 1; n <= 50; ++n) {
        const int rc = probe(n);
        // In use elsewhere, or there but not ours to open (the open then says why): listed too.
        if (rc == 0 || rc == ecAlreadyOpen || rc == ecNoPermission) PortsCombo->addItem(QStringLiteral("COM%1").arg(n));
    }
    if (PortsCombo->count() > 0) PortsCombo->setCurrentIndex(0);
}

int TComSelectForm::SelectedComNumber() const
{
    const QString text = PortsCombo->currentText();
    if (!text.startsWith(QStringLiteral("COM"))) return 0;
    bool ok = false;
    const int n = text.mid(3).toInt(&ok);
    return ok ? n : 0;
}

bool SxSelectPort(int& comNumber)
{
    if (nextAnswer) {
        const int answer = *nextAnswer;
        nextAnswer.reset();
        if (answer <= 0) return false;
        comNumber = answer;
        return true;
    }
    // Without a screen nobody could answer: behave as Cancel instead of blocking.
    if (QGuiApplication::platformName() == QStringLiteral("offscreen")) return false;
    TComSelectForm form;
    if (form.exec() != QDialog::Accepted) return false;
    const int n = form.SelectedComNumber();
    if (n <= 0) return false;
    comNumber = n;
    return true;
}

void SxInstallPortPrompt()
{
    TSxCustomComPort::SetPortPrompt(&SxSelectPort);
}

void SxSetNextPortAnswer(int comNumber)
{
    nextAnswer = comNumber;
}

} // namespace sx

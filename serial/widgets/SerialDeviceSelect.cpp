#include "serial/widgets/SerialDeviceSelect.h"

#include "platform/ComMap.h"
#include "platform/qt/QtText.h"

#include <QBrush>
#include <QHBoxLayout>
#include <QHeaderView>
#include <QLabel>
#include <QPushButton>
#include <QSpinBox>
#include <QTreeWidget>
#include <QVBoxLayout>

namespace sx {

TSerialDeviceForm::TSerialDeviceForm(std::vector<plat::SerialDevice> devices, int comNumber, QWidget* parent)
    : QDialog(parent), devices_(std::move(devices)) {
    setObjectName(QStringLiteral("SerialDeviceForm"));
    setWindowTitle(QStringLiteral("Serielle Ger\u00e4te zuordnen"));
    ComSpin = new QSpinBox(this);
    ComSpin->setObjectName(QStringLiteral("ComSpin"));
    ComSpin->setRange(1, 99);
    ComSpin->setPrefix(QStringLiteral("COM"));
    ComSpin->setValue(comNumber);
    CurrentLabel = new QLabel(this);
    CurrentLabel->setObjectName(QStringLiteral("CurrentLabel"));
    DeviceList = new QTreeWidget(this);
    DeviceList->setObjectName(QStringLiteral("DeviceList"));
    DeviceList->setRootIsDecorated(false);
    DeviceList->setHeaderLabels(
        {QStringLiteral("Ger\u00e4t"), QStringLiteral("Beschreibung"), QStringLiteral("Fester Name")});
    for (const plat::SerialDevice& d : devices_) {
        auto* item =
            new QTreeWidgetItem(DeviceList, {plat::ToQ(d.path), plat::ToQ(plat::DescribeSerialDevice(d)),
                                             QString::fromStdString(d.stablePath)});
        item->setToolTip(1, item->text(1));
        item->setToolTip(2, item->text(2));
        if (!d.accessible)
            for (int c = 0; c < 3; ++c)
                item->setForeground(c, QBrush(Qt::darkRed));
    }
    DeviceList->header()->setSectionResizeMode(QHeaderView::ResizeToContents);
    if (!devices_.empty()) DeviceList->setCurrentItem(DeviceList->topLevelItem(0));
    auto* empty =
        new QLabel(QStringLiteral("Keine seriellen Ger\u00e4te gefunden (USB-Adapter eingesteckt?)."), this);
    empty->setVisible(devices_.empty());

    OKBtn = new QPushButton(QStringLiteral("Zuordnen"), this);
    CancelBtn = new QPushButton(QStringLiteral("Abbrechen"), this);
    OKBtn->setDefault(true);
    OKBtn->setEnabled(!devices_.empty());
    connect(OKBtn, &QPushButton::clicked, this, &QDialog::accept);
    connect(CancelBtn, &QPushButton::clicked, this, &QDialog::reject);
    connect(DeviceList, &QTreeWidget::itemDoubleClicked, this, &QDialog::accept);
    connect(ComSpin, &QSpinBox::valueChanged, this, [this] { ShowCurrent(); });

    auto* comRow = new QHBoxLayout;
    comRow->addWidget(new QLabel(QStringLiteral("Schnittstelle:"), this));
    comRow->addWidget(ComSpin);
    comRow->addWidget(CurrentLabel, 1);
    auto* buttons = new QHBoxLayout;
    buttons->addStretch();
    buttons->addWidget(OKBtn);
    buttons->addWidget(CancelBtn);
    auto* layout = new QVBoxLayout(this);
    layout->addLayout(comRow);
    layout->addWidget(DeviceList, 1);
    layout->addWidget(empty);
    layout->addLayout(buttons);
    resize(760, 320);
    ShowCurrent();
}

void TSerialDeviceForm::ShowCurrent() {
    CurrentLabel->setText(QStringLiteral("jetzt: %1").arg(plat::ToQ(plat::ComDevice(ComNumber()))));
}

int TSerialDeviceForm::ComNumber() const {
    return ComSpin->value();
}

std::string TSerialDeviceForm::SelectedTarget() const {
    const int row = DeviceList->indexOfTopLevelItem(DeviceList->currentItem());
    if (row < 0 || row >= static_cast<int>(devices_.size())) return {};
    return plat::MappingTarget(devices_[static_cast<std::size_t>(row)]);
}

} // namespace sx

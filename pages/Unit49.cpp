#include "pages/Unit49.h"

#include "pages/Dialogs.h"
#include "pages/PageParts.h"

#include "config/ed_ini.h"
#include "platform/DateTime.h"
#include "platform/Files.h"
#include "platform/Paths.h"
#include "platform/qt/QtText.h"

#include <QHBoxLayout>
#include <QHeaderView>
#include <QLabel>
#include <QLineEdit>
#include <QListWidget>
#include <QPushButton>
#include <QScrollBar>
#include <QStyle>
#include <QTableWidget>
#include <QVBoxLayout>

#include <algorithm>
#include <vector>

TTelefonBuch* TelefonBuch = nullptr;

using plat::FromQ;
using plat::ToQ;

namespace {

constexpr int MinRows = 25; // title row + 24 entry rows

std::string JoinLines(const std::vector<std::string>& lines) {
    std::string text;
    for (const std::string& l : lines) text += l + "\r\n";
    return text;
}

} // namespace

TTelefonBuch::TTelefonBuch(QWidget* parent) : QWidget(parent) {
    setObjectName(QStringLiteral("TelefonBuch"));
    setWindowTitle(QStringLiteral("Telefonbuch"));

    SichernButton = MakeSaveButton(this, "SichernButton");
    EditButton = new QPushButton(QStringLiteral("Editieren"));
    EditButton->setObjectName(QStringLiteral("EditButton"));
    EditButton->setEnabled(false);
    auto* toolBar = new QHBoxLayout;
    toolBar->addWidget(SichernButton);
    toolBar->addWidget(EditButton);
    toolBar->addStretch(1);

    Modus = new QLabel(QStringLiteral("EDIT-MODUS"));
    Modus->setObjectName(QStringLiteral("Modus"));
    Modus->setStyleSheet(QStringLiteral("color: navy;"));
    WaehleLabel = new QLabel(QStringLiteral("wähle:"));
    WaehleLabel->setEnabled(false);
    Nummer = new QLineEdit;
    Nummer->setObjectName(QStringLiteral("Nummer"));
    Nummer->setEnabled(false);
    Nummer->setStyleSheet(QStringLiteral("background: yellow;"));
    auto* panel = new QHBoxLayout;
    panel->addWidget(Modus);
    panel->addSpacing(20);
    panel->addWidget(WaehleLabel);
    panel->addWidget(Nummer);
    panel->addStretch(1);

    StringGrid1 = new QTableWidget(0, 2);
    StringGrid1->setObjectName(QStringLiteral("StringGrid1"));
    StringGrid1->horizontalHeader()->hide();
    StringGrid1->verticalHeader()->hide();
    StringGrid1->setColumnWidth(0, 262);
    StringGrid1->setColumnWidth(1, 139);
    StringGrid1->verticalHeader()->setDefaultSectionSize(20);
    StringGrid1->setFont(TypewriterFont("Courier"));
    StringGrid1->setStyleSheet(QStringLiteral("QTableWidget { color: purple; }"));
    StringGrid1->setVerticalScrollBarPolicy(Qt::ScrollBarAlwaysOn);
    StringGrid1->setSelectionMode(QAbstractItemView::SingleSelection);
    // The arrows move between the cells; Tab leaves the grid for the next control, as everywhere else.
    StringGrid1->setTabKeyNavigation(false);
    StringGrid1->setEditTriggers(QAbstractItemView::DoubleClicked | QAbstractItemView::EditKeyPressed |
                                 QAbstractItemView::AnyKeyPressed);
    SetRowCount(MinRows);
    // Just the two columns wide, so that the list shown beside it starts right after them.
    StringGrid1->setMinimumWidth(262 + 139 + StringGrid1->verticalScrollBar()->sizeHint().width() +
                                 2 * StringGrid1->frameWidth());

    ListBox1 = new QListWidget;
    ListBox1->setObjectName(QStringLiteral("ListBox1"));
    ListBox1->hide();
    auto* body = new QHBoxLayout;
    body->addWidget(StringGrid1);
    body->addWidget(ListBox1, 1);

    auto* top = new QVBoxLayout(this);
    top->addLayout(toolBar);
    top->addLayout(panel);
    top->addLayout(body, 1);

    connect(SichernButton, &QPushButton::clicked, this, [this] { SichernButtonClick(); });
    connect(StringGrid1, &QTableWidget::currentCellChanged, this, [this](int row, int col, int, int) {
        if (row >= 1) StringGrid1SelectCell(col, row);
    });
}

void TTelefonBuch::SetRowCount(int rows) {
    const int old = StringGrid1->rowCount();
    StringGrid1->setRowCount(rows);
    for (int r = old; r < rows; ++r)
        for (int c = 0; c < 2; ++c) {
            auto* item = new QTableWidgetItem;
            if (r == 0) { // the title row: fixed, not editable, not selectable
                item->setFlags(Qt::ItemIsEnabled);
                item->setBackground(palette().color(QPalette::Button));
            }
            StringGrid1->setItem(r, c, item);
        }
}

void TTelefonBuch::SplitEntry(const std::string& line, std::string& name, std::string& number) {
    const std::size_t open = line.find('(');
    if (open == std::string::npos) {
        name.clear();
        number = line.substr(0, line.find(')'));
        return;
    }
    name = line.substr(0, open);
    const std::string after = line.substr(open + 1, 255);
    number = after.substr(0, after.find(')'));
}

void TTelefonBuch::LoadSettings() {
    const std::string path = ini_telefonbuch();
    if (!plat::FileExists(path)) {
        const std::string first = ReadLanguageText("monitor_49", "10") + plat::DateToStr() + " ()";
        plat::WriteFileAtomic(path, JoinLines({first, "ZAV/TEST-VAM (06601234567)"}));
    }
    const std::string bytes = plat::ReadFileBytes(path);
    const std::vector<std::string> lines = plat::SplitLines(bytes);

    ListBox1->clear();
    for (const std::string& l : lines) ListBox1->addItem(ToQ(l));

    // Every line gets a row: a phone book longer than the grid's 24 entry rows makes the grid grow.
    StringGrid1->clearContents();
    StringGrid1->setRowCount(0);
    SetRowCount(std::max<int>(MinRows, static_cast<int>(lines.size()) + 1));
    for (std::size_t k = 0; k < lines.size(); ++k) {
        std::string name, number;
        SplitEntry(lines[k], name, number);
        const int row = static_cast<int>(k) + 1;
        StringGrid1->item(row, 0)->setText(ToQ(name));
        StringGrid1->item(row, 1)->setText(ToQ(number));
    }
    {
        const QSignalBlocker block(StringGrid1);
        StringGrid1->setCurrentCell(1, 0);
    }
    StringGrid1SelectCell(0, 1);
    FLoadedPath = path;
    FLoadedStamp = plat::StampFile(path, bytes);
    FLoadedGridText = GridText();
}

void TTelefonBuch::StringGrid1SelectCell(int /*col*/, int row) {
    QTableWidgetItem* item = StringGrid1->item(row, 1);
    Nummer->setText(item ? item->text() : QString());
    SelectedNumber = FromQ(Nummer->text());
}

std::string TTelefonBuch::CheckRows() const {
    for (int row = 1; row < StringGrid1->rowCount(); ++row) {
        const QTableWidgetItem* nameItem = StringGrid1->item(row, 0);
        const QTableWidgetItem* numberItem = StringGrid1->item(row, 1);
        const QString name = nameItem ? nameItem->text() : QString();
        const QString number = numberItem ? numberItem->text() : QString();
        if (name.isEmpty()) continue; // not written at all
        // A line is name "(" number ")": the name ends at its first "(", the number at the next ")". So a
        // "(" in the name, or a ")" in the number, would come back as another entry; a ")" in the name
        // comes back unchanged and is allowed (files may hold such names).
        if (name.contains(QLatin1Char('(')))
            return FromQ(QStringLiteral("Das Telefonbuch wurde nicht gespeichert.\n\nZeile %1: Der Name \"%2\" "
                                        "enthält \"(\". Ein Name darf keine Klammer \"(\" enthalten, sonst "
                                        "käme der Eintrag mit falschem Namen und falscher Nummer zurück.")
                             .arg(row)
                             .arg(name));
        if (number.contains(QLatin1Char(')')))
            return FromQ(QStringLiteral("Das Telefonbuch wurde nicht gespeichert.\n\nZeile %1: Die Nummer \"%2\" "
                                        "enthält \")\". Sie käme beim nächsten Laden abgeschnitten zurück.")
                             .arg(row)
                             .arg(number));
    }
    return {};
}

std::string TTelefonBuch::GridText(std::vector<std::string>* out) const {
    std::vector<std::string> lines;
    for (int row = 1; row < StringGrid1->rowCount(); ++row) {
        const QTableWidgetItem* nameItem = StringGrid1->item(row, 0);
        const QTableWidgetItem* numberItem = StringGrid1->item(row, 1);
        const std::string name = nameItem ? FromQ(nameItem->text()) : std::string();
        if (name.empty()) continue;
        lines.push_back(name + "(" + (numberItem ? FromQ(numberItem->text()) : std::string()) + ")");
    }
    std::string text = JoinLines(lines);
    if (out) *out = std::move(lines);
    return text;
}

bool TTelefonBuch::SaveSettings() {
    // A row that the file cannot hold refuses the whole save: nothing written, the grid kept as typed.
    if (const std::string problem = CheckRows(); !problem.empty()) {
        dlg::MessageDlg(problem, dlg::Kind::Warning, dlg::mbOK);
        return false;
    }
    std::vector<std::string> lines;
    const std::string bytes = GridText(&lines);
    const std::string path = ini_telefonbuch();
    // Another file than the one loaded (the tool changed meanwhile) counts as loaded missing: whatever is
    // there is not overwritten without a question.
    plat::FileStamp stamp = path == FLoadedPath ? FLoadedStamp : plat::FileStamp{};
    std::string disk;
    if (plat::WriteBack(path, bytes, stamp, bytes != FLoadedGridText, disk) == plat::WriteBackResult::TakeFromDisk) {
        LoadSettings(); // another program's version, and nothing edited here (or the user chose it)
        return true;
    }
    ListBox1->clear();
    for (const std::string& l : lines) ListBox1->addItem(ToQ(l));
    FLoadedPath = path;
    FLoadedStamp = stamp;
    FLoadedGridText = bytes;
    return true;
}

#include "pages/Unit5.h"

#include "pages/PageParts.h"

#include "config/Reports.h"
#include "config/ed_ini.h"
#include "pages/Dialogs.h"
#include "pages/unit80.h"
#include "platform/Files.h"
#include "platform/Paths.h"
#include "platform/qt/QtText.h"

#include <QCoreApplication>
#include <QEvent>
#include <QFrame>
#include <QHBoxLayout>
#include <QLabel>
#include <QListWidget>
#include <QMouseEvent>
#include <QPlainTextEdit>
#include <QTextBlock>
#include <QTextCursor>
#include <QTextDocument>
#include <QTimer>
#include <QToolButton>
#include <QVBoxLayout>

#include <algorithm>
#include <cstdint>
#include <string_view>
#include <utility>
#include <vector>

TForm5* Form5 = nullptr;

namespace {

const QColor kNavy(0, 0, 128);
const QColor kPurple(128, 0, 128);

// Letter-case-insensitive order of the section list (the list keeps itself sorted that way).
bool LessNoCase(const QString& a, const QString& b) {
    return QString::compare(a, b, Qt::CaseInsensitive) < 0;
}

// Memo texts up to this many characters are set at once; a longer one goes in by pieces of this size.
constexpr size_t kFillPiece = 256 * 1024;

std::string JoinLines(const std::vector<std::string>& lines) {
    std::string text;
    size_t size = 0;
    for (const auto& l : lines)
        size += l.size() + 1;
    text.reserve(size);
    for (size_t i = 0; i < lines.size(); ++i) {
        if (i) text += '\n';
        text += lines[i];
    }
    return text;
}

// The store in file form as memo text: its lines joined by "\n". Built from the file bytes in one pass,
// which for a 50 MB file takes a third of the time of joining the line list.
std::string StoreText(const TIniStore& store) {
    std::string text = store.GetText();
    size_t w = 0;
    for (size_t r = 0; r < text.size(); ++r) {
        if (text[r] == '\r' && r + 1 < text.size() && text[r + 1] == '\n') continue;
        text[w++] = text[r];
    }
    text.resize(w);
    // The file ends with a line end after the last (empty) line; joined lines do not.
    if (!text.empty() && text.back() == '\n') text.pop_back();
    return text;
}

const char* TrueFalse(bool b) {
    return b ? "True" : "False";
}

QFrame* MarkerPanel(QWidget* parent, const QString& name, const QColor& colour) {
    auto* p = new QFrame(parent);
    p->setObjectName(name);
    p->setFixedWidth(15);
    p->setAutoFillBackground(true);
    QPalette pal = p->palette();
    pal.setColor(QPalette::Window, colour);
    p->setPalette(pal);
    return p;
}

} // namespace

QColor TForm5::InfoColour() {
    return QColor(255, 255, 225);
}
QColor TForm5::WindowColour() {
    return QColor(255, 255, 255);
}
QColor TForm5::SilverColour() {
    return QColor(192, 192, 192);
}

TForm5::TForm5(QWidget* parent) : QWidget(parent) {
    setObjectName(QStringLiteral("Form5"));
    setWindowTitle(QStringLiteral("Form5"));
    resize(640, 480);

    ToolBar2 = new QFrame(this);
    ToolBar2->setObjectName(QStringLiteral("ToolBar2"));
    BaseButton = new QToolButton(ToolBar2);
    BaseButton->setObjectName(QStringLiteral("BaseButton"));
    BaseButton->setText(QStringLiteral("BASE"));
    BaseButton->setToolTip(QStringLiteral("$(base) File-Namen auflösen"));
    Panel2 = MarkerPanel(ToolBar2, QStringLiteral("Panel2"), kNavy);
    BitBtn3 = new QToolButton(ToolBar2);
    BitBtn3->setObjectName(QStringLiteral("BitBtn3"));
    BitBtn3->setText(QStringLiteral("test-ini"));
    BitBtn3->setToolTip(QStringLiteral("ed_ini Auflösungs-Test durchführen"));
    Panel3 = MarkerPanel(ToolBar2, QStringLiteral("Panel3"), palette().color(QPalette::Window));
    auto* barOfButtons = new QHBoxLayout(ToolBar2);
    barOfButtons->setContentsMargins(2, 2, 2, 2);
    barOfButtons->setSpacing(0);
    barOfButtons->addWidget(BaseButton);
    barOfButtons->addWidget(Panel2);
    barOfButtons->addWidget(BitBtn3);
    barOfButtons->addWidget(Panel3);
    barOfButtons->addStretch(1);

    Panel2Bar = new QFrame(this);
    Panel2Bar->setObjectName(QStringLiteral("_Panel2"));
    QFont barFont = TypewriterFont("Courier");
    barFont.setBold(true);
    Panel2Bar->setFont(barFont);
    {
        QPalette pal = Panel2Bar->palette();
        pal.setColor(QPalette::WindowText, kPurple);
        pal.setColor(QPalette::ButtonText, kPurple);
        Panel2Bar->setPalette(pal);
    }
    SpeedButton1 = new QToolButton(Panel2Bar);
    SpeedButton1->setObjectName(QStringLiteral("SpeedButton1"));
    SpeedButton1->setText(QStringLiteral("->[Id]"));
    SpeedButton1->setAutoRaise(true);
    StaticText1 = new QLabel(Panel2Bar);
    StaticText1->setObjectName(QStringLiteral("StaticText1"));
    StaticText1->setFont(TypewriterFont("Courier New"));
    {
        QPalette pal = StaticText1->palette();
        pal.setColor(QPalette::WindowText, kNavy);
        StaticText1->setPalette(pal);
    }
    StaticText1->setTextFormat(Qt::PlainText);
    StaticText1->installEventFilter(this);
    auto* barLayout = new QHBoxLayout(Panel2Bar);
    barLayout->setContentsMargins(2, 1, 2, 1);
    barLayout->addWidget(SpeedButton1);
    barLayout->addWidget(StaticText1, 1);

    IniListBox = new QListWidget(this);
    IniListBox->setObjectName(QStringLiteral("IniListBox"));
    IniListBox->setFixedWidth(160);
    IniListBox->setSelectionMode(QAbstractItemView::SingleSelection);
    IniListBox->setUniformItemSizes(true);

    inifile_memo = new QPlainTextEdit(this);
    inifile_memo->setObjectName(QStringLiteral("inifile_memo"));
    // The memo only shows: a typed change would reach no file, so none can be typed (selecting a word by
    // double-click still works).
    inifile_memo->setReadOnly(true);
    inifile_memo->setFont(TypewriterFont("Courier"));
    inifile_memo->setVerticalScrollBarPolicy(Qt::ScrollBarAlwaysOn);
    inifile_memo->setHorizontalScrollBarPolicy(Qt::ScrollBarAlwaysOff);
    inifile_memo->setLineWrapMode(QPlainTextEdit::WidgetWidth);
    {
        QPalette pal = inifile_memo->palette();
        pal.setColor(QPalette::Text, kNavy);
        inifile_memo->setPalette(pal);
    }
    SetMemoColour(WindowColour());
    inifile_memo->viewport()->installEventFilter(this);
    fillTimer_ = new QTimer(this);
    fillTimer_->setInterval(0);
    connect(fillTimer_, &QTimer::timeout, this, &TForm5::FillNextPiece);

    auto* body = new QHBoxLayout;
    body->setContentsMargins(0, 0, 0, 0);
    body->setSpacing(0);
    body->addWidget(IniListBox);
    body->addWidget(inifile_memo, 1);
    auto* layout = new QVBoxLayout(this);
    layout->setContentsMargins(0, 0, 0, 0);
    layout->setSpacing(0);
    layout->addWidget(ToolBar2);
    layout->addWidget(Panel2Bar);
    layout->addLayout(body, 1);

    connect(BaseButton, &QToolButton::clicked, this, &TForm5::BaseButtonClick);
    connect(BitBtn3, &QToolButton::clicked, this, &TForm5::BitBtn3Click);
    connect(SpeedButton1, &QToolButton::clicked, this, &TForm5::SpeedButton1Click);
    // Every click shows its section, also a click on the section already chosen (after "BASE", say); a
    // click that changes the selection, and a move by keyboard, show it through the selection change.
    connect(IniListBox, &QListWidget::itemSelectionChanged, this, &TForm5::IniListBoxClick);
    IniListBox->viewport()->installEventFilter(this);
    connect(IniListBox, &QListWidget::itemClicked, this, [this](QListWidgetItem* item) {
        if (item && item == selectedAtPress_) IniListBoxClick();
    });

    ShowDevelopMarkers(false);
    // The arguments the program was started with, as the configuration layer received them.
    QStringList args;
    for (const auto& a : ProgramArgs())
        args.push_back(plat::ToQ(a));
    if (args.isEmpty() && QCoreApplication::instance()) args = QCoreApplication::arguments();
    ApplyArguments(args);
}

void TForm5::ShowDevelopMarkers(bool on) {
    Panel2->setVisible(on);
    Panel3->setVisible(on);
}

void TForm5::ApplyArguments(const QStringList& args) {
    ShowDevelopMarkers(args.size() > 1 && args.at(1) == QLatin1String("/use=develop"));
}

void TForm5::SetMemoColour(const QColor& colour) {
    QPalette pal = inifile_memo->palette();
    pal.setColor(QPalette::Base, colour);
    inifile_memo->setPalette(pal);
}

bool TForm5::MemoLoading() const {
    return fillTimer_->isActive();
}

void TForm5::SetMemoText(std::string text) {
    fillTimer_->stop();
    pendingText_.clear();
    pendingPos_ = 0;
    inifile_memo->document()->setUndoRedoEnabled(true);
    const size_t cut = text.size() > 4 * kFillPiece ? text.find('\n', kFillPiece) : std::string::npos;
    if (cut == std::string::npos) {
        inifile_memo->setPlainText(plat::ToQ(text));
        return;
    }
    // Setting 50 MB at once would hold the window for seconds; a piece takes some 25 ms.
    inifile_memo->setPlainText(plat::ToQ(text.substr(0, cut)));
    inifile_memo->document()->setUndoRedoEnabled(false);
    pendingText_ = std::move(text);
    pendingPos_ = cut + 1;
    fillTimer_->start();
}

void TForm5::FillNextPiece() {
    size_t end = std::min(pendingText_.size(), pendingPos_ + kFillPiece);
    if (end < pendingText_.size()) end = std::min(pendingText_.find('\n', end), pendingText_.size());
    QTextCursor tail(inifile_memo->document());
    tail.movePosition(QTextCursor::End);
    // Each piece begins a new line: the line end between pieces was cut away.
    std::string piece(1, '\n');
    piece.append(pendingText_, pendingPos_, end - pendingPos_);
    tail.insertText(plat::ToQ(piece));
    pendingPos_ = end + 1;
    if (pendingPos_ > pendingText_.size()) {
        fillTimer_->stop();
        std::string().swap(pendingText_);
        pendingPos_ = 0;
        inifile_memo->document()->setUndoRedoEnabled(true);
    }
}

std::string TForm5::MemoText() const {
    std::string text = plat::FromQ(inifile_memo->toPlainText());
    if (MemoLoading()) text.append("\n").append(pendingText_, pendingPos_);
    return text;
}

void TForm5::showEvent(QShowEvent* event) {
    QWidget::showEvent(event);
    RefreshSections();
}

bool TForm5::eventFilter(QObject* watched, QEvent* event) {
    if (watched == StaticText1 && event->type() == QEvent::MouseButtonRelease) {
        auto* me = static_cast<QMouseEvent*>(event);
        if (me->button() == Qt::LeftButton && StaticText1->rect().contains(me->position().toPoint())) {
            StaticText1Click();
            return true;
        }
    }
    if (watched == IniListBox->viewport() && event->type() == QEvent::MouseButtonPress) {
        const auto selected = IniListBox->selectedItems();
        selectedAtPress_ = selected.isEmpty() ? nullptr : selected.first();
    }
    if (watched == inifile_memo->viewport() && event->type() == QEvent::MouseButtonDblClick) {
        auto* me = static_cast<QMouseEvent*>(event);
        if (me->button() == Qt::LeftButton) {
            SelectWordAt(me->position().toPoint());
            inifile_memoDblClick();
            return true;
        }
    }
    return QWidget::eventFilter(watched, event);
}

void TForm5::SelectWordAt(const QPoint& viewportPos) {
    // A word is a run of characters between blanks, so "key=c:\dir\file.ini" is one word.
    QTextCursor at = inifile_memo->cursorForPosition(viewportPos);
    const QTextBlock block = at.block();
    const QString text = block.text();
    int pos = at.positionInBlock();
    auto blank = [&](int i) { return text.at(i) == QLatin1Char(' ') || text.at(i) == QLatin1Char('\t'); };
    int begin = std::min<int>(pos, text.size());
    while (begin > 0 && !blank(begin - 1))
        --begin;
    int end = begin;
    while (end < text.size() && !blank(end))
        ++end;
    QTextCursor sel(block);
    sel.setPosition(block.position() + begin);
    sel.setPosition(block.position() + end, QTextCursor::KeepAnchor);
    inifile_memo->setTextCursor(sel);
}

void TForm5::RefreshSections() {
    StaticText1->clear();
    std::vector<std::string> names;
    ToolIni().ReadSections(names);
    QStringList items;
    items.reserve(static_cast<qsizetype>(names.size()));
    for (const auto& n : names)
        items.push_back(plat::ToQ(n));
    std::stable_sort(items.begin(), items.end(), LessNoCase);
    const QSignalBlocker quiet(IniListBox);
    IniListBox->clear();
    IniListBox->addItems(items);
}

void TForm5::OpenInInspector(const std::string& path) {
    SetMemoText({});
    {
        const QSignalBlocker quiet(IniListBox);
        IniListBox->clear();
    }
    if (!plat::FileExists(path)) {
        dlg::MessageDlg(path + " nicht gefunden", dlg::Kind::Information, dlg::mbYes, "Information");
        return;
    }
    if (!Form80->OpenIniFile(path)) return; // the old file could not be written back and stays open
    // A file that is there but cannot be read opens as an empty store; showing that as an empty file
    // would hide the failure.
    if (!ToolIni().Loaded()) {
        dlg::MessageDlg(path + " kann nicht gelesen werden: " + ToolIni().LoadError(), dlg::Kind::Error,
                        dlg::mbOK);
        return;
    }
    SetMemoText(StoreText(ToolIni()));
    SetMemoColour(InfoColour());
}

void TForm5::IniListBoxClick() {
    QListWidgetItem* item = IniListBox->currentItem();
    if (!item || !item->isSelected()) {
        StaticText1->clear();
        return;
    }
    const std::string section = plat::FromQ(item->text());
    StaticText1->setText(item->text());
    SetMemoColour(WindowColour());
    std::vector<std::string> lines;
    ToolIni().ReadSectionValues(section, lines);
    SetMemoText(JoinLines(lines));
}

void TForm5::SpeedButton1Click() {
    {
        const QSignalBlocker quiet(IniListBox);
        IniListBox->setCurrentItem(nullptr);
        IniListBox->clearSelection();
        for (int i = 0; i < IniListBox->count(); ++i) {
            if (IniListBox->item(i)->text().compare(QLatin1String("Id"), Qt::CaseInsensitive) == 0) {
                IniListBox->setCurrentRow(i);
                break;
            }
        }
    }
    IniListBoxClick();
}

void TForm5::BaseButtonClick() {
    const std::string text = MemoText();
    std::string out;
    out.reserve(text.size() + text.size() / 8);
    size_t begin = 0;
    for (;;) {
        const size_t end = text.find('\n', begin);
        out += SubstituteBase(text.substr(begin, end == std::string::npos ? std::string::npos : end - begin));
        if (end == std::string::npos) break;
        out += '\n';
        begin = end + 1;
    }
    SetMemoText(std::move(out));
}

void TForm5::StaticText1Click() {
    OpenInInspector(plat::FromQ(StaticText1->text()));
}

void TForm5::inifile_memoDblClick() {
    const std::string selected = plat::FromQ(inifile_memo->textCursor().selectedText());
    const size_t eq = selected.find('=');
    if (eq == std::string::npos) return;
    OpenInInspector(selected.substr(eq + 1, 255));
}

void TForm5::BitBtn3Click() {
    SetMemoText({});
    const std::string program;
    const std::string inifile = ToolIni().FileName();
    // With no file open there is nothing to re-open: an empty name would make the resolver look for a file
    // ".INI" in the working directory. The listing then shows the values of the closed configuration.
    if (ConfigOpen()) ReopenConfiguration(program, inifile);

    SetMemoColour(SilverColour());
    const std::string rule(81, '_');
    std::vector<std::string> out;
    auto line = [&out](const char* label, const std::string& value) {
        out.push_back(std::string(label) + value);
    };
    out.push_back("Testaufruf von ed_ini mit den Parametern: ");
    line("execute:          ", program);
    line("inifile:          ", inifile);
    out.push_back(rule);
    line("LogOnFile=        ", LogOnFile ? LogOnFile->FileName() : std::string());
    line("LogFile=          ", LogFile ? LogFile->FileName() : std::string());
    out.push_back("");
    line("ini_Machines=     ", ini_Machines());
    line("ini_DialStr=      ", ini_DialStr());
    line("ini_HelpDir=      ", ini_HelpDir());
    line("ini_FilesDir=     ", ini_FilesDir());
    line("ini_EXP_FilesDir= ", ini_EXP_FilesDir());
    line("ini_BilderDir=    ", ini_BilderDir());
    line("ini_DebugDir=     ", ini_DebugDir());
    line("ini_DokuDir=      ", ini_DokuDir());
    line("ini_DataDir=      ", ini_DataDir());
    line("ini_System=       ", ini_System());
    line("ini_FehlerFile=   ", ini_FehlerFile());
    line("ini_SymFile=      ", ini_SymFile());
    line("ini_Treefile=     ", ini_Treefile());
    line("ini_HelpFile=     ", ini_HelpFile());
    line("ini_DefaultFile=  ", ini_DefaultFile());
    line("ini_FileName=     ", ini_FileName());
    line("ini_SysMod=       ", ini_SysMod());
    line("ini_language=     ", ini_language());
    line("ini_telefonbuch=  ", ini_telefonbuch());
    line("ini_401x=         ", TrueFalse(ini_401x()));
    line("ini_Modem=        ", TrueFalse(ini_Modem()));
    line("ini_ComPort:      ", std::to_string(static_cast<std::uint16_t>(ini_ComPort())));
    line("ini_MuxSet:       ", TrueFalse(ini_MuxSet()));
    line("ini_Rpf401x:      ", TrueFalse(ini_Rpf401x()));
    line("ini_HotSpot:      ", TrueFalse(ini_HotSpot()));
    line("ini_Backtree:     ", TrueFalse(ini_Backtree()));
    out.push_back(rule);
    out.push_back("Language-test (nur test-zugriff)");
    line("Panelreport:      ", ReadLanguageText("main", "text9"));
    line("MessageDlg:       ", ReadLanguageText("main", "text5"));
    SetMemoText(JoinLines(out));
}

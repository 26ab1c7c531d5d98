#include "pages/Unit7.h"

#include "pages/PageParts.h"

#include "config/IniStore.h"
#include "config/Reports.h"
#include "config/ed_ini.h"
#include "platform/Files.h"
#include "platform/Paths.h"
#include "platform/qt/QtText.h"

#include <QCheckBox>
#include <QGridLayout>
#include <QGroupBox>
#include <QHBoxLayout>
#include <QLabel>
#include <QLineEdit>
#include <QPlainTextEdit>
#include <QPushButton>
#include <QStyle>
#include <QTextCursor>
#include <QVBoxLayout>

#include <string>

TForm7* Form7 = nullptr;

using plat::FromQ;
using plat::ToQ;

namespace {

constexpr int FirstTag = 10;
constexpr char TagProperty[] = "tag";

QLabel* ReportLabel(const char* name, const char* colour) {
    auto* l = new QLabel;
    l->setObjectName(QString::fromLatin1(name));
    l->setAlignment(Qt::AlignRight | Qt::AlignVCenter);
    l->setFont(QFont(QStringLiteral("Arial")));
    l->setStyleSheet(QStringLiteral("color: %1;").arg(QString::fromLatin1(colour)));
    return l;
}

} // namespace

TForm7::TForm7(QWidget* parent) : QWidget(parent) {
    setObjectName(QStringLiteral("Form7"));
    setWindowTitle(QStringLiteral("Report"));

    BitBtn1 = MakeSaveButton(this, "BitBtn1");
    auto* toolBar = new QHBoxLayout;
    toolBar->addWidget(BitBtn1);
    toolBar->addStretch(1);

    auto logGroup = [](const QString& title, const char* editName, const QString& hint, const QString& text,
                       const char* buttonName, QLineEdit*& edit, QPushButton*& button) {
        auto* group = new QGroupBox(title);
        edit = new QLineEdit(text);
        edit->setObjectName(QString::fromLatin1(editName));
        edit->setToolTip(hint);
        button = new QPushButton(QStringLiteral("Öffnen"));
        button->setObjectName(QString::fromLatin1(buttonName));
        button->setFlat(true);
        auto* l = new QHBoxLayout(group);
        l->addWidget(edit, 1);
        l->addWidget(button);
        return group;
    };
    QGroupBox* connectGroup = logGroup(QStringLiteral("VERBINDUNGS LOGFILE"), "connect_logfile_edit",
                                       QStringLiteral("zeichnet Verbindungsdaten auf"),
                                       QStringLiteral("c:\\vamtools\\mon4vam\\data\\connect.txt"),
                                       "connect_logfile_button", connect_logfile_edit, connect_logfile_button);
    QGroupBox* reportGroup = logGroup(QStringLiteral("REPORT LOGFILE"), "report_logfile_edit",
                                      QStringLiteral("zeichnet technische Daten auf"),
                                      QStringLiteral("c:\\vamtools\\mon4vam\\data\\logfile.txt"),
                                      "report_logfile_button", report_logfile_edit, report_logfile_button);

    reportcheckbox_group = new QGroupBox(QStringLiteral("REPORT"));
    reportcheckbox_group->setObjectName(QStringLiteral("reportcheckbox_group"));
    report_Label1 = ReportLabel("report_Label1", "teal");
    report_Label2 = ReportLabel("report_Label2", "purple");
    auto* grid = new QGridLayout(reportcheckbox_group);
    grid->addWidget(report_Label1, 0, 0, 1, 2);
    grid->addWidget(report_Label2, 1, 0, 1, 2);
    QCheckBox** named[] = {&dxfCheckBox19, &dxfCheckBox20, &dxfCheckBox21, &dxfCheckBox22, &dxfCheckBox23,
                           &dxfCheckBox24, &dxfCheckBox25, &dxfCheckBox26, &dxfCheckBox27, &dxfCheckBox28,
                           &dxfCheckBox29, &dxfCheckBox30, &dxfCheckBox31, &dxfCheckBox32, &dxfCheckBox33,
                           &dxfCheckBox34, &dxfCheckBox35, &dxfCheckBox36};
    for (int i = 0; i < 18; ++i) {
        auto* box = new QCheckBox(QStringLiteral("df"));
        box->setObjectName(QStringLiteral("dxfCheckBox%1").arg(19 + i));
        box->setProperty(TagProperty, FirstTag + i);
        *named[i] = box;
        ReportBoxes[static_cast<std::size_t>(i)] = box;
        grid->addWidget(box, 2 + i % 9, i / 9); // tags 10..18 left, 19..27 right
        connect(box, &QCheckBox::toggled, this, [this, box] { dxfCheckBox28Click(box); });
    }
    grid->setVerticalSpacing(2);
    grid->setRowStretch(11, 1);

    Panel1 = new QWidget;
    Panel1->setObjectName(QStringLiteral("Panel1"));
    ReportButton = new QPushButton(QStringLiteral("&schließen"));
    ReportButton->setObjectName(QStringLiteral("ReportButton"));
    ReportButton->setIcon(style()->standardIcon(QStyle::SP_BrowserReload));
    Memo1 = new QPlainTextEdit;
    Memo1->setObjectName(QStringLiteral("Memo1"));
    auto* viewerBar = new QHBoxLayout;
    viewerBar->addWidget(ReportButton);
    viewerBar->addStretch(1);
    auto* viewer = new QVBoxLayout(Panel1);
    viewer->setContentsMargins(0, 0, 0, 0);
    viewer->addLayout(viewerBar);
    viewer->addWidget(Memo1, 1);
    Panel1->hide();

    auto* top = new QVBoxLayout(this);
    top->addLayout(toolBar);
    top->addWidget(connectGroup);
    top->addWidget(reportGroup);
    top->addWidget(reportcheckbox_group, 1);
    top->addWidget(Panel1, 1);

    connect(BitBtn1, &QPushButton::clicked, this, [this] { BitBtn1Click(); });
    connect(connect_logfile_button, &QPushButton::clicked, this, [this] { connect_logfile_buttonClick(); });
    connect(report_logfile_button, &QPushButton::clicked, this, [this] { report_logfile_buttonClick(); });
    connect(ReportButton, &QPushButton::clicked, this, [this] { ReportButtonClick(); });
}

int TForm7::Tag(const QCheckBox* box) { return box ? box->property(TagProperty).toInt() : 0; }

void TForm7::LoadSettings() {
    Panel1->hide();
    reportcheckbox_group->show();

    Reports.SetReportString(ToolIni().ReadString("Logfiles", "Reports", ""));
    const std::string reportString = Reports.ReportString;
    report_Label1->setText(ToQ(reportString));
    report_Label2->setText(ToQ(reportString));

    ReopenLanguageStore();
    for (QCheckBox* box : ReportBoxes) {
        const int tag = Tag(box) & 0xFF;
        box->setText(ToQ(ReadLanguageText("unit75", std::to_string(tag))));
        const int bit = tag - FirstTag;
        box->setChecked(bit >= 0 && bit <= 31 && Reports.Flag(bit));
    }

    const std::string connectLog = LogOnFile ? LogOnFile->FileName() : std::string();
    const std::string reportLog = LogFile ? LogFile->FileName() : std::string();
    connect_logfile_edit->setText(ToQ(connectLog));
    connect_logfile_edit->setToolTip(ToQ(connectLog));
    report_logfile_edit->setText(ToQ(reportLog));
    report_logfile_edit->setToolTip(ToQ(reportLog));
    report_logfile_edit->setText(ToQ(SubstituteBase(ToolIni().ReadString("logfiles", "mainlogfile", ""))));
    connect_logfile_edit->setText(ToQ(SubstituteBase(ToolIni().ReadString("Logfiles", "logonfile", ""))));
}

void TForm7::dxfCheckBox28Click(QCheckBox* box) {
    const int pos = Tag(box) - (FirstTag - 1); // 1-based position in the report string
    std::string text = FromQ(report_Label2->text());
    // A load can change a box before the label holds the string; never write past its end.
    if (pos < 1 || static_cast<std::size_t>(pos) > text.size()) return;
    text[static_cast<std::size_t>(pos - 1)] = box->isChecked() ? '1' : '0';
    report_Label2->setText(ToQ(text));
}

void TForm7::BitBtn1Click() {
    if (!ConfigOpen()) return;
    TIniStore& ini = ToolIni();
    ini.WriteString("Logfiles", "reports", FromQ(report_Label2->text()));
    ini.UpdateFile();
    LoadSettings();
}

void TForm7::ViewLogFile(const std::string& path) {
    if (plat::FileExists(path)) {
        const std::string bytes = plat::ReadFileBytes(path); // a file that cannot be read ends the action
        reportcheckbox_group->hide();
        QString text;
        for (const std::string& line : plat::SplitLines(bytes)) text += ToQ(line) + QLatin1Char('\n');
        if (text.endsWith(QLatin1Char('\n'))) text.chop(1);
        Memo1->setPlainText(text);
        Panel1->show();
    } else {
        // The note goes below what the viewer shows, and the viewer comes forward with it scrolled to the
        // end: a note added to a hidden viewer would tell the user nothing.
        Memo1->appendPlainText(ToQ("\"" + path + "\" nicht gefunden"));
        reportcheckbox_group->hide();
        Panel1->show();
        Memo1->moveCursor(QTextCursor::End);
        Memo1->ensureCursorVisible();
    }
}

void TForm7::connect_logfile_buttonClick() { ViewLogFile(FromQ(connect_logfile_edit->text())); }
void TForm7::report_logfile_buttonClick() { ViewLogFile(FromQ(report_logfile_edit->text())); }

void TForm7::ReportButtonClick() {
    Panel1->hide();
    reportcheckbox_group->show();
}

void TForm7::showEvent(QShowEvent* event) {
    QWidget::showEvent(event);
    FormShow();
}

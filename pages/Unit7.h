#pragma once
// Report and log files page: the report switches of [Logfiles] reports as check boxes, and a viewer for
// the connection log and the report log.

#include <QWidget>

#include <array>
#include <string>

class QCheckBox;
class QGroupBox;
class QLabel;
class QLineEdit;
class QPlainTextEdit;
class QPushButton;

class TForm7 : public QWidget {
    Q_OBJECT
public:
    explicit TForm7(QWidget* parent = nullptr);

    void LoadSettings();
    // Shared handler of the 18 report check boxes: sets the box's character in report_Label2.
    void dxfCheckBox28Click(QCheckBox* box);
    // "Sichern": writes [Logfiles] reports, flushes the tool INI file at once, loads again.
    void BitBtn1Click();
    void connect_logfile_buttonClick();
    void report_logfile_buttonClick();
    // "&schließen": back from the viewer to the check boxes.
    void ReportButtonClick();
    void FormShow() { LoadSettings(); }

    // The tag of a report check box (10 … 27), 0 for anything else.
    static int Tag(const QCheckBox* box);

    QPushButton* BitBtn1;
    QLineEdit* connect_logfile_edit;
    QPushButton* connect_logfile_button;
    QLineEdit* report_logfile_edit;
    QPushButton* report_logfile_button;

    QGroupBox* reportcheckbox_group;
    QLabel* report_Label1;
    QLabel* report_Label2;
    // dxfCheckBox19 … dxfCheckBox36 (tags 10 … 27)
    std::array<QCheckBox*, 18> ReportBoxes{};
    QCheckBox *dxfCheckBox19, *dxfCheckBox20, *dxfCheckBox21, *dxfCheckBox22, *dxfCheckBox23, *dxfCheckBox24,
        *dxfCheckBox25, *dxfCheckBox26, *dxfCheckBox27, *dxfCheckBox28, *dxfCheckBox29, *dxfCheckBox30,
        *dxfCheckBox31, *dxfCheckBox32, *dxfCheckBox33, *dxfCheckBox34, *dxfCheckBox35, *dxfCheckBox36;

    QWidget* Panel1; // the file viewer
    QPushButton* ReportButton;
    QPlainTextEdit* Memo1;

protected:
    void showEvent(QShowEvent* event) override;

private:
    void ViewLogFile(const std::string& path);
};

extern TForm7* Form7;

#pragma once
// Phone book page: the monitor tool's phone book file, one "name(number)" per line, edited in a grid.

#include <QWidget>

#include <string>
#include <vector>

#include "platform/FileGuard.h"

class QLabel;
class QLineEdit;
class QListWidget;
class QPushButton;
class QTableWidget;

class TTelefonBuch : public QWidget {
    Q_OBJECT
public:
    explicit TTelefonBuch(QWidget* parent = nullptr);

    // Loads the phone book (creating it when missing) into ListBox1 and the grid; selects row 1.
    void LoadSettings();
    // Writes every grid row with a name, in grid order, to the phone book file (replaced atomically), by the
    // write-back rule of plat::WriteBack: a file changed on disk since the load is taken from disk when the
    // grid was not edited, and the user is asked when both changed (plat::WriteCancelled when he cancels;
    // the grid keeps its edits). A name with "(", or a number with ")", would not come back as typed: then
    // a message names the row, nothing is written, the grid stays as it is, and the result is false.
    bool SaveSettings();
    // The first row the file cannot hold, as a German message; empty when every row can be written.
    std::string CheckRows() const;
    // A cell was selected: Nummer and SelectedNumber follow the row's number.
    void StringGrid1SelectCell(int col, int row);
    void SichernButtonClick() { SaveSettings(); }

    // Splits one phone book line into name (text before the first "(") and number.
    static void SplitEntry(const std::string& line, std::string& name, std::string& number);

    QPushButton* SichernButton;
    QPushButton* EditButton; // never offered
    QLabel* Modus;
    QLabel* WaehleLabel;
    QLineEdit* Nummer;
    // 2 columns; row 0 is a title row without captions; at least 24 entry rows, more when the file has more.
    QTableWidget* StringGrid1;
    QListWidget* ListBox1; // hidden until the main window shows it

    std::string SelectedNumber;

private:
    void SetRowCount(int rows);
    // The phone book as SaveSettings writes it from the grid.
    std::string GridText(std::vector<std::string>* lines = nullptr) const;

    std::string FLoadedPath;     // the file of the last load
    plat::FileStamp FLoadedStamp; // and what it held
    std::string FLoadedGridText; // the grid as loaded, in written form: what "edited" is measured against
};

extern TTelefonBuch* TelefonBuch;

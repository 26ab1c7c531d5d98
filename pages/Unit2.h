#pragma once
// Modem types page: the monitor tool's [Modem] settings, with the modem-types file as a list of templates.

#include <QWidget>

#include <memory>
#include <string>

class QCheckBox;
class QLabel;
class QLineEdit;
class QListWidget;
class QPushButton;
class TIniStore;

// Path of the modem-types file ([FileList] "modems.ini" of the monitor tool, $(BASE) expanded). The main
// window sets it when the monitor tool is chosen; the page only reads it.
extern std::string ModemDatabasePath;

class TForm2 : public QWidget {
    Q_OBJECT
public:
    explicit TForm2(QWidget* parent = nullptr);
    ~TForm2() override;

    // Fills the page from the tool INI store and a freshly read modem-types store.
    void LoadSettings();
    // Writes the page's keys into the tool INI store (memory only).
    void SaveSettings();
    // Copies the selected modem type's strings into the page.
    void ModemListBoxClick();
    void BitBtn1Click() { SaveSettings(); }
    // Panel1 shows the modem-types store's file name.
    void FormShow();
    // End of program: the modem-types store is written back (never to an empty path, and by the store's
    // write-back rule never over a file that changed on disk since the last load) and released, and
    // ModemDatabasePath is cleared. Safe to call twice; the destructor calls it.
    void CloseModemStore();
    // The modem-types store of the last load (nullptr before the first).
    TIniStore* ModemStore() const { return FModemStore.get(); }

    QPushButton* BitBtn1;
    QLabel* Panel1;
    QListWidget* ModemListBox;
    QLineEdit* ModemType;
    QLineEdit* ini1;
    QLineEdit* ini2;
    QLineEdit* ini3;
    QLineEdit* dial_timeout;
    QLineEdit* dial;
    QLabel* hangupLabel;
    QLineEdit* hangup;
    QLineEdit* askmodem;
    QLineEdit* echooff;
    QCheckBox* AutoInit;
    QCheckBox* AutoDial;
    QLineEdit* AutoDialNumber;
    QLineEdit* defaultdial;

protected:
    void showEvent(QShowEvent* event) override;

private:
    std::unique_ptr<TIniStore> FModemStore;
};

extern TForm2* Form2;

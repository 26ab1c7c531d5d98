#pragma once
// Port page: hosts the serial settings of the tool and the port test console.

#include <QWidget>

class TForm8 : public QWidget {
    Q_OBJECT
public:
    explicit TForm8(QWidget* parent = nullptr);

    // Fills the page from the tool INI store each time its tab is shown.
    void LoadSettings();
};

extern TForm8* Form8;

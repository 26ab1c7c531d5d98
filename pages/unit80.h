#pragma once
// The switch for the open INI file. Never shown. Every change of the open tool INI file goes through it,
// so the old file is always written back before another one is opened.

#include <QWidget>

#include <string>

class TForm80 : public QWidget {
    Q_OBJECT
public:
    explicit TForm80(QWidget* parent = nullptr);

    // Tool kind of the open INI file: 0 before the first switch, 1 editor, 2 monitor, 3 reader, decoder
    // or a file opened in the INI inspector.
    int ToolKind = 0;

    // The main window's tool selection: switches, remembers kind, refreshes the inspector's sections.
    // False when the old file could not be written back and the user kept it open (nothing changed).
    bool OpenToolIni(int kind, const std::string& path);
    // The INI inspector's open: the switch, then kind 3. False as for OpenToolIni.
    bool OpenIniFile(const std::string& path);

signals:
    // The path just switched to; the main window shows it in its title label.
    void PathOpened(const QString& path);

private:
    bool SwitchTo(const std::string& path);
};

extern TForm80* Form80;

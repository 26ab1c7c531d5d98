#pragma once
// What the main window's files share and nobody else needs: the tool buttons' table. main.cpp builds the
// buttons from it, MainTools.cpp selects the tools' INI files by it.

// The tool buttons: component, caption, hint, INI file below the root, tool kind.
struct ToolButtonInfo {
    const char* name;
    const char* caption;
    const char* hint;
    const char* iniFile;
    int kind;
};
constexpr ToolButtonInfo EditorVam{"SpeedButton2", "Ed4VAm", "ed-4-vam Inifile selektiert",
                                   "ed4vam\\ed4vam.ini", 1};
constexpr ToolButtonInfo EditorQir{"SpeedButton4", "Ed4QIr", "ed-4-qir Inifile selektiert",
                                   "ed4vam\\ed4qir.ini", 1};
constexpr ToolButtonInfo Monitor{"SpeedButton3", "Mon4VAm", "mon-4-vam Inifile selektiert",
                                 "mon4vam\\mon4vam.ini", 2};
constexpr ToolButtonInfo Reader{"SpeedButton1", "Reader", "", "Reader\\reader.ini", 3};
constexpr ToolButtonInfo Decoder{"SpeedButton5", "Decoder", "", "Reader\\decode.ini", 3};

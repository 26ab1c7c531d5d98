#include "config/ed_ini.h"

#include <cstdlib>
#include <iostream>
#include <memory>

#include "config/Reports.h"
#include "platform/ComMap.h"
#include "platform/DateTime.h"
#include "platform/FileGuard.h"
#include "platform/Files.h"
#include "platform/Paths.h"
#include "platform/Text.h"

namespace {

struct Resolver {
    bool open = false;
    std::unique_ptr<TIniStore> store;
    std::unique_ptr<TIniStore> emptyStore = std::make_unique<TIniStore>("");
    std::unique_ptr<TIniStore> language;
    std::string iniFileName;
    std::string base;
    std::string iniDir;
    std::string machine;
    std::string programIni;
    std::string helpdir, dokudir, debugdir, filesdir, expfilesdir, bilderdir, datadir, systemdir;
    std::vector<std::string> args;
    std::vector<std::string> messages;

    void ClearDirs() {
        helpdir.clear();
        dokudir.clear();
        debugdir.clear();
        filesdir.clear();
        expfilesdir.clear();
        bilderdir.clear();
        datadir.clear();
        systemdir.clear();
    }
};

Resolver& R() {
    static Resolver r;
    return r;
}

bool Trace() { return Reports.Flag(0); }

// Returns to the remembered directory when it goes out of scope.
class DirectoryGuard {
public:
    DirectoryGuard() : dir_(plat::GetCurrentDir()) {}
    ~DirectoryGuard() {
        try {
            plat::SetCurrentDir(dir_);
        } catch (const plat::FileError&) {
            // The directory we came from vanished meanwhile; staying where we are is all that is left.
        }
    }
    DirectoryGuard(const DirectoryGuard&) = delete;
    DirectoryGuard& operator=(const DirectoryGuard&) = delete;

private:
    std::string dir_;
};

std::string ResolveDir(const char* key) {
    return plat::ExpandFileName(SubstituteBase(R().store->ReadString("files", key, "")));
}

// The program's own settings: [drives] (letter = host directory, relative to the INI file's directory) and
// [devices] (COMn = device).
void ApplyProgramSettings() {
    Resolver& r = R();
    std::vector<std::string> keys;
    r.store->ReadSection("drives", keys);
    for (const auto& key : keys) {
        const bool letterOnly = key.size() == 1 || (key.size() == 2 && key[1] == ':');
        const char letter = plat::AnsiUpper(key.empty() ? '\0' : key[0]);
        if (!letterOnly || letter < 'A' || letter > 'Z') continue;
        const std::string value = plat::Cp1252ToUtf8(r.store->ReadString("drives", key, ""));
        if (value.empty()) continue;
        plat::SetDriveMapping(letter, plat::HostDirBeside(r.iniFileName, value));
    }
    r.store->ReadSection("devices", keys);
    for (const auto& key : keys) {
        if (key.size() < 4 || !plat::AnsiSameText(key.substr(0, 3), "COM")) continue;
        const std::string digits = key.substr(3);
        if (digits.size() > 2 || digits.find_first_not_of("0123456789") != std::string::npos) continue;
        const int n = std::atoi(digits.c_str());
        if (n >= 1 && n <= 99) plat::SetComDevice(n, r.store->ReadString("devices", key, ""));
    }
}

// Machine type, the two logs and the language store for the configuration just opened.
void StartLogs(bool keepGoing) {
    Resolver& r = R();
    if (!r.open) return;
    const std::string m = FindParameter("/m=");
    r.machine = plat::AnsiUpperCase(m.empty() ? r.store->ReadString("machine", "type", "VAM") : m);
    try {
        LogFile = std::make_unique<TLogFile>();
    } catch (const plat::FileError& e) {
        LogFile.reset();
        if (!keepGoing) throw;
        r.messages.push_back(e.what());
    }
    try {
        LogOnFile = std::make_unique<TLogOnFile>();
    } catch (const plat::FileError& e) {
        LogOnFile.reset();
        if (!keepGoing) throw;
        r.messages.push_back(e.what());
    }
    ReopenLanguageStore();
}

} // namespace

void StartConfiguration(const std::vector<std::string>& args, const std::string& rememberedIni) {
    InitReports();
    Resolver& r = R();
    r.args = args;
    r.messages.clear();
    std::string iniPath = FindParameter("/i=");
    const std::string name = args.empty() ? std::string() : plat::ExtractFileName(args[0]);
    if (iniPath.empty()) iniPath = rememberedIni;
    OpenConfiguration(name, iniPath, false);
    r.programIni = r.iniFileName;
    if (r.open) ApplyProgramSettings();
    StartLogs(true);
    if (Trace()) {
        WriteLogLine("   IniFileName=" + r.iniFileName);
        WriteLogLine("   ini_machine=" + r.machine);
        WriteLogLine("       Helpdir=" + r.helpdir);
        WriteLogLine("       Dokudir=" + r.dokudir);
        WriteLogLine("      Debugdir=" + r.debugdir);
        WriteLogLine("      Filesdir=" + r.filesdir);
        WriteLogLine("   Expfilesdir=" + r.expfilesdir);
        WriteLogLine("     Bilderdir=" + r.bilderdir);
        WriteLogLine("       Datadir=" + r.datadir);
        WriteLogLine("     Systemdir=" + r.systemdir);
    }
}

// Writes the closing lines and closes both logs.
static void CloseLogs() {
    if (LogFile) {
        LogFile->WriteLogLine("- zu  ** " + plat::DateTimeToStr());
        LogFile.reset();
    }
    if (LogOnFile) {
        LogOnFile->WriteLogOnLine("- zu  ** ");
        LogOnFile.reset();
    }
}

void AdoptProgramIni(const std::string& hostPath) {
    Resolver& r = R();
    ReleaseToolIni(); // a failure is passed on before anything changed
    CloseLogs();
    // The old family's drives and devices go; the path is read with none mapped.
    plat::ClearDriveMappings();
    plat::ClearComDevices();
    r.messages.clear();
    OpenConfiguration("", plat::FromHostPath(hostPath), false);
    r.programIni = r.iniFileName;
    if (r.open) ApplyProgramSettings();
    StartLogs(true);
}

const std::vector<std::string>& StartupMessages() { return R().messages; }
const std::vector<std::string>& ProgramArgs() { return R().args; }

void OpenConfiguration(const std::string& nameArg, const std::string& iniPathArg, bool changeDir) {
    // Copies: callers may pass IniFileName() itself, which changes below.
    const std::string name = nameArg;
    std::string iniPath = iniPathArg;
    Resolver& r = R();
    // A store still open would be lost without being written; write it back first.
    ReleaseToolIni();
    r.emptyStore = std::make_unique<TIniStore>("");

    if (iniPath.empty()) iniPath = plat::ChangeFileExt(name, ".INI");
    r.iniFileName = plat::ExpandFileName(iniPath);
    if (!plat::FileExists(r.iniFileName) && !r.iniFileName.empty() && r.iniFileName.back() != '\\') {
        // A folder, a pipe, a link loop or a drive without mapping: said once, then as a missing file.
        const std::string why = TIniStore::WhyNotReadable(r.iniFileName);
        if (!why.empty())
            plat::FileNotice(r.iniFileName, "Die INI-Datei \"" + r.iniFileName + "\" kann nicht ge\xF6" "ffnet werden: " +
                                                why + ".");
    }
    if (plat::FileExists(r.iniFileName)) {
        r.store = std::make_unique<TIniStore>(r.iniFileName);
        r.open = true;
        r.base = r.store->ReadString("files", "base", "");
    } else {
        r.iniFileName.clear();
        r.open = false;
        r.base.clear();
    }
    r.ClearDirs();

    std::unique_ptr<DirectoryGuard> back;
    if (changeDir) {
        back = std::make_unique<DirectoryGuard>();
        const std::string dir = plat::ExtractFilePath(name);
        if (!dir.empty()) {
            r.iniDir = dir;
            plat::SetCurrentDir(dir);
        }
    }
    if (r.open) {
        r.datadir = ResolveDir("DataDir");
        r.systemdir = ResolveDir("SystemDir");
        r.helpdir = ResolveDir("helpdir");
        r.dokudir = ResolveDir("DokuDir");
        r.debugdir = ResolveDir("DebugDir");
        r.filesdir = ResolveDir("FilesDir");
        r.expfilesdir = ResolveDir("ExpFilesDir");
        r.bilderdir = ResolveDir("BilderDir");
    }
}

void ReopenConfiguration(const std::string& nameArg, const std::string& iniPathArg) {
    const std::string name = SubstituteBase(nameArg);
    const std::string iniPath = iniPathArg;
    ReleaseToolIni();
    if (LogFile) {
        LogFile->WriteLogLine("schliessen aus \"testini\"");
        LogFile.reset();
    }
    if (LogOnFile) {
        LogOnFile->WriteLogOnLine("schliessen aus \"testini\"");
        LogOnFile.reset();
    }
    OpenConfiguration(name, iniPath, true);
    StartLogs(false);
}

void ShutdownConfiguration() {
    Resolver& r = R();
    try {
        ReleaseToolIni();
    } catch (const plat::FileError& e) {
        // The program is ending; the log is the last place this can go.
        WriteLogLine(e.what());
        std::cerr << e.what() << '\n';
        DiscardToolIni();
    }
    // The logs are closed even when the open file was switched to one that does not exist.
    CloseLogs();
    r.language.reset();
    r.open = false;
    r.iniFileName.clear();
    r.base.clear();
    r.iniDir.clear();
    r.machine.clear();
    r.programIni.clear();
    r.ClearDirs();
    r.emptyStore = std::make_unique<TIniStore>("");
}

bool ConfigOpen() { return R().open; }

TIniStore& ToolIni() {
    Resolver& r = R();
    return r.store ? *r.store : *r.emptyStore;
}

void ReleaseToolIni() {
    Resolver& r = R();
    if (!r.store) return;
    r.store->UpdateFile(); // a failure keeps the store open, edits and all
    DiscardToolIni();
}

void DiscardToolIni() {
    Resolver& r = R();
    if (!r.store) return;
    r.store.reset();
    r.open = false;
    r.iniFileName.clear();
    r.base.clear();
    r.ClearDirs();
}

const std::string& IniFileName() { return R().iniFileName; }
const std::string& Base() { return R().base; }
const std::string& ProgramIniFileName() { return R().programIni; }

std::string SubstituteBase(const std::string& text) {
    const std::size_t pos = plat::AnsiUpperCase(text).find("$(BASE)");
    if (pos == std::string::npos) return text;
    std::string out = text;
    out.replace(pos, 7, R().base);
    return out;
}

std::string ResolveFileName(const std::string& dirArg, const std::string& nameArg) {
    const std::string dir = SubstituteBase(dirArg);
    const std::string name = SubstituteBase(nameArg);
    const std::string result = plat::ExpandFileName(name) == name ? name : dir + "\\" + name;
    if (Trace()) WriteLogLine("*** TestAbsolute: " + result);
    return result;
}

std::string FindParameter(const std::string& prefix) {
    for (const auto& arg : R().args)
        if (arg.find(prefix) != std::string::npos) return arg.size() > prefix.size() ? arg.substr(prefix.size(), 255) : "";
    return {};
}

std::string ReadLanguageText(const std::string& section, const std::string& key) {
    Resolver& r = R();
    if (!r.open) return {};
    // Without a language store the key itself is the text, as for a missing entry.
    const std::string value = r.language ? r.language->ReadString(section, key, key) : key;
    if (Trace()) WriteLogLine("*** language>[" + section + "," + key + "]=" + value);
    return value;
}

std::string ReopenLanguageStore() {
    Resolver& r = R();
    r.language.reset();
    const std::string name = ini_language();
    r.language = std::make_unique<TIniStore>(name);
    return name;
}

std::string ini_machine() { return R().machine; }

std::string ini_Machines() { return ToolIni().ReadString("machine", "type", "VAM"); }
std::string ini_DialStr() { return ToolIni().ReadString("modem", "dial", "ATDP"); }
std::string ini_HelpDir() { return R().helpdir; }
std::string ini_FilesDir() { return R().filesdir; }
std::string ini_EXP_FilesDir() { return R().expfilesdir; }
std::string ini_BilderDir() { return R().bilderdir; }
std::string ini_DebugDir() { return R().debugdir; }
std::string ini_DokuDir() { return R().dokudir; }
std::string ini_DataDir() { return R().datadir; }
std::string ini_System() { return R().systemdir; }
std::string ini_FehlerFile() { return ResolveFileName(R().datadir, ToolIni().ReadString("Files", "Fehler", "")); }
std::string ini_SymFile() { return ResolveFileName(R().datadir, ToolIni().ReadString("files", "symfile", "")); }
std::string ini_Treefile() { return ResolveFileName(R().datadir, ToolIni().ReadString("files", "TreeFile", "")); }
std::string ini_HelpFile() { return ResolveFileName(R().helpdir, ToolIni().ReadString("files", "helpfile", "")); }
std::string ini_DefaultFile() {
    return ResolveFileName(R().filesdir, ToolIni().ReadString("files", "DefaultFile", ""));
}
std::string ini_FileName() { return R().iniFileName; }
std::string ini_SysMod() {
    return ResolveFileName(R().systemdir, ToolIni().ReadString("files", "sysmod", "sysmod.sys"));
}
std::string ini_language() { return ResolveFileName(R().systemdir, ToolIni().ReadString("files", "language", "")); }
std::string ini_telefonbuch() {
    return ResolveFileName(R().datadir, ToolIni().ReadString("files", "telefonbuch", ""));
}
bool ini_401x() { return ToolIni().ReadString("TEST", "rpf401x", "") == "TRUE"; }
bool ini_Modem() { return ToolIni().ReadString("modem", "modem", "FALSE") == "TRUE"; }
int ini_ComPort() { return ToolIni().ReadInteger("comport", "port", 1); }
bool ini_MuxSet() { return ToolIni().ReadString("TEST", "muxset", "") == "FORCE"; }
bool ini_Rpf401x() { return ToolIni().ReadString("TEST", "rpf401x", "FALSE") == "TRUE"; }
bool ini_HotSpot() { return ToolIni().ReadBool("test", "hotspot", false); }
bool ini_Backtree() { return ToolIni().ReadBool("test", "backtree", false); }

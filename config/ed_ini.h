#pragma once
// The configuration resolver: owns the open configuration file (the tool INI store), resolves the shared
// directories and file names, answers the ini_… queries, and starts and stops the log files and the language
// store. One instance for the whole program; GUI thread only.

#include <string>
#include <vector>

#include "config/IniStore.h"

// Program start, before any window: args[0] is the program path. Opens the program's own INI file (or the one
// named by "/i="), applies its [drives] and [devices] mappings, creates the logs and opens the language
// store. A log that cannot be created is left out and noted in StartupMessages(); it does not stop the start.
// rememberedIni (a tool path: the family the user chose last time) is opened when no "/i=" is given; it wins
// over a program INI file in the working directory (a starter's example copy). Order: "/i=", rememberedIni,
// the working directory's file.
void StartConfiguration(const std::vector<std::string>& args, const std::string& rememberedIni = {});
// Makes the file at hostPath the program's own INI file while the program runs: the open store is written
// back first (a failure is passed on and nothing changes), the logs are closed, the drive and device mappings
// replaced by the new file's, and its logs and language store opened (problems in StartupMessages()).
void AdoptProgramIni(const std::string& hostPath);
// Problems met by StartConfiguration that did not stop it (German texts), for the program to show.
const std::vector<std::string>& StartupMessages();
// The arguments given to StartConfiguration.
const std::vector<std::string>& ProgramArgs();

// Opens iniPath (or name with extension ".INI" when iniPath is empty) as the configuration file. The previous
// store is written back first (ReleaseToolIni; a failure is passed on and nothing else changes). A path that
// cannot be opened for a reason other than being missing is told through plat::FileNotice. changeDir: the directories are resolved with
// name's directory as the current directory (throws plat::FileError when it does not exist).
void OpenConfiguration(const std::string& name, const std::string& iniPath, bool changeDir);
// Writes back and closes the configuration and the logs, then opens again with a change of directory.
void ReopenConfiguration(const std::string& name, const std::string& iniPath);
// Program end: writes the store back, closing lines to the logs, closes everything, clears the values.
void ShutdownConfiguration();

bool ConfigOpen();
// The open configuration store; when none is open, an empty store without a file name that is never written.
// Do not keep the reference: the next open or release replaces the store.
TIniStore& ToolIni();
// Writes the open store back and releases it (ConfigOpen becomes false); nothing when none is open. When the
// write fails or is refused (plat::FileError, plat::WriteCancelled) the store stays open with its edits, so
// the caller can try again or give them up with DiscardToolIni.
void ReleaseToolIni();
// Releases the open store without writing it (its edits are given up).
void DiscardToolIni();

const std::string& IniFileName();
const std::string& Base();
// The program's own INI file as opened by StartConfiguration ("" when there was none).
const std::string& ProgramIniFileName();

// Replaces the first "$(BASE)" (any letter case) by Base().
std::string SubstituteBase(const std::string& text);
// name when it is already a full, normal path (or empty), else dir + "\" + name; $(BASE) replaced in both.
std::string ResolveFileName(const std::string& dir, const std::string& name);
// The first argument containing prefix (case-sensitive), from after the prefix's length on, at most 255 chars.
std::string FindParameter(const std::string& prefix);

std::string ReadLanguageText(const std::string& section, const std::string& key);
// Reopens the language store from ini_language() and returns its file name.
std::string ReopenLanguageStore();

std::string ini_machine();

std::string ini_Machines();
std::string ini_DialStr();
std::string ini_HelpDir();
std::string ini_FilesDir();
std::string ini_EXP_FilesDir();
std::string ini_BilderDir();
std::string ini_DebugDir();
std::string ini_DokuDir();
std::string ini_DataDir();
std::string ini_System();
std::string ini_FehlerFile();
std::string ini_SymFile();
std::string ini_Treefile();
std::string ini_HelpFile();
std::string ini_DefaultFile();
std::string ini_FileName();
std::string ini_SysMod();
std::string ini_language();
std::string ini_telefonbuch();
bool ini_401x();
bool ini_Modem();
int ini_ComPort();
bool ini_MuxSet();
bool ini_Rpf401x();
bool ini_HotSpot();
bool ini_Backtree();

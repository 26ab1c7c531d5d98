#pragma once
// One system module image in memory with its file names, header stamp, checksum and CRC.

#include <cstdint>
#include <memory>
#include <string>

#include "config/IniStore.h"
#include "config/SysModTyp.h"

class TSysMod {
public:
    // Zero image, file name "CLEAR.smb", both hooks NotLinked.
    TSysMod();
    virtual ~TSysMod() = default;

    // Path := name when it has a directory part; file name := name part (".smb" appended when it has no
    // extension); module name := file name up to its first ".".
    void SetFileName(const std::string& name);
    // Reads up to 1040 bytes from the start of the file into the image; true when exactly 1040 were read.
    // Bytes beyond those read keep their values. A file that exists but cannot be opened throws plat::FileError.
    // Never waits: a pipe or terminal without data reads as nothing read.
    bool LoadFromFile(const std::string& name);
    void StampHeader();
    // Sum of bytes 0..1037 minus 1 (32 bits); its low 16 bits are stored at 1038.
    int32_t CheckSum();
    // Zero image, load the default file (ini_DefaultFile), file name := default module name + ".smb", stamp,
    // checksum, CRC.
    void Reload();
    uint16_t HeaderWord1() const;
    uint16_t HeaderWord2() const;
    uint16_t StoredChecksum() const;

    // The default hook: calls first and second with "nicht gelinkt!!".
    static void NotLinked(TSysMod* sender, const TTextProc& first, const TTextProc& second, int tag);

    TSysModImage Image{};
    int32_t BytesRead = 0;
    std::string Path;
    std::string FileName;
    std::string ModuleName;
    TSysModHook Hook1;
    TSysModHook Hook2;
    uint16_t Crc = 0;
    std::string DefaultModuleName;
};

// Program start, right after StartConfiguration (only acts when it opened a configuration file): opens the
// store over ini_SysMod, creates the module and reloads it from the default file. A default file that exists
// but cannot be read leaves the image as after a missing file; the failure goes to the main log.
void StartSysMod();
// Program end: releases the module and its store (not written).
void EndSysMod();
// The start-up module, null outside StartSysMod..EndSysMod.
TSysMod* SysModule();

#include "config/SysMod.h"

#include <algorithm>
#include <cerrno>
#include <vector>

#include "config/Reports.h"
#include "config/VamUtils.h"
#include "config/ed_ini.h"
#include "platform/Files.h"
#include "platform/Paths.h"

TSysMod::TSysMod() {
    Image.fill(0);
    SetFileName("CLEAR");
    Hook1 = &TSysMod::NotLinked;
    Hook2 = &TSysMod::NotLinked;
}

void TSysMod::SetFileName(const std::string& name) {
    if (!plat::ExtractFilePath(name).empty()) Path = name;
    FileName = plat::ExtractFileName(name);
    if (plat::ExtractFileExt(FileName).empty()) FileName += ".smb";
    ModuleName = FileName.substr(0, FileName.find('.'));
}

bool TSysMod::LoadFromFile(const std::string& name) {
    SetFileName(name);
    BytesRead = 0;
    if (plat::FileExists(name)) {
        // Without waiting: a pipe or a terminal named as the module file would otherwise hold the program start
        // until someone writes to it. A read error counts as nothing read; the image keeps its bytes.
        std::string bytes;
        const int err = plat::ReadFileHead(name, bytes, Image.size());
        if (err > 0)
            throw plat::FileError("Die Datei \"" + name + "\" kann nicht ge\xF6" "ffnet werden: " +
                                  plat::SystemErrorText(err) + ".");
        if (err == 0) {
            std::copy(bytes.begin(), bytes.end(), Image.begin());
            BytesRead = int32_t(bytes.size());
        }
    }
    Crc = CalcCrc16(Image.data(), Image.size());
    return BytesRead == int32_t(SysModImageSize);
}

void TSysMod::StampHeader() {
    Image[0] = uint8_t(SysModHeaderWord1 & 0xFF);
    Image[1] = uint8_t(SysModHeaderWord1 >> 8);
    Image[2] = 0;
    Image[3] = 0;
}

int32_t TSysMod::CheckSum() {
    uint32_t sum = 0xFFFFFFFFu; // -1, summed without signed overflow
    for (std::size_t i = 0; i < SysModChecksumOffset; ++i) sum += Image[i];
    Image[SysModChecksumOffset] = uint8_t(sum & 0xFF);
    Image[SysModChecksumOffset + 1] = uint8_t((sum >> 8) & 0xFF);
    return int32_t(sum);
}

void TSysMod::Reload() {
    Image.fill(0);
    const std::string defaultFile = ini_DefaultFile();
    try {
        LoadFromFile(defaultFile);
    } catch (const plat::FileError& e) {
        // An unreadable default file is treated as a missing one; the start goes on.
        Image.fill(0);
        BytesRead = 0;
        if (Reports.ReportWriter) Reports.ReportWriter(e.what());
    }
    SetFileName(DefaultModuleName);
    StampHeader();
    CheckSum();
    Crc = CalcCrc16(Image.data(), Image.size());
}

uint16_t TSysMod::HeaderWord1() const { return uint16_t(Image[0] | (Image[1] << 8)); }
uint16_t TSysMod::HeaderWord2() const { return uint16_t(Image[2] | (Image[3] << 8)); }
uint16_t TSysMod::StoredChecksum() const {
    return uint16_t(Image[SysModChecksumOffset] | (Image[SysModChecksumOffset + 1] << 8));
}

void TSysMod::NotLinked(TSysMod*, const TTextProc& first, const TTextProc& second, int) {
    if (first) first("nicht gelinkt!!");
    if (second) second("nicht gelinkt!!");
}

namespace {
std::unique_ptr<TIniStore> gSysModIni;   // opened over the module file; nothing reads it, never written
std::unique_ptr<TSysMod> gSysMod;
std::vector<std::string> gSysModList;    // kept empty
} // namespace

void StartSysMod() {
    if (!ConfigOpen()) return;
    gSysModIni = std::make_unique<TIniStore>(ini_SysMod());
    gSysMod = std::make_unique<TSysMod>();
    const std::string name = plat::ExtractFileName(ini_DefaultFile());
    gSysMod->DefaultModuleName = name.size() > 4 ? name.substr(0, name.size() - 4) : std::string();
    gSysMod->Reload();
    gSysModList.clear();
    gSysModList.reserve(5);
}

void EndSysMod() {
    gSysModList.clear();
    gSysMod.reset();
    gSysModIni.reset();
}

TSysMod* SysModule() { return gSysMod.get(); }

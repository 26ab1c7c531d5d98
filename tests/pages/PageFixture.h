#pragma once
// A temporary tool family on drive V: for page tests: write files as the tools do (cp1252, CR LF), open a
// tool INI file as the configuration, read back what reached the disk.

#include "config/ed_ini.h"
#include "platform/Files.h"
#include "platform/Paths.h"

#include <QDir>
#include <QTemporaryDir>
#include <QTest>

#include <string>

class PageFixture {
public:
    PageFixture() {
        plat::SetDriveMapping('V', Dir.path().toStdString());
        for (const char* sub : {"mon4vam/data", "system", "log"}) QDir(Dir.path()).mkpath(QString::fromLatin1(sub));
    }
    ~PageFixture() {
        ReleaseToolIni();
        plat::ClearDriveMappings();
    }

    // Tool path below the family root, e.g. Path("mon4vam\\mon4vam.ini") = "V:\mon4vam\mon4vam.ini".
    static std::string Path(const std::string& rel) { return "V:\\" + rel; }
    void Write(const std::string& rel, const std::string& bytes) { plat::WriteFileAtomic(Path(rel), bytes); }
    std::string Read(const std::string& rel) const { return plat::ReadFileBytes(Path(rel)); }
    bool Exists(const std::string& rel) const { return plat::FileExists(Path(rel)); }

    // Makes rel the open configuration, as the file switch does (the previous one written back first).
    void Open(const std::string& rel) {
        ReleaseToolIni();
        OpenConfiguration("", Path(rel), false);
        QVERIFY(ConfigOpen());
        ReopenLanguageStore();
    }

    // Writes rel and makes it the open configuration. The previous store is released first, so that its
    // write-back cannot overwrite the new content.
    void Reopen(const std::string& rel, const std::string& bytes) {
        ReleaseToolIni();
        Write(rel, bytes);
        Open(rel);
    }

    // The monitor tool's INI head: base and directories on V:, plus extra sections.
    static std::string MonitorIni(const std::string& extra) {
        return "[files]\r\nbase=V:\r\nDataDir=$(BASE)\\mon4vam\\data\r\nSystemDir=$(BASE)\\system\r\n"
               "language=deutsch.lng\r\ntelefonbuch=telefon.txt\r\n\r\n" +
               extra;
    }

    QTemporaryDir Dir;
};

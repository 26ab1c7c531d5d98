#include "config/Reports.h"

#include <cerrno>

#include "config/ed_ini.h"
#include "platform/DateTime.h"
#include "platform/FileGuard.h"
#include "platform/Files.h"
#include "platform/Paths.h"

TReports Reports;
std::unique_ptr<TLogFile> LogFile;
std::unique_ptr<TLogOnFile> LogOnFile;

namespace {
const TLogFile* gActiveLog = nullptr; // the main log the report record writes to
void Nothing(const std::string&) {}
} // namespace

void TReports::SetReportString(const std::string& raw) {
    std::string s = raw == "?" ? std::string() : raw;
    if (s.size() < 21) s.append(21 - s.size(), '0');
    ReportString = s;
    ReportFlags = 0;
    for (int i = 0; i < 21; ++i)
        if (s[std::size_t(i)] == '1') ReportFlags |= 1u << i;
}

void InitReports() {
    if (Reports.ReportWriter) return;
    Reports.ReportWriter = Nothing;
    Reports.ReportWriterIfFlag3 = Nothing;
}

TMyFile::~TMyFile() { Close(); }

void TMyFile::Close() {
    std::lock_guard<std::mutex> g(lock_);
    if (file_) std::fclose(file_);
    file_ = nullptr;
    open_ = false;
}

void TMyFile::OpenFile(bool append) {
    std::FILE* f = plat::OpenFileStream(fileName_, append ? "ab" : "wb");
    if (!f) {
        const int err = errno;
        throw plat::FileError("Die Protokolldatei \"" + fileName_ +
                              "\" kann nicht ge\xF6"
                              "ffnet werden: " +
                              plat::SystemErrorText(err) +
                              ". Bitte in der INI-Datei eine gew\xF6hnliche Datei "
                              "in einem beschreibbaren Ordner angeben.");
    }
    std::lock_guard<std::mutex> g(lock_);
    file_ = f;
    open_ = true;
}

void TMyFile::WriteLine(const std::string& text) {
    int err = 0;
    {
        std::lock_guard<std::mutex> g(lock_);
        if (!file_) return;
        errno = 0;
        const bool ok = std::fwrite(text.data(), 1, text.size(), file_) == text.size() &&
                        std::fwrite("\r\n", 1, 2, file_) == 2 &&
                        std::fflush(file_) == 0; // the console writes during a run; lines must not wait for the end
        if (ok) {
            written_ += text.size() + 2;
            return;
        }
        err = errno != 0 ? errno : EIO;
        std::clearerr(file_);
        if (lostLines_++ > 0) return; // told once; the program keeps running and keeps trying
    }
    plat::FileNotice(fileName_, "Zeilen der Protokolldatei \"" + fileName_ + "\" gehen verloren: " +
                                    plat::SystemErrorText(err) + ". Das Programm l\xE4" "uft weiter.",
                     false); // the status bar only: a box would hold up the serial console
}

TLogFile::TLogFile() {
    const TIniStore& ini = ToolIni();
    const std::string rawReports = ini.ReadString("logfiles", "reports", "");
    Reports.SetReportString(ini.ReadString("logfiles", "reports", "?"));
    fileName_ = plat::ExpandFileName(SubstituteBase(ini.ReadString("logfiles", "mainlogfile", "")));
    if (fileName_.empty()) return;

    // A new log on every start; but what is no file (a device, a pipe) is neither removed nor written.
    if (plat::LookUpPath(fileName_).kind != plat::PathKind::Other) plat::DeleteFile(fileName_);
    OpenFile(false);
    gActiveLog = this;
    Reports.ReportWriter = [this](const std::string& text) { WriteReportLine(text); };
    Reports.ReportWriterIfFlag3 = [this](const std::string& text) {
        if (Reports.Flag(3)) WriteReportLine(text);
    };

    if (Reports.Flag(0)) {
        WriteLine("- auf ** " + plat::DateTimeToStr());
        std::string params = "parameter= ";
        const auto& args = ProgramArgs();
        for (std::size_t i = 1; i < args.size(); ++i) params += args[i] + " ";
        WriteLine(params);
        WriteLine("inifile=" + IniFileName());
        WriteLine("reports=" + rawReports);
        WriteLine("");
    } else {
        WriteLine("- auf ** " + plat::DateTimeToStr() + " [no report]");
    }
}

TLogFile::~TLogFile() {
    if (gActiveLog == this) {
        // The record must not call into a released log.
        gActiveLog = nullptr;
        Reports.ReportWriter = Nothing;
        Reports.ReportWriterIfFlag3 = Nothing;
    }
}

void TLogFile::WriteLogLine(const std::string& text) {
    if (open_) WriteLine(text);
}

void TLogFile::WriteReportLine(const std::string& text) {
    if (!open_ || reportsStopped_) return;
    if (written_ + text.size() + 2 <= ReportLimit) {
        WriteLine(text);
        return;
    }
    // The limit counts what the log holds: of a line longer than the room left, what fits is written
    // (marked as cut), and only then do the lines stop.
    static const std::string cutMark = " [...]";
    const uint64_t room = written_ < ReportLimit ? ReportLimit - written_ : 0;
    if (room > cutMark.size() + 2)
        WriteLine(text.substr(0, std::size_t(room - cutMark.size() - 2)) + cutMark);
    reportsStopped_ = true;
    const std::string limit = std::to_string(ReportLimit >> 20) + " MB";
    WriteLine("*** Protokoll hat " + limit + " erreicht: weitere Meldungen werden nicht mehr geschrieben");
    plat::FileNotice(fileName_, "Die Protokolldatei \"" + fileName_ + "\" hat " + limit + " erreicht; weitere "
                                    "Meldungen werden bis zum n\xE4" "chsten Start nicht mehr geschrieben.",
                     false);
}

TLogOnFile::TLogOnFile() {
    fileName_ = SubstituteBase(ToolIni().ReadString("Logfiles", "logonfile", ""));
    if (fileName_.empty()) return;
    const bool existed = plat::FileExists(fileName_);
    OpenFile(true);
    if (!existed) WriteLine(plat::DateTimeToStr() + "- logfile kreiiert");
}

void TLogOnFile::WriteLogOnLine(const std::string& message) {
    if (open_) WriteLine(plat::DateTimeToStr() + " " + message);
}

void WriteLogLine(const std::string& text) {
    if (LogFile) LogFile->WriteLogLine(text);
}

void WriteLogOnLine(const std::string& message) {
    if (LogOnFile) LogOnFile->WriteLogOnLine(message);
}

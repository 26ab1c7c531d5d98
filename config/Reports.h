#pragma once
// The report record and the two log files: the main log (new on every start) and the log-on file (appended
// across runs). Lines end CR LF, cp1252, flushed after each line.

#include <cstdint>
#include <cstdio>
#include <functional>
#include <memory>
#include <mutex>
#include <string>

struct TReports {
    std::function<void(const std::string&)> ReportWriter;
    std::function<void(const std::string&)> ReportWriterIfFlag3;
    std::string ReportString; // 21 or more "0"/"1"
    uint32_t ReportFlags = 0; // bit i = switch i
    bool Flag(int i) const { return i >= 0 && i < 32 && ((ReportFlags >> i) & 1u) != 0; }
    // Parses a [logfiles] reports value: "?" = none, padded with "0" to 21, switches 0..20 from "1".
    void SetReportString(const std::string& raw);
};

extern TReports Reports;

// Both writers become procedures that do nothing, but only when ReportWriter is still unset.
void InitReports();

// A text file written line by line.
class TMyFile {
public:
    TMyFile() = default;
    virtual ~TMyFile();
    TMyFile(const TMyFile&) = delete;
    TMyFile& operator=(const TMyFile&) = delete;

    bool IsOpen() const { return open_; }
    // Lines that could not be written (a full disk, say). The first loss is told through plat::FileNotice.
    std::size_t LostLines() const { return lostLines_; }
    const std::string& FileName() const { return fileName_; }
    void Close();

protected:
    // Opens the host file (truncate or append); throws plat::FileError.
    void OpenFile(bool append);
    void WriteLine(const std::string& text);

    bool open_ = false;
    std::string fileName_;
    uint64_t written_ = 0; // bytes written by this object, line ends included

private:
    std::FILE* file_ = nullptr;
    std::size_t lostLines_ = 0;
    std::mutex lock_;
};

// The main log. Reads [logfiles] mainlogfile and reports from the open configuration; replaces the old file.
// What reaches it through the report record's writers (the serial console's copy of its lines) stops once
// the log holds ReportLimit bytes, with one line saying so; the log's own lines (header, trace, closing)
// are always written.
class TLogFile : public TMyFile {
public:
    static constexpr uint64_t ReportLimit = 32u << 20;
    TLogFile();
    ~TLogFile() override;
    void WriteLogLine(const std::string& text);
    // A line through the report record: dropped once the limit is reached.
    void WriteReportLine(const std::string& text);

private:
    bool reportsStopped_ = false;
};

// The log-on file. Reads [Logfiles] logonfile; appends, or creates it with its creation line.
class TLogOnFile : public TMyFile {
public:
    TLogOnFile();
    // Date-time, a blank and the message.
    void WriteLogOnLine(const std::string& message);
};

extern std::unique_ptr<TLogFile> LogFile;     // null when there is no main log object
extern std::unique_ptr<TLogOnFile> LogOnFile; // null when there is no log-on object

// Write through the globals; skipped when the object does not exist or is not open.
void WriteLogLine(const std::string& text);
void WriteLogOnLine(const std::string& message);

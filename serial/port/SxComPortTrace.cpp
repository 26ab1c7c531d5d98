// The port's trace and log: the bytes passed in and out, and a line per port event, kept in memory up to
// their sizes and written to their files on demand and at the close. Called by the I/O, the events and
// the open and close.

#include "serial/port/SxComPort.h"

#include "platform/Clock.h"
#include "serial/errors/SxStringResource.h"
#include "serial/port/SxComPortPrivate.h"

#include <chrono>
#include <cstdio>
#include <fstream>

namespace sx {

namespace comport {

// A text of the dispatcher log vocabulary.
std::string Word(int id)
{
    return SxErrorStrings().GetString(id);
}

} // namespace comport

using comport::Word;

namespace {

int64_t SteadyMs()
{
    using namespace std::chrono;
    return duration_cast<milliseconds>(steady_clock::now().time_since_epoch()).count();
}

} // namespace

// ---- Tracing and logging -----------------------------------------------------------------------
//
// The trace keeps the bytes passed through PutChar/PutString ("Transmit: ") and GetChar
// ("Receive: "), one line per run of one direction, at most TraceSize bytes. The log keeps one
// line per port event (open, close, line settings, each trigger delivered) under the column
// header of the dispatcher log, at most LogSize bytes. Both are written to TraceName/LogName on
// tlDump (replacing the file) or tlAppend (adding to it), and on close when they were on.

void TSxCustomComPort::SetTracing(TTraceLogState v)
{
    ApplyTraceLog(true, v);
}

void TSxCustomComPort::SetLogging(TTraceLogState v)
{
    ApplyTraceLog(false, v);
}

void TSxCustomComPort::ApplyTraceLog(bool trace, TTraceLogState v)
{
    std::unique_lock<std::mutex> lock(recordLock_);
    Recorder& r = trace ? trace_ : log_;
    TTraceLogState& prop = trace ? tracing_ : logging_;
    switch (v) {
    case tlOff:
        r.Lines.clear();
        r.Bytes = 0;
        r.Pending.clear();
        r.State = tlOff;
        break;
    case tlOn:
        if (r.State == tlOff) {
            r.Lines.clear();
            r.Bytes = 0;
            r.Pending.clear();
            if (!trace) logStartMs_ = clock_ ? clock_->NowMs() : SteadyMs();
        }
        r.State = tlOn;
        break;
    case tlClear:
        r.Lines.clear();
        r.Bytes = 0;
        r.Pending.clear();
        break;
    case tlPause:
        if (r.State != tlOff) r.State = tlPause;
        break;
    case tlDump:
    case tlAppend: {
        const std::string name = trace ? traceName_ : logName_;
        if (trace && !r.Pending.empty()) {
            r.Lines.push_back(r.Pending);
            r.Bytes += r.Pending.size();
            r.Pending.clear();
        }
        std::deque<std::string> lines;
        lines.swap(r.Lines);
        r.Bytes = 0;
        r.State = tlOff;
        prop = tlOff;
        NoteRecorderStates();
        lock.unlock();
        std::ofstream f(name, std::ios::binary | (v == tlAppend ? std::ios::app : std::ios::trunc));
        if (!trace) {
            f << Word(15501) << "\n" << Word(15502) << "\n";
        }
        for (const std::string& l : lines) f << l << "\n";
        f.flush();
        if (!f) {
            ESxException e(std::string("Cannot write ") + name);
            throw e;
        }
        return;
    }
    }
    prop = r.State;
    NoteRecorderStates();
}

void TSxCustomComPort::NoteRecorderStates()
{
    traceOn_.store(trace_.State == tlOn, std::memory_order_release);
    logOn_.store(log_.State == tlOn, std::memory_order_release);
}

void TSxCustomComPort::AddRecorderLine(Recorder& r, std::string line, size_t cap)
{
    r.Bytes += line.size();
    r.Lines.push_back(std::move(line));
    while (r.Bytes > cap && !r.Lines.empty()) {
        r.Bytes -= r.Lines.front().size();
        r.Lines.pop_front();
    }
}

void TSxCustomComPort::TraceBytes(char kind, const uint8_t* data, size_t n)
{
    if (!traceOn_.load(std::memory_order_acquire)) return;
    std::lock_guard<std::mutex> lock(recordLock_);
    if (trace_.State != tlOn) return;
    for (size_t i = 0; i < n; ++i) {
        if (trace_.Pending.empty() || trace_.PendingKind != kind || trace_.Pending.size() >= 80) {
            if (!trace_.Pending.empty()) AddRecorderLine(trace_, std::move(trace_.Pending), static_cast<size_t>(traceSize_));
            trace_.Pending = kind == 'T' ? "Transmit: " : "Receive: ";
            trace_.PendingKind = kind;
        }
        const uint8_t c = data[i];
        if (traceHex_ && (c < 0x20 || c >= 0x7F)) {
            char hex[8];
            std::snprintf(hex, sizeof hex, "[%02X]", c);
            trace_.Pending += hex;
        } else {
            trace_.Pending += static_cast<char>(c);
        }
    }
}

void TSxCustomComPort::LogLine(const std::string& type, const std::string& subType, uint32_t data, uint32_t other)
{
    if (!logOn_.load(std::memory_order_acquire)) return;
    std::lock_guard<std::mutex> lock(recordLock_);
    if (log_.State != tlOn) return;
    const int64_t ms = (clock_ ? clock_->NowMs() : SteadyMs()) - logStartMs_;
    char line[128];
    if (logHex_)
        std::snprintf(line, sizeof line, "%8.2f  %-8.8s  %-12.12s  %08X  %08X", static_cast<double>(ms) / 1000.0,
                      type.c_str(), subType.c_str(), data, other);
    else
        std::snprintf(line, sizeof line, "%8.2f  %-8.8s  %-12.12s  %8u  %u", static_cast<double>(ms) / 1000.0,
                      type.c_str(), subType.c_str(), data, other);
    AddRecorderLine(log_, line, static_cast<size_t>(logSize_));
}

void TSxCustomComPort::LogText(const std::string& type, const std::string& subType, const std::string& text)
{
    if (!logOn_.load(std::memory_order_acquire)) return;
    std::lock_guard<std::mutex> lock(recordLock_);
    if (log_.State != tlOn) return;
    const int64_t ms = (clock_ ? clock_->NowMs() : SteadyMs()) - logStartMs_;
    char head[64];
    std::snprintf(head, sizeof head, "%8.2f  %-8.8s  %-12.12s  ", static_cast<double>(ms) / 1000.0, type.c_str(),
                  subType.c_str());
    AddRecorderLine(log_, head + text, static_cast<size_t>(logSize_));
}

} // namespace sx

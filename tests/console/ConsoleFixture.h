#pragma once
// Helpers for the console's tests: a console on a COM number mapped to a simulated device, the main
// log captured, input boxes answered in advance, and waits on conditions with generous deadlines.

#include "config/Reports.h"
#include "link/port.h"
#include "platform/ComMap.h"
#include "platform/qt/QtText.h"
#include "platform/qt/QtTime.h"

#include <QLabel>
#include <QLineEdit>
#include <QTest>

#include <deque>
#include <functional>
#include <memory>
#include <regex>
#include <string>
#include <vector>

namespace ctest {

// Generous: the simulated modem dials at a realistic pace.
constexpr int Deadline = 60000;

inline bool WaitFor(const std::function<bool()>& pred, int ms = Deadline) {
    return QTest::qWaitFor(pred, ms);
}

inline std::string Text(const QLabel* l) {
    return plat::FromQ(l->text());
}
inline std::string Text(const QLineEdit* e) {
    return plat::FromQ(e->text());
}

// Main log lines written through the report record, and the input boxes answered in advance.
struct World {
    std::vector<std::string> MainLog;
    std::deque<std::pair<bool, std::string>> Answers; // (confirmed, text)
    std::vector<std::string> Prompts;
    std::deque<std::string> FileNames; // file dialogs answered in advance; none left: cancelled

    void Install() {
        Reports.ReportWriter = [this](const std::string& s) { MainLog.push_back(s); };
        Reports.ReportWriterIfFlag3 = [this](const std::string& s) {
            if (Reports.Flag(3)) MainLog.push_back(s);
        };
        Reports.ReportFlags = 0;
        TMyComPort::InputQuery = [this](const std::string& caption, const std::string& prompt,
                                        std::string& value) {
            Prompts.push_back(caption + "|" + prompt + "|" + value);
            if (Answers.empty()) return false;
            auto [ok, text] = Answers.front();
            Answers.pop_front();
            if (ok) value = text;
            return ok;
        };
        TMyComPort::FileNameQuery = [this](const std::string&, const std::string&, std::string& name, bool) {
            if (FileNames.empty()) return false;
            name = FileNames.front();
            FileNames.pop_front();
            return true;
        };
        sx::TSxCustomComPort::SetDefaultGuiHandoff(&plat::QtGuiHandoff::Instance());
    }
    bool Logged(const std::string& line) const {
        for (const auto& l : MainLog)
            if (l == line) return true;
        return false;
    }
};

// Memo lines matching a regular expression.
inline int CountMemo(const TMyComPort& c, const std::string& pattern) {
    const std::regex re(pattern);
    int n = 0;
    for (const auto& l : c.MemoLines())
        if (std::regex_match(l, re)) ++n;
    return n;
}

inline bool MemoHas(const TMyComPort& c, const std::string& exact) {
    for (const auto& l : c.MemoLines())
        if (l == exact) return true;
    return false;
}

// A fresh console as the program's one console.
inline std::unique_ptr<TMyComPort> NewConsole() {
    MyComPort = nullptr;
    ConsoleAlive = false;
    LinkColor = clRed;
    auto c = std::make_unique<TMyComPort>();
    return c;
}

inline void EndConsole(std::unique_ptr<TMyComPort>& c) {
    if (!c) return;
    c->ShutDown(0);
    c.reset();
    MyComPort = nullptr;
    ConsoleAlive = false;
    LinkColor = clRed;
}

} // namespace ctest

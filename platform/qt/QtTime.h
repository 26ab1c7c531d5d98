#pragma once
// Qt adapters of the platform's time and hand-off interfaces.

#include "platform/Clock.h"
#include "platform/GuiHandoff.h"

#include <QElapsedTimer>
#include <QObject>

namespace plat {

// Timers on QTimer; they fire on the thread that created them (the GUI thread in the program).
class QtTimerService : public ITimerService {
public:
    QtTimerService();
    int64_t NowMs() const override;
    std::unique_ptr<ITimer> CreateTimer() override;

    // The process-wide instance, for code that runs on the GUI thread.
    static QtTimerService& Instance();

private:
    QElapsedTimer elapsed_;
};

// Hand-off to the thread of the QApplication (the GUI thread).
class QtGuiHandoff : public IGuiHandoff {
public:
    bool RunOnGuiThread(std::function<void()> job, int timeoutMs) override;
    void PostToGuiThread(std::function<void()> job) override;

    static QtGuiHandoff& Instance();
};

} // namespace plat

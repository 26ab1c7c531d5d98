#pragma once
// The thread of a simulated peer at a simulated line's far end and what wakes it: bytes from the near
// end, a change of the near end, a stop, or the peer's next due time; and the one host per device name.
// Used by the simulated modem's and the simulated controller's hosts (SxSimModemHost, SxSimCtlHost).

#include <condition_variable>
#include <cstddef>
#include <cstdint>
#include <functional>
#include <map>
#include <memory>
#include <mutex>
#include <string>
#include <thread>
#include <utility>
#include <vector>

namespace sx {

// What the near end sent, bytes and breaks in the order they came: the host of a far end gathers it on
// the near end's threads (under a lock of its own) and hands it on from its own thread.
class TSxFarInput {
public:
    explicit TSxFarInput(size_t limit) : limit_(limit) {}
    // Bytes beyond the limit are dropped.
    void AddBytes(const uint8_t* data, size_t n);
    void AddBreak(int ms) { breaks_.emplace_back(bytes_.size(), ms); }
    bool Empty() const { return bytes_.empty() && breaks_.empty(); }
    const std::string& Bytes() const { return bytes_; }
    // Hands everything over in order and empties the input.
    void Deliver(const std::function<void(const std::string&)>& onBytes, const std::function<void(int ms)>& onBreak);

private:
    size_t limit_;
    std::string bytes_;
    std::vector<std::pair<size_t, int>> breaks_; // position in bytes_, length in ms
};

class TSxSimHostThread {
public:
    static constexpr size_t MaxQueued = 64 * 1024; // bytes held from the near end

    // What a wait brings.
    struct TWake {
        TSxFarInput Input{MaxQueued}; // the near end's bytes and breaks since the last wait
        bool Stop = false;     // the last look: the thread ends after it
        bool LineDown = false; // the near end was seen closed or without DTR since the last wait
    };

    ~TSxSimHostThread() { Stop(); }

    // Takes the near end's bytes (what does not fit is dropped) and wakes the thread.
    void Feed(const uint8_t* data, size_t n);
    // Takes a break of the near end, in order with its bytes, and wakes the thread.
    void FeedBreak(int ms);
    // Wakes the thread for a change of the near end; lineDown: it was seen closed or without DTR.
    void NoteChange(bool lineDown = false);
    // Runs run on a thread of its own, unless one runs; its first wait returns at once.
    void Start(std::function<void()> run);
    // Wakes the thread for its last look and waits for it to end; then runs afterStop, before any new
    // Start. Nothing when no thread runs.
    void Stop(const std::function<void()>& afterStop = {});
    // On the thread: waits for bytes, a change or a stop, at most until dueUs (microseconds of the
    // steady clock; -1: no limit), and takes what came.
    TWake Wait(int64_t dueUs);

private:
    std::mutex runLock_; // Start and Stop
    std::thread thread_;
    std::mutex m_;
    std::condition_variable cv_;
    TSxFarInput input_{MaxQueued};
    bool changed_ = false;
    bool lineDown_ = false;
    bool stop_ = false;
};

// The host of a device name: made with arg at the first use, then kept for the whole process, like a
// peer on the desk that stays powered.
template <class Host>
std::shared_ptr<Host> SxSimHostFor(const std::string& deviceName, const std::string& arg) {
    static std::mutex lock;
    static std::map<std::string, std::shared_ptr<Host>> hosts;
    std::lock_guard<std::mutex> g(lock);
    auto& h = hosts[deviceName];
    if (!h) h = std::make_shared<Host>(arg);
    return h;
}

} // namespace sx

// Drives the simulated controller with an arbitrary script of chunks from the console, time steps, breaks
// and calls that begin and end, under an arbitrary fault. It must never crash, never send while no call is
// up, send only a bounded amount per step, and after each step have nothing overdue (a host that sleeps
// until the controller's next due time would otherwise spin).

#include "sim/SimController.h"

#include <cstdio>
#include <cstdlib>
#include <string>

namespace {

void Check(bool ok, const char* what) {
    if (!ok) {
        std::fprintf(stderr, "invariant broken: %s\n", what);
        std::abort();
    }
}

} // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    if (size < 2) return 0;
    sim::TControllerSettings s;
    s.Fault = static_cast<sim::TFault>(data[0] % 6);
    s.StartInDataMode = (data[1] & 1) != 0;
    s.AnswerDelayMs = (data[1] & 2) ? 0 : 20;
    s.CarrierDropAfterMs = 300;
    sim::TSimController ctl(s);

    int64_t now = 0;
    bool up = false;
    std::string sent;
    auto connect = [&] {
        ctl.Connected(
            [&](const std::string& b) {
                Check(up, "sends while no call is up");
                sent += b;
            },
            now);
        up = true;
    };
    auto step = [&] {
        // One step sends at most an answer frame with its SOH and STX and a few control bytes per byte.
        Check(ctl.NextDueMs() < 0 || ctl.NextDueMs() > now, "a due step was left undone");
        sent.clear();
    };
    connect();
    size_t i = 2;
    while (i < size) {
        const uint8_t op = data[i++];
        switch (op % 4) {
        case 0:
        case 1: {
            const size_t n = std::min<size_t>(op / 4 + 1, size - i);
            const size_t before = sent.size();
            ctl.Receive(std::string(reinterpret_cast<const char*>(data + i), n), now);
            i += n;
            Check(sent.size() - before <= 3 * n + 260, "too much sent for a chunk");
            ctl.Advance(now);
            step();
            break;
        }
        case 2:
            now += (op / 4) * 25;
            ctl.Advance(now);
            Check(sent.size() <= 260, "too much sent for a time step");
            step();
            break;
        case 3:
            if (up && (op & 4)) { // a break on the line
                ctl.ReceiveBreak(op, now);
                Check(sent.size() <= 260, "too much sent for a break");
                step();
            } else if (up) {
                ctl.Disconnected();
                up = false;
                Check(!ctl.IsConnected(), "still connected");
            } else {
                connect();
            }
            break;
        }
    }
    return 0;
}

// Drives the controller link with an arbitrary script of peer chunks, requests, resets and timer
// expiries. It must never crash or hang, and its queues must stay bounded. Between the arbitrary steps,
// a well-behaved peer sends answers of every length the frame format allows, cut into arbitrary
// chunks; each must be acknowledged and handed over whole, exactly when its last byte arrives.

#include "link/zavcom.h"
#include "platform/VirtualTime.h"

#include <algorithm>
#include <cstdio>
#include <cstdlib>
#include <string>

using namespace zavcom;

namespace {

class Path : public IZavBytePath {
public:
    void SendChar(uint8_t b) override {
        ++Written;
        if (b == ACK) ++Acks;
    }
    bool SendText(const std::string& bytes) override {
        Written += bytes.size();
        return !bytes.empty();
    }
    std::string ReadChars(int count) override {
        if (count < 0) count = 0;
        std::string s = Input.substr(0, static_cast<size_t>(count));
        Input.erase(0, s.size());
        return s;
    }
    void SetReceiveHook(TReceiveHook hook) override { Hook = std::move(hook); }

    size_t Written = 0;
    size_t Acks = 0;
    std::string Input;
    TReceiveHook Hook;
};

void Check(bool ok, const char* what) {
    if (!ok) {
        std::fprintf(stderr, "invariant broken: %s\n", what);
        std::abort();
    }
}

class Script {
public:
    Script(const uint8_t* data, size_t size) : p_(data), end_(data + size) {}
    bool More() const { return p_ < end_; }
    uint8_t Byte() { return p_ < end_ ? *p_++ : 0; }
    std::string Bytes(size_t n) {
        n = std::min(n, static_cast<size_t>(end_ - p_));
        std::string s(reinterpret_cast<const char*>(p_), n);
        p_ += n;
        return s;
    }

private:
    const uint8_t* p_;
    const uint8_t* end_;
};

} // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    plat::VirtualTime vt;
    Path path;
    TZavCom link(vt, &path);
    RxHeader = HeaderDefault;
    Script script(data, size);
    int depth = 0; // callbacks may start the next request, but not endlessly
    bool chainRequests = false;

    std::string delivered;
    size_t deliveries = 0;
    const TZavCallback answer = [&](const std::string& text) {
        delivered = text;
        ++deliveries;
        const TDecoded d = TZavCom::DecodeFrame(text);
        Check(d.Error == 1 ? d.Payload == text : d.Payload.size() <= 254, "decoded payload within bounds");
        if (chainRequests && depth < 4) {
            ++depth;
            link.Send(TZavCom::BuildFrame("\xF1\x00"), nullptr);
            --depth;
        }
    };
    link.OnLinkError = [&](const std::string&) {
        if (chainRequests) link.Reset();
    };

    for (int steps = 0; script.More() && steps < 4096; ++steps) {
        const uint8_t op = script.Byte();
        switch (op % 11) {
        case 0:
            link.Send(script.Bytes(script.Byte() % 16), answer);
            break;
        case 1:
            link.SendNoAnswer(script.Bytes(script.Byte() % 16), (op & 0x10) ? answer : TZavCallback());
            break;
        case 2:
        case 3: { // one data-available event; chunks of up to 765 bytes
            const std::string chunk = script.Bytes(static_cast<size_t>(script.Byte()) * 3);
            path.Input += chunk;
            if (path.Hook) {
                auto hook = path.Hook;
                hook(static_cast<uint16_t>(chunk.size()));
            }
            path.Input.clear();
            Check(link.RxQueue.size() <= RxQueueLimit, "the queue stays bounded");
            break;
        }
        case 4:
            vt.Advance(script.Byte() * 8);
            break;
        case 5:
            vt.RunNext();
            break;
        case 6:
            link.Reset();
            break;
        case 7:
            RxHeader = (op & 0x10) ? HeaderPartner : HeaderDefault;
            break;
        case 8: // an event whose bytes are gone (console closing): count without data
            if (path.Hook) {
                auto hook = path.Hook;
                hook(script.Byte());
            }
            break;
        case 9:
            chainRequests = (op & 0x10) != 0;
            break;
        case 10: { // a well-behaved peer answers: SOH, then after our ACK a frame in arbitrary chunks
            if (!path.Hook || link.State != lsIdle || !link.RxQueue.empty()) break;
            const size_t len = 4 + script.Byte() % 252; // 4 .. 255
            std::string frame(1, static_cast<char>(len));
            frame += RxHeader;
            frame += script.Bytes(len - 4);
            frame.resize(len, '\0');
            frame += static_cast<char>(script.Byte()); // the checksum is not checked
            const std::string wire = std::string(1, static_cast<char>(STX)) + frame;
            const bool awaited = static_cast<bool>(link.OnAnswer);
            const size_t deliveredBefore = deliveries;
            // Time may pass between chunks, within the receive window, unless the whole-request
            // time-out could end the receive first.
            int budgetMs = link.AnswerTimer->Enabled() ? 0 : 990;
            auto deliver = [&](const std::string& chunk) {
                path.Input += chunk;
                auto hook = path.Hook;
                hook(static_cast<uint16_t>(chunk.size()));
                path.Input.clear();
            };
            const size_t acksBefore = path.Acks;
            deliver(std::string(1, static_cast<char>(SOH)));
            Check(path.Acks == acksBefore + 1 && link.State == lsReceiving, "the peer's SOH is acknowledged");
            for (size_t at = 0; at < wire.size();) {
                Check(path.Acks == acksBefore + 1 && deliveries == deliveredBefore, "nothing handed over early");
                const uint8_t cut = script.Byte();
                size_t n = (cut & 0x80) ? wire.size() : 1 + cut % 40;
                n = std::min(n, wire.size() - at);
                deliver(wire.substr(at, n));
                at += n;
                const int wait = std::min<int>(budgetMs, cut % 16);
                if (at < wire.size() && wait > 0) {
                    vt.Advance(wait);
                    budgetMs -= wait;
                }
            }
            Check(path.Acks == acksBefore + 2, "the whole frame is acknowledged");
            Check(link.ReceivedFrame == frame.substr(1), "the whole frame is received");
            Check(!awaited || (deliveries == deliveredBefore + 1 && delivered == frame.substr(1)),
                  "the awaited answer is handed over whole");
            break;
        }
        }
        Check(link.State == lsIdle || link.State == lsWaitSohAck || link.State == lsWaitFrameAck ||
                  link.State == lsReceiving || link.State == lsSohRefused,
              "a known link state");
        Check(RxBuffer.size() <= 4096, "receive buffer bounded");
    }
    // Every request ends within the answer time-out and every receive within its step: left alone, the
    // link comes to rest idle with no timer running.
    vt.Advance(10000);
    Check(link.State == lsIdle, "idle once the peer falls silent");
    Check(vt.NextDueIn() == -1, "no timer left running");
    RxHeader = HeaderDefault;
    RxBuffer.clear();
    return 0;
}

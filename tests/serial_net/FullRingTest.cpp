// Input that fills the 8192-byte input ring while nobody takes it: the device holds further input
// back then, so no new arrival announces the bytes again. With every kind of device they still
// reach a handler that attaches late or was not ready at the first announcement, and so does what
// the peer sends after them.

#include "NetFixture.h"

#include "platform/QueueHandoff.h"
#include "serial/core/SxDispatcher.h"
#include "serial/device/SxSimLine.h"

#include <future>
#include <memory>

using namespace sx;
using namespace sxnet;

namespace {

constexpr int Deadline = 10000;

class Window : public ISxWindow {
public:
    void HandleMessage(uint16_t msg, uint32_t first, uint32_t) override {
        if (On) On(msg, first);
    }
    std::function<void(uint16_t, uint32_t)> On;
};

// The far end of one kind of device: sends the burst as soon as the port is open (a terminal
// server while it opens, with its answer to the negotiation), and the tail once the port sent "go".
struct Peer {
    std::string Device;
    std::function<void()> Start = [] {};
    std::function<void()> AfterGo = [] {};
    std::unique_ptr<Pty> pty;
    std::unique_ptr<ScriptedServer> server;
    std::thread writer;
    ~Peer() {
        if (writer.joinable()) writer.join();
    }
};

void MakePeer(Peer& p, const std::string& kind, const std::string& burst, const std::string& tail) {
    if (kind == "pty") {
        p.pty = std::make_unique<Pty>();
        p.Device = p.pty->SlavePath;
        Pty* pty = p.pty.get();
        // A thread writes: the kernel may take less than the burst at once.
        p.Start = [&p, pty, burst] { p.writer = std::thread([pty, burst] { pty->Send(burst); }); };
        p.AfterGo = [pty, tail] {
            ASSERT_EQ(pty->Receive(2), "go");
            pty->Send(tail);
        };
    } else if (kind == "sim") {
        p.Device = "sim:full-ring";
        auto line = TSxSimLine::Get("full-ring");
        line->Plug();
        p.Start = [line, burst] { line->Write(burst); };
        p.AfterGo = [line, tail] {
            ASSERT_EQ(line->ReadExactly(2, Deadline), "go");
            line->Write(tail);
        };
    } else {
        const bool telnet = kind == "rfc2217";
        p.server = std::make_unique<ScriptedServer>([=](int fd) {
            auto sawGo = [](const std::string& data) { return data.find("go") != std::string::npos; };
            if (telnet) {
                ConfirmingServer(
                    fd, [&](const ClientStream& c) { return sawGo(c.Data); }, burst);
            } else {
                SendBytes(fd, burst);
                ReadUntil(fd, sawGo);
            }
            SendBytes(fd, tail);
            ReadUntil(
                fd, [](const std::string&) { return false; }, Deadline); // until the port closes
        });
        p.Device = kind + "://127.0.0.1:" + std::to_string(p.server->Port);
    }
}

} // namespace

TEST(FullInputRing, HeldInputReachesAHandlerThatAttachesLateOrWasNotReady) {
    std::string burst(9300, '\0');
    for (size_t i = 0; i < burst.size(); ++i)
        burst[i] = static_cast<char>('0' + i % 64);
    const std::string tail = "\r\nline after the burst\r\n";

    auto run = [&](const std::string& kind, bool lateHandler) {
        Peer peer;
        MakePeer(peer, kind, burst, tail);
        plat::QueueHandoff gui;
        std::string got;
        bool ready = lateHandler, sawFull = false;
        Window w;
        TSxBaseDispatcher d(nullptr, &gui);
        w.On = [&](uint16_t msg, uint32_t count) {
            if (msg != smAvail) return;
            sawFull = sawFull || count == static_cast<uint32_t>(InputRingSize);
            uint8_t c;
            while (ready && d.GetChar(c) == 0)
                got.push_back(static_cast<char>(c));
        };
        ASSERT_EQ(d.Open(peer.Device, 19200, 0, 8, 1, 4096, 4096, true, true), 0);
        peer.Start();
        d.NotePortHandlers(1);
        d.SetAvailLevel(1);
        if (lateHandler) {
            ASSERT_TRUE(gui.PumpUntil([&] { return d.InputUsed() == InputRingSize; }, Deadline));
            d.AddWindowHandler(&w);
        } else {
            d.AddWindowHandler(&w);
            ASSERT_TRUE(gui.PumpUntil([&] { return sawFull; }, Deadline));
            ready = true;
        }
        ASSERT_TRUE(gui.PumpUntil([&] { return got.size() >= burst.size(); }, Deadline)) << got.size();
        ASSERT_EQ(d.PutBlock("go", 2), 0);
        peer.AfterGo();
        ASSERT_TRUE(gui.PumpUntil([&] { return got.size() >= burst.size() + tail.size(); }, Deadline));
        EXPECT_TRUE(got == burst + tail) << "bytes lost, doubled or out of order";
        d.Close();
    };
    for (const char* kind : {"pty", "sim", "tcp", "rfc2217"})
        for (const bool lateHandler : {true, false}) {
            SCOPED_TRACE(std::string(kind) +
                         (lateHandler ? ", handler attached late" : ", handler not ready"));
            run(kind, lateHandler);
        }
}

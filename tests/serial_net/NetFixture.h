#pragma once
// Helpers for ports on the network: a pseudo-terminal that a terminal server serves, free local
// TCP ports, the ser2net terminal server run as a child, and a scripted server of our own that
// plays a terminal server byte by byte.

#include <gtest/gtest.h>

#include <arpa/inet.h>
#include <dirent.h>
#include <fcntl.h>
#include <netinet/in.h>
#include <poll.h>
#include <signal.h>
#include <sys/socket.h>
#include <sys/wait.h>
#include <termios.h>
#include <unistd.h>

#include <chrono>
#include <fstream>
#include <cstdio>
#include <functional>
#include <sstream>
#include <string>
#include <thread>
#include <utility>
#include <vector>

namespace sxnet {

using Clock = std::chrono::steady_clock;

inline int MsLeft(Clock::time_point deadline)
{
    const auto l = std::chrono::duration_cast<std::chrono::milliseconds>(deadline - Clock::now()).count();
    return l > 0 ? static_cast<int>(l) : 0;
}

struct Pty {
    int Master = -1;
    std::string SlavePath;
    Pty()
    {
        Master = posix_openpt(O_RDWR | O_NOCTTY);
        if (Master >= 0 && grantpt(Master) == 0 && unlockpt(Master) == 0) SlavePath = ptsname(Master);
        // Raw from the start: the server sets the line only once a client connects, and bytes
        // written before that must not meet a terminal's echo, erase and flow characters.
        termios t{};
        if (Master >= 0 && tcgetattr(Master, &t) == 0) {
            cfmakeraw(&t);
            tcsetattr(Master, TCSANOW, &t);
        }
    }
    ~Pty()
    {
        if (Master >= 0) close(Master);
    }
    void Send(const std::string& s) const { ASSERT_EQ(write(Master, s.data(), s.size()), ssize_t(s.size())); }
    std::string Receive(size_t want, int timeoutMs = 10000) const
    {
        std::string got;
        const auto deadline = Clock::now() + std::chrono::milliseconds(timeoutMs);
        while (got.size() < want) {
            pollfd p{Master, POLLIN, 0};
            if (poll(&p, 1, MsLeft(deadline)) <= 0) break;
            char buf[512];
            const ssize_t n = read(Master, buf, std::min(sizeof buf, want - got.size()));
            if (n <= 0) break;
            got.append(buf, static_cast<size_t>(n));
        }
        return got;
    }
    // The slave's settings as the server set them (a pty's master reports its slave's termios).
    termios Attr() const
    {
        termios t{};
        tcgetattr(Master, &t);
        return t;
    }
};

// A port nobody listens on just now.
inline int FreePort()
{
    const int s = socket(AF_INET, SOCK_STREAM, 0);
    sockaddr_in a{};
    a.sin_family = AF_INET;
    a.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    bind(s, reinterpret_cast<sockaddr*>(&a), sizeof a);
    socklen_t len = sizeof a;
    getsockname(s, reinterpret_cast<sockaddr*>(&a), &len);
    close(s);
    return ntohs(a.sin_port);
}

// True once something listens on the local TCP port, false at the deadline. Read from the kernel's
// socket table rather than by connecting: a test connection would make a terminal server open and
// close its device.
// With owner > 0, only a listening socket that the process owner holds counts: another test's server that
// took the same port meanwhile is not ours (its device streams another test's bytes).
inline bool IsListening(int port, pid_t owner = 0)
{
    char hex[8];
    std::snprintf(hex, sizeof hex, ":%04X", port);
    for (const char* table : {"/proc/net/tcp", "/proc/net/tcp6"}) {
        std::ifstream f(table);
        std::string line;
        while (std::getline(f, line)) {
            std::istringstream in(line);
            std::string sl, local, remote, state, queues, timer, retransmits, uid, timeout, inode;
            in >> sl >> local >> remote >> state >> queues >> timer >> retransmits >> uid >> timeout >> inode;
            if (state != "0A" || local.size() <= 5 || local.substr(local.size() - 5) != hex) continue;
            if (owner <= 0) return true;
            const std::string socket = "socket:[" + inode + "]";
            const std::string fds = "/proc/" + std::to_string(owner) + "/fd";
            if (DIR* d = opendir(fds.c_str())) {
                bool held = false;
                while (dirent* e = readdir(d)) {
                    char target[64];
                    const ssize_t n = readlink((fds + "/" + e->d_name).c_str(), target, sizeof target - 1);
                    if (n > 0 && std::string(target, static_cast<size_t>(n)) == socket) held = true;
                }
                closedir(d);
                if (held) return true;
            }
        }
    }
    return false;
}

inline bool WaitListening(int port, int timeoutMs = 10000, pid_t owner = 0)
{
    const auto deadline = Clock::now() + std::chrono::milliseconds(timeoutMs);
    while (MsLeft(deadline) > 0) {
        if (IsListening(port, owner)) return true;
        poll(nullptr, 0, 20); // not up yet: look again shortly
    }
    return false;
}

inline std::string Ser2netBinary()
{
    for (const char* p : {"/usr/sbin/ser2net", "/usr/bin/ser2net", "/usr/local/sbin/ser2net"})
        if (access(p, X_OK) == 0) return p;
    return {};
}

// ser2net serving one pty slave twice: through Telnet with the COM port option, and raw.
class Ser2net {
public:
    Ser2net(const std::string& slave, int telnetPort, int rawPort, const std::string& slave2)
    {
        char dir[] = "/tmp/sxnetXXXXXX";
        if (!mkdtemp(dir)) return;
        config_ = std::string(dir) + "/ser2net.yaml";
        std::ofstream f(config_);
        f << "%YAML 1.1\n---\n"
          << "connection: &rfc\n  accepter: telnet(rfc2217),tcp,127.0.0.1," << telnetPort << "\n"
          << "  connector: serialdev," << slave << ",9600n81,local\n  options:\n    kickolduser: true\n"
          << "connection: &raw\n  accepter: tcp,127.0.0.1," << rawPort << "\n"
          << "  connector: serialdev," << slave2 << ",9600n81,local\n  options:\n    kickolduser: true\n";
        dir_ = dir;
        ports_[0] = telnetPort;
        ports_[1] = rawPort;
    }
    ~Ser2net()
    {
        Kill();
        if (!config_.empty()) unlink(config_.c_str());
        if (!dir_.empty()) rmdir(dir_.c_str());
    }
    bool Start()
    {
        const std::string bin = Ser2netBinary();
        if (bin.empty() || config_.empty()) return false;
        pid_ = fork();
        if (pid_ == 0) {
            const int null = open("/dev/null", O_RDWR);
            dup2(null, 1);
            dup2(null, 2);
            execl(bin.c_str(), "ser2net", "-n", "-d", "-c", config_.c_str(), static_cast<char*>(nullptr));
            _exit(127);
        }
        return pid_ > 0 && WaitListening(ports_[0], 10000, pid_) && WaitListening(ports_[1], 10000, pid_);
    }
    void Kill()
    {
        if (pid_ <= 0) return;
        kill(pid_, SIGKILL);
        waitpid(pid_, nullptr, 0);
        pid_ = -1;
    }

private:
    std::string dir_, config_;
    int ports_[2] = {0, 0};
    pid_t pid_ = -1;
};

// A server on a free local port that runs script(connectedSocket) for the first connection.
class ScriptedServer {
public:
    explicit ScriptedServer(std::function<void(int)> script)
    {
        listen_ = socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
        const int on = 1;
        setsockopt(listen_, SOL_SOCKET, SO_REUSEADDR, &on, sizeof on);
        sockaddr_in a{};
        a.sin_family = AF_INET;
        a.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
        bind(listen_, reinterpret_cast<sockaddr*>(&a), sizeof a);
        socklen_t len = sizeof a;
        getsockname(listen_, reinterpret_cast<sockaddr*>(&a), &len);
        Port = ntohs(a.sin_port);
        listen(listen_, 4);
        thread_ = std::thread([this, script] {
            pollfd p{listen_, POLLIN, 0};
            if (poll(&p, 1, 20000) != 1) return;
            const int c = accept(listen_, nullptr, nullptr);
            if (c < 0) return;
            script(c);
            close(c);
        });
    }
    ~ScriptedServer()
    {
        shutdown(listen_, SHUT_RDWR);
        if (thread_.joinable()) thread_.join();
        close(listen_);
    }
    int Port = 0;

private:
    int listen_ = -1;
    std::thread thread_;
};

// Reads from a socket until pred(all read so far) holds, the peer closes or the deadline passes.
inline std::string ReadUntil(int fd, const std::function<bool(const std::string&)>& pred, int timeoutMs = 10000)
{
    std::string got;
    const auto deadline = Clock::now() + std::chrono::milliseconds(timeoutMs);
    while (!pred(got)) {
        pollfd p{fd, POLLIN, 0};
        if (poll(&p, 1, MsLeft(deadline)) <= 0) break;
        char buf[512];
        const ssize_t n = recv(fd, buf, sizeof buf, 0);
        if (n <= 0) break;
        got.append(buf, static_cast<size_t>(n));
    }
    return got;
}

inline void SendBytes(int fd, const std::string& s) { (void)!send(fd, s.data(), s.size(), MSG_NOSIGNAL); }

inline std::string Sub(uint8_t cmd, const std::string& value)
{
    return "\xff\xfa\x2c" + std::string(1, static_cast<char>(cmd)) + value + "\xff\xf0";
}

// What a client sent, taken apart: line data and the COM port commands (command, value), each in order.
struct ClientStream {
    std::string Data;
    std::vector<std::pair<int, std::string>> Commands;
    std::string Negotiation; // IAC verb option triples, as sent
    static ClientStream Parse(const std::string& s)
    {
        ClientStream c;
        for (size_t i = 0; i < s.size();) {
            if (static_cast<uint8_t>(s[i]) != 0xFF) {
                c.Data += s[i++];
                continue;
            }
            if (i + 1 >= s.size()) break;
            const uint8_t v = static_cast<uint8_t>(s[i + 1]);
            if (v == 0xFF) {
                c.Data += s[i];
                i += 2;
            } else if (v >= 251 && v <= 254 && i + 2 < s.size()) {
                c.Negotiation += s.substr(i, 3);
                i += 3;
            } else if (v == 0xFA) {
                const size_t end = s.find("\xff\xf0", i);
                if (end == std::string::npos) break;
                std::string value;
                for (size_t k = i + 4; k < end; ++k) {
                    value += s[k];
                    if (static_cast<uint8_t>(s[k]) == 0xFF) ++k; // doubled inside
                }
                c.Commands.emplace_back(static_cast<uint8_t>(s[i + 3]), value);
                i = end + 2;
            } else {
                i += 2;
            }
        }
        return c;
    }
    bool Has(int cmd) const
    {
        for (const auto& c : Commands)
            if (c.first == cmd) return true;
        return false;
    }
};

// A server that agrees to everything and confirms each command with the value asked for, until
// stop(stream so far) holds; dataOnAgreeing is line data sent right after agreeing. Returns everything
// the client sent.
inline std::string ConfirmingServer(int fd, const std::function<bool(const ClientStream&)>& stop,
                             const std::string& dataOnAgreeing = std::string())
{
    std::string all;
    size_t confirmed = 0;
    bool agreed = false;
    ReadUntil(fd, [&](const std::string& got) {
        all = got;
        const ClientStream c = ClientStream::Parse(got);
        if (!agreed && c.Negotiation.find("\xff\xfb\x2c") != std::string::npos) {
            agreed = true;
            SendBytes(fd, std::string("\xff\xfd\x2c\xff\xfb\x00\xff\xfd\x00\xff\xfb\x03\xff\xfd\x03", 15));
            if (!dataOnAgreeing.empty()) SendBytes(fd, dataOnAgreeing);
        }
        for (; confirmed < c.Commands.size(); ++confirmed) {
            const auto& [cmd, value] = c.Commands[confirmed];
            if (cmd == 8 || cmd == 9) continue; // flow suspend/resume are not answered
            std::string v;
            for (char ch : value) v += ch == '\xff' ? std::string("\xff\xff") : std::string(1, ch);
            SendBytes(fd, Sub(static_cast<uint8_t>(cmd + 100), v));
        }
        return stop(c);
    });
    return all;
}

} // namespace sxnet

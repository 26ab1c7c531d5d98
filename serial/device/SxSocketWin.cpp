// The network device's socket calls on Winsock. Winsock's error codes become errno values here, so the
// device's checks (would block, in progress, interrupted) and its messages read as on POSIX.
#include "serial/device/SxSocket.h"

#include <mstcpip.h>
#include <mutex>
#include <windows.h>

namespace sx {
namespace {

void StartWinsock() {
    static std::once_flag once;
    std::call_once(once, [] {
        WSADATA wsa;
        WSAStartup(MAKEWORD(2, 2), &wsa);
    });
}

SOCKET Handle(int s) {
    return static_cast<SOCKET>(s);
}

int ErrnoOf(int wsa) {
    switch (wsa) {
    case WSAEWOULDBLOCK:
        return EWOULDBLOCK;
    case WSAEINPROGRESS:
        return EINPROGRESS;
    case WSAEINTR:
        return EINTR;
    case WSAECONNREFUSED:
        return ECONNREFUSED;
    case WSAETIMEDOUT:
        return ETIMEDOUT;
    case WSAECONNRESET:
        return ECONNRESET;
    case WSAENETUNREACH:
        return ENETUNREACH;
    case WSAEHOSTUNREACH:
        return EHOSTUNREACH;
    case WSAEADDRNOTAVAIL:
        return EADDRNOTAVAIL;
    case WSAENOTCONN:
        return ENOTCONN;
    case WSAESHUTDOWN:
        return EPIPE;
    default:
        return EIO;
    }
}

} // namespace

int SxSocketError() {
    return ErrnoOf(WSAGetLastError());
}

std::string SxSocketErrorText(int err) {
    switch (err) {
    case ECONNREFUSED:
        return "Connection refused";
    case ETIMEDOUT:
        return "Connection timed out";
    case ECONNRESET:
        return "Connection reset by peer";
    case ENETUNREACH:
        return "Network is unreachable";
    case EHOSTUNREACH:
        return "No route to host";
    case EADDRNOTAVAIL:
        return "Cannot assign requested address";
    default:
        return "Input/output error";
    }
}

int SxOpenSocket(int family, int type, int protocol) {
    StartWinsock();
    const SOCKET s =
        WSASocketW(family, type, protocol, nullptr, 0, WSA_FLAG_OVERLAPPED | WSA_FLAG_NO_HANDLE_INHERIT);
    if (s == INVALID_SOCKET) return -1;
    u_long on = 1;
    if (ioctlsocket(s, FIONBIO, &on) != 0) {
        closesocket(s);
        return -1;
    }
    return static_cast<int>(s); // socket handles fit an int
}

void SxTuneSocket(int s) {
    const BOOL on = TRUE;
    setsockopt(Handle(s), IPPROTO_TCP, TCP_NODELAY, reinterpret_cast<const char*>(&on), sizeof on);
    setsockopt(Handle(s), SOL_SOCKET, SO_KEEPALIVE, reinterpret_cast<const char*>(&on), sizeof on);
    tcp_keepalive k{1, 10000, 5000}; // on, first probe after 10 s, then every 5 s
    DWORD got = 0;
    WSAIoctl(Handle(s), SIO_KEEPALIVE_VALS, &k, sizeof k, nullptr, 0, &got, nullptr, nullptr);
}

int SxConnectError(int s) {
    int err = 0;
    int len = sizeof err;
    if (getsockopt(Handle(s), SOL_SOCKET, SO_ERROR, reinterpret_cast<char*>(&err), &len) != 0)
        return SxSocketError();
    return err == 0 ? 0 : ErrnoOf(err);
}

void SxCloseSocket(int s) {
    if (s >= 0) closesocket(Handle(s));
}

void SxShutdownAndClose(int s) {
    if (s < 0) return;
    shutdown(Handle(s), SD_BOTH);
    closesocket(Handle(s));
}

long SxSend(int s, const void* data, size_t n) {
    const int len = static_cast<int>(n > 0x7FFFFFFF ? 0x7FFFFFFF : n);
    return send(Handle(s), static_cast<const char*>(data), len, 0);
}

long SxRecv(int s, void* data, size_t n) {
    const int len = static_cast<int>(n > 0x7FFFFFFF ? 0x7FFFFFFF : n);
    return recv(Handle(s), static_cast<char*>(data), len, 0);
}

int SxPoll(SxPollFd* fds, int n, int timeoutMs) {
    // WSAPoll takes no place holders: the entries in use go in, their answers come back.
    WSAPOLLFD used[8];
    int map[8];
    int m = 0;
    for (int i = 0; i < n && m < 8; ++i) {
        fds[i].revents = 0;
        if (fds[i].fd < 0 || fds[i].events == 0) continue;
        used[m] = WSAPOLLFD{Handle(fds[i].fd), fds[i].events, 0};
        map[m++] = i;
    }
    if (m == 0) {
        Sleep(timeoutMs < 0 ? INFINITE : static_cast<DWORD>(timeoutMs));
        return 0;
    }
    const int r = WSAPoll(used, static_cast<ULONG>(m), timeoutMs);
    for (int j = 0; r > 0 && j < m; ++j)
        fds[map[j]].revents = used[j].revents;
    return r;
}

bool SxMakeWakePair(int fds[2]) {
    fds[0] = fds[1] = -1;
    const int listener = SxOpenSocket(AF_INET, SOCK_STREAM, IPPROTO_TCP);
    if (listener < 0) return false;
    sockaddr_in a{};
    a.sin_family = AF_INET;
    a.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    int len = sizeof a;
    bool ok = bind(Handle(listener), reinterpret_cast<sockaddr*>(&a), sizeof a) == 0 &&
              getsockname(Handle(listener), reinterpret_cast<sockaddr*>(&a), &len) == 0 &&
              listen(Handle(listener), 1) == 0;
    const int writer = ok ? SxOpenSocket(AF_INET, SOCK_STREAM, IPPROTO_TCP) : -1;
    if (writer >= 0) {
        u_long off = 0; // a blocking connect and accept: both ends are ours
        ioctlsocket(Handle(writer), FIONBIO, &off);
        ioctlsocket(Handle(listener), FIONBIO, &off);
        ok = connect(Handle(writer), reinterpret_cast<sockaddr*>(&a), sizeof a) == 0;
        const SOCKET reader = ok ? accept(Handle(listener), nullptr, nullptr) : INVALID_SOCKET;
        u_long on = 1;
        ok = reader != INVALID_SOCKET && ioctlsocket(reader, FIONBIO, &on) == 0 &&
             ioctlsocket(Handle(writer), FIONBIO, &on) == 0;
        if (ok) {
            fds[0] = static_cast<int>(reader);
            fds[1] = writer;
        } else {
            if (reader != INVALID_SOCKET) closesocket(reader);
            SxCloseSocket(writer);
        }
    }
    SxCloseSocket(listener);
    return ok && fds[0] >= 0;
}

void SxPoke(int fd) {
    const char b = 1;
    if (fd >= 0) send(Handle(fd), &b, 1, 0);
}

void SxDrain(int fd) {
    char buf[64];
    while (fd >= 0 && recv(Handle(fd), buf, sizeof buf, 0) > 0) {
    }
}

void SxCloseWakePair(int fds[2]) {
    SxCloseSocket(fds[0]);
    SxCloseSocket(fds[1]);
    fds[0] = fds[1] = -1;
}

} // namespace sx

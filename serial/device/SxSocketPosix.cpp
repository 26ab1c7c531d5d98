// The network device's socket calls on POSIX sockets.
#include "serial/device/SxSocket.h"

#include <cstring>
#include <fcntl.h>
#include <netinet/in.h>
#include <netinet/tcp.h>
#include <unistd.h>

namespace sx {

int SxSocketError() {
    return errno;
}
std::string SxSocketErrorText(int err) {
    return std::strerror(err);
}

int SxOpenSocket(int family, int type, int protocol) {
    return ::socket(family, type | SOCK_NONBLOCK | SOCK_CLOEXEC, protocol);
}

void SxTuneSocket(int s) {
    const int on = 1;
    ::setsockopt(s, IPPROTO_TCP, TCP_NODELAY, &on, sizeof on);
    ::setsockopt(s, SOL_SOCKET, SO_KEEPALIVE, &on, sizeof on);
#ifdef TCP_KEEPIDLE
    const int idle = 10, interval = 5, count = 3;
    ::setsockopt(s, IPPROTO_TCP, TCP_KEEPIDLE, &idle, sizeof idle);
    ::setsockopt(s, IPPROTO_TCP, TCP_KEEPINTVL, &interval, sizeof interval);
    ::setsockopt(s, IPPROTO_TCP, TCP_KEEPCNT, &count, sizeof count);
#endif
}

int SxConnectError(int s) {
    int err = 0;
    socklen_t len = sizeof err;
    return ::getsockopt(s, SOL_SOCKET, SO_ERROR, &err, &len) != 0 ? errno : err;
}

void SxCloseSocket(int s) {
    if (s >= 0) ::close(s);
}

void SxShutdownAndClose(int s) {
    if (s < 0) return;
    ::shutdown(s, SHUT_RDWR);
    ::close(s);
}

long SxSend(int s, const void* data, size_t n) {
    return ::send(s, data, n, MSG_NOSIGNAL);
}
long SxRecv(int s, void* data, size_t n) {
    return ::recv(s, data, n, MSG_DONTWAIT);
}
int SxPoll(SxPollFd* fds, int n, int timeoutMs) {
    return ::poll(fds, static_cast<nfds_t>(n), timeoutMs);
}

bool SxMakeWakePair(int fds[2]) {
    if (::pipe(fds) != 0) {
        fds[0] = fds[1] = -1;
        return false;
    }
    for (int i = 0; i < 2; ++i) {
        ::fcntl(fds[i], F_SETFL, ::fcntl(fds[i], F_GETFL) | O_NONBLOCK);
        ::fcntl(fds[i], F_SETFD, FD_CLOEXEC);
    }
    return true;
}

void SxPoke(int fd) {
    const char b = 1;
    if (fd >= 0) (void)!::write(fd, &b, 1);
}

void SxDrain(int fd) {
    char buf[64];
    while (fd >= 0 && ::read(fd, buf, sizeof buf) > 0) {
    }
}

void SxCloseWakePair(int fds[2]) {
    for (int i = 0; i < 2; ++i)
        if (fds[i] >= 0) ::close(fds[i]);
    fds[0] = fds[1] = -1;
}

} // namespace sx

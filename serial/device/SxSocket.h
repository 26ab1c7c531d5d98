#pragma once
// The few socket calls of the network device, on POSIX sockets and on Winsock. Sockets are non-blocking ints
// (-1: none); errors are errno values on both (Winsock's codes are turned into them), so that the device
// reads the same everywhere. A wake-up pair is what a waiting poll can be woken by: a pipe on POSIX, a
// connected pair of loopback sockets on Windows (whose poll takes sockets only); the POSIX serial device
// wakes its waits with it too.

#include <cerrno>
#include <cstddef>
#include <string>

#if defined(_WIN32)
#include <winsock2.h>
#include <ws2tcpip.h>
#ifndef EAI_SYSTEM
#define EAI_SYSTEM EAI_FAIL
#endif
#else
#include <netdb.h>
#include <poll.h>
#include <sys/socket.h>
#endif

namespace sx {

#if defined(_WIN32)
struct SxPollFd { // pollfd's shape, with our int sockets
    int fd;
    short events;
    short revents;
};
#else
using SxPollFd = pollfd;
#endif

// The last socket call's error as an errno value.
int SxSocketError();
std::string SxSocketErrorText(int err);

// A stream socket, non-blocking and not inherited by child processes; -1 on failure.
int SxOpenSocket(int family, int type, int protocol);
// No delay for small writes, and keep-alive probes that notice a vanished server within about half a minute.
void SxTuneSocket(int s);
// The error a non-blocking connect ended with (0: connected).
int SxConnectError(int s);
void SxCloseSocket(int s);
void SxShutdownAndClose(int s);
// Without waiting: the count, or -1 with SxSocketError(). Writing to a closed connection raises no signal.
long SxSend(int s, const void* data, size_t n);
long SxRecv(int s, void* data, size_t n);
// poll(); entries with a negative descriptor are left out.
int SxPoll(SxPollFd* fds, int n, int timeoutMs);

// A wake-up pair: fds[0] polls readable after SxPoke(fds[1]) until SxDrain(fds[0]).
bool SxMakeWakePair(int fds[2]);
void SxPoke(int fd);
void SxDrain(int fd);
void SxCloseWakePair(int fds[2]);

} // namespace sx

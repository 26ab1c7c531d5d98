#pragma once
// Runs a piece of a test as the unprivileged user "nobody", also when the suite runs as root (as CI does):
// permissions mean nothing to root, so refusals must be seen from an ordinary user's side.

#include <cerrno>
#include <functional>
#include <grp.h>
#include <string>
#include <sys/types.h>
#include <sys/wait.h>
#include <unistd.h>

constexpr uid_t Nobody = 65534;
constexpr gid_t NoGroup = 65534;

// Runs body as the unprivileged user "nobody" in a child process (as the caller itself when it is not
// root) and returns what body returned: "" for success, else what went wrong.
inline std::string AsNobody(const std::function<std::string()>& body) {
    if (::geteuid() != 0) return body();
    int fds[2];
    if (::pipe(fds) != 0) return "pipe";
    const pid_t pid = ::fork();
    if (pid == 0) {
        ::close(fds[0]);
        std::string result;
        if (::setgroups(0, nullptr) != 0 || ::setgid(NoGroup) != 0 || ::setuid(Nobody) != 0)
            result = "could not become nobody";
        else
            result = body();
        if (::write(fds[1], result.data(), result.size()) < 0) _exit(2);
        _exit(0);
    }
    ::close(fds[1]);
    std::string result;
    char buf[512];
    for (ssize_t n; (n = ::read(fds[0], buf, sizeof buf)) != 0;) {
        if (n < 0 && errno == EINTR) continue;
        if (n < 0) break;
        result.append(buf, std::size_t(n));
    }
    ::close(fds[0]);
    int status = 0;
    ::waitpid(pid, &status, 0);
    if (!WIFEXITED(status) || WEXITSTATUS(status) != 0) return "child failed";
    return result;
}


#pragma once
// Other programs for the exclusive-open and permission tests: a child process that holds a device the
// way another serial program would, and a child that tries something as an unprivileged user ("nobody"
// when the tests run as root, as they do in CI) and reports back through a pipe.

#include <gtest/gtest.h>

#include <grp.h>
#include <pwd.h>
#include <signal.h>
#include <sys/types.h>
#include <sys/wait.h>
#include <unistd.h>

#include <functional>
#include <string>

namespace sxtest {

// The unprivileged user's ids, looked up before any fork.
struct Unprivileged {
    uid_t Uid = 65534;
    gid_t Gid = 65534;
    Unprivileged()
    {
        if (const passwd* pw = getpwnam("nobody")) {
            Uid = pw->pw_uid;
            Gid = pw->pw_gid;
        }
    }
    // In a child: become that user when root (supplementary groups dropped too). False on failure.
    bool Become() const
    {
        if (geteuid() != 0) return true; // already unprivileged
        return setgroups(0, nullptr) == 0 && setgid(Gid) == 0 && setuid(Uid) == 0 && geteuid() == Uid;
    }
};

// Runs body in a child process as the unprivileged user and returns the text it produced.
inline std::string AsUnprivilegedChild(const std::function<std::string()>& body)
{
    const Unprivileged who;
    int fds[2];
    if (pipe(fds) != 0) return "no pipe";
    const pid_t pid = fork();
    if (pid < 0) return "no fork";
    if (pid == 0) {
        close(fds[0]);
        std::string out;
        if (!who.Become()) {
            out = "cannot drop privileges";
        } else {
            try {
                out = body();
            } catch (const std::exception& e) {
                out = std::string("escaped: ") + e.what();
            } catch (...) {
                out = "escaped: unknown";
            }
        }
        (void)!write(fds[1], out.data(), out.size());
        _exit(0);
    }
    close(fds[1]);
    std::string got;
    char buf[512];
    ssize_t n;
    while ((n = read(fds[0], buf, sizeof buf)) > 0) got.append(buf, static_cast<size_t>(n));
    close(fds[0]);
    int status = 0;
    waitpid(pid, &status, 0);
    return got;
}

// Another program holding something: a child that runs hold() once, reports ready, and stays alive
// until this object is destroyed (or Release is called).
class HoldingChild {
public:
    explicit HoldingChild(const std::function<bool()>& hold)
    {
        int ready[2], stay[2];
        if (pipe(ready) != 0 || pipe(stay) != 0) return;
        pid_ = fork();
        if (pid_ == 0) {
            close(ready[0]);
            close(stay[1]);
            const char ok = hold() ? 'y' : 'n';
            (void)!write(ready[1], &ok, 1);
            char c;
            while (read(stay[0], &c, 1) > 0) {
            }
            _exit(0);
        }
        close(ready[1]);
        close(stay[0]);
        stay_ = stay[1];
        char c = 0;
        Ready = read(ready[0], &c, 1) == 1 && c == 'y';
        close(ready[0]);
    }
    ~HoldingChild() { Release(); }
    pid_t Pid() const { return pid_; }
    // Lets the child end and waits until it is gone.
    void Release()
    {
        if (stay_ >= 0) close(stay_);
        stay_ = -1;
        if (pid_ > 0) {
            int status = 0;
            waitpid(pid_, &status, 0);
        }
        pid_ = -1;
    }
    bool Ready = false;

private:
    pid_t pid_ = -1;
    int stay_ = -1;
};

} // namespace sxtest

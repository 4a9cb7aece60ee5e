// A throw-away PostgreSQL server for tests: initdb into a temporary folder and a
// postmaster listening only on a Unix socket in that folder (no TCP). When the tests run
// as root (initdb refuses root), the cluster is created and run as the user "nobody".
// Skipped, with the reason, when the PostgreSQL server programs are not installed or the
// server was built without PostgreSQL support.
#pragma once

#include <fcntl.h>
#include <glob.h>
#ifdef GAVO_WITH_POSTGRESQL
#include <libpq-fe.h>
#endif
#include <pwd.h>
#include <signal.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cstdlib>
#include <string>
#include <thread>
#include <vector>

namespace gavo::test {

class ThrowawayPostgres {
public:
    ~ThrowawayPostgres() {
        stop();
        if (dir_.size() > 8) std::system(("rm -rf '" + dir_ + "'").c_str());
    }

    // The folder of initdb and postgres (the newest version installed); empty if none.
    static std::string bin_dir() {
        glob_t g;
        std::string found;
        if (::glob("/usr/lib/postgresql/*/bin/initdb", 0, nullptr, &g) == 0) {
            found = g.gl_pathv[g.gl_pathc - 1];  // sorted: the last is the newest
            found.resize(found.size() - std::string("/initdb").size());
        }
        ::globfree(&g);
        return found;
    }

    // The first call creates a cluster in a new folder of its own under /tmp (which the
    // unprivileged user can reach) and starts it; a call after stop() starts the same
    // cluster again. False with `error` set when that fails.
    bool start(bool fsync, std::string* error) {
#ifndef GAVO_WITH_POSTGRESQL
        (void)fsync;
        return fail("built without PostgreSQL support", error);
#else
        const std::string bin = bin_dir();
        if (bin.empty()) return fail("no PostgreSQL server programs", error);
        if (dir_.empty() && !create(bin, error)) return false;
        pid_ = spawn({bin + "/postgres", "-D", dir_ + "data", "-k", dir_, "-c",
                      "listen_addresses=", "-c", std::string("fsync=") + (fsync ? "on" : "off")});
        for (int i = 0; i < 3000; ++i) {
            if (PQping(conninfo().c_str()) == PQPING_OK) return true;
            if (waitpid(pid_, nullptr, WNOHANG) == pid_) break;
            std::this_thread::sleep_for(std::chrono::milliseconds(10));
        }
        pid_ = -1;
        return fail("postgres did not start; see " + dir_ + "pg.log", error);
#endif
    }

    // A libpq URI for the cluster's database "postgres" as the superuser "gavo".
    std::string url() const { return "postgresql:///postgres?host=" + dir_ + "&user=gavo"; }
    std::string conninfo() const { return "host=" + dir_ + " dbname=postgres user=gavo"; }

    // Fast shutdown (open sessions are ended); waits for the postmaster.
    void stop() {
        if (pid_ <= 0) return;
        kill(pid_, SIGINT);
        waitpid(pid_, nullptr, 0);
        pid_ = -1;
    }

private:
    static bool fail(const std::string& why, std::string* error) {
        *error = why;
        return false;
    }
    bool create(const std::string& bin, std::string* error) {
        std::string templ = "/tmp/gavo-pg-XXXXXX";
        if (mkdtemp(templ.data()) == nullptr) return fail("mkdtemp failed", error);
        dir_ = templ + "/";
        if (geteuid() == 0 && !drop_to_nobody(error)) return false;
        if (run({bin + "/initdb", "-D", dir_ + "data", "-A", "trust", "-U", "gavo", "-N", "-E",
                 "UTF8", "--locale=C"}) != 0) {
            return fail("initdb failed; see " + dir_ + "pg.log", error);
        }
        return true;
    }
    bool drop_to_nobody(std::string* error) {
        const struct passwd* pw = getpwnam("nobody");
        if (pw == nullptr) return fail("running as root and no user 'nobody'", error);
        uid_ = pw->pw_uid;
        gid_ = pw->pw_gid;
        if (chown(dir_.c_str(), uid_, gid_) != 0) return fail("chown of " + dir_, error);
        return true;
    }
    // Starts `argv` with output to pg.log, as the unprivileged user when root. Everything
    // the child needs is prepared before the fork.
    pid_t spawn(const std::vector<std::string>& argv) {
        std::vector<char*> args;
        for (const std::string& a : argv) args.push_back(const_cast<char*>(a.c_str()));
        args.push_back(nullptr);
        char lc_all[] = "LC_ALL=C";
        char* env[] = {lc_all, nullptr};
        const std::string log_path = dir_ + "pg.log";
        const pid_t pid = fork();
        if (pid != 0) return pid;
        const int log = ::open(log_path.c_str(), O_WRONLY | O_CREAT | O_APPEND, 0666);
        dup2(log, STDOUT_FILENO);
        dup2(log, STDERR_FILENO);
        if (uid_ != 0 && (setgid(gid_) != 0 || setuid(uid_) != 0)) _exit(126);
        execve(args[0], args.data(), env);
        _exit(127);
    }
    int run(const std::vector<std::string>& argv) {
        const pid_t pid = spawn(argv);
        int status = 0;
        if (pid < 0 || waitpid(pid, &status, 0) != pid) return -1;
        return WIFEXITED(status) ? WEXITSTATUS(status) : -1;
    }

    std::string dir_;
    pid_t pid_ = -1;
    uid_t uid_ = 0;
    gid_t gid_ = 0;
};

}  // namespace gavo::test

// The child-process runner: pumping, exit status, deadlines, environment, and the Child pipe API.
#include "zorv_git/process.hpp"

#include <gtest/gtest.h>

#include <atomic>
#include <cerrno>
#include <csignal>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <thread>

#include <dirent.h>
#include <fcntl.h>
#include <unistd.h>

namespace zp = zorv_git::process;
using namespace std::chrono_literals;

namespace {

std::string pattern(std::size_t n) {
    std::string s(n, '\0');
    for (std::size_t i = 0; i < n; ++i) s[i] = static_cast<char>('a' + (i * 7 + i / 4096) % 26);
    return s;
}

std::filesystem::path temp_dir(const std::string& name) {
    auto dir = std::filesystem::temp_directory_path() / ("zorv-process-" + name + "-" + std::to_string(::getpid()));
    std::filesystem::remove_all(dir);
    std::filesystem::create_directories(dir);
    return dir;
}

}  // namespace

TEST(Run, PumpsLargeInputAndOutputBothWaysWithoutDeadlock) {
    // 4 MiB through cat while it also writes 4 MiB back: far beyond any pipe buffer.
    const std::string input = pattern(4 << 20);
    auto r = zp::run({"cat"}, {.stdin_data = input});
    ASSERT_TRUE(r.ok()) << r.err;
    EXPECT_EQ(r.out.size(), input.size());
    EXPECT_TRUE(r.out == input);

    // Large output on stdout and stderr at the same time, with no input.
    auto r2 = zp::run({"sh", "-c", "head -c 3000000 /dev/zero; head -c 2000000 /dev/zero >&2; echo done"});
    ASSERT_TRUE(r2.ok());
    EXPECT_EQ(r2.out.size(), 3000000u + 5u);
    EXPECT_EQ(r2.err.size(), 2000000u);
}

TEST(Run, StreamsStdoutToCallback) {
    std::string seen;
    int chunks = 0;
    auto r = zp::run({"head", "-c", "500000", "/dev/zero"}, {.on_stdout = [&](std::string_view c) {
                                                                 seen.append(c);
                                                                 ++chunks;
                                                             }});
    ASSERT_TRUE(r.ok());
    EXPECT_TRUE(r.out.empty());
    EXPECT_EQ(seen.size(), 500000u);
    EXPECT_GE(chunks, 1);
}

TEST(Run, ReportsExitCodesAndSignals) {
    auto r = zp::run({"sh", "-c", "echo oops >&2; exit 7"});
    EXPECT_EQ(r.exit_code, 7);
    EXPECT_FALSE(r.ok());
    EXPECT_EQ(r.err, "oops\n");
    EXPECT_EQ(r.term_signal, 0);

    auto k = zp::run({"sh", "-c", "kill -USR1 $$"});
    EXPECT_EQ(k.exit_code, -1);
    EXPECT_EQ(k.term_signal, SIGUSR1);
    EXPECT_FALSE(k.timed_out);
}

TEST(Run, ChildThatIgnoresItsInputDoesNotKillTheParent) {
    // `true` exits at once; writing 8 MiB to it hits a closed pipe (EPIPE, SIGPIPE).
    const std::string input = pattern(8 << 20);
    for (int i = 0; i < 5; ++i) {
        auto r = zp::run({"true"}, {.stdin_data = input});
        EXPECT_TRUE(r.ok());
    }
    // The SIGPIPE was consumed: nothing is left pending for this thread.
    sigset_t pending;
    sigemptyset(&pending);
    sigpending(&pending);
    EXPECT_EQ(sigismember(&pending, SIGPIPE), 0);
}

TEST(Run, DeadlineTerminatesThenKills) {
    auto start = std::chrono::steady_clock::now();
    auto r = zp::run({"sleep", "30"}, {.timeout = 200ms});
    auto took = std::chrono::steady_clock::now() - start;
    EXPECT_TRUE(r.timed_out);
    EXPECT_EQ(r.term_signal, SIGTERM);
    EXPECT_LT(took, 5s);

    // A child that ignores SIGTERM gets SIGKILL after the grace period.
    start = std::chrono::steady_clock::now();
    auto stubborn = zp::run({"sh", "-c", "trap '' TERM; echo ready; while :; do sleep 0.05; done"}, {.timeout = 200ms});
    took = std::chrono::steady_clock::now() - start;
    EXPECT_TRUE(stubborn.timed_out);
    EXPECT_EQ(stubborn.term_signal, SIGKILL);
    EXPECT_EQ(stubborn.out, "ready\n");
    EXPECT_LT(took, 10s);

    // A child that closes its output but keeps running is held to the deadline too.
    auto closed = zp::run({"sh", "-c", "exec >&- 2>&-; sleep 30"}, {.timeout = 200ms});
    EXPECT_TRUE(closed.timed_out);

    // A quick child under a deadline is not reported as timed out.
    auto quick = zp::run({"echo", "hi"}, {.timeout = 5s});
    EXPECT_FALSE(quick.timed_out);
    EXPECT_EQ(quick.out, "hi\n");
}

TEST(Run, EnvironmentAndWorkingDirectory) {
    ::setenv("ZORV_PROCESS_KEEP", "kept", 1);
    ::setenv("ZORV_PROCESS_DROP", "dropped", 1);
    ::setenv("ZORV_PROCESS_REPLACE", "old", 1);
    auto r = zp::run({"sh", "-c", "echo \"$ZORV_PROCESS_KEEP|${ZORV_PROCESS_DROP-unset}|$ZORV_PROCESS_REPLACE|$ZORV_NEW\""},
                     {.env = {{"ZORV_PROCESS_REPLACE", "new"}, {"ZORV_NEW", "a b=c"}},
                      .unset_env = {"ZORV_PROCESS_DROP"}});
    EXPECT_EQ(r.out, "kept|unset|new|a b=c\n");

    // Replacing PATH also changes where the program is found.
    auto dir = temp_dir("path");
    {
        std::ofstream f(dir / "zorv-hello");
        f << "#!/bin/sh\necho from-path\n";
    }
    std::filesystem::permissions(dir / "zorv-hello", std::filesystem::perms::owner_all);
    auto p = zp::run({"zorv-hello"}, {.env = {{"PATH", dir.string() + ":/usr/bin:/bin"}}});
    EXPECT_EQ(p.out, "from-path\n");

    auto c = zp::run({"pwd", "-P"}, {.cwd = dir});
    EXPECT_EQ(c.out, std::filesystem::canonical(dir).string() + "\n");
    std::filesystem::remove_all(dir);
}

TEST(Run, ProgramThatCannotStartThrowsSpawnError) {
    EXPECT_THROW(zp::run({"zorv-no-such-program-here"}), zp::SpawnError);
    EXPECT_THROW(zp::run({"/nonexistent/bin/tool"}), zp::SpawnError);
    EXPECT_THROW(zp::run({}), zp::SpawnError);
    EXPECT_THROW(zp::run({"true"}, {.cwd = "/nonexistent/dir"}), zp::SpawnError);
    try {
        zp::run({"zorv-no-such-program-here"});
    } catch (const zp::SpawnError& e) {
        EXPECT_NE(std::string(e.what()).find("zorv-no-such-program-here"), std::string::npos);
        EXPECT_EQ(e.error(), ENOENT);
    }
    // As execvp: a file of that name in PATH that cannot be run is EACCES, not "not found".
    const auto dir = temp_dir("unrunnable");
    std::ofstream(dir / "zorv-plain") << "#!/bin/sh\n";
    try {
        zp::run({"zorv-plain"}, {.env = {{"PATH", dir.string()}}});
        ADD_FAILURE() << "a file without execute permission was run";
    } catch (const zp::SpawnError& e) {
        EXPECT_EQ(e.error(), EACCES);
    }
    std::filesystem::remove_all(dir);
}

TEST(Run, ChildSeesOnlyStandardDescriptors) {
    // A descriptor opened here without O_CLOEXEC must not reach the child.
    int leaked = ::open("/dev/null", O_RDONLY);
    ASSERT_GE(leaked, 3);
    auto r = zp::run({"ls", "/proc/self/fd"});
    ::close(leaked);
    ASSERT_TRUE(r.ok());
    // ls itself opens one descriptor for the directory it lists.
    std::vector<std::string> fds;
    std::string cur;
    for (char ch : r.out) {
        if (ch == '\n') {
            fds.push_back(cur);
            cur.clear();
        } else {
            cur += ch;
        }
    }
    EXPECT_LE(fds.size(), 4u) << r.out;
    for (const auto& fd : fds) EXPECT_LE(std::stoi(fd), 3) << r.out;
}

TEST(Run, ManyThreadsRunChildrenAtOnce) {
    std::atomic<int> good{0};
    std::vector<std::thread> threads;
    for (int t = 0; t < 12; ++t) {
        threads.emplace_back([t, &good] {
            for (int i = 0; i < 10; ++i) {
                const std::string input = pattern(100000 + static_cast<std::size_t>(t * 1000 + i));
                auto r = zp::run({"cat"}, {.stdin_data = input});
                if (r.ok() && r.out == input) ++good;
            }
        });
    }
    for (auto& th : threads) th.join();
    EXPECT_EQ(good.load(), 120);
}

class ChildCatFile : public ::testing::Test {
protected:
    void SetUp() override {
        dir_ = temp_dir("catfile");
        ASSERT_TRUE(zp::run({"git", "init", "-q", "--bare", dir_.string()}).ok());
    }
    void TearDown() override { std::filesystem::remove_all(dir_); }
    std::string store(const std::string& content) {
        auto r = zp::run({"git", "hash-object", "-w", "--stdin"}, {.cwd = dir_, .stdin_data = content});
        EXPECT_TRUE(r.ok()) << r.err;
        return r.out.substr(0, r.out.find('\n'));
    }
    std::filesystem::path dir_;
};

TEST_F(ChildCatFile, RequestResponseOverPipes) {
    const std::string small = "hello\nworld\n";
    const std::string big = pattern(1 << 20);
    const std::string small_id = store(small), big_id = store(big);

    zp::Child child({"git", "cat-file", "--batch"}, {.cwd = dir_});
    std::string header, body;
    for (int round = 0; round < 3; ++round) {
        child.write(small_id + "\n");
        ASSERT_TRUE(child.read_line(header));
        EXPECT_EQ(header, small_id + " blob " + std::to_string(small.size()));
        body.clear();
        ASSERT_TRUE(child.read_exact(small.size() + 1, body));
        EXPECT_EQ(body, small + "\n");

        child.write(big_id + "\n");
        ASSERT_TRUE(child.read_line(header));
        EXPECT_EQ(header, big_id + " blob " + std::to_string(big.size()));
        body.clear();
        ASSERT_TRUE(child.read_exact(big.size() + 1, body));
        EXPECT_TRUE(body.substr(0, big.size()) == big);
    }
    child.write("0000000000000000000000000000000000000000\n");
    ASSERT_TRUE(child.read_line(header));
    EXPECT_EQ(header, "0000000000000000000000000000000000000000 missing");

    child.close_stdin();
    EXPECT_FALSE(child.read_line(header));
    auto r = child.wait();
    EXPECT_EQ(r.exit_code, 0);
}

TEST(Child, StderrIsCollectedAndExitCodeReported) {
    zp::Child child({"sh", "-c", "read x; echo \"got $x\"; echo problem >&2; exit 3"});
    child.write("ping\n");
    std::string line;
    ASSERT_TRUE(child.read_line(line));
    EXPECT_EQ(line, "got ping");
    auto r = child.wait();
    EXPECT_EQ(r.exit_code, 3);
    EXPECT_EQ(r.err, "problem\n");
    EXPECT_TRUE(r.out.empty());
}

TEST(Child, ReadExactReportsEarlyEndAndLastLineWithoutNewline) {
    zp::Child child({"printf", "a\nbc"});
    std::string line, rest;
    ASSERT_TRUE(child.read_line(line));
    EXPECT_EQ(line, "a");
    EXPECT_FALSE(child.read_exact(10, rest));
    EXPECT_EQ(rest, "bc");
    EXPECT_FALSE(child.read_line(line));
}

TEST(Child, DestructorEndsAndReapsARunningChild) {
    pid_t pid = 0;
    auto start = std::chrono::steady_clock::now();
    {
        zp::Child child({"sh", "-c", "trap '' TERM; echo $$; while :; do sleep 0.05; done"});
        std::string line;
        ASSERT_TRUE(child.read_line(line));
        pid = std::stoi(line);
        EXPECT_EQ(::kill(pid, 0), 0);
    }
    EXPECT_LT(std::chrono::steady_clock::now() - start, 10s);
    // Reaped: the process id no longer names a process of ours (not even a zombie).
    EXPECT_FALSE(std::filesystem::exists("/proc/" + std::to_string(pid) + "/status") &&
                 [&] {
                     std::ifstream f("/proc/" + std::to_string(pid) + "/status");
                     std::string all((std::istreambuf_iterator<char>(f)), {});
                     return all.find("PPid:\t" + std::to_string(::getpid())) != std::string::npos;
                 }());
}

TEST(Child, InheritsStdioAndTakesASignalWhileAnotherThreadWaits) {
    // The child writes to our own stdout and stderr, here pointed at a file for the test.
    const auto dir = temp_dir("inherit");
    const auto file = dir / "out";
    zp::Result r;
    {
        struct Redirected {  // our stdout and stderr go to `file` while it lives
            int out = ::dup(1), err = ::dup(2);
            explicit Redirected(const std::filesystem::path& to) {
                const int fd = ::open(to.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0600);
                ::dup2(fd, 1);
                ::dup2(fd, 2);
                ::close(fd);
            }
            ~Redirected() {
                ::dup2(out, 1);
                ::dup2(err, 2);
                ::close(out);
                ::close(err);
            }
        } redirected(file);
        r = zp::run({"sh", "-c", "echo out; echo err >&2"}, {.inherit_stdio = true});
    }
    EXPECT_TRUE(r.ok());
    EXPECT_TRUE(r.out.empty() && r.err.empty());
    std::ifstream in(file);
    EXPECT_EQ(std::string((std::istreambuf_iterator<char>(in)), {}), "out\nerr\n");
    std::filesystem::remove_all(dir);

    zp::Child child({"sleep", "600"}, {.inherit_stdio = true});
    zp::Result ended;
    std::thread waiter([&] { ended = child.wait(); });
    child.signal(SIGTERM);
    waiter.join();
    EXPECT_EQ(ended.term_signal, SIGTERM);
}

TEST(Child, WriteToAChildThatEndedThrowsInsteadOfKillingTheParent) {
    zp::Child child({"true"});
    child.wait();
    zp::Child gone({"sh", "-c", "exit 0"});
    std::string line;
    EXPECT_FALSE(gone.read_line(line));  // its end of output: it has exited
    EXPECT_THROW(
        {
            for (int i = 0; i < 100; ++i) gone.write(pattern(1 << 16));
        },
        std::system_error);
}

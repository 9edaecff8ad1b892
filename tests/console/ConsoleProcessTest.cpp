// The vantorelle-update program as a process: plain lines into a pipe, and
// Ctrl+C, which stops it at once unless the machine is being written.
#include "platform/Platform.h"
#include "sim/update-server/UpdateServer.h"
#include "tests/testsupport/TestSupport.h"
#include "ui/console/InterruptGuard.h"

#include <gtest/gtest.h>

#include <chrono>
#include <csignal>
#include <fcntl.h>
#include <filesystem>
#include <mutex>
#include <poll.h>
#include <string>
#include <sys/wait.h>
#include <thread>
#include <unistd.h>
#include <vector>

namespace vu {
namespace {

// The program with its standard output and error in pipes.
class Child {
public:
    explicit Child(const std::vector<std::string>& args, const std::string& program = VU_CONSOLE_PROGRAM)
    {
        // Everything the child needs is made before the fork: the server's
        // threads may hold the allocator's lock at that moment.
        std::vector<char*> argv{const_cast<char*>(program.c_str())};
        for (const std::string& a : args)
            argv.push_back(const_cast<char*>(a.c_str()));
        argv.push_back(nullptr);
        int out[2], err[2];
        if (pipe(out) != 0 || pipe(err) != 0)
            return;
        m_pid = fork();
        if (m_pid == 0) {
            dup2(out[1], 1);
            dup2(err[1], 2);
            close(out[0]);
            close(err[0]);
            execv(argv[0], argv.data());
            _exit(127);
        }
        close(out[1]);
        close(err[1]);
        m_reader = std::thread([this, o = out[0], e = err[0]] { Gather(o, e); });
    }
    ~Child()
    {
        if (m_pid > 0 && !m_bReaped) {
            kill(m_pid, SIGKILL);
            Wait(5000);
        }
        if (m_reader.joinable())
            m_reader.join();
    }

    bool Started() const { return m_pid > 0; }
    void Interrupt() { kill(m_pid, SIGINT); }
    std::string Out() { std::lock_guard<std::mutex> l(m_lock); return m_out; }
    std::string Err() { std::lock_guard<std::mutex> l(m_lock); return m_err; }

    // Exit status, or -1 while it still runs after timeoutMs.
    int Wait(int timeoutMs)
    {
        auto until = std::chrono::steady_clock::now() + std::chrono::milliseconds(timeoutMs);
        while (!m_bReaped) {
            int status = 0;
            if (waitpid(m_pid, &status, WNOHANG) == m_pid) {
                m_bReaped = true;
                m_status = WIFEXITED(status) ? WEXITSTATUS(status) : 128 + WTERMSIG(status);
                // The program has gone, but its last output may still sit in the
                // pipes: read them to their end before anyone looks at it.
                if (m_reader.joinable())
                    m_reader.join();
                break;
            }
            if (std::chrono::steady_clock::now() > until)
                return -1;
            std::this_thread::sleep_for(std::chrono::milliseconds(10));
        }
        return m_status;
    }

    bool WaitForOut(const std::string& text, int timeoutMs)
    {
        auto until = std::chrono::steady_clock::now() + std::chrono::milliseconds(timeoutMs);
        while (Out().find(text) == std::string::npos) {
            if (std::chrono::steady_clock::now() > until)
                return false;
            std::this_thread::sleep_for(std::chrono::milliseconds(10));
        }
        return true;
    }

private:
    void Gather(int out, int err)
    {
        pollfd fds[2] = {{out, POLLIN, 0}, {err, POLLIN, 0}};
        int open = 2;
        while (open > 0 && poll(fds, 2, -1) > 0) {
            for (int i = 0; i < 2; ++i) {
                if (fds[i].fd < 0 || !(fds[i].revents & (POLLIN | POLLHUP)))
                    continue;
                char buf[4096];
                ssize_t n = read(fds[i].fd, buf, sizeof buf);
                if (n <= 0) {
                    close(fds[i].fd);
                    fds[i].fd = -1;
                    --open;
                    continue;
                }
                std::lock_guard<std::mutex> l(m_lock);
                (i == 0 ? m_out : m_err).append(buf, size_t(n));
            }
        }
    }

    pid_t m_pid = -1;
    bool m_bReaped = false;
    int m_status = -1;
    std::thread m_reader;
    std::mutex m_lock;
    std::string m_out, m_err;
};

class ConsoleProcessTest : public ::testing::Test {
protected:
    void SetUp() override
    {
        m_server = std::make_unique<sim::UpdateServer>();
        std::string error;
        ASSERT_TRUE(m_server->Start(&error)) << error;
        m_server->ExportEnvironment();
        // A simulator address where nothing listens: the program finds no machine.
        SetEnv("VANTORELLE_SIMULATOR", "127.0.0.1:1");
    }
    void TearDown() override
    {
        SetEnv("VANTORELLE_SIMULATOR", "");
        m_server->Stop();
    }
    std::unique_ptr<sim::UpdateServer> m_server;
};

TEST_F(ConsoleProcessTest, WritesPlainLinesIntoAPipe)
{
    Child child({"version-info"});
    ASSERT_TRUE(child.Started());
    EXPECT_EQ(child.Wait(60000), 0) << child.Err();
    std::string out = child.Out();
    EXPECT_EQ(out.rfind("Getting version info...\nCommunication with server...\nUpdate notes:\n", 0), 0u) << out;
    EXPECT_EQ(out.find('\r'), std::string::npos);
}

// Copied into a folder whose name is not plain ASCII, the program runs as
// anywhere else and writes its log beside itself: the folder's bytes are
// used as they are, UTF-8 or not.
TEST_F(ConsoleProcessTest, RunsAndLogsFromAFolderWhoseNameIsNotAscii)
{
    for (std::string folder : {"T\xC3\xA9l\xC3\xA9" "chargements", "T\xE9l\xE9" "chargements"}) {
        SCOPED_TRACE(::testing::PrintToString(folder));
        test::TempDir dir;
        std::filesystem::path home = dir / folder;
        std::filesystem::create_directory(home);
        std::filesystem::copy_file(VU_CONSOLE_PROGRAM, home / "vantorelle-update");
        Child child({"version-info"}, (home / "vantorelle-update").string());
        ASSERT_TRUE(child.Started());
        EXPECT_EQ(child.Wait(60000), 0) << child.Err();
        EXPECT_NE(child.Out().find("Update notes:\n"), std::string::npos) << child.Out();
        std::string log = test::ReadFileText(home / "log.bin");
        EXPECT_NE(log.find("]TAVRIN Automatic Key Cutting Machine V1.4.1 start\r\n"), std::string::npos) << log;
    }
}

TEST_F(ConsoleProcessTest, CtrlCWhileWritingAsksForASecondPress)
{
    Child child({"update"});
    ASSERT_TRUE(child.Started());
    ASSERT_TRUE(child.WaitForOut("Prepare to update...", 60000)) << child.Out();
    child.Interrupt();
    std::this_thread::sleep_for(std::chrono::milliseconds(500));
    EXPECT_EQ(child.Wait(0), -1) << "one Ctrl+C must not stop a write";
    EXPECT_NE(child.Err().find("may leave it unusable"), std::string::npos) << child.Err();
    EXPECT_NE(child.Err().find("again within 5 seconds"), std::string::npos);

    child.Interrupt();
    EXPECT_EQ(child.Wait(5000), CInterruptGuard::EXIT_INTERRUPTED);
}

TEST_F(ConsoleProcessTest, CtrlCBeforeAnyWriteStopsAtOnce)
{
    // The version query hangs on a stalling server; nothing is being written.
    sim::Fault stall;
    stall.kind = sim::FaultKind::Stall;
    stall.ms = 30000;
    stall.count = 0;
    m_server->AddFault(stall);
    Child child({"update"});
    ASSERT_TRUE(child.Started());
    ASSERT_TRUE(child.WaitForOut("Communication with server...", 60000)) << child.Out();
    child.Interrupt();
    EXPECT_EQ(child.Wait(5000), CInterruptGuard::EXIT_INTERRUPTED);
    EXPECT_EQ(child.Err().find("unusable"), std::string::npos);
}

} // namespace
} // namespace vu

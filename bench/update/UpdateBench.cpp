// A full update of a simulated machine over the timed link at 2,000,000
// baud: 8 MiB of image and 256 KiB of firmware from the reference server.
// Prints one table: wall time, image bytes per second and that rate's share
// of the wire's limit (200,000 bytes per second at 10 bits a byte), the
// tool's CPU seconds and its peak memory.
//
//   update_bench [--image BYTES] [--firmware BYTES]
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <functional>
#include <fstream>
#include <sstream>
#include <string>
#include <thread>
#include <vector>

#include <fcntl.h>
#include <signal.h>
#include <spawn.h>
#include <sys/resource.h>
#include <sys/wait.h>
#include <unistd.h>

extern char** environ;

namespace fs = std::filesystem;

namespace {

constexpr double WIRE_LIMIT = 2000000.0 / 10.0;

// Starts a program with its output in a file; -1 when it cannot start.
pid_t Start(const std::vector<std::string>& argv, const fs::path& output)
{
    posix_spawn_file_actions_t actions;
    posix_spawn_file_actions_init(&actions);
    posix_spawn_file_actions_addopen(&actions, 1, output.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0644);
    posix_spawn_file_actions_adddup2(&actions, 1, 2);
    std::vector<char*> args;
    for (const std::string& a : argv)
        args.push_back(const_cast<char*>(a.c_str()));
    args.push_back(nullptr);
    pid_t pid = -1;
    if (posix_spawn(&pid, args[0], &actions, nullptr, args.data(), environ) != 0)
        pid = -1;
    posix_spawn_file_actions_destroy(&actions);
    return pid;
}

void Stop(pid_t pid)
{
    if (pid <= 0)
        return;
    kill(pid, SIGTERM);
    int status = 0;
    waitpid(pid, &status, 0);
}

std::string ReadText(const fs::path& p)
{
    std::ifstream in(p, std::ios::binary);
    std::stringstream s;
    s << in.rdbuf();
    return s.str();
}

bool WaitFor(const std::function<bool()>& ready, int seconds)
{
    for (int i = 0; i < seconds * 50; ++i) {
        if (ready())
            return true;
        std::this_thread::sleep_for(std::chrono::milliseconds(20));
    }
    return false;
}

bool SamePrefix(const fs::path& a, const fs::path& b, size_t n)
{
    std::string x = ReadText(a), y = ReadText(b);
    return x.size() >= n && y.size() >= n && std::memcmp(x.data(), y.data(), n) == 0;
}

int Fail(const std::string& why)
{
    std::fprintf(stderr, "update_bench: %s\n", why.c_str());
    return 1;
}

} // namespace

int main(int argc, char** argv)
{
    size_t imageBytes = 8u << 20, firmwareBytes = 256u << 10;
    for (int i = 1; i + 1 < argc; i += 2) {
        if (std::strcmp(argv[i], "--image") == 0)
            imageBytes = std::strtoul(argv[i + 1], nullptr, 10);
        else if (std::strcmp(argv[i], "--firmware") == 0)
            firmwareBytes = std::strtoul(argv[i + 1], nullptr, 10);
    }
    signal(SIGPIPE, SIG_IGN);
    fs::path work = fs::temp_directory_path() / ("vu-bench-" + std::to_string(getpid()));
    fs::create_directories(work);
    struct Cleanup {
        fs::path dir;
        ~Cleanup() { std::error_code ec; fs::remove_all(dir, ec); }
    } cleanup{work};

    const std::string server = VU_BENCH_SERVER, sim = VU_BENCH_SIM, tool = VU_BENCH_TOOL;
    fs::path content = work / "content", state = work / "machine";
    pid_t maker = Start({server, "--make-demo-content", content.string(), "--firmware-size",
                         std::to_string(firmwareBytes), "--image-size", std::to_string(imageBytes)},
                        work / "content.log");
    int status = 0;
    if (maker < 0 || waitpid(maker, &status, 0) != maker || status != 0)
        return Fail("could not generate the content: " + ReadText(work / "content.log"));

    std::string address = "127.51." + std::to_string(getpid() % 250 + 1) + ".7";
    pid_t serverPid = Start({server, "--address", address, "--page-port", "0", "--content", content.string()},
                            work / "server.log");
    if (serverPid < 0 || !WaitFor([&] { return ReadText(work / "server.log").find("update server on") != std::string::npos; }, 15))
        return Stop(serverPid), Fail("the update server did not start: " + ReadText(work / "server.log"));
    std::string serverLine = ReadText(work / "server.log");
    size_t page = serverLine.find("http://");
    std::string pageUrl = page == std::string::npos ? "" : serverLine.substr(page, serverLine.find_first_of(" \n", page) - page);

    pid_t simPid = Start({sim, "--listen", "127.0.0.1:0", "--state", state.string(), "--ready-file",
                          (work / "sim.ready").string()},
                         work / "sim.log");
    if (simPid < 0 || !WaitFor([&] { return fs::exists(work / "sim.ready"); }, 15)) {
        Stop(serverPid);
        Stop(simPid);
        return Fail("the machine simulator did not start: " + ReadText(work / "sim.log"));
    }
    std::string simAddress = ReadText(work / "sim.ready");
    simAddress.erase(simAddress.find_last_not_of("\r\n") + 1);

    setenv("VANTORELLE_SIMULATOR", simAddress.c_str(), 1);
    setenv("VANTORELLE_FIXED_SERVER", address.c_str(), 1);
    setenv("VANTORELLE_SERVER_NAME", address.c_str(), 1);
    setenv("VANTORELLE_ADDRESS_PAGE", pageUrl.c_str(), 1);

    std::fprintf(stderr, "update_bench: updating %zu bytes of image and %zu of firmware; this takes a few minutes\n",
                 imageBytes, firmwareBytes);
    auto start = std::chrono::steady_clock::now();
    pid_t toolPid = Start({tool, "update"}, work / "tool.log");
    rusage usage{};
    int toolStatus = -1;
    if (toolPid > 0)
        wait4(toolPid, &toolStatus, 0, &usage);
    double wall = std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count();
    Stop(simPid);
    Stop(serverPid);

    std::string toolLog = ReadText(work / "tool.log");
    bool success = toolPid > 0 && WIFEXITED(toolStatus) && WEXITSTATUS(toolStatus) == 0 &&
                   toolLog.find("Update success.") != std::string::npos;
    bool stored = ReadText(state / "firmware.bin") == ReadText(content / "firmware.bin") &&
                  SamePrefix(state / "image.bin", content / "image.bin", imageBytes);
    if (!success || !stored) {
        std::fprintf(stderr, "%s\n", toolLog.substr(toolLog.size() > 2000 ? toolLog.size() - 2000 : 0).c_str());
        return Fail(success ? "the machine's storage does not match the served content" : "the update failed");
    }

    // The data phase alone, from the simulator's first to its last sector write.
    std::string report = ReadText(state / "report.txt");
    double dataSpan = 0;
    size_t at = report.find("sector writes from first to last ");
    if (at != std::string::npos)
        dataSpan = std::atof(report.c_str() + at + std::strlen("sector writes from first to last "));

    double cpu = double(usage.ru_utime.tv_sec + usage.ru_stime.tv_sec) +
                 double(usage.ru_utime.tv_usec + usage.ru_stime.tv_usec) / 1e6;
    double wholeRate = double(imageBytes) / wall;
    std::printf("Full update over the timed link at 2,000,000 baud: image %zu bytes, firmware %zu bytes\n",
                imageBytes, firmwareBytes);
    std::printf("| %-34s | %16s |\n", "measure", "value");
    std::printf("|%s|%s|\n", std::string(36, '-').c_str(), std::string(18, '-').c_str());
    std::printf("| %-34s | %14.1f s |\n", "wall time, whole update", wall);
    std::printf("| %-34s | %12.0f B/s |\n", "image bytes per second, whole run", wholeRate);
    std::printf("| %-34s | %14.1f %% |\n", "  share of the wire's 200,000 B/s", 100.0 * wholeRate / WIRE_LIMIT);
    if (dataSpan > 0) {
        double dataRate = double(imageBytes) / dataSpan;
        std::printf("| %-34s | %12.0f B/s |\n", "image bytes per second, data phase", dataRate);
        std::printf("| %-34s | %14.1f %% |\n", "  share of the wire's 200,000 B/s", 100.0 * dataRate / WIRE_LIMIT);
    }
    std::printf("| %-34s | %14.2f s |\n", "tool CPU time (user + system)", cpu);
    std::printf("| %-34s | %13.1f MiB |\n", "tool peak memory (max RSS)", double(usage.ru_maxrss) / 1024.0);
    return 0;
}

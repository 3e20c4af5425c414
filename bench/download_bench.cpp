// Download throughput from one loopback server, 1 GiB in 4 parts by default:
// nginx serving files from memory (/dev/shm) where it is installed, so the
// server's own cost stays small beside the tools', else the test server.
// the engine (quenlow-fetch, its saved positions durable at every save)
// beside aria2c -x4 -s4 and curl, each of those followed by an fdatasync of
// its file (sync -d) so every tool ends with its bytes on disk. The tools run
// in turn in every round, as child processes, first with the disk as it is,
// then with every fsync/fdatasync of a regular file slowed by 8 ms (the
// quenlow_slow_flush preload library, for every tool alike). Each output is
// checked byte for byte. CPU seconds (user + system, the tool and its
// children) and peak resident memory come from wait4.
//
//   bench_download_bench [size-MiB (default 1024)] [folder (default /tmp)] [rounds (default 5)]

#include <netinet/in.h>
#include <signal.h>
#include <spawn.h>
#include <sys/resource.h>
#include <sys/socket.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <map>
#include <string>
#include <vector>

#include "support/TestHttpServer.h"

extern char** environ;

using namespace quenlow::test;
using Clock = std::chrono::steady_clock;

namespace {

constexpr int kParts = 4;
constexpr uint32_t kPartSeed = 10;
constexpr uint32_t kWholeSeed = 20;

// The server, in a process of its own: nginx or the test server child,
// stopped by stopServer.
struct ServerProcess {
    pid_t pid = -1;
    uint16_t port = 0;
    int release = -1;        // the test server runs until this closes
    std::string servedFrom;  // nginx's folder, removed at the end
};

// The test server: serves every part and the whole file until the parent
// closes its end of `release`.
ServerProcess startTestServer(uint64_t partSize) {
    int portPipe[2], releasePipe[2];
    if (pipe(portPipe) != 0 || pipe(releasePipe) != 0) return {};
    pid_t pid = fork();
    if (pid == 0) {
        close(portPipe[0]);
        close(releasePipe[1]);
        {
            TestHttpServer server;
            for (int i = 0; i < kParts; ++i)
                server.addGeneratedFile("/part" + std::to_string(i), partSize,
                                        kPartSeed + static_cast<uint32_t>(i));
            server.addGeneratedFile("/whole", partSize * kParts, kWholeSeed);
            uint16_t port = server.port();
            if (write(portPipe[1], &port, sizeof port) != sizeof port) _exit(1);
            char c;
            while (read(releasePipe[0], &c, 1) > 0) {
            }
        }
        _exit(0);
    }
    close(portPipe[1]);
    close(releasePipe[0]);
    ServerProcess s;
    s.pid = pid;
    s.release = releasePipe[1];
    if (pid < 0 || read(portPipe[0], &s.port, sizeof s.port) != sizeof s.port) s.port = 0;
    close(portPipe[0]);
    return s;
}

bool writeGenerated(const std::string& path, uint32_t seed, uint64_t size) {
    std::ofstream out(path, std::ios::binary);
    std::vector<char> buf(1 << 20);
    for (uint64_t off = 0; off < size && out; off += buf.size()) {
        size_t n = static_cast<size_t>(std::min<uint64_t>(buf.size(), size - off));
        generatedBytes(seed, off, buf.data(), n);
        out.write(buf.data(), static_cast<std::streamsize>(n));
    }
    return static_cast<bool>(out);
}

sockaddr_in loopback(uint16_t port) {
    sockaddr_in a{};
    a.sin_family = AF_INET;
    a.sin_port = htons(port);
    a.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    return a;
}

uint16_t freeLoopbackPort() {
    int fd = socket(AF_INET, SOCK_STREAM, 0);
    sockaddr_in a = loopback(0);
    socklen_t len = sizeof a;
    uint16_t port = 0;
    if (fd >= 0 && bind(fd, reinterpret_cast<sockaddr*>(&a), sizeof a) == 0 &&
        getsockname(fd, reinterpret_cast<sockaddr*>(&a), &len) == 0)
        port = ntohs(a.sin_port);
    if (fd >= 0) close(fd);
    return port;
}

bool connects(uint16_t port) {
    int fd = socket(AF_INET, SOCK_STREAM, 0);
    sockaddr_in a = loopback(port);
    bool ok = fd >= 0 && connect(fd, reinterpret_cast<sockaddr*>(&a), sizeof a) == 0;
    if (fd >= 0) close(fd);
    return ok;
}

// nginx with sendfile, serving the same files written into memory.
ServerProcess startNginx(const std::string& nginx, uint64_t partSize) {
    ServerProcess s;
    s.servedFrom = "/dev/shm/quenlow-bench-served-" + std::to_string(getpid());
    const std::string root = s.servedFrom + "/root";
    std::filesystem::create_directories(root);
    std::filesystem::permissions(s.servedFrom, std::filesystem::perms::all);
    std::filesystem::permissions(root, std::filesystem::perms::all);
    bool written = true;
    for (int i = 0; i < kParts; ++i)
        written = written && writeGenerated(root + "/part" + std::to_string(i),
                                            kPartSeed + static_cast<uint32_t>(i), partSize);
    written = written && writeGenerated(root + "/whole", kWholeSeed, partSize * kParts);
    const uint16_t port = freeLoopbackPort();
    if (!written || port == 0) return s;
    const std::string conf = s.servedFrom + "/nginx.conf";
    std::ofstream(conf) << "daemon off;\nworker_processes 2;\npid " << s.servedFrom
                        << "/nginx.pid;\nerror_log " << s.servedFrom
                        << "/error.log;\nevents { worker_connections 64; }\n"
                           "http {\n  access_log off;\n  sendfile on;\n  tcp_nopush on;\n"
                           "  default_type application/octet-stream;\n"
                           "  client_body_temp_path "
                        << s.servedFrom << "/tmp;\n  server { listen 127.0.0.1:" << port
                        << "; root " << root << "; }\n}\n";
    std::string prefix = s.servedFrom + "/", dashP = "-p", dashC = "-c", dashE = "-e",
                errors = s.servedFrom + "/error.log", self = nginx;
    char* argv[] = {self.data(),
                    dashP.data(),
                    prefix.data(),
                    dashE.data(),
                    errors.data(),
                    dashC.data(),
                    const_cast<char*>(conf.c_str()),
                    nullptr};
    if (posix_spawn(&s.pid, nginx.c_str(), nullptr, nullptr, argv, environ) != 0) s.pid = -1;
    for (int i = 0; i < 100 && s.pid > 0 && !connects(port); ++i) usleep(50000);
    if (s.pid > 0 && connects(port)) s.port = port;
    return s;
}

ServerProcess startServer(uint64_t partSize) {
    for (const char* nginx : {"/usr/sbin/nginx", "/usr/local/sbin/nginx"})
        if (access(nginx, X_OK) == 0) return startNginx(nginx, partSize);
    return startTestServer(partSize);
}

void stopServer(ServerProcess& s) {
    if (s.release >= 0) close(s.release);
    if (s.pid > 0 && !s.servedFrom.empty()) kill(s.pid, SIGQUIT);
    if (s.pid > 0) waitpid(s.pid, nullptr, 0);
    if (!s.servedFrom.empty()) std::filesystem::remove_all(s.servedFrom);
}

std::string binDir() {
    char self[4096] = {};
    ssize_t n = readlink("/proc/self/exe", self, sizeof(self) - 1);
    std::string path(self, n > 0 ? static_cast<size_t>(n) : 0);
    return path.substr(0, path.find_last_of('/') + 1);
}

struct Measure {
    double secs = -1;
    double cpuSecs = 0;
    long maxRssKB = 0;
};

// Runs `sh -c command` with the preload library when given; wall time, CPU
// and peak resident memory of the whole command.
Measure runCommand(const std::string& command, const std::string& preload) {
    std::vector<std::string> env;
    for (char** e = environ; *e; ++e)
        if (std::string(*e).rfind("LD_PRELOAD=", 0) != 0) env.emplace_back(*e);
    if (!preload.empty()) env.push_back("LD_PRELOAD=" + preload);
    std::vector<char*> envp;
    for (auto& e : env) envp.push_back(e.data());
    envp.push_back(nullptr);
    std::string sh = "/bin/sh", dashC = "-c", cmd = command;
    char* argv[] = {sh.data(), dashC.data(), cmd.data(), nullptr};
    Measure m;
    auto t0 = Clock::now();
    pid_t pid = 0;
    if (posix_spawn(&pid, "/bin/sh", nullptr, nullptr, argv, envp.data()) != 0) return m;
    int status = 0;
    rusage ru{};
    wait4(pid, &status, 0, &ru);
    auto t1 = Clock::now();
    if (!WIFEXITED(status) || WEXITSTATUS(status) != 0) return m;
    m.secs = std::chrono::duration<double>(t1 - t0).count();
    m.cpuSecs = static_cast<double>(ru.ru_utime.tv_sec + ru.ru_stime.tv_sec) +
                static_cast<double>(ru.ru_utime.tv_usec + ru.ru_stime.tv_usec) / 1e6;
    m.maxRssKB = ru.ru_maxrss;
    return m;
}

// The file holds the generated bytes of the given seeds, one stretch each.
bool fileIsRight(const std::string& path, const std::vector<uint32_t>& seeds, uint64_t stretch) {
    std::ifstream in(path, std::ios::binary);
    std::vector<char> got(1 << 20), want(1 << 20);
    for (uint32_t seed : seeds) {
        for (uint64_t off = 0; off < stretch; off += got.size()) {
            size_t n = static_cast<size_t>(std::min<uint64_t>(got.size(), stretch - off));
            if (!in.read(got.data(), static_cast<std::streamsize>(n))) return false;
            generatedBytes(seed, off, want.data(), n);
            if (!std::equal(got.begin(), got.begin() + static_cast<std::ptrdiff_t>(n),
                            want.begin()))
                return false;
        }
    }
    return in.peek() == std::char_traits<char>::eof();
}

struct Tool {
    std::string name;
    std::string command;  // writes `output`
    std::string output;
    std::vector<uint32_t> seeds;
    uint64_t stretch;
    std::string cleanup;  // also removed after every run
};

std::vector<Tool> tools(const std::string& dir, const std::string& base, uint64_t partSize) {
    const std::string info = dir + "/fileinfo.xml";
    std::string parts;
    for (int i = 0; i < kParts; ++i)
        parts += "<FilePart FilePartKey=\"" + std::to_string(i + 1) + "\" FileID=\"P" +
                 std::to_string(i) + "\" FileURL=\"" + base + "/part" + std::to_string(i) +
                 "\" DownloadKBCount=\"0\" ExtractedKBCount=\"0\"/>";
    std::ofstream(info) << "<Files><File FileTypeID=\"3\" FileKey=\"1\" FileName=\"engine.bin\" "
                           "InstallCommand=\"\">"
                        << parts << "</File></Files>";
    std::vector<uint32_t> partSeeds;
    for (int i = 0; i < kParts; ++i) partSeeds.push_back(kPartSeed + static_cast<uint32_t>(i));
    const uint64_t whole = partSize * kParts;
    return {
        {"engine",
         "QUENLOW_TRACE=0 QUENLOW_LOG=/dev/null " + binDir() + "quenlow-fetch " + info + " 9001 " +
             dir + "/state.xml " + dir + " >/dev/null",
         dir + "/engine.bin", partSeeds, partSize, dir + "/state.xml"},
        {"aria2c+sync",
         "aria2c -q -x4 -s4 --allow-overwrite=true --file-allocation=falloc -d " + dir +
             " -o aria.bin " + base + "/whole && sync -d " + dir + "/aria.bin",
         dir + "/aria.bin",
         {kWholeSeed},
         whole,
         ""},
        {"curl+sync",
         "curl -s -f -o " + dir + "/curl.bin " + base + "/whole && sync -d " + dir + "/curl.bin",
         dir + "/curl.bin",
         {kWholeSeed},
         whole,
         ""},
    };
}

double median(std::vector<double> v) {
    std::sort(v.begin(), v.end());
    return v.empty() ? 0 : v[v.size() / 2];
}

}  // namespace

int main(int argc, char** argv) {
    const uint64_t mib = argc > 1 ? std::strtoull(argv[1], nullptr, 10) : 1024;
    const std::string folder = argc > 2 ? argv[2] : "/tmp";
    const int rounds = argc > 3 ? std::max(1, std::atoi(argv[3])) : 5;
    const uint64_t partSize = (mib << 20) / kParts;
    const double gib = static_cast<double>(partSize * kParts) / static_cast<double>(1ull << 30);

    ServerProcess server = startServer(partSize);
    if (server.port == 0) {
        std::fprintf(stderr, "the server did not start\n");
        stopServer(server);
        return 1;
    }
    const std::string base = "http://127.0.0.1:" + std::to_string(server.port);
    const std::string dir = folder + "/quenlow-bench-" + std::to_string(getpid());
    std::filesystem::create_directories(dir);
    const std::string preload = binDir() + "libquenlow_slow_flush.so";
    std::printf("%llu MiB, engine in %d parts, from %s (%s, own process) into %s, %d rounds\n",
                static_cast<unsigned long long>(mib), kParts, base.c_str(),
                server.servedFrom.empty() ? "test server" : "nginx", dir.c_str(), rounds);

    bool allRight = true;
    for (const bool slowed : {false, true}) {
        std::printf("\n%s\n", slowed ? "every fsync/fdatasync slowed by 8 ms" : "disk as it is");
        std::printf("%-6s %-12s %8s %8s %10s %9s %5s\n", "round", "tool", "MB/s", "secs",
                    "cpu-s/GiB", "maxRSS-KiB", "bytes");
        auto list = tools(dir, base, partSize);
        std::map<std::string, std::vector<double>> rate, cpu, rss;
        for (int r = 1; r <= rounds; ++r) {
            for (const Tool& t : list) {
                Measure m = runCommand(t.command, slowed ? preload : "");
                bool right = m.secs > 0 && fileIsRight(t.output, t.seeds, t.stretch);
                allRight = allRight && right;
                double mbs = m.secs > 0 ? static_cast<double>(partSize * kParts) / m.secs / 1e6 : 0;
                rate[t.name].push_back(mbs);
                cpu[t.name].push_back(m.cpuSecs / gib);
                rss[t.name].push_back(static_cast<double>(m.maxRssKB));
                std::printf("%-6d %-12s %8.1f %8.2f %10.2f %9ld %5s\n", r, t.name.c_str(), mbs,
                            m.secs, m.cpuSecs / gib, m.maxRssKB, right ? "ok" : "WRONG");
                std::fflush(stdout);
                std::filesystem::remove(t.output);
                if (!t.cleanup.empty()) std::filesystem::remove(t.cleanup);
            }
        }
        const double aria = median(rate["aria2c+sync"]);
        std::printf("median: ");
        for (const Tool& t : list)
            std::printf("%s %.1f MB/s (%.2fx aria2c, %.2f cpu-s/GiB, %.0f KiB)  ", t.name.c_str(),
                        median(rate[t.name]), aria > 0 ? median(rate[t.name]) / aria : 0,
                        median(cpu[t.name]), median(rss[t.name]));
        std::printf("\n");
    }
    stopServer(server);
    std::filesystem::remove_all(dir);
    return allRight ? 0 : 1;
}

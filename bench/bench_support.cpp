#include "bench_support.h"

#include <unistd.h>

#include <algorithm>
#include <cstdio>
#include <cstdlib>
#include <ctime>
#include <filesystem>
#include <fstream>
#include <sstream>

namespace zqkbench {

namespace fs = std::filesystem;

const std::string& WorkDir()
{
    static const std::string dir = [] {
        for (const char* base : {"/dev/shm", "/tmp"}) {
            std::string pattern = std::string(base) + "/zqk-bench-XXXXXX";
            if (mkdtemp(pattern.data()))
                return pattern;
        }
        std::perror("zqk_bench: no work directory");
        std::exit(1);
    }();
    return dir;
}

void RemoveWorkDir()
{
    std::error_code ignored;
    fs::remove_all(WorkDir(), ignored);
}

std::string Local(const std::string& Name)
{
    return (fs::path(WorkDir()) / Name).string();
}

void WriteFileOrDie(const std::string& Path, const std::string& Data)
{
    std::ofstream out(Path, std::ios::binary);
    out.write(Data.data(), static_cast<std::streamsize>(Data.size()));
    if (!out) {
        std::fprintf(stderr, "zqk_bench: cannot write %s\n", Path.c_str());
        std::exit(1);
    }
}

std::string ReadFile(const std::string& Path)
{
    std::ifstream in(Path, std::ios::binary);
    std::ostringstream text;
    text << in.rdbuf();
    return text.str();
}

double Seconds(std::chrono::steady_clock::duration D)
{
    return std::chrono::duration<double>(D).count();
}

double SecondsSince(std::chrono::steady_clock::time_point Start)
{
    return Seconds(std::chrono::steady_clock::now() - Start);
}

double ProcessCpuSeconds()
{
    timespec t {};
    clock_gettime(CLOCK_PROCESS_CPUTIME_ID, &t);
    return static_cast<double>(t.tv_sec) + static_cast<double>(t.tv_nsec) * 1e-9;
}

std::optional<std::string> Output(const std::string& Command)
{
    std::fflush(stdout);
    FILE* pipe = popen(Command.c_str(), "r");
    if (!pipe)
        return std::nullopt;
    std::string text;
    char chunk[256];
    while (size_t n = std::fread(chunk, 1, sizeof chunk, pipe))
        text.append(chunk, n);
    if (pclose(pipe) != 0)
        return std::nullopt;
    return text;
}

std::string Quoted(const std::string& Word)
{
    std::string quoted = "'";
    for (const char c : Word)
        quoted += c == '\'' ? std::string("'\\''") : std::string(1, c);
    return quoted + "'";
}

std::string SelfPath()
{
    return fs::read_symlink("/proc/self/exe").string();
}

std::optional<double> Median(std::vector<double> Values)
{
    if (Values.empty())
        return std::nullopt;
    std::sort(Values.begin(), Values.end());
    const size_t middle = Values.size() / 2;
    return Values.size() % 2 ? Values[middle] : (Values[middle - 1] + Values[middle]) / 2;
}

std::optional<double> Best(const std::vector<double>& Values)
{
    if (Values.empty())
        return std::nullopt;
    return *std::min_element(Values.begin(), Values.end());
}

}  // namespace zqkbench

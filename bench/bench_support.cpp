#include "bench_support.h"

#include <unistd.h>

#include <algorithm>
#include <cstdio>
#include <cstdlib>
#include <ctime>
#include <filesystem>

#include "rig/local_files.h"
#include "rig/scratch_folder.h"

namespace zqkbench {

namespace fs = std::filesystem;
namespace rig = zqk::rig;

namespace {

// Never freed: RemoveWorkDir removes it when the run is done with it.
rig::ScratchFolder& WorkFolder()
{
    static auto* folder = new rig::ScratchFolder("bench", fs::is_directory("/dev/shm") ? fs::path("/dev/shm")
                                                                                      : fs::temp_directory_path());
    return *folder;
}

}  // namespace

void RemoveWorkDir()
{
    WorkFolder().Remove();
}

std::string Local(const std::string& Name)
{
    return WorkFolder().Local(Name);
}

void WriteFileOrDie(const std::string& Path, const std::string& Data)
{
    if (!rig::WriteFile(Path, Data)) {
        std::fprintf(stderr, "zqk_bench: cannot write %s\n", Path.c_str());
        std::exit(1);
    }
}

std::string ReadFile(const std::string& Path)
{
    return rig::ReadFile(Path);
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

void Append(std::vector<double>& Values, const std::optional<double>& Value)
{
    if (Value)
        Values.push_back(*Value);
}

std::optional<Spread> SpreadOf(const std::vector<double>& Values)
{
    const std::optional<double> median = Median(Values);
    if (!median)
        return std::nullopt;
    const auto [min, max] = std::minmax_element(Values.begin(), Values.end());
    return Spread {*median, *min, *max};
}

std::optional<Spread> PairRatios(const std::vector<double>& A, const std::vector<double>& B)
{
    if (A.size() != B.size())
        return std::nullopt;
    std::vector<double> ratios;
    for (size_t i = 0; i < A.size(); ++i) {
        if (!(B[i] > 0))
            return std::nullopt;
        ratios.push_back(A[i] / B[i]);
    }
    return SpreadOf(ratios);
}

std::optional<Alternated> MeasureAlternately(const Measurement& A, const Measurement& B, int Times)
{
    Alternated result;
    for (int i = 0; i < std::max(Times, kAlternations); ++i) {
        const std::optional<double> a = A();
        const std::optional<double> b = a ? B() : std::nullopt;
        if (!b)
            return std::nullopt;
        result.A.push_back(*a);
        result.B.push_back(*b);
    }
    const std::optional<Spread> ratio = PairRatios(result.A, result.B);
    if (!ratio)
        return std::nullopt;
    result.Ratio = *ratio;
    return result;
}

}  // namespace zqkbench

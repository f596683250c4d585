#include "support/child_process.h"

#ifdef _WIN32
#define popen _popen
#define pclose _pclose
static const char* const kHere = ".\\";
#else
#include <sys/wait.h>
static const char* const kHere = "./";
#endif

namespace zqk::testing {

ChildProcess::ChildProcess(const std::string& Program, const std::string& Arguments)
{
    const std::string command = kHere + Program + " " + Arguments;
    pipe_ = popen(command.c_str(), "r");
}

ChildProcess::~ChildProcess()
{
    Wait();
}

std::string ChildProcess::ReadLine()
{
    std::string line;
    if (!pipe_)
        return line;
    for (int c = fgetc(pipe_); c != EOF && c != '\n'; c = fgetc(pipe_)) {
        if (c != '\r')
            line += static_cast<char>(c);
    }
    return line;
}

int ChildProcess::Wait()
{
    if (!pipe_)
        return -1;
    int status = pclose(pipe_);
    pipe_ = nullptr;
#ifndef _WIN32
    if (WIFEXITED(status))
        status = WEXITSTATUS(status);
#endif
    return status;
}

}  // namespace zqk::testing

#pragma once
#include <cstdio>
#include <string>

namespace zqk::testing {

// A helper program of the test suite run as a process of its own, with its
// standard output readable line by line.
class ChildProcess {
public:
    // Program is a file name in the test programs' directory.
    ChildProcess(const std::string& Program, const std::string& Arguments);
    ~ChildProcess();
    ChildProcess(const ChildProcess&) = delete;
    ChildProcess& operator=(const ChildProcess&) = delete;

    bool Started() const { return pipe_ != nullptr; }
    // The next line of its output without the line end; empty at its end.
    std::string ReadLine();
    // Waits for it to end; its exit status.
    int Wait();

private:
    FILE* pipe_ = nullptr;
};

}  // namespace zqk::testing

#pragma once
#include <signal.h>
#include <sys/wait.h>
#include <unistd.h>

#include <string>
#include <vector>

namespace zqk {

// A front (zqk-sim-uhid, zqk-sim-usbip) in a process of its own; stopped
// (and its devices removed) at the end of the test.
class FrontProcess {
public:
    FrontProcess(const char* Program, std::vector<std::string> Arguments)
    {
        Arguments.insert(Arguments.begin(), Program);
        std::vector<char*> argv;
        for (std::string& argument : Arguments)
            argv.push_back(argument.data());
        argv.push_back(nullptr);
        pid_ = ::fork();
        if (pid_ == 0) {
            ::execv(argv[0], argv.data());
            ::_exit(127);
        }
    }
    ~FrontProcess()
    {
        if (pid_ > 0)
            ::kill(pid_, SIGTERM);
        Wait();
    }
    FrontProcess(const FrontProcess&) = delete;
    FrontProcess& operator=(const FrontProcess&) = delete;

    // Its exit status once it has ended.
    int Wait()
    {
        int status = 0;
        if (pid_ > 0 && ::waitpid(pid_, &status, 0) == pid_)
            pid_ = -1;
        return WIFEXITED(status) ? WEXITSTATUS(status) : -1;
    }

private:
    pid_t pid_ = -1;
};

}  // namespace zqk

// Programs run as child processes by the tests that need separate Linux processes: standard
// output read line by line with a time limit, standard error into a file, the exit awaited with a
// time limit (a child still running then is killed, so that no test hangs).
#pragma once

#include <sys/types.h>

#include <string>
#include <vector>

namespace q407::testing {

class ChildProcess {
  public:
    // Starts program with args; false when it cannot be started.
    bool Start(const std::vector<std::string>& argv, const std::string& stderrPath = "/dev/null");
    // Kills a child still running and reaps it.
    ~ChildProcess();

    // The next line of standard output without its newline; false when the child closes its
    // output or no line comes within the time.
    bool ReadLine(std::string* line, double timeoutSeconds);
    // Reads lines until one starts with prefix (returned whole); false as ReadLine.
    bool WaitForLine(const std::string& prefix, std::string* line, double timeoutSeconds);
    void Signal(int signal);
    // The exit status (0..255), 128 + signal when a signal ended it, -1 when it did not end in
    // time (it is then killed).
    int Wait(double timeoutSeconds);
    pid_t Pid() const { return pid_; }

  private:
    pid_t pid_ = -1;
    int out_ = -1;
    std::string pending_;
    bool reaped_ = false;
};

// Runs a program to its end; its exit status as Wait gives it, standard output into *output.
int RunProgram(const std::vector<std::string>& argv, std::string* output,
               double timeoutSeconds = 60);

}  // namespace q407::testing

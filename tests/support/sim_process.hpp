#pragma once

#include <sys/types.h>

#include <string>
#include <vector>

namespace halvard::testing {

// halvard-sim running in the background for one test: serves a board on a pseudo-terminal whose
// path it printed first; stopped with SIGTERM when the test ends.
class SimProcess {
  public:
    explicit SimProcess(const std::vector<std::string>& args = {});
    ~SimProcess();
    SimProcess(const SimProcess&) = delete;
    SimProcess& operator=(const SimProcess&) = delete;

    const std::string& device() const { return device_; }
    // Stops the board and returns its exit status (-1 when it did not exit normally).
    int stop();
    // What the board wrote to standard error so far (diagnostics, traces).
    std::string diagnostics() const;

  private:
    pid_t pid_ = -1;
    std::string device_;
    std::string stderrPath_;
};

}  // namespace halvard::testing

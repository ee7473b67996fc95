#pragma once

#include <memory>
#include <string>

namespace zarvo {

// Keeps the computer from sleeping while it is held, through the login manager's sleep and idle
// inhibitor. Where none can be taken (no login manager, no inhibitor program), holding one does
// nothing.
class SystemActivity {
  public:
    // Begins an activity for the reason shown to the user; nullptr when none can be taken.
    static std::unique_ptr<SystemActivity> begin(const std::string& who, const std::string& why);
    // Ends the activity.
    ~SystemActivity();
    SystemActivity(const SystemActivity&) = delete;
    SystemActivity& operator=(const SystemActivity&) = delete;

  private:
    SystemActivity(int pid, int pipe) : pid_(pid), pipe_(pipe) {}
    int pid_;
    int pipe_;  // closing it ends the inhibitor
};

}  // namespace zarvo

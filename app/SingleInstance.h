#pragma once
// One instance per machine: an abstract Unix-domain socket named "Global\" and
// a fixed GUID is bound at start-up. A second process cannot bind it and ends
// silently; the name disappears with the process that holds it, also after a crash.

#include <string>

namespace quenlow {

class SingleInstanceGuard {
  public:
    // Error value recorded when the name is already taken (the platform's "already exists").
    static constexpr unsigned AlreadyExists = 183;

    SingleInstanceGuard();
    ~SingleInstanceGuard();
    SingleInstanceGuard(const SingleInstanceGuard&) = delete;
    SingleInstanceGuard& operator=(const SingleInstanceGuard&) = delete;

    // 0, AlreadyExists, or the errno of another failure.
    unsigned creationError() const { return creationError_; }
    bool anotherInstanceRuns() const { return creationError_ == AlreadyExists; }

    // "Global\{GUID}", followed by $QUENLOW_INSTANCE_ID when set (tests run
    // instances side by side that way).
    static std::string name();

  private:
    int socket_ = -1;
    unsigned creationError_ = 0;
};

// The guard created during static initialisation, before the application object.
const SingleInstanceGuard& singleInstanceGuard();

}  // namespace quenlow

// The pacing of an accept loop that has run out of resources: how long to wait before the next
// attempt, and which failures are logged.
#pragma once

#include <chrono>

#include <boost/system/error_code.hpp>

// Whether a failed accept lacks a resource of the process or the system (descriptors, buffer
// space, memory): retrying at once would fail the same way.
bool is_resource_shortage(const boost::system::error_code& ec);

// Paces the accepts that fail for lack of resources: a pause of 100 ms that doubles while the
// failures repeat, up to one second, and at most one log line a second.
class accept_backoff {
  public:
    using clock = std::chrono::steady_clock;

    // What to do after one failed accept.
    struct step {
        std::chrono::milliseconds pause; // before the next accept
        bool log = false;                // this failure is logged
        long unlogged = 0;               // failures not logged since the previous line, if logged
    };

    // One more accept failed for lack of resources, at `now`.
    step on_shortage(clock::time_point now);
    // An accept succeeded or failed for another reason: the next shortage pauses briefly again.
    void on_other_outcome();

  private:
    std::chrono::milliseconds pause_{0}; // the previous pause; 0 after another outcome
    bool logged_ = false;                // a line was logged at `last_logged_`
    clock::time_point last_logged_;
    long unlogged_ = 0; // failures since that line that were not logged
};

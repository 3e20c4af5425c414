#pragma once
// Every named wait of the system in one table. Tests shrink them through
// pacing(); the product uses the defaults. Waits that only let a receiving
// thread run are zero: our queues need none.

#include <chrono>
#include <thread>

namespace quenlow {

using Millis = std::chrono::milliseconds;

struct Pacing {
    Millis yieldAfterPost{0};          // after some posts to the view or a new thread
    Millis restartGap{0};              // between restart commands to part tasks
    Millis attemptDelay{1000};         // inside every download attempt, before connecting
    Millis waitFilePoll{100};          // a task waiting for the output file
    Millis reconnectDelay{5000};       // after a short body or an exception in the read loop
    Millis abortSettle{1000};          // abortFileParts: let tasks notice the abort
    Millis unpackedSettle{100};        // before completing an unpacked package
    Millis crcPercentDelay{0};         // before each CRC percent report
    Millis inflatePercentDelay{0};     // after each inflate percent report
    Millis relayDelay{0};              // after each relayed unpack percent
    Millis unpackedReportDelay{1000};  // unpack task: before reporting a successful unpack
    Millis pauseExit{1};               // a paused task that is not resumed
    Millis upgradeQuitDelay{1000};     // the upgrade link ends the application after this
    Millis receiveTimeout{10000};      // HTTP receive time-out
    Millis saveLockWait{5000};         // longest wait for the save-state lock, then the save fails
};

// The process-wide table; tests assign to it before starting threads.
Pacing& pacing();

inline void sleepFor(Millis d) {
    if (d.count() > 0) std::this_thread::sleep_for(d);
}

}  // namespace quenlow

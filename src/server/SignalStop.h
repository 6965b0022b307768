// Turns SIGINT and SIGTERM into a call of a stop function on an ordinary
// thread. The handler only writes: its line to standard output and one byte
// into a pipe; the waiter thread reads the pipe and calls the function, so
// nothing that locks, logs or joins ever runs inside the signal context.
//
// install() once, first thing in main (before any other thread exists): it
// also blocks both signals in the calling thread, so every thread started
// later has them blocked, and only the waiter thread takes them. The handler
// thus always interrupts a thread that waits in poll, never one that holds a
// lock or sits in a call that would not return to deliver it. Signals that
// come before the waiter runs stay pending until it does; after the waiter
// has gone they stay pending for good, so a late signal does nothing.
#pragma once

#include <functional>
#include <thread>

namespace Korrafin {

class SignalStop {
public:
    // Creates the pipe, installs the handler for SIGINT and SIGTERM and
    // blocks them in the calling thread. False when the pipe cannot be made
    // (the handler is installed anyway and still writes its line).
    static bool install();

    // Starts the waiter thread, which calls `onSignal` once per signal (an
    // exception it throws is dropped: the waiter goes on).
    explicit SignalStop(std::function<void()> onSignal);
    // Ends and joins the waiter thread.
    ~SignalStop();

    SignalStop(const SignalStop&) = delete;
    SignalStop& operator=(const SignalStop&) = delete;

private:
    void waitLoop();

    std::function<void()> onSignal_;
    int quitFd_ = -1;  // eventfd that ends the waiter
    std::thread waiter_;
};

}  // namespace Korrafin

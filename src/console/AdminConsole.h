// The admin console: one thread that reads command lines from standard input
// and answers on standard output (directly, not through the Logger). A line
// longer than 64 KiB is answered with one error line and not run.
//
// main builds it once start-up has succeeded, starts it just before
// Server::run and stops it once run has returned. start, stop and the
// destructor belong to that one thread; every command runs on the console
// thread, one at a time, and reaches the system through the Server (virtual
// servers through the registry's shared references, acting as the system
// actor 0). The console takes no lock of its own.
//
// The thread waits for input in short steps and looks at its running flag
// between them, so stop returns promptly whether or not the operator types
// anything. At end of input the thread ends silently and the server goes on.
// "quit" calls Server::stop on the console thread; the console itself reads
// on until main stops it.
#pragma once

#include <atomic>
#include <functional>
#include <string>
#include <string_view>
#include <thread>
#include <unordered_map>
#include <vector>

namespace Korrafin {

class Server;

class AdminConsole {
public:
    using Words = std::vector<std::string>;
    using Handler = std::function<void(const Words&)>;

    // Fills the command table; starts nothing.
    explicit AdminConsole(Server& server);
    // Stops and joins the thread if it is still there.
    ~AdminConsole();

    AdminConsole(const AdminConsole&) = delete;
    AdminConsole& operator=(const AdminConsole&) = delete;

    // Starts the console thread (once).
    void start();
    // Clears the running flag and joins the thread; returns within a fraction
    // of a second even while the thread waits for input.
    void stop();

    // The words of a line: its runs of characters that are not white space
    // in the "C" locale. No quoting.
    static Words tokenise(const std::string& line);
    // One line of the form "| a | b |" per row after a header line and a
    // rule line; columns as wide, in bytes, as their widest cell or header.
    // Cells beyond the headers are not measured; the listing commands pass
    // exactly one cell per header.
    static std::string formatTable(const Words& headers, const std::vector<Words>& rows);

    // Runs the line's command, if any, on the calling thread. A handler's
    // exception is answered with "Error: " and its message.
    void dispatch(const std::string& line);

private:
    void loop();
    void registerCommands();
    // Writes to standard output; gives up on a blocked output once stopped.
    void print(std::string_view text) const;

    void cmdHelp(const Words& words);
    void cmdStatus(const Words& words);
    void cmdVServer(const Words& words);
    void cmdChannel(const Words& words);
    void cmdUser(const Words& words);

    Server& server;
    std::thread thread;
    std::atomic<bool> running{false};
    std::unordered_map<std::string, Handler> commands;
};

}  // namespace Korrafin

// The console thread, the line reader loop, the dispatcher, the table
// printer, and the two commands that need nothing else: help and quit.
#include "console/AdminConsole.h"

#include <unistd.h>

#include <algorithm>
#include <exception>

#include "console/ConsoleIo.h"
#include "server/Server.h"

namespace Korrafin {

namespace {

// How long one wait for input lasts before the running flag is looked at again.
constexpr int kInputWaitMs = 100;

constexpr std::string_view kBanner = "Admin console ready. Type 'help' for commands.\n";
constexpr std::string_view kPrompt = "> ";
constexpr std::string_view kTooLong = "Error: line longer than 65536 bytes, ignored.\n";
static_assert(LineReader::kMaxLine == 65536, "the refusal names the bound");

constexpr std::string_view kHelp =
    "Commands:\n"
    "  status\n"
    "  vserver list\n"
    "  vserver create <name>\n"
    "  vserver delete <id>\n"
    "  channel list <vsid>\n"
    "  channel create <vsid> <name> [parent_id]\n"
    "  channel delete <vsid> <channel_id>\n"
    "  user list [vsid]\n"
    "  user kick <vsid> <client_id> [reason]\n"
    "  user ban <vsid> <client_id> [secs] [reason]\n"
    "  user role <vsid> <client_id> <guest|member|mod|admin>\n"
    "  quit\n";

// White space of the "C" locale, whatever locale the process runs in.
bool isSpace(char c) { return c == ' ' || c == '\t' || c == '\n' || c == '\v' || c == '\f' || c == '\r'; }

}  // namespace

AdminConsole::AdminConsole(Server& server) : server(server) { registerCommands(); }

AdminConsole::~AdminConsole() { stop(); }

void AdminConsole::start() {
    if (thread.joinable()) return;
    running.store(true);
    thread = std::thread(&AdminConsole::loop, this);
}

void AdminConsole::stop() {
    running.store(false);
    if (thread.joinable()) thread.join();
}

void AdminConsole::registerCommands() {
    commands["help"] = [this](const Words& w) { cmdHelp(w); };
    commands["status"] = [this](const Words& w) { cmdStatus(w); };
    commands["vserver"] = [this](const Words& w) { cmdVServer(w); };
    commands["channel"] = [this](const Words& w) { cmdChannel(w); };
    commands["user"] = [this](const Words& w) { cmdUser(w); };
    commands["quit"] = [this](const Words&) {
        print("Shutting down...\n");
        // The console reads on: main stops it once run has returned.
        server.stop();
    };
}

void AdminConsole::print(std::string_view text) const { writeText(STDOUT_FILENO, text, running); }

void AdminConsole::loop() {
    print(kBanner);
    print(kPrompt);
    LineReader input(STDIN_FILENO);
    std::string line;
    while (running.load()) {
        const auto r = input.next(line, kInputWaitMs);
        if (r == LineReader::Result::End) return;  // silently: the server goes on
        if (r == LineReader::Result::Idle) continue;
        if (r == LineReader::Result::TooLong) {
            print(kTooLong);
        } else if (!line.empty()) {
            dispatch(line);
        }
        if (running.load()) print(kPrompt);
    }
}

AdminConsole::Words AdminConsole::tokenise(const std::string& line) {
    Words words;
    std::size_t i = 0;
    while (i < line.size()) {
        while (i < line.size() && isSpace(line[i])) ++i;
        const std::size_t start = i;
        while (i < line.size() && !isSpace(line[i])) ++i;
        if (i > start) words.emplace_back(line, start, i - start);
    }
    return words;
}

void AdminConsole::dispatch(const std::string& line) {
    const Words words = tokenise(line);
    if (words.empty()) return;
    const auto it = commands.find(words[0]);
    if (it == commands.end()) {
        print("Unknown command: '" + words[0] + "'. Try 'help'.\n");
        return;
    }
    try {
        it->second(words);
    } catch (const std::exception& e) {
        print(std::string("Error: ") + e.what() + "\n");
    } catch (...) {
        // Nothing a command throws may end the console thread (and with it
        // the process).
        print("Error: unknown error\n");
    }
}

std::string AdminConsole::formatTable(const Words& headers, const std::vector<Words>& rows) {
    std::vector<std::size_t> widths;
    widths.reserve(headers.size());
    for (const auto& h : headers) widths.push_back(h.size());
    for (const auto& row : rows) {
        for (std::size_t i = 0; i < row.size() && i < widths.size(); ++i) widths[i] = std::max(widths[i], row[i].size());
    }

    static const std::string kNoCell;
    std::string out;
    const auto addLine = [&](const Words& cells) {
        for (std::size_t i = 0; i < widths.size(); ++i) {
            const std::string& cell = i < cells.size() ? cells[i] : kNoCell;
            out += "| ";
            out += cell;
            out.append(widths[i] - std::min(widths[i], cell.size()), ' ');
            out += ' ';
        }
        out += "|\n";
    };
    addLine(headers);
    for (const std::size_t w : widths) {
        out += "+-";
        out.append(w, '-');
        out += '-';
    }
    out += "+\n";
    for (const auto& row : rows) addLine(row);
    return out;
}

void AdminConsole::cmdHelp(const Words&) { print(kHelp); }

}  // namespace Korrafin

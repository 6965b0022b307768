// The console's words and tables.
#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "console/AdminConsole.h"

namespace Korrafin {
namespace {

using Words = AdminConsole::Words;

TEST(ConsoleTextTest, WordsAreRunsOfNonBlankCharacters) {
    const std::pair<std::string, Words> cases[] = {
        {"", {}},
        {" \t \v\f\r\n", {}},
        {"help", {"help"}},
        {"   help  me   now ", {"help", "me", "now"}},
        {"user\tkick 1\t\t2", {"user", "kick", "1", "2"}},
        {"status\r", {"status"}},  // a line that came with CR LF
        {"'two words'", {"'two", "words'"}},  // no quoting
        {"caf\xC3\xA9 \xE2\x88\x9E", {"caf\xC3\xA9", "\xE2\x88\x9E"}},  // bytes above ASCII are no blanks
    };
    for (const auto& [line, words] : cases) EXPECT_EQ(AdminConsole::tokenise(line), words) << line;
}

TEST(ConsoleTextTest, TablesPadEveryColumnToItsWidestCellInBytes) {
    EXPECT_EQ(AdminConsole::formatTable({"ID", "Name"}, {{"1", "Lobby"}, {"12", "AFK"}}),
              "| ID | Name  |\n"
              "+----+-------+\n"
              "| 1  | Lobby |\n"
              "| 12 | AFK   |\n");
    EXPECT_EQ(AdminConsole::formatTable({"ID", "Name", "Slots"}, {}),
              "| ID | Name | Slots |\n"
              "+----+------+-------+\n");
    // "∞" is three bytes: the column is three wide, and the header wider still.
    EXPECT_EQ(AdminConsole::formatTable({"M"}, {{"\xE2\x88\x9E"}, {"5"}}),
              "| M   |\n"
              "+-----+\n"
              "| \xE2\x88\x9E |\n"
              "| 5   |\n");
    EXPECT_EQ(AdminConsole::formatTable({"MaxUsers"}, {{"\xE2\x88\x9E"}}),
              "| MaxUsers |\n"
              "+----------+\n"
              "| \xE2\x88\x9E      |\n");
}

TEST(ConsoleTextTest, TableCellsBeyondTheHeadersAreLeftOut) {
    EXPECT_EQ(AdminConsole::formatTable({"A"}, {{"x", "a much longer cell"}, {}}),
              "| A |\n"
              "+---+\n"
              "| x |\n"
              "|   |\n");
}

}  // namespace
}  // namespace Korrafin

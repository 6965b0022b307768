// Credentials against the real binary: guessing privilege keys ends the
// connection and leaves one summary line, and neither the log file nor
// standard output ever holds a client's whole identity.
#include <fstream>
#include <sstream>

#include "e2e/E2eFixture.h"
#include "support/LogCapture.h"
#include "support/Requests.h"
#include "support/TestClient.h"
#include "support/Wire.h"

namespace Korrafin::Test {
namespace {

using CredentialsTest = E2eTest;

// The key in the banner the first start prints: the row after the title's.
std::string printedAdminKey(const std::string& output) {
    const auto title = output.find("SERVER ADMIN PRIVILEGE KEY");
    if (title == std::string::npos) return {};
    const std::string row = "║  ";
    const auto rowStart = output.find(row, output.find('\n', title));
    if (rowStart == std::string::npos) return {};
    const auto begin = rowStart + row.size();
    const auto end = output.find_first_of(" ║\n", begin);
    return output.substr(begin, end - begin);
}

std::string fileText(const std::string& path) {
    std::ifstream in(path);
    std::stringstream s;
    s << in.rdbuf();
    return s.str();
}

TEST_F(CredentialsTest, GuessedKeysEndTheConnectionAndIdentitiesNeverReachTheLog) {
    writeThreeVServers();
    auto server = startReady();
    const std::string adminKey = printedAdminKey(server->output());
    ASSERT_FALSE(adminKey.empty()) << server->output();

    const std::string identity = "e2e-login-identity-77c0d19b";
    const std::string registered = "e2e-registered-identity-5a2e";
    auto alice = TestClient::dial(tcpPort);
    ASSERT_TRUE(alice && alice->hello());
    ASSERT_TRUE(alice->login("alice", "", identity));
    alice->send(twoStringRequest(MessageType::UserRegister, registered, "Reg"));
    auto reg = alice->waitFor(MessageType::UserRegisterResult);
    ASSERT_TRUE(reg);
    EXPECT_EQ(reg->reader().readLE<uint16_t>(), 0);
    alice->send(stringRequest(MessageType::UsePrivilegeKey, adminKey));
    auto used = alice->waitFor(MessageType::UsePrivilegeKeyResult);
    ASSERT_TRUE(used);
    EXPECT_EQ(used->reader().readLE<uint8_t>(), 1) << "the printed key makes alice owner";

    auto mallory = TestClient::dial(tcpPort);
    ASSERT_TRUE(mallory && mallory->hello());
    ASSERT_TRUE(mallory->login("mallory"));
    for (int i = 0; i < 5; ++i) mallory->send(stringRequest(MessageType::UsePrivilegeKey, "GUESS-" + std::to_string(i)));
    EXPECT_TRUE(mallory->waitClosed()) << "five wrong keys end the connection";
    EXPECT_TRUE(server->waitForOutput(
        "Failed credential attempts from 127.0.0.1: 0 passwords, 0 server keys, 5 privilege keys wrong"));
    EXPECT_TRUE(server->waitForOutput("Disconnecting client " + std::to_string(mallory->clientId) +
                                      ": Too many failed attempts"));

    stopCleanly(*server);
    const std::string out = server->output();
    const std::string log = fileText(path("korrafin.log"));
    EXPECT_NE(log.find("authenticated as 'alice' (role=1, uid=" + shortHash(identity) + ")"), std::string::npos)
        << "the log file shows the fingerprint";
    for (const std::string& text : {out, log}) {
        EXPECT_EQ(text.find(identity), std::string::npos);
        EXPECT_EQ(text.find(registered), std::string::npos);
    }
}

}  // namespace
}  // namespace Korrafin::Test

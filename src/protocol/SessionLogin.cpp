// Login to a virtual server, identity registration and account login.
#include <string>

#include "core/CryptoUtils.h"
#include "core/Logger.h"
#include "db/Records.h"
#include "protocol/ClientSession.h"
#include "protocol/Packets.h"
#include "vserver/VirtualServer.h"

namespace Korrafin {

namespace {

std::vector<uint8_t> authResponsePacket(ResultCode result, uint32_t clientId, UserRole role) {
    PacketBuilder b(MessageType::AuthResponse);
    b.writeLE(result);
    b.writeLE(clientId);
    b.writeLE(role);
    return b.finalise();
}

std::vector<uint8_t> identityStatusPacket(bool registered) {
    PacketBuilder b(MessageType::IdentityStatus);
    b.writeLE<uint8_t>(registered ? 1 : 0);
    return b.finalise();
}

std::vector<uint8_t> resultTextPacket(MessageType type, ResultCode result, const std::string& text) {
    PacketBuilder b(type);
    b.writeLE(result);
    b.writeStr(text);
    return b.finalise();
}

}  // namespace

void ClientSession::handleAuthRequest(PacketReader& reader) {
    const std::string nickname = reader.readStr();
    const std::string serverKey = reader.readStr();
    const std::string identity = reader.readStr();
    // The two trailing strings are optional; a single stray byte is malformed.
    std::string extra1;
    std::string extra2;
    if (reader.remaining() > 0) extra1 = reader.readStr();
    if (reader.remaining() > 0) extra2 = reader.readStr();

    auto refuse = [this](ResultCode code) { send(authResponsePacket(code, 0, UserRole::Guest)); };

    if (!nicknameAcceptable(nickname) || !identityAcceptable(identity)) return refuse(ResultCode::BadName);
    if (extra1.size() > UserInfo::kMaxClientTextBytes || extra2.size() > UserInfo::kMaxClientTextBytes)
        return refuse(ResultCode::Refused);

    const auto vs = vserver();
    if (vs && vs->hasNicknameConflict(nickname, 0)) return refuse(ResultCode::NicknameInUse);

    // Every store read happens here, before anything of the session changes:
    // a storage error leaves the client unauthenticated and free to retry,
    // never logged in without lists or a channel.
    UserRole role = UserRole::Member;
    // A key offered to a virtual server that has one is a credential check;
    // while the address waits after a burst of wrong ones it is not checked
    // and logs in as a wrong key does.
    if (vs && !serverKey.empty() && !vs->config().serverKey.empty()) {
        if (credentialsWaiting()) {
            noteCredentialFailure(CredentialGuard::Kind::ServerKey, false);
        } else if (vs->verifyServerKey(serverKey)) {
            role = UserRole::Admin;
        } else {
            noteCredentialFailure(CredentialGuard::Kind::ServerKey, true);
        }
        if (isClosed()) return;
    }
    bool registered = false;
    DB::DbServerSettings settings;
    if (vs) {
        if (const auto stored = vs->getUserByUniqueId(identity)) {
            registered = true;
            // A stored role only ever raises; a byte that names no role is ignored.
            const auto storedByte = static_cast<uint8_t>(stored->role & 0xFF);
            if (storedByte <= static_cast<uint8_t>(UserRole::Owner) && storedByte > static_cast<uint8_t>(role))
                role = static_cast<UserRole>(storedByte);
        }
        settings = vs->getServerSettings();
    }

    // Test and take the nickname in one step against concurrent logins.
    if (vs && !vs->claimNickname(clientId_, nickname)) return refuse(ResultCode::NicknameInUse);

    setIdentity(identity);
    updateInfo([&](UserInfo& u) {
        u.nickname = nickname;
        u.extra1 = extra1;
        u.extra2 = extra2;
        u.role = role;
    });
    if (!changeState(SessionState::AwaitingAuth, SessionState::Authenticated)) return;  // closed meanwhile

    if (!vs) {
        send(authResponsePacket(ResultCode::Ok, clientId_, role));
        send(identityStatusPacket(registered));
    } else {
        // The settings are read again for the later steps so that a change in
        // between is seen; should that read fail, the login goes on with the
        // settings read above.
        auto currentSettings = [&] { return vs->loginSettings(clientId_, settings); };

        vs->sendLoginHead(shared_from_this(),
                          {OutboundQueue::share(authResponsePacket(ResultCode::Ok, clientId_, role)),
                           OutboundQueue::share(identityStatusPacket(registered))},
                          settings);
        vs->sendUserList(shared_from_this());

        const DB::DbServerSettings welcomeSettings = currentSettings();
        const std::string welcome = welcomeSettings.welcome_message.empty()
                                        ? "Welcome to " + vs->config().name + "!"
                                        : welcomeSettings.welcome_message;
        send(chatMessagePacket(0, ChannelManager::kLobbyId, "Server", welcome, 0));

        vs->broadcast(userInfoPacket(MessageType::UserJoined, info()), clientId_);

        uint16_t entry = currentSettings().entry_channel_id;
        if (entry == 0 || !vs->channelManager.find(entry)) entry = ChannelManager::kLobbyId;
        vs->moveUserToChannel(clientId_, entry, "");
    }

    Logger::instance().logf(LogLevel::Info, "Client {} authenticated as '{}' (role={}, uid={})", clientId_, nickname,
                            static_cast<unsigned>(role),
                            identity.empty() ? std::string("<none>") : CryptoUtils::fingerprint(identity));
}

void ClientSession::handleUserRegister(PacketReader& reader) {
    const auto vs = vserver();
    if (!vs) return;
    const std::string identity = reader.readStr();
    const std::string nickname = reader.readStr();

    const ResultCode result = vs->registerIdentity(identity, nickname, clientId_);
    switch (result) {
        case ResultCode::Ok:
            send(identityStatusPacket(true));
            send(resultTextPacket(MessageType::UserRegisterResult, result, "Identity registered on this server."));
            return;
        case ResultCode::IdentityExists:
            send(resultTextPacket(MessageType::UserRegisterResult, result,
                                  "This identity is already registered on this server."));
            return;
        default:
            send(resultTextPacket(MessageType::UserRegisterResult, result, "Registration failed."));
            return;
    }
}

void ClientSession::handleUserLogin(PacketReader& reader) {
    const auto vs = vserver();
    if (!vs) return;
    const std::string username = reader.readStr();
    const std::string password = reader.readStr();

    std::string token;
    // While the address waits nothing is checked: the answer is that of a wrong password.
    const bool waiting = credentialsWaiting();
    const ResultCode result = waiting ? ResultCode::WrongPassword : vs->loginUser(username, password, clientId_, token);
    const char* text = "Login failed.";
    switch (result) {
        case ResultCode::Ok: text = "Login successful."; break;
        case ResultCode::UnknownUser: text = "Username not found."; break;
        case ResultCode::WrongPassword: text = "Wrong password."; break;
        default: break;
    }
    if (result != ResultCode::Ok) token.clear();

    PacketBuilder b(MessageType::UserLoginResult);
    b.writeLE(result);
    b.writeStr(token);
    b.writeStr(text);
    send(b);
    // An unknown name counts too: names are guessed along with passwords.
    if (waiting)
        noteCredentialFailure(CredentialGuard::Kind::Password, false);
    else if (result == ResultCode::WrongPassword || result == ResultCode::UnknownUser)
        noteCredentialFailure(CredentialGuard::Kind::Password, true);
}

}  // namespace Korrafin

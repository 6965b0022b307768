// Packet type of the client protocol and of the bot API's frames.
// A plain 16-bit value: a received type may hold any value, listed or not.
#pragma once

#include <cstdint>

namespace Korrafin {

enum class MessageType : uint16_t {
    Hello = 0x01,
    HelloAck = 0x02,
    AuthRequest = 0x03,
    AuthResponse = 0x04,

    ChannelList = 0x20,
    ChannelCreate = 0x21,
    ChannelDelete = 0x22,
    ChannelUpdate = 0x23,
    ChannelJoin = 0x24,
    ChannelJoinResult = 0x25,
    ChannelLeave = 0x26,
    ChannelReorder = 0x27,

    UserList = 0x30,
    UserJoinedChannel = 0x31,
    UserLeftChannel = 0x32,
    UserJoined = 0x33,
    UserLeft = 0x34,
    UserUpdated = 0x36,

    VoiceState = 0x40,
    UserStatusUpdate = 0x44,
    UserActivityUpdate = 0x45,

    ChatMessage = 0x50,
    MessageDelete = 0x51,

    KickUser = 0x60,
    BanUser = 0x61,
    MoveUser = 0x63,
    SetUserRole = 0x64,

    UsePrivilegeKey = 0x70,
    UsePrivilegeKeyResult = 0x71,
    PrivKeyCreate = 0x72,
    PrivKeyRevoke = 0x73,
    PrivKeyListRequest = 0x74,
    PrivKeyList = 0x75,

    FileUpload = 0x80,
    FileUploadResult = 0x81,
    FileRequest = 0x82,
    FileData = 0x83,

    ServerSettings = 0xA0,
    ServerSettingsUpdate = 0xA1,
    BotTokenListRequest = 0xA5,
    BotTokenList = 0xA6,
    BotTokenCreate = 0xA7,
    BotTokenCreated = 0xA8,
    BotTokenRevoke = 0xA9,
    PluginListRequest = 0xAA,
    PluginList = 0xAB,
    VServerListRequest = 0xAC,
    VServerList = 0xAD,
    VServerStop = 0xAE,
    VServerStart = 0xAF,

    DmSend = 0xB0,
    DirectMessage = 0xB1,
    ChannelContentGet = 0xB2,
    ChannelContent = 0xB3,
    ChannelContentUpdate = 0xB4,
    ChannelReactionToggle = 0xB5,
    ChannelReactionUpdate = 0xB6,
    ChannelMessageCount = 0xB7,

    UserRegister = 0xC0,
    UserRegisterResult = 0xC1,
    UserLogin = 0xC2,
    UserLoginResult = 0xC3,
    IdentityStatus = 0xC4,

    // Bot connections only; a client connection ignores these.
    BotAuth = 0xD0,
    BotAuthResult = 0xD1,
    BotEvent = 0xD2,
    BotCommand = 0xD3,
    BotCommandResult = 0xD4,

    Ping = 0xF0,
    Pong = 0xF1,
    Error = 0xFF,
};

}  // namespace Korrafin

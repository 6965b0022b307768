// Every request handler of the session, replaced for the dispatch test: this
// binary compiles the session's framing and dispatch itself and links these
// instead of the real handlers. A stand-in can also disconnect its session,
// as a kick of oneself would.
#include "RecordingHandlers.h"
#include "protocol/ClientSession.h"

namespace Korrafin {

#define RECORDING_HANDLER(name, type) \
    void ClientSession::name(PacketReader&) {                                  \
        if (Test::HandlerLog::record(clientId(), MessageType::type)) disconnect("stand-in"); \
    }

RECORDING_HANDLER(handleAuthRequest, AuthRequest)
RECORDING_HANDLER(handleUserRegister, UserRegister)
RECORDING_HANDLER(handleUserLogin, UserLogin)
RECORDING_HANDLER(handleChatMessage, ChatMessage)
RECORDING_HANDLER(handleDmSend, DmSend)
RECORDING_HANDLER(handleMessageDelete, MessageDelete)
RECORDING_HANDLER(handleChannelJoin, ChannelJoin)
RECORDING_HANDLER(handleChannelLeave, ChannelLeave)
RECORDING_HANDLER(handleVoiceState, VoiceState)
RECORDING_HANDLER(handleUserStatusUpdate, UserStatusUpdate)
RECORDING_HANDLER(handleUserActivityUpdate, UserActivityUpdate)
RECORDING_HANDLER(handleFileUpload, FileUpload)
RECORDING_HANDLER(handleFileRequest, FileRequest)
RECORDING_HANDLER(handleChannelContentGet, ChannelContentGet)
RECORDING_HANDLER(handleChannelContentUpdate, ChannelContentUpdate)
RECORDING_HANDLER(handleChannelReactionToggle, ChannelReactionToggle)
RECORDING_HANDLER(handleChannelCreate, ChannelCreate)
RECORDING_HANDLER(handleChannelDelete, ChannelDelete)
RECORDING_HANDLER(handleChannelUpdate, ChannelUpdate)
RECORDING_HANDLER(handleChannelReorder, ChannelReorder)
RECORDING_HANDLER(handleKickUser, KickUser)
RECORDING_HANDLER(handleBanUser, BanUser)
RECORDING_HANDLER(handleMoveUser, MoveUser)
RECORDING_HANDLER(handleSetUserRole, SetUserRole)
RECORDING_HANDLER(handleUsePrivilegeKey, UsePrivilegeKey)
RECORDING_HANDLER(handlePrivKeyCreate, PrivKeyCreate)
RECORDING_HANDLER(handlePrivKeyRevoke, PrivKeyRevoke)
RECORDING_HANDLER(handlePrivKeyListRequest, PrivKeyListRequest)
RECORDING_HANDLER(handleBotTokenListRequest, BotTokenListRequest)
RECORDING_HANDLER(handleBotTokenCreate, BotTokenCreate)
RECORDING_HANDLER(handleBotTokenRevoke, BotTokenRevoke)
RECORDING_HANDLER(handleServerSettingsUpdate, ServerSettingsUpdate)
RECORDING_HANDLER(handlePluginListRequest, PluginListRequest)
RECORDING_HANDLER(handleVServerListRequest, VServerListRequest)
RECORDING_HANDLER(handleVServerStop, VServerStop)
RECORDING_HANDLER(handleVServerStart, VServerStart)

#undef RECORDING_HANDLER

}  // namespace Korrafin

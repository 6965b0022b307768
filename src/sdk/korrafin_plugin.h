/*
 * Korrafin plugin interface.
 *
 * A plugin is a shared object whose file name ends in ".so", placed in the
 * directory "plugins" under the server's working directory. At start-up the
 * server loads every plugin once for each virtual server that exists at that
 * moment; each load gets a context of its own (KRP_Context), while the
 * object's global variables are shared by all of them. Virtual servers
 * created later run without plugins.
 *
 * Building a plugin (C or C++; nothing but this header is needed):
 *
 *     cc -std=c11 -shared -fPIC -I<path of this header> my_plugin.c -o my_plugin.so
 *
 * then copy my_plugin.so into "plugins" and restart the server. The server
 * opens it with lazy binding and local symbol scope, so one plugin's symbols
 * are not visible to another. A C++ plugin defines its entry points after
 * including this header (which gives them C linkage); exceptions must not
 * leave them (the host catches and logs what escapes, but the plugin's state
 * is then whatever the throw left).
 *
 * Entry points (define them with exactly these names and signatures):
 *   krp_plugin_info      required; called first, on the start-up thread. A null
 *                        result refuses the plugin. The record is copied at once.
 *   krp_plugin_init      required; called next, on the start-up thread, with the
 *                        plugin's context and the host function table; both stay
 *                        valid until krp_plugin_shutdown returns. 0 accepts the
 *                        plugin; any other value refuses it: its timers are
 *                        cancelled, the library is closed, and krp_plugin_shutdown
 *                        is not called.
 *   krp_plugin_shutdown  optional; called once at server shutdown, after the
 *                        timers have stopped, just before the library is closed.
 *   krp_on_chat_message  optional; called on the sender's connection thread after
 *                        every channel chat message of a client of the plugin's
 *                        virtual server. The plugins of one virtual server get the
 *                        messages one after another, in load order.
 *   The other krp_on_* exports below are looked up and kept, but the server
 *   never raises those events; krp_on_voice_frame has no fixed signature.
 *
 * Host functions may be called from any thread. set_timeout, set_interval and
 * clear_timer act only inside a call the host made into a plugin
 * (krp_plugin_init, krp_on_chat_message, a timer callback); on any other
 * thread the first two return -1 and clear_timer does nothing. set_timeout and
 * set_interval set a timer for the plugin of that call alone: with any other
 * context (another load of the same object included) they return -1. Timer
 * ids count per virtual server; clear_timer cancels the timer of that id of
 * the given context's virtual server (a null context: the virtual server of
 * the call), whichever of its plugins set it.
 * Timer callbacks run one after another on the virtual server's timer thread.
 *
 * Texts are NUL-terminated byte strings; the host copies texts it is given
 * before returning. Texts the host returns (get_user, get_channel,
 * get_server_name) live in storage of the calling thread, one per function,
 * valid until the next call of the same function on the same thread.
 *
 * The layout below is a binary interface (LP64 Linux): field order, widths,
 * offsets and sizes never change.
 */
#ifndef KORRAFIN_PLUGIN_H
#define KORRAFIN_PLUGIN_H

#include <stdbool.h>
#include <stdint.h>

#ifdef __cplusplus
extern "C" {
#endif

#define KRP_EXPORT __attribute__((visibility("default")))

/* Result codes of host functions that report a status. */
#define KRP_OK 0           /* done (for some functions: handed to the server) */
#define KRP_ERR_FAILED 1   /* the server refused the operation */
#define KRP_ERR_NOT_FOUND 3 /* no such user or channel */
#define KRP_ERR_INVALID 4  /* null context, no virtual server or relay, null pointer */

/* The handle of one loaded plugin; owned by the host, opaque to plugins. */
typedef struct KRP_Context KRP_Context;

/* Returned by krp_plugin_info (32 bytes). A null member reads as "". */
typedef struct KRP_PluginInfo {
    const char* name;        /* names the plugin in logs, its chat messages and the plugin list */
    const char* version;
    const char* author;
    const char* description;
} KRP_PluginInfo;

/* Filled by get_user (32 bytes). */
typedef struct KRP_User {
    uint32_t id;          /* client id */
    uint16_t channel_id;  /* 0 = in no channel yet */
    const char* nickname;
    const char* role;     /* "guest", "member", "moderator", "admin" or "owner" */
    uint8_t reserved[3];  /* always 0 */
} KRP_User;

/* Filled by get_channel (48 bytes). */
typedef struct KRP_Channel {
    uint16_t id;
    uint16_t parent_id;   /* 0 = top level */
    const char* name;
    const char* description;
    const char* type;     /* "voice", "text", "news" or "spacer" */
    uint16_t max_users;   /* 0 = unlimited */
    uint32_t user_count;  /* members at the time of the call */
    uint8_t permanent;    /* 1 or 0 */
} KRP_Channel;

/* Passed to krp_on_chat_message (40 bytes); valid for that call only. */
typedef struct KRP_ChatMessage {
    uint64_t message_id;  /* the number the clients receive with the message */
    uint32_t client_id;   /* sender */
    uint16_t channel_id;
    const char* nickname; /* sender's nickname */
    const char* text;     /* 1 to 4096 bytes */
    uint64_t reserved;    /* always 0 */
} KRP_ChatMessage;

typedef void (*KRP_TimerCallback)(KRP_Context* ctx, void* user_data);

/* The host function table (176 bytes, 22 slots, none null). */
typedef struct KRP_HostApi {
    /* Chat message to every member of the channel, sender id 0, sender name
     * "[" plugin name "]". KRP_OK also for an unknown or empty channel. */
    int (*send_message)(KRP_Context* ctx, uint16_t channel_id, const char* text);
    /* Direct message (1 to 4096 bytes) to a user of the virtual server, sender
     * id 0 and the bracketed plugin name. KRP_OK whether delivered or not. */
    int (*send_dm)(KRP_Context* ctx, uint32_t client_id, const char* text);
    int (*delete_message)(KRP_Context* ctx, uint64_t message_id); /* does nothing; KRP_OK */
    /* Moderation with the system's rights; KRP_OK also for an unknown user or
     * a refused move. A null reason is "". seconds <= 0 bans for good. */
    int (*kick_user)(KRP_Context* ctx, uint32_t client_id, const char* reason);
    int (*ban_user)(KRP_Context* ctx, uint32_t client_id, const char* reason, int seconds);
    int (*move_user)(KRP_Context* ctx, uint32_t client_id, uint16_t channel_id);
    int (*set_muted)(KRP_Context* ctx, uint32_t client_id, bool muted); /* does nothing; KRP_OK */
    /* "moderator", "admin" or "owner" (exact); any other text means "member". */
    int (*set_role)(KRP_Context* ctx, uint32_t client_id, const char* role);
    /* A voice channel; out_id (may be null) gets its id, 0 on refusal. */
    int (*create_channel)(KRP_Context* ctx, uint16_t parent_id, const char* name, uint16_t* out_id);
    int (*delete_channel)(KRP_Context* ctx, uint16_t channel_id);
    int (*rename_channel)(KRP_Context* ctx, uint16_t channel_id, const char* name);
    int (*get_user)(KRP_Context* ctx, uint32_t client_id, KRP_User* out);
    int (*get_channel)(KRP_Context* ctx, uint16_t channel_id, KRP_Channel* out);
    /* Writes up to max client ids to out (nothing when out is null) and
     * returns how many there are, at most max. */
    int (*get_online_users)(KRP_Context* ctx, uint32_t* out, int max);
    const char* (*get_server_name)(KRP_Context* ctx);
    /* Signed 16-bit PCM as one voice datagram to the channel's members. */
    int (*inject_voice)(KRP_Context* ctx, uint16_t channel_id, const int16_t* pcm, int samples);
    int (*db_set)(KRP_Context* ctx, const char* key, const char* value); /* stores nothing; KRP_OK */
    const char* (*db_get)(KRP_Context* ctx, const char* key);           /* always null */
    /* A timer id (1 or more), or -1 outside a host call into a plugin or with
     * a context other than that call's. */
    int (*set_timeout)(KRP_Context* ctx, int ms, KRP_TimerCallback callback, void* user_data);
    int (*set_interval)(KRP_Context* ctx, int ms, KRP_TimerCallback callback, void* user_data);
    void (*clear_timer)(KRP_Context* ctx, int timer_id);
    /* level "ERROR" or "WARN" (exact), anything else (null too) is info. */
    void (*log_fn)(KRP_Context* ctx, const char* level, const char* text);
} KRP_HostApi;

/* Entry point types, as the host looks them up. */
typedef const KRP_PluginInfo* (*KRP_PluginInfoFn)(void);
typedef int (*KRP_PluginInitFn)(KRP_Context* ctx, const KRP_HostApi* api);
typedef void (*KRP_PluginShutdownFn)(KRP_Context* ctx);
typedef void (*KRP_OnChatMessageFn)(KRP_Context* ctx, const KRP_ChatMessage* msg);
typedef void (*KRP_OnUserConnectedFn)(KRP_Context* ctx, const KRP_User* user);
typedef void (*KRP_OnUserDisconnectedFn)(KRP_Context* ctx, uint32_t client_id);
typedef void (*KRP_OnUserJoinChannelFn)(KRP_Context* ctx, const KRP_User* user, uint16_t channel_id);
typedef void (*KRP_OnUserLeaveChannelFn)(KRP_Context* ctx, uint32_t client_id, uint16_t channel_id);
typedef void (*KRP_OnChannelCreatedFn)(KRP_Context* ctx, const KRP_Channel* channel);
typedef void (*KRP_OnChannelDeletedFn)(KRP_Context* ctx, uint16_t channel_id);

KRP_EXPORT const KRP_PluginInfo* krp_plugin_info(void);
KRP_EXPORT int krp_plugin_init(KRP_Context* ctx, const KRP_HostApi* api);
KRP_EXPORT void krp_plugin_shutdown(KRP_Context* ctx);
KRP_EXPORT void krp_on_chat_message(KRP_Context* ctx, const KRP_ChatMessage* msg);
KRP_EXPORT void krp_on_user_connected(KRP_Context* ctx, const KRP_User* user);
KRP_EXPORT void krp_on_user_disconnected(KRP_Context* ctx, uint32_t client_id);
KRP_EXPORT void krp_on_user_join_channel(KRP_Context* ctx, const KRP_User* user, uint16_t channel_id);
KRP_EXPORT void krp_on_user_leave_channel(KRP_Context* ctx, uint32_t client_id, uint16_t channel_id);
KRP_EXPORT void krp_on_channel_created(KRP_Context* ctx, const KRP_Channel* channel);
KRP_EXPORT void krp_on_channel_deleted(KRP_Context* ctx, uint16_t channel_id);

#ifdef __cplusplus
}
#endif

#endif /* KORRAFIN_PLUGIN_H */

/*
 * Lobby helper: an example Korrafin plugin in plain C, built against
 * korrafin_plugin.h and nothing else. It answers chat commands:
 *
 *   !ping          answers "pong" in the channel
 *   !whoami        looks up the sender and the sender's channel
 *   !who           counts the users online on this virtual server
 *   !remind [s]    posts a reminder in the channel after s seconds (default 1)
 *   !beep          plays a short tone into the sender's channel
 *   !dm            sends the sender a direct message
 *
 * Build:  cc -std=c11 -shared -fPIC -I<sdk dir> lobby_helper.c -o lobby_helper.so
 * Run:    copy lobby_helper.so into the server's "plugins" directory.
 *
 * The server loads the object once per virtual server; each load has its own
 * context, while global variables are shared. So nothing here keeps a
 * context: every call works with the one it is handed.
 */
#include <stdint.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>

#include "korrafin_plugin.h"

/* Every load gets a table with the same functions; any one of them will do
 * for as long as one load of this object is alive. */
static const KRP_HostApi* host;

static const KRP_PluginInfo info = {
    "Helper",
    "1.0",
    "Korrafin",
    "Answers !ping, !whoami, !who, !remind, !beep and !dm",
};

const KRP_PluginInfo* krp_plugin_info(void) { return &info; }

int krp_plugin_init(KRP_Context* ctx, const KRP_HostApi* api) {
    char line[160];
    host = api;
    snprintf(line, sizeof line, "ready on %s", api->get_server_name(ctx));
    api->log_fn(ctx, "INFO", line);
    return 0;
}

void krp_plugin_shutdown(KRP_Context* ctx) { host->log_fn(ctx, "INFO", "shutting down"); }

static void say(KRP_Context* ctx, uint16_t channel, const char* text) { host->send_message(ctx, channel, text); }

/* The channel travels in the timer's user data, so nothing is allocated
 * that a timer dropped at shutdown would leak. */
static void remind(KRP_Context* ctx, void* user_data) {
    say(ctx, (uint16_t)(uintptr_t)user_data, "Reminder!");
}

static void who_am_i(KRP_Context* ctx, const KRP_ChatMessage* msg) {
    char line[512];
    KRP_User user;
    KRP_Channel channel;
    if (host->get_user(ctx, msg->client_id, &user) != KRP_OK) return;
    if (host->get_channel(ctx, user.channel_id, &channel) != KRP_OK) {
        snprintf(line, sizeof line, "%s is %s and in no channel", user.nickname, user.role);
    } else {
        snprintf(line, sizeof line, "%s is %s in %s (%s, %u users)", user.nickname, user.role, channel.name,
                 channel.type, (unsigned)channel.user_count);
    }
    say(ctx, msg->channel_id, line);
}

static void who(KRP_Context* ctx, const KRP_ChatMessage* msg) {
    char line[512];
    const int online = host->get_online_users(ctx, NULL, 1000000);
    snprintf(line, sizeof line, "%d online on %s", online, host->get_server_name(ctx));
    say(ctx, msg->channel_id, line);
}

static void schedule_reminder(KRP_Context* ctx, const KRP_ChatMessage* msg, const char* arg) {
    long seconds = 1;
    char line[64];
    if (*arg != '\0') seconds = strtol(arg, NULL, 10);
    if (seconds < 1 || seconds > 3600) {
        say(ctx, msg->channel_id, "Usage: !remind [1-3600]");
        return;
    }
    if (host->set_timeout(ctx, (int)(seconds * 1000), remind, (void*)(uintptr_t)msg->channel_id) < 0) return;
    snprintf(line, sizeof line, "Reminding you in %ld s", seconds);
    say(ctx, msg->channel_id, line);
}

/* 20 ms of a 400 Hz square wave at 48 kHz, at a quarter of full scale. */
static void beep(KRP_Context* ctx, const KRP_ChatMessage* msg) {
    enum { SAMPLES = 960, HALF_PERIOD = 60 };
    int16_t pcm[SAMPLES];
    KRP_User user;
    for (int i = 0; i < SAMPLES; ++i) pcm[i] = (i / HALF_PERIOD) % 2 ? -8192 : 8192;
    if (host->get_user(ctx, msg->client_id, &user) != KRP_OK) return;
    host->inject_voice(ctx, user.channel_id, pcm, SAMPLES);
}

static void direct(KRP_Context* ctx, const KRP_ChatMessage* msg) {
    char line[128];
    snprintf(line, sizeof line, "Hello %s, only you can read this.", msg->nickname);
    host->send_dm(ctx, msg->client_id, line);
}

void krp_on_chat_message(KRP_Context* ctx, const KRP_ChatMessage* msg) {
    const char* text = msg->text;
    if (strcmp(text, "!ping") == 0) {
        say(ctx, msg->channel_id, "pong");
    } else if (strcmp(text, "!whoami") == 0) {
        who_am_i(ctx, msg);
    } else if (strcmp(text, "!who") == 0) {
        who(ctx, msg);
    } else if (strcmp(text, "!remind") == 0 || strncmp(text, "!remind ", 8) == 0) {
        schedule_reminder(ctx, msg, text[7] == ' ' ? text + 8 : "");
    } else if (strcmp(text, "!beep") == 0) {
        beep(ctx, msg);
    } else if (strcmp(text, "!dm") == 0) {
        direct(ctx, msg);
    }
}

/*
 * Test plugin: answers chat commands so tests can see what its calls did.
 *   "ctx"   answers "ctx <n>": which load of this object got the message
 *   "echo <text>"  answers <text>
 * At init it sets a timeout and, from a thread of its own, tries another; it
 * logs both ids ("init <n>: timeout <id>, own thread <id>"). Shutdown logs
 * "shutdown <n>". The name comes from PROBE_NAME.
 */
#include <pthread.h>
#include <stdio.h>
#include <string.h>

#include "korrafin_plugin.h"

#ifndef PROBE_NAME
#define PROBE_NAME "Probe"
#endif

enum { MAX_LOADS = 16 };

/* Shared by every load of this object; loads happen one after another on
 * the start-up thread, before any event arrives. */
static KRP_Context* loads[MAX_LOADS];
static int load_count;
static const KRP_HostApi* host;

static const KRP_PluginInfo info = {PROBE_NAME, "2.5", "Tester", "answers ctx and echo"};

const KRP_PluginInfo* krp_plugin_info(void) { return &info; }

static int index_of(KRP_Context* ctx) {
    for (int i = 0; i < load_count; ++i)
        if (loads[i] == ctx) return i;
    return -1;
}

static void on_timer(KRP_Context* ctx, void* user_data) {
    (void)ctx;
    (void)user_data;
}

struct own_thread_call {
    KRP_Context* ctx;
    int result;
};

static void* own_thread(void* arg) {
    struct own_thread_call* call = arg;
    call->result = host->set_timeout(call->ctx, 10, on_timer, NULL);
    return NULL;
}

int krp_plugin_init(KRP_Context* ctx, const KRP_HostApi* api) {
    char line[128];
    pthread_t thread;
    struct own_thread_call call = {ctx, 0};
    if (load_count == MAX_LOADS) return 1;
    host = api;
    loads[load_count++] = ctx;
    const int timeout = api->set_timeout(ctx, 60000, on_timer, NULL);
    if (pthread_create(&thread, NULL, own_thread, &call) != 0) return 2;
    pthread_join(thread, NULL);
    snprintf(line, sizeof line, "init %d: timeout %d, own thread %d", index_of(ctx), timeout, call.result);
    api->log_fn(ctx, "INFO", line);
    return 0;
}

void krp_plugin_shutdown(KRP_Context* ctx) {
    char line[64];
    snprintf(line, sizeof line, "shutdown %d", index_of(ctx));
    host->log_fn(ctx, "INFO", line);
}

void krp_on_chat_message(KRP_Context* ctx, const KRP_ChatMessage* msg) {
    char line[64];
    if (strcmp(msg->text, "ctx") == 0) {
        snprintf(line, sizeof line, "ctx %d", index_of(ctx));
        host->send_message(ctx, msg->channel_id, line);
    } else if (strncmp(msg->text, "echo ", 5) == 0) {
        host->send_message(ctx, msg->channel_id, msg->text + 5);
    }
}

/*
 * Test plugin for timers on several virtual servers: every load sets a 1 ms
 * interval at init (logged as "init <n>: interval <id>"). The chat command
 * "cross" makes load n clear load n+1's interval, passing load n+1's context,
 * and try to set a timeout and an interval with that context and with its
 * own ("cross <n>: foreign timeout <id>, foreign interval <id>, own timeout
 * <id>"). From then on each load logs "<n> ticks on" at the second firing of
 * its interval after the command.
 */
#include <stdint.h>
#include <stdio.h>
#include <string.h>

#include "korrafin_plugin.h"

enum { MAX_LOADS = 4 };

/* Written by the loads, one after another on the start-up thread, and read
 * by the events that come after them; the timers of an earlier load already
 * run while a later one is made, so they use only what is atomic. */
static KRP_Context* loads[MAX_LOADS];
static int intervals[MAX_LOADS];
static int load_count;
static const KRP_HostApi* host; /* atomic */

/* Set on a chat thread, read on the timer threads. */
static int crossed;
static int ticks_after[MAX_LOADS];

static const KRP_PluginInfo info = {"CrossTimers", "1", "Tester", "timers across virtual servers"};

const KRP_PluginInfo* krp_plugin_info(void) { return &info; }

static int index_of(KRP_Context* ctx) {
    for (int i = 0; i < load_count; ++i)
        if (loads[i] == ctx) return i;
    return -1;
}

static void nothing(KRP_Context* ctx, void* user_data) {
    (void)ctx;
    (void)user_data;
}

static void tick(KRP_Context* ctx, void* user_data) {
    char line[32];
    const int n = (int)(intptr_t)user_data;
    if (!__atomic_load_n(&crossed, __ATOMIC_ACQUIRE)) return;
    if (__atomic_add_fetch(&ticks_after[n], 1, __ATOMIC_RELAXED) == 2) {
        snprintf(line, sizeof line, "%d ticks on", n);
        __atomic_load_n(&host, __ATOMIC_ACQUIRE)->log_fn(ctx, "INFO", line);
    }
}

int krp_plugin_init(KRP_Context* ctx, const KRP_HostApi* api) {
    char line[64];
    if (load_count == MAX_LOADS) return 1;
    __atomic_store_n(&host, api, __ATOMIC_RELEASE);
    loads[load_count] = ctx;
    intervals[load_count] = api->set_interval(ctx, 1, tick, (void*)(intptr_t)load_count);
    snprintf(line, sizeof line, "init %d: interval %d", load_count, intervals[load_count]);
    ++load_count;
    api->log_fn(ctx, "INFO", line);
    return 0;
}

void krp_on_chat_message(KRP_Context* ctx, const KRP_ChatMessage* msg) {
    char line[128];
    const int n = index_of(ctx);
    if (n < 0 || strcmp(msg->text, "cross") != 0) return;
    KRP_Context* other = loads[(n + 1) % load_count];
    host->clear_timer(other, intervals[(n + 1) % load_count]);
    const int foreignTimeout = host->set_timeout(other, 0, nothing, NULL);
    const int foreignInterval = host->set_interval(other, 1, nothing, NULL);
    const int ownTimeout = host->set_timeout(ctx, 60000, nothing, NULL);
    /* After the clear: a cleared interval fires at most once more (a tick
     * that had already collected it), so it never reaches two. */
    __atomic_store_n(&crossed, 1, __ATOMIC_RELEASE);
    snprintf(line, sizeof line, "cross %d: foreign timeout %d, foreign interval %d, own timeout %d", n,
             foreignTimeout, foreignInterval, ownTimeout);
    host->log_fn(ctx, "INFO", line);
}

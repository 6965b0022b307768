/*
 * Test plugin: its init sets a timer, waits until the timer's callback runs,
 * and refuses while the callback is still busy. The host must let the
 * callback finish before it closes this library; the callback's last act is
 * the log line "tick done". Any later call into this object would find it
 * unmapped.
 */
#include <stdatomic.h>
#include <time.h>

#include "korrafin_plugin.h"

static const KRP_PluginInfo info = {"FailAfterTimer", "1", "Tester", "refuses while its timer runs"};
static const KRP_HostApi* host;
static atomic_int entered;

static void pause_ms(long ms) {
    struct timespec t = {ms / 1000, (ms % 1000) * 1000000L};
    while (nanosleep(&t, &t) != 0) {
    }
}

static void busy(KRP_Context* ctx, void* user_data) {
    (void)user_data;
    atomic_store(&entered, 1);
    pause_ms(200);
    host->log_fn(ctx, "INFO", "tick done");
}

static void never(KRP_Context* ctx, void* user_data) {
    (void)user_data;
    host->log_fn(ctx, "INFO", "late timer ran");
}

const KRP_PluginInfo* krp_plugin_info(void) { return &info; }

int krp_plugin_init(KRP_Context* ctx, const KRP_HostApi* api) {
    host = api;
    api->set_timeout(ctx, 0, busy, NULL);
    api->set_timeout(ctx, 300, never, NULL);
    api->set_interval(ctx, 1, never, NULL);
    for (int waited = 0; !atomic_load(&entered) && waited < 10000; ++waited) pause_ms(1);
    return 1;
}

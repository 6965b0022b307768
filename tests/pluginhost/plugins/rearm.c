/*
 * Test plugin: a 1 ms timeout whose callback sets the next one, together
 * with a burst of short extra timers, so the host's timer list grows while
 * a tick walks the timers it collected. It logs "fired <n>" at every
 * hundredth firing.
 */
#include <stdio.h>

#include "korrafin_plugin.h"

static const KRP_PluginInfo info = {"Rearm", "1", "Tester", "re-arms a 1 ms timer"};
static const KRP_HostApi* host;
static int fired;

static void extra(KRP_Context* ctx, void* user_data) {
    (void)ctx;
    (void)user_data;
}

static void again(KRP_Context* ctx, void* user_data) {
    char line[32];
    if (++fired % 100 == 0) {
        snprintf(line, sizeof line, "fired %d", fired);
        host->log_fn(ctx, "INFO", line);
    }
    for (int i = 0; i < 8; ++i) host->set_timeout(ctx, i % 3, extra, user_data);
    host->set_timeout(ctx, 1, again, user_data);
}

const KRP_PluginInfo* krp_plugin_info(void) { return &info; }

int krp_plugin_init(KRP_Context* ctx, const KRP_HostApi* api) {
    host = api;
    return api->set_timeout(ctx, 1, again, NULL) > 0 ? 0 : 1;
}

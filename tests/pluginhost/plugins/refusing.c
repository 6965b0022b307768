/*
 * Test plugin in several builds, one per way a plugin can be refused or
 * odd (chosen by a definition):
 *   NULL_INFO        krp_plugin_info returns null
 *   NO_INIT          krp_plugin_init is missing
 *   INIT_RESULT=n    krp_plugin_init returns n
 *   EMPTY_INFO       every member of the info record is null; chat answers "anon"
 * Every hook it has logs "<hook> ran", so a test sees calls that must not happen.
 */
#include <stddef.h>
#include <string.h>

#include "korrafin_plugin.h"

#ifndef INIT_RESULT
#define INIT_RESULT 0
#endif

#if defined(EMPTY_INFO)
static const KRP_PluginInfo info = {NULL, NULL, NULL, NULL};
#elif !defined(NULL_INFO)
static const KRP_PluginInfo info = {"Refusing", "1", "Tester", "refused one way or another"};
#endif

static const KRP_HostApi* host;

const KRP_PluginInfo* krp_plugin_info(void) {
#ifdef NULL_INFO
    return NULL;
#else
    return &info;
#endif
}

#ifndef NO_INIT
int krp_plugin_init(KRP_Context* ctx, const KRP_HostApi* api) {
    host = api;
    api->log_fn(ctx, "INFO", "init ran");
    return INIT_RESULT;
}
#endif

void krp_plugin_shutdown(KRP_Context* ctx) { host->log_fn(ctx, "INFO", "shutdown ran"); }

void krp_on_chat_message(KRP_Context* ctx, const KRP_ChatMessage* msg) {
    host->log_fn(ctx, "INFO", "chat ran");
    host->send_message(ctx, msg->channel_id, "anon");
}

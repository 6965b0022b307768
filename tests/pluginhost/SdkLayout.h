/*
 * Every offset and size of the plugin interface's records, as plugins built
 * by any compiler must see them. Included by a C and by a C++ translation
 * unit, so both languages are held to the same layout.
 */
#ifndef KORRAFIN_TEST_SDK_LAYOUT_H
#define KORRAFIN_TEST_SDK_LAYOUT_H

#include <stddef.h>

#include "korrafin_plugin.h"

#ifdef __cplusplus
#define KRP_LAYOUT(expr) static_assert(expr, #expr)
#else
#define KRP_LAYOUT(expr) _Static_assert(expr, #expr)
#endif

KRP_LAYOUT(sizeof(KRP_PluginInfo) == 32);
KRP_LAYOUT(offsetof(KRP_PluginInfo, name) == 0);
KRP_LAYOUT(offsetof(KRP_PluginInfo, version) == 8);
KRP_LAYOUT(offsetof(KRP_PluginInfo, author) == 16);
KRP_LAYOUT(offsetof(KRP_PluginInfo, description) == 24);

KRP_LAYOUT(sizeof(KRP_User) == 32);
KRP_LAYOUT(offsetof(KRP_User, id) == 0);
KRP_LAYOUT(offsetof(KRP_User, channel_id) == 4);
KRP_LAYOUT(offsetof(KRP_User, nickname) == 8);
KRP_LAYOUT(offsetof(KRP_User, role) == 16);
KRP_LAYOUT(offsetof(KRP_User, reserved) == 24);
KRP_LAYOUT(sizeof(((KRP_User*)0)->reserved) == 3);

KRP_LAYOUT(sizeof(KRP_Channel) == 48);
KRP_LAYOUT(offsetof(KRP_Channel, id) == 0);
KRP_LAYOUT(offsetof(KRP_Channel, parent_id) == 2);
KRP_LAYOUT(offsetof(KRP_Channel, name) == 8);
KRP_LAYOUT(offsetof(KRP_Channel, description) == 16);
KRP_LAYOUT(offsetof(KRP_Channel, type) == 24);
KRP_LAYOUT(offsetof(KRP_Channel, max_users) == 32);
KRP_LAYOUT(offsetof(KRP_Channel, user_count) == 36);
KRP_LAYOUT(offsetof(KRP_Channel, permanent) == 40);

KRP_LAYOUT(sizeof(KRP_ChatMessage) == 40);
KRP_LAYOUT(offsetof(KRP_ChatMessage, message_id) == 0);
KRP_LAYOUT(offsetof(KRP_ChatMessage, client_id) == 8);
KRP_LAYOUT(offsetof(KRP_ChatMessage, channel_id) == 12);
KRP_LAYOUT(offsetof(KRP_ChatMessage, nickname) == 16);
KRP_LAYOUT(offsetof(KRP_ChatMessage, text) == 24);
KRP_LAYOUT(offsetof(KRP_ChatMessage, reserved) == 32);

KRP_LAYOUT(sizeof(bool) == 1);
KRP_LAYOUT(sizeof(KRP_HostApi) == 176);
KRP_LAYOUT(offsetof(KRP_HostApi, send_message) == 0);
KRP_LAYOUT(offsetof(KRP_HostApi, send_dm) == 8);
KRP_LAYOUT(offsetof(KRP_HostApi, delete_message) == 16);
KRP_LAYOUT(offsetof(KRP_HostApi, kick_user) == 24);
KRP_LAYOUT(offsetof(KRP_HostApi, ban_user) == 32);
KRP_LAYOUT(offsetof(KRP_HostApi, move_user) == 40);
KRP_LAYOUT(offsetof(KRP_HostApi, set_muted) == 48);
KRP_LAYOUT(offsetof(KRP_HostApi, set_role) == 56);
KRP_LAYOUT(offsetof(KRP_HostApi, create_channel) == 64);
KRP_LAYOUT(offsetof(KRP_HostApi, delete_channel) == 72);
KRP_LAYOUT(offsetof(KRP_HostApi, rename_channel) == 80);
KRP_LAYOUT(offsetof(KRP_HostApi, get_user) == 88);
KRP_LAYOUT(offsetof(KRP_HostApi, get_channel) == 96);
KRP_LAYOUT(offsetof(KRP_HostApi, get_online_users) == 104);
KRP_LAYOUT(offsetof(KRP_HostApi, get_server_name) == 112);
KRP_LAYOUT(offsetof(KRP_HostApi, inject_voice) == 120);
KRP_LAYOUT(offsetof(KRP_HostApi, db_set) == 128);
KRP_LAYOUT(offsetof(KRP_HostApi, db_get) == 136);
KRP_LAYOUT(offsetof(KRP_HostApi, set_timeout) == 144);
KRP_LAYOUT(offsetof(KRP_HostApi, set_interval) == 152);
KRP_LAYOUT(offsetof(KRP_HostApi, clear_timer) == 160);
KRP_LAYOUT(offsetof(KRP_HostApi, log_fn) == 168);

KRP_LAYOUT(KRP_OK == 0);
KRP_LAYOUT(KRP_ERR_FAILED == 1);
KRP_LAYOUT(KRP_ERR_NOT_FOUND == 3);
KRP_LAYOUT(KRP_ERR_INVALID == 4);

#endif

// The two pages of the panel, served as they are. They load nothing from
// anywhere else: the look is their own style block, and every server text
// reaches the page through textContent, ids through data attributes.
#include <array>
#include <cstddef>

#include "webpanel/WebPanelServer.h"

namespace Korrafin {

namespace {

// The texts joined into one NUL-terminated array at compile time.
template <std::size_t... N>
constexpr auto joinTexts(const char (&... parts)[N]) {
    std::array<char, (N + ...) - sizeof...(N) + 1> out{};
    std::size_t at = 0;
    const auto append = [&](const char* text, std::size_t size) {
        for (std::size_t i = 0; i + 1 < size; ++i) out[at++] = text[i];
    };
    (append(parts, N), ...);
    out[at] = '\0';
    return out;
}

// What both pages begin with, up to their style block.
constexpr char kHead[] = R"PAGE(<!DOCTYPE html>
<html lang="en">
<head>
<meta charset="utf-8">
<meta name="viewport" content="width=device-width, initial-scale=1">
<title>Korrafin Panel</title>
<style>)PAGE";

// The look both pages share.
constexpr char kStyle[] = R"CSS(
*{box-sizing:border-box}
body{margin:0;background:#0d1117;color:#e6edf3;font-family:system-ui,-apple-system,"Segoe UI",Roboto,Helvetica,Arial,sans-serif;font-size:14px}
.logo{display:inline-flex;align-items:center;justify-content:center;width:40px;height:40px;border-radius:10px;background:#2563eb;color:#fff;font-size:22px}
.card{background:#161b22;border:1px solid #30363d;border-radius:10px;padding:18px}
.btn{border:0;border-radius:6px;padding:7px 14px;font:inherit;color:#fff;background:#374151;cursor:pointer}
.btn:hover{filter:brightness(1.15)}
.btn-primary{background:#2563eb}
.btn-danger{background:#dc2626}
.btn-small{padding:4px 10px;font-size:12px}
input,select{width:100%;padding:8px 10px;border:1px solid #30363d;border-radius:6px;background:#0d1117;color:#e6edf3;font:inherit}
label{display:block;margin:10px 0 4px;color:#8b949e;font-size:12px}
.hint{color:#6e7681}
.error-box{background:#3b1219;border:1px solid #dc2626;color:#fca5a5;border-radius:6px;padding:8px 10px;margin:10px 0}
[hidden]{display:none!important}
)CSS";

constexpr char kLoginBody[] = R"PAGE(
body{display:flex;min-height:100vh;align-items:center;justify-content:center}
.login-card{width:340px;text-align:center}
.login-card h1{font-size:20px;margin:12px 0 2px}
.subtitle{color:#8b949e;margin:0 0 14px}
form{text-align:left}
form .btn{width:100%;margin-top:14px;padding:9px}
.footer{color:#6e7681;font-size:12px;margin:16px 0 0}
</style>
</head>
<body>
<main class="card login-card">
  <div class="logo">&#9835;</div>
  <h1>Korrafin Panel</h1>
  <p class="subtitle">Server Management</p>
  <div id="error" class="error-box" hidden></div>
  <form id="login-form">
    <label for="password">Admin Password</label>
    <input type="password" id="password" name="password" placeholder="Enter password" autocomplete="current-password" autofocus>
    <button type="submit" class="btn btn-primary">Sign In</button>
  </form>
  <p class="footer">Korrafin Embedded Panel</p>
</main>
<script>
document.getElementById('password').focus();
document.getElementById('login-form').addEventListener('submit', async (ev) => {
  ev.preventDefault();
  const body = 'password=' + encodeURIComponent(document.getElementById('password').value);
  const res = await fetch('/api/login', {method: 'POST', headers: {'Content-Type': 'application/x-www-form-urlencoded'}, body});
  const answer = await res.json();
  if (answer.ok) { location.href = '/panel'; return; }
  const box = document.getElementById('error');
  box.textContent = answer.error || 'Login failed';
  box.hidden = false;
});
</script>
</body>
</html>
)PAGE";

constexpr char kPanelBody[] = R"PAGE(
body{display:flex;min-height:100vh}
aside{width:210px;flex:none;background:#161b22;border-right:1px solid #30363d;display:flex;flex-direction:column;padding:14px 10px}
.brand{display:flex;align-items:center;gap:10px;font-weight:600;font-size:16px;padding:0 6px 16px}
.brand .logo{width:32px;height:32px;font-size:18px;border-radius:8px}
nav{display:flex;flex-direction:column;gap:2px;flex:1}
.nav{display:block;width:100%;text-align:left;background:none;border:0;color:#c9d1d9;padding:9px 10px;border-radius:6px;font:inherit;cursor:pointer}
.nav:hover{background:#1f2630}
.nav.active{background:#2563eb22;color:#fff;box-shadow:inset 3px 0 #2563eb}
.nav.logout{color:#f87171}
main{flex:1;padding:24px 28px;overflow:auto}
.view-head{display:flex;align-items:center;justify-content:space-between;margin-bottom:16px}
.view-head h2{margin:0;font-size:20px}
.stats{display:grid;grid-template-columns:repeat(4,1fr);gap:14px;margin-bottom:14px}
.stat .label{color:#8b949e;font-size:12px}
.stat .value{font-size:26px;font-weight:600;margin-top:6px}
.vs-line{display:flex;justify-content:space-between;padding:8px 0;border-top:1px solid #30363d}
.vs-line:first-child{border-top:0}
.muted{color:#8b949e}
table{width:100%;border-collapse:collapse;background:#161b22;border:1px solid #30363d;border-radius:10px;overflow:hidden}
th,td{text-align:left;padding:9px 12px;border-bottom:1px solid #30363d;vertical-align:middle}
th{color:#8b949e;font-weight:500;font-size:12px;background:#11161d}
tr:last-child td{border-bottom:0}
td.error{color:#f87171}
td.actions{white-space:nowrap;text-align:right}
td.actions .btn{margin-left:6px}
.mono{font-family:ui-monospace,SFMono-Regular,Menlo,Consolas,monospace;font-size:12px}
.clip{display:inline-block;max-width:220px;overflow:hidden;text-overflow:ellipsis;white-space:nowrap;vertical-align:bottom}
.badge{display:inline-block;padding:2px 8px;border-radius:10px;font-size:12px;background:#374151}
.badge.hl{background:#2563eb}
.badge.green{background:#14532d;color:#86efac}
.badge.amber{background:#713f12;color:#fcd34d}
.badge.red{background:#7f1d1d;color:#fca5a5}
.online{color:#4ade80;font-weight:600}
.backdrop{position:fixed;inset:0;background:#000a;display:flex;align-items:center;justify-content:center;z-index:10}
.dialog{width:420px;max-width:92vw}
.dialog h3{margin:0 0 6px}
.dialog .buttons{display:flex;justify-content:flex-end;gap:8px;margin-top:16px}
#toast{position:fixed;right:20px;bottom:20px;background:#161b22;border:1px solid #30363d;border-radius:8px;padding:10px 14px;z-index:20;max-width:420px;word-break:break-all}
#toast.error{border-color:#dc2626}
</style>
</head>
<body>
<aside>
  <div class="brand"><span class="logo">&#9835;</span>Korrafin</div>
  <nav>
    <button class="nav" data-view="dashboard">&#128202; Dashboard</button>
    <button class="nav" data-view="users">&#128101; Online Users</button>
    <button class="nav" data-view="channels">&#128172; Channels</button>
    <button class="nav" data-view="privkeys">&#128273; Privilege Keys</button>
    <button class="nav" data-view="bottokens">&#129302; Bot Tokens</button>
    <button class="nav" data-view="vservers">&#128421;&#65039; Virtual Servers</button>
  </nav>
  <button class="nav logout" data-action="logout">&#128682; Logout</button>
</aside>
<main>
  <section id="view-dashboard" class="view">
    <div class="view-head"><h2>Dashboard</h2></div>
    <div class="stats">
      <div class="card stat"><div class="label">Online Users</div><div class="value" id="stat-users">&#8212;</div></div>
      <div class="card stat"><div class="label">Channels</div><div class="value" id="stat-channels">&#8212;</div></div>
      <div class="card stat"><div class="label">Privilege Keys</div><div class="value" id="stat-privkeys">&#8212;</div></div>
      <div class="card stat"><div class="label">Active Bot Tokens</div><div class="value" id="stat-bottokens">&#8212;</div></div>
    </div>
    <div class="card"><h3 style="margin:0 0 8px">Virtual Servers</h3><div id="dash-vservers"></div></div>
  </section>
  <section id="view-users" class="view" hidden>
    <div class="view-head"><h2>Online Users</h2><button class="btn" data-action="load-users">Refresh</button></div>
    <table><thead><tr><th>ID</th><th>Nickname</th><th>Channel</th><th>IP</th><th>Action</th></tr></thead>
    <tbody id="rows-users"><tr><td colspan="5">Loading&#8230;</td></tr></tbody></table>
  </section>
  <section id="view-channels" class="view" hidden>
    <div class="view-head"><h2>Channels</h2><button class="btn" data-action="load-channels">Refresh</button></div>
    <table><thead><tr><th>ID</th><th>Name</th><th>Users</th><th>Max</th><th>Type</th></tr></thead>
    <tbody id="rows-channels"><tr><td colspan="5">Loading&#8230;</td></tr></tbody></table>
  </section>
  <section id="view-privkeys" class="view" hidden>
    <div class="view-head"><h2>Privilege Keys</h2><button class="btn btn-primary" data-action="open-key">+ Create Key</button></div>
    <table><thead><tr><th>Token</th><th>Type</th><th>Description</th><th>Status</th><th>Created</th><th></th></tr></thead>
    <tbody id="rows-privkeys"><tr><td colspan="6">Loading&#8230;</td></tr></tbody></table>
  </section>
  <section id="view-bottokens" class="view" hidden>
    <div class="view-head"><h2>Bot Tokens</h2><button class="btn btn-primary" data-action="open-token">+ Create Token</button></div>
    <table><thead><tr><th>Name</th><th>Description</th><th>Token</th><th>Status</th><th>Last Used</th><th></th></tr></thead>
    <tbody id="rows-bottokens"><tr><td colspan="6">Loading&#8230;</td></tr></tbody></table>
  </section>
  <section id="view-vservers" class="view" hidden>
    <div class="view-head"><h2>Virtual Servers</h2><button class="btn btn-primary" data-action="open-vs">+ Create VS</button></div>
    <table><thead><tr><th>ID</th><th>Name</th><th>Port</th><th>Max Slots</th><th>Online</th><th>Status</th><th></th></tr></thead>
    <tbody id="rows-vservers"><tr><td colspan="7">Loading&#8230;</td></tr></tbody></table>
  </section>
</main>

<div class="backdrop" id="dialog-key" hidden>
  <div class="card dialog">
    <h3>Create Privilege Key</h3>
    <label for="key-type">Type</label>
    <select id="key-type"><option value="serveradmin">Server Admin</option><option value="admin">Admin</option><option value="mod">Moderator</option></select>
    <label for="key-description">Description</label>
    <input id="key-description" placeholder="Optional">
    <div class="buttons"><button class="btn" data-action="close">Cancel</button><button class="btn btn-primary" data-action="create-key">Create</button></div>
  </div>
</div>
<div class="backdrop" id="dialog-token" hidden>
  <div class="card dialog">
    <h3>Create Bot Token</h3>
    <label for="token-name">Bot Name</label>
    <input id="token-name" placeholder="My Bot">
    <label for="token-description">Description</label>
    <input id="token-description" placeholder="Optional">
    <div class="buttons"><button class="btn" data-action="close">Cancel</button><button class="btn btn-primary" data-action="create-token">Create</button></div>
  </div>
</div>
<div class="backdrop" id="dialog-kick" hidden>
  <div class="card dialog">
    <h3>Kick User</h3>
    <input type="hidden" id="kick-id">
    <label for="kick-reason">Reason</label>
    <input id="kick-reason">
    <div class="buttons"><button class="btn" data-action="close">Cancel</button><button class="btn btn-danger" data-action="kick">Kick</button></div>
  </div>
</div>
<div class="backdrop" id="dialog-vs" hidden>
  <div class="card dialog">
    <h3 id="vs-title">Create Virtual Server</h3>
    <input type="hidden" id="vs-id">
    <label for="vs-name">Name</label>
    <input id="vs-name" placeholder="My Server">
    <label for="vs-port">TCP Port <span class="hint">(blank = auto)</span></label>
    <input id="vs-port" placeholder="Auto (9990+)">
    <label for="vs-slots">Max Slots</label>
    <input id="vs-slots" placeholder="32">
    <label for="vs-key">Server Key (Password)</label>
    <input type="password" id="vs-key" placeholder="Optional" autocomplete="new-password">
    <label for="vs-welcome">Welcome Message</label>
    <input id="vs-welcome" placeholder="Welcome!">
    <label for="vs-db">Database Path <span class="hint">(blank = auto)</span></label>
    <input id="vs-db" placeholder="./data/vs_N.db">
    <div id="vs-error" class="error-box" hidden></div>
    <div class="buttons"><button class="btn" data-action="close">Cancel</button><button class="btn btn-primary" data-action="save-vs">Save</button></div>
  </div>
</div>
<div id="toast" hidden></div>

<script>
'use strict';
const $ = (id) => document.getElementById(id);
const DASH = '\u2014';

// Elements are built here and filled through textContent only: no server
// text ever becomes markup.
function el(tag, opts, ...children) {
  const e = document.createElement(tag);
  if (opts) {
    if (opts.cls) e.className = opts.cls;
    if (opts.text !== undefined) e.textContent = String(opts.text);
    if (opts.title) e.title = opts.title;
    if (opts.colspan) e.colSpan = opts.colspan;
    if (opts.data) for (const [k, v] of Object.entries(opts.data)) e.dataset[k] = String(v);
  }
  for (const c of children) e.append(c);
  return e;
}
const td = (content, cls) => (content instanceof Node ? el('td', {cls}, content) : el('td', {cls, text: content}));
const badge = (text, cls) => el('span', {cls: 'badge' + (cls ? ' ' + cls : ''), text});
const button = (text, cls, action, id) => el('button', {cls: 'btn btn-small ' + cls, text, data: {action, id}});
const when = (s) => (s ? new Date(s * 1000).toLocaleString() : DASH);

async function api(name, fields) {
  const opts = fields
    ? {method: 'POST', headers: {'Content-Type': 'application/x-www-form-urlencoded'}, body: new URLSearchParams(fields).toString()}
    : {method: 'GET'};
  const res = await fetch('/api/' + name, opts);
  return res.json();
}

let toastTimer = null;
function toast(text, error) {
  const t = $('toast');
  t.textContent = text;
  t.className = error ? 'error' : '';
  t.hidden = false;
  clearTimeout(toastTimer);
  toastTimer = setTimeout(() => { t.hidden = true; }, 2800);
}

function fillRows(tbody, columns, answer, empty, row) {
  tbody.replaceChildren();
  if (!answer.ok) {
    tbody.append(el('tr', null, el('td', {cls: 'error', colspan: columns, text: answer.error || 'Failed'})));
    return;
  }
  if (!answer.data.length) {
    tbody.append(el('tr', null, el('td', {cls: 'muted', colspan: columns, text: empty})));
    return;
  }
  for (const item of answer.data) tbody.append(el('tr', null, ...row(item)));
}

async function loadDashboard() {
  const answer = await api('dashboard');
  if (!answer.ok) return;
  const d = answer.data;
  $('stat-users').textContent = d.users;
  $('stat-channels').textContent = d.channels;
  $('stat-privkeys').textContent = d.privkeys;
  $('stat-bottokens').textContent = d.bottokens;
  const list = $('dash-vservers');
  list.replaceChildren();
  if (!d.vservers.length) list.append(el('div', {cls: 'muted', text: 'No virtual servers'}));
  for (const v of d.vservers) {
    list.append(el('div', {cls: 'vs-line'}, el('span', {text: v.name}),
      el('span', {cls: 'muted', text: 'ID ' + v.id + ' \u00b7 ' + v.slots + ' / ' + v.maxSlots + ' slots'})));
  }
}

async function loadUsers() {
  fillRows($('rows-users'), 5, await api('users'), 'No users online', (u) => [
    td(u.clientId), td(u.nickname), td(u.channelName || DASH), td(u.ip),
    td(button('Kick', 'btn-danger', 'open-kick', u.clientId), 'actions')]);
}

const TYPES = ['voice', 'text', 'news', 'spacer'];
async function loadChannels() {
  fillRows($('rows-channels'), 5, await api('channels'), 'No channels', (c) => [
    td(c.id), td(c.name), td(c.userCount || 0), td(c.maxUsers === 0 ? '\u221e' : c.maxUsers),
    td(TYPES[c.type] || 'voice')]);
}

async function loadKeys() {
  fillRows($('rows-privkeys'), 6, await api('privkeys'), 'No privilege keys', (k) => [
    td(k.token, 'mono'), td(badge(k.type, k.type === 'serveradmin' ? 'hl' : '')), td(k.description),
    td(k.used ? badge('Used', 'green') : badge('Active', 'amber')), td(when(k.createdAt)),
    td(k.used ? '' : button('Revoke', 'btn-danger', 'revoke-key', k.id), 'actions')]);
}

async function loadTokens() {
  fillRows($('rows-bottokens'), 6, await api('bottokens'), 'No bot tokens', (t) => [
    td(t.botName), td(t.description), td(el('span', {cls: 'mono clip', text: t.token, title: t.token})),
    td(t.active ? badge('Active', 'green') : badge('Revoked', 'red')), td(when(t.lastUsedAt)),
    td(t.active ? button('Revoke', 'btn-danger', 'revoke-token', t.id) : '', 'actions')]);
}

let vservers = [];
async function loadVServers() {
  const answer = await api('vservers');
  if (answer.ok) vservers = answer.data;
  fillRows($('rows-vservers'), 7, answer, 'No virtual servers', (v) => [
    td(v.id), td(v.name),
    td(v.tcpPort ? String(v.tcpPort) : el('span', {cls: 'muted', text: 'shared', title: 'No dedicated port \u2013 uses server default'})),
    td(v.maxSlots), td(el('span', {cls: v.online > 0 ? 'online' : '', text: v.online})),
    td(v.running ? badge('Online', 'green') : badge('Offline', 'red')),
    td(el('span', null,
      v.running ? button('Stop', '', 'stop-vs', v.id) : button('Start', 'btn-primary', 'start-vs', v.id),
      button('Edit', '', 'edit-vs', v.id), button('Delete', 'btn-danger', 'delete-vs', v.id)), 'actions')]);
  return answer;
}

const loaders = {dashboard: loadDashboard, users: loadUsers, channels: loadChannels, privkeys: loadKeys,
  bottokens: loadTokens, vservers: loadVServers};

function show(view) {
  for (const s of document.querySelectorAll('.view')) s.hidden = s.id !== 'view-' + view;
  for (const n of document.querySelectorAll('.nav[data-view]')) n.classList.toggle('active', n.dataset.view === view);
  loaders[view]();
}

const openDialog = (id) => { $(id).hidden = false; };
const closeDialogs = () => { for (const d of document.querySelectorAll('.backdrop')) d.hidden = true; };

function openVsDialog(v) {
  $('vs-title').textContent = v ? 'Edit Virtual Server' : 'Create Virtual Server';
  $('vs-id').value = v ? v.id : '';
  $('vs-name').value = v ? v.name : '';
  $('vs-port').value = v ? (v.tcpPort || '') : '';
  $('vs-slots').value = v ? v.maxSlots : 32;
  $('vs-key').value = v ? v.serverKey : '';
  $('vs-welcome').value = v ? v.welcomeMessage : '';
  $('vs-db').value = v ? v.dbPath : '';
  $('vs-error').hidden = true;
  openDialog('dialog-vs');
}

function vsError(text) {
  $('vs-error').textContent = text;
  $('vs-error').hidden = false;
}

async function saveVs() {
  const id = $('vs-id').value;
  const fields = {name: $('vs-name').value, tcpPort: $('vs-port').value.trim(), maxSlots: $('vs-slots').value || '32',
    serverKey: $('vs-key').value, welcomeMessage: $('vs-welcome').value, dbPath: $('vs-db').value};
  if (!id && !fields.tcpPort) { vsError('TCP port is required'); return; }
  if (id) fields.id = id;
  const answer = await api(id ? 'vserver_update' : 'vserver_create', fields);
  if (!answer.ok) { vsError(answer.error || 'Failed'); return; }
  closeDialogs();
  const port = answer.data && answer.data.tcpPort !== undefined ? answer.data.tcpPort : '?';
  toast(id ? 'VS updated' : 'VS created on port ' + port);
  loadVServers();
  loadDashboard();
}

// One question before an action that cannot be undone, then the request and
// its toast.
async function act(question, endpoint, fields, success, fallback, reload) {
  if (question && !confirm(question)) return;
  const answer = await api(endpoint, fields);
  if (answer.ok) { toast(success(answer)); reload(); } else { toast(answer.error || fallback, true); }
}

const LOSS = '\nAll connected users will be disconnected.';
const actions = {
  'logout': async () => { try { await api('logout'); } finally { location.href = '/'; } },
  'close': closeDialogs,
  'load-users': loadUsers,
  'load-channels': loadChannels,
  'open-key': () => { $('key-type').value = 'serveradmin'; $('key-description').value = ''; openDialog('dialog-key'); },
  'open-token': () => { $('token-name').value = ''; $('token-description').value = ''; openDialog('dialog-token'); },
  'open-vs': () => openVsDialog(null),
  'open-kick': (id) => { $('kick-id').value = id; $('kick-reason').value = 'Kicked by admin'; openDialog('dialog-kick'); },
  'kick': async () => {
    const answer = await api('kick', {clientId: $('kick-id').value, reason: $('kick-reason').value});
    closeDialogs();
    if (answer.ok) { toast('User kicked'); loadUsers(); } else { toast(answer.error || 'Kick failed', true); }
  },
  'create-key': async () => {
    const answer = await api('privkey_create', {type: $('key-type').value, description: $('key-description').value});
    if (answer.ok) { closeDialogs(); toast('Key: ' + answer.data.token); loadKeys(); } else { toast(answer.error || 'Failed', true); }
  },
  'create-token': async () => {
    const answer = await api('bottoken_create', {bot_name: $('token-name').value || 'Panel Bot', description: $('token-description').value});
    if (answer.ok) { closeDialogs(); toast('Token: ' + answer.data.token); loadTokens(); } else { toast(answer.error || 'Failed', true); }
  },
  'revoke-key': (id) => act('Revoke this privilege key?', 'privkey_revoke', {id}, () => 'Key revoked', 'Failed', loadKeys),
  'revoke-token': (id) => act('Revoke this bot token?', 'bottoken_revoke', {id}, () => 'Token revoked', 'Failed', loadTokens),
  'stop-vs': (id) => act('Stop virtual server ' + id + '?' + LOSS, 'vserver_stop', {id}, () => 'VS ' + id + ' stopped', 'Stop failed', loadVServers),
  'start-vs': (id) => act(null, 'vserver_start', {id}, () => 'VS ' + id + ' started', 'Start failed', loadVServers),
  'delete-vs': (id) => act('Delete virtual server ' + id + '?' + LOSS, 'vserver_delete', {id}, () => 'VS deleted', 'Delete failed',
    () => { loadVServers(); loadDashboard(); }),
  'edit-vs': async (id) => {
    await loadVServers();
    const v = vservers.find((x) => String(x.id) === String(id));
    if (v) openVsDialog(v);
  },
  'save-vs': saveVs,
};

document.addEventListener('click', (ev) => {
  if (ev.target.classList.contains('backdrop')) { closeDialogs(); return; }
  const nav = ev.target.closest('.nav[data-view]');
  if (nav) { show(nav.dataset.view); return; }
  const b = ev.target.closest('[data-action]');
  if (b && actions[b.dataset.action]) actions[b.dataset.action](b.dataset.id);
});

show('dashboard');
</script>
</body>
</html>
)PAGE";

constexpr auto kLoginPage = joinTexts(kHead, kStyle, kLoginBody);
constexpr auto kPanelPage = joinTexts(kHead, kStyle, kPanelBody);

}  // namespace

const char* const WebPanelServer::LOGIN_HTML = kLoginPage.data();
const char* const WebPanelServer::PANEL_HTML = kPanelPage.data();

}  // namespace Korrafin

// Drives the panel in the system Chromium as an administrator would: log in,
// look at every view, manage a virtual server, kick a client, make and revoke
// a key and a bot token, log out. Every request that would leave loopback is
// blocked and fails the run, and so does any script dialog other than the
// panel's own confirmations (an injected alert among them).
//
// node panel-flow.cjs <node_modules> <base url> <password> <nickname> <free port>
// Prints one line per step; exits 0 when every step held.
'use strict';

const fs = require('fs');
const os = require('os');
const path = require('path');

const [modules, base, password, nickname, vsPort] = process.argv.slice(2);
const {chromium} = require(path.join(modules, 'playwright-core'));

const TIMEOUT = 15000;
const LOSS = '\nAll connected users will be disconnected.';

function check(condition, what) {
  if (!condition) throw new Error('check failed: ' + what);
}

async function main() {
  const profile = fs.mkdtempSync(path.join(os.tmpdir(), 'korrafin-chromium-'));
  const context = await chromium.launchPersistentContext(profile, {
    executablePath: '/usr/bin/chromium',
    headless: true,
    args: ['--headless', '--no-sandbox', '--disable-gpu', '--disable-quic', '--no-first-run',
      '--disable-background-networking', '--disable-component-update', '--disable-sync'],
  });
  const outside = [];
  const unexpectedDialogs = [];
  const confirms = [];
  const pageErrors = [];
  try {
    await context.route('**/*', (route) => {
      const host = new URL(route.request().url()).hostname;
      if (host === '127.0.0.1' || host === 'localhost') return route.continue();
      outside.push(route.request().url());
      return route.abort();
    });
    const page = context.pages()[0] || await context.newPage();
    page.setDefaultTimeout(TIMEOUT);
    page.on('pageerror', (e) => pageErrors.push(String(e)));
    page.on('dialog', async (d) => {
      if (d.type() === 'confirm') {
        confirms.push(d.message());
        await d.accept();
      } else {
        unexpectedDialogs.push(d.type() + ': ' + d.message());
        await d.dismiss();
      }
    });
    const step = (name) => console.log('ok ' + name);
    const expectToast = async (text) => {
      await page.waitForFunction((t) => {
        const e = document.getElementById('toast');
        return !e.hidden && e.textContent === t;
      }, text);
    };
    const nav = (label) => page.locator('.nav', {hasText: label}).click();
    const row = (tbody, text) => page.locator('#' + tbody + ' tr', {hasText: text});

    // Login: a wrong password first, then the right one.
    await page.goto(base + '/');
    check(await page.title() === 'Korrafin Panel', 'login page title');
    await page.fill('#password', password + 'x');
    await page.click('text=Sign In');
    await page.locator('#error', {hasText: 'Invalid password'}).waitFor();
    await page.fill('#password', password);
    await page.click('text=Sign In');
    await page.waitForURL(base + '/panel');
    step('login');

    // Dashboard: the connected test client and the one virtual server.
    await page.locator('#stat-users', {hasText: /^1$/}).waitFor();
    check(await page.locator('#stat-channels').textContent() === '1', 'one channel');
    await page.locator('#dash-vservers', {hasText: 'ID 1 \u00b7 1 / 32 slots'}).waitFor();
    step('dashboard');

    // Users: the nickname is text, not markup.
    await nav('Online Users');
    const user = row('rows-users', nickname);
    await user.waitFor();
    check(await user.locator('td').nth(1).textContent() === nickname, 'nickname shown as text');
    check(await page.locator('#rows-users img').count() === 0, 'no element made from the nickname');
    check(await user.locator('td').nth(2).textContent() === 'Lobby', 'channel name');
    step('users');

    await nav('Channels');
    await row('rows-channels', 'Lobby').waitFor();
    check(await row('rows-channels', 'Lobby').locator('td').nth(3).textContent() === '\u221e', 'no limit');
    step('channels');

    // Virtual servers: the shared one, then create, edit, stop, start, delete.
    await nav('Virtual Servers');
    await row('rows-vservers', 'shared').waitFor();
    await page.click('text=+ Create VS');
    await page.locator('#vs-title', {hasText: 'Create Virtual Server'}).waitFor();
    check(await page.inputValue('#vs-slots') === '32', 'default slots');
    // A blank path gives ./data/vs_<id>.db, read from the working directory
    // as every typed path is.
    check((await page.textContent('label[for=vs-db]')) === 'Database Path (blank = auto)', 'database path label');
    check(await page.getAttribute('#vs-db', 'placeholder') === './data/vs_N.db', 'database path placeholder');
    await page.fill('#vs-name', 'Panel VS');
    await page.click('#dialog-vs [data-action=save-vs]');
    await page.locator('#vs-error', {hasText: 'TCP port is required'}).waitFor();
    await page.fill('#vs-port', vsPort);
    await page.click('#dialog-vs [data-action=save-vs]');
    await expectToast('VS created on port ' + vsPort);
    const created = row('rows-vservers', 'Panel VS');
    await created.locator('text=Online').waitFor();
    const id = (await created.locator('td').first().textContent()).trim();
    step('create vs ' + id);

    await created.locator('text=Edit').click();
    await page.locator('#vs-title', {hasText: 'Edit Virtual Server'}).waitFor();
    check(await page.inputValue('#vs-name') === 'Panel VS', 'edit dialog filled');
    check(await page.inputValue('#vs-port') === vsPort, 'edit dialog port');
    await page.fill('#vs-name', 'Renamed VS');
    await page.fill('#vs-slots', '10');
    await page.click('#dialog-vs [data-action=save-vs]');
    await expectToast('VS updated');
    const renamed = row('rows-vservers', 'Renamed VS');
    await renamed.waitFor();
    check(await renamed.locator('td').nth(3).textContent() === '10', 'slots changed');
    step('edit vs');

    await renamed.locator('text=Stop').click();
    await expectToast('VS ' + id + ' stopped');
    await renamed.locator('text=Offline').waitFor();
    check(confirms.pop() === 'Stop virtual server ' + id + '?' + LOSS, 'stop asks first');
    await renamed.locator('text=Start').click();
    await expectToast('VS ' + id + ' started');
    await renamed.locator('text=Online').waitFor();
    step('stop and start vs');

    await renamed.locator('text=Delete').click();
    await expectToast('VS deleted');
    await renamed.waitFor({state: 'detached'});
    check(confirms.pop() === 'Delete virtual server ' + id + '?' + LOSS, 'delete asks first');
    step('delete vs');

    // Kick the test client.
    await nav('Online Users');
    await user.locator('text=Kick').click();
    check(await page.inputValue('#kick-reason') === 'Kicked by admin', 'default reason');
    await page.click('#dialog-kick [data-action=kick]');
    await expectToast('User kicked');
    await row('rows-users', 'No users online').waitFor();
    step('kick');

    // A privilege key: create, then revoke.
    await nav('Privilege Keys');
    await page.click('text=+ Create Key');
    await page.selectOption('#key-type', 'mod');
    await page.fill('#key-description', 'from the browser');
    await page.click('#dialog-key [data-action=create-key]');
    await page.waitForFunction(() => /^Key: [0-9a-f]{32}$/.test(document.getElementById('toast').textContent));
    const key = row('rows-privkeys', 'from the browser');
    await key.locator('text=Active').waitFor();
    await key.locator('text=Revoke').click();
    await expectToast('Key revoked');
    await key.locator('text=Used').waitFor();
    check(confirms.pop() === 'Revoke this privilege key?', 'key revoke asks first');
    step('privilege key');

    // A bot token with the default name: create, then revoke.
    await nav('Bot Tokens');
    await row('rows-bottokens', 'No bot tokens').waitFor();
    await page.click('text=+ Create Token');
    await page.click('#dialog-token [data-action=create-token]');
    await page.waitForFunction(() => /^Token: krbt_[0-9a-f]{32}$/.test(document.getElementById('toast').textContent));
    const token = row('rows-bottokens', 'Panel Bot');
    await token.locator('text=Active').waitFor();
    await token.locator('text=Revoke').click();
    await expectToast('Token revoked');
    await row('rows-bottokens', 'No bot tokens').waitFor();
    check(confirms.pop() === 'Revoke this bot token?', 'token revoke asks first');
    step('bot token');

    // Logout, and the panel is closed to this browser again.
    await page.click('text=Logout');
    await page.waitForURL(base + '/');
    await page.locator('#password').waitFor();
    await page.goto(base + '/panel');
    await page.waitForURL(base + '/');
    await page.locator('text=Sign In').waitFor();
    step('logout');

    check(outside.length === 0, 'requests left loopback: ' + outside.join(', '));
    check(unexpectedDialogs.length === 0, 'unexpected dialogs: ' + unexpectedDialogs.join(', '));
    check(pageErrors.length === 0, 'script errors: ' + pageErrors.join(', '));
    step('nothing left loopback');
  } finally {
    await context.close();
    fs.rmSync(profile, {recursive: true, force: true});
  }
}

main().then(() => process.exit(0), (e) => {
  console.error(String(e && e.stack || e));
  process.exit(1);
});

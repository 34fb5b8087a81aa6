'use strict';
// The web terminal as a person uses it, in headless Chromium: typing, vim, resize,
// Ctrl-C, five tabs at once, and a closed tab leaving no process behind.

const test = require('node:test');
const assert = require('node:assert/strict');
const fs = require('node:fs');
const { startServer } = require('../server');
const { launchBrowser, screen, waitForScreen, openTab } = require('../browser');

const CHROMIUM = process.env.CHROMIUM || '/usr/bin/chromium';

function alive(pid) {
  try {
    const stat = fs.readFileSync(`/proc/${pid}/stat`, 'utf8');
    return stat.slice(stat.lastIndexOf(')') + 2)[0] !== 'Z';
  } catch {
    return false;
  }
}

async function eventually(check, what, ms = 30000) {
  const deadline = Date.now() + ms;
  while (!(await check())) {
    if (Date.now() > deadline) throw new Error(`timed out waiting for ${what}`);
    await new Promise((r) => setTimeout(r, 50));
  }
}

/** The live terminals of the server whose shell has the process id given by the tab. */
async function shellPid(page) {
  await page.keyboard.type('echo "pid=$$="');
  await page.keyboard.press('Enter');
  return Number(/pid=(\d+)=/.exec(await waitForScreen(page, /pid=\d+=/))[1]);
}

test('web terminal in headless Chromium', { skip: fs.existsSync(CHROMIUM) ? false : `no ${CHROMIUM}`, timeout: 110000 }, async (t) => {
  const server = await startServer({
    command: 'bash',
    args: ['--norc', '--noprofile', '-i'],
    env: { PS1: '$ ', HISTFILE: '/dev/null' },
  });
  t.after(() => server.close());
  const { browser, close } = await launchBrowser();
  t.after(close);
  const page = await openTab(browser, server.port);

  await t.test('typed commands run and their output shows', async () => {
    await page.keyboard.type('echo "sum=$((6 * 7))"');
    await page.keyboard.press('Enter');
    await waitForScreen(page, /^sum=42$/m);
  });

  await t.test('vim draws its screen, edits and quits', async () => {
    const file = `/tmp/web-terminal-${process.pid}.txt`;
    t.after(() => fs.rmSync(file, { force: true }));
    await page.keyboard.type(`vim -u NONE -i NONE -N ${file}`);
    await page.keyboard.press('Enter');
    await waitForScreen(page, /^~\s*$/m);
    await page.keyboard.type('ihello from vim');
    await page.keyboard.press('Escape');
    if (process.env.WEB_TERMINAL_SCREENSHOT) await page.screenshot({ path: process.env.WEB_TERMINAL_SCREENSHOT });
    await page.keyboard.type(':wq');
    await page.keyboard.press('Enter');
    await eventually(() => fs.existsSync(file) && fs.readFileSync(file, 'utf8') === 'hello from vim\n', 'the file vim wrote');
    await page.keyboard.type('clear');
    await page.keyboard.press('Enter');
  });

  await t.test('a window resize reaches the shell as a new terminal size', async () => {
    await page.setViewport({ width: 1200, height: 700 });
    await eventually(async () => (await page.evaluate(() => window.web.term.cols)) > 100, 'xterm.js to fit the window');
    // The page may fit more than once while the window settles (a loaded
    // machine shows the steps): the shell's size must come to match the one
    // xterm.js ends with.
    const sizes = [];
    for (let attempt = 0; attempt < 5; attempt += 1) {
      await page.keyboard.type(`echo "size${attempt}=$(stty size)="`);
      await page.keyboard.press('Enter');
      const shown = new RegExp(`^size${attempt}=(\\d+ \\d+)=$`, 'm').exec(await waitForScreen(page, new RegExp(`^size${attempt}=\\d`, 'm')))[1];
      const { cols, rows } = await page.evaluate(() => ({ cols: window.web.term.cols, rows: window.web.term.rows }));
      sizes.push(`${shown} / ${rows} ${cols}`);
      if (shown === `${rows} ${cols}`) break;
      await new Promise((r) => setTimeout(r, 500));
    }
    assert.match(sizes[sizes.length - 1], /^(\d+ \d+) \/ \1$/, `shell / xterm.js sizes: ${sizes.join(', ')}`);
  });

  await t.test('Ctrl-C stops a command and the shell takes the next one', async () => {
    await page.keyboard.type('sleep 1000');
    await page.keyboard.press('Enter');
    await page.keyboard.down('Control');
    await page.keyboard.press('c');
    await page.keyboard.up('Control');
    await page.keyboard.type('echo "after=$((1 + 1))"');
    await page.keyboard.press('Enter');
    await waitForScreen(page, /^after=2$/m);
  });

  await t.test('five tabs at once, each with a shell of its own; a closed tab leaves no process', async () => {
    const tabs = await Promise.all([1, 2, 3, 4, 5].map(() => openTab(browser, server.port)));
    const pids = [];
    for (const [i, tab] of tabs.entries()) {
      pids.push(await shellPid(tab));
      await tab.keyboard.type(`sleep 4${process.pid % 1000}${i} & echo "tab=$((${i} * 11))="`);
      await tab.keyboard.press('Enter');
    }
    for (const [i, tab] of tabs.entries()) await waitForScreen(tab, new RegExp(`tab=${i * 11}=`));
    assert.equal(new Set(pids).size, 5);
    assert.equal(server.sessions.size, 6);
    const jobs = pids.map((pid) => {
      const children = fs.readFileSync(`/proc/${pid}/task/${pid}/children`, 'utf8').trim().split(/\s+/);
      return children.map(Number);
    });
    await Promise.all(tabs.map((tab) => tab.close()));
    await eventually(() => pids.every((pid) => !alive(pid)) && jobs.flat().every((pid) => !alive(pid)), 'the shells and their jobs to end');
    await eventually(() => server.sessions.size === 1, 'the server to drop the closed sessions');
  });

  assert.match(await screen(page), /after=2/);
});

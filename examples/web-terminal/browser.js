'use strict';
// Headless Chromium from Debian, driven by puppeteer-core: never a downloaded browser.

const fs = require('node:fs');
const os = require('node:os');
const path = require('node:path');
const puppeteer = require('puppeteer-core');

const CHROMIUM = process.env.CHROMIUM || '/usr/bin/chromium';

/** Starts the browser with a profile of its own; close() also removes the profile. */
async function launchBrowser() {
  const profile = fs.mkdtempSync(path.join(os.tmpdir(), 'web-terminal-chromium-'));
  const browser = await puppeteer.launch({
    executablePath: CHROMIUM,
    headless: true,
    args: [
      '--headless',
      '--no-sandbox',
      '--disable-gpu',
      '--disable-quic',
      '--no-first-run',
      '--disable-background-networking',
      '--disable-component-update',
      '--disable-sync',
      `--user-data-dir=${profile}`,
    ],
  });
  return {
    browser,
    close: async () => {
      await browser.close();
      fs.rmSync(profile, { recursive: true, force: true });
    },
  };
}

/** The terminal's whole buffer as text, one line per row. */
function screen(page) {
  return page.evaluate(() => {
    const buffer = window.web.term.buffer.active;
    const lines = [];
    for (let i = 0; i < buffer.length; i += 1) lines.push(buffer.getLine(i).translateToString(true));
    return lines.join('\n');
  });
}

/** Waits until the terminal's buffer matches `pattern`. */
async function waitForScreen(page, pattern, ms = 30000) {
  const deadline = Date.now() + ms;
  for (;;) {
    const text = await screen(page);
    if (pattern.test(text)) return text;
    if (Date.now() > deadline) throw new Error(`screen never matched ${pattern}:\n${text}`);
    await new Promise((r) => setTimeout(r, 50));
  }
}

/** Opens the page in a new tab and waits for the shell's first prompt. */
async function openTab(browser, port, prompt = /\$ $/m) {
  const page = await browser.newPage();
  await page.setViewport({ width: 900, height: 500 });
  await page.goto(`http://127.0.0.1:${port}/`);
  await page.waitForFunction(() => window.web && window.web.socket.readyState === 1, { timeout: 30000 });
  await waitForScreen(page, prompt);
  await page.evaluate(() => window.web.term.focus());
  return page;
}

module.exports = { launchBrowser, screen, waitForScreen, openTab };

'use strict';
// The web terminal example (examples/web-terminal) in headless Chromium, on the
// Node library and on node-pty, in the same run with rounds alternating:
// - echo: from Enter until the command's output is on the screen, and on the
//   server, from the Enter typed into the terminal until the output showing it
//   comes back (the backend's share, free of the browser's noise);
// - seq: from Enter on `seq 1 700000` until its last line is on the screen;
// - lost at exit: characters a tab running `seq 1 200000` alone receives before
//   its socket closes, against the characters seq printed.
// Usage: node bench/node/web_terminal.js [node-pty directory] (default build/nodepty);
// the executor is $ZELTA_STDIO_EXECUTOR.

const path = require('node:path');
const example = path.resolve(__dirname, '../../examples/web-terminal');
const { startServer } = require(path.join(example, 'server'));
const { launchBrowser, openTab } = require(path.join(example, 'browser'));
const library = require(path.join(example, 'node_modules/zelta-stdio-executor'));

const nodePtyDir = path.resolve(process.argv[2] || path.join(__dirname, '../../build/nodepty'));
const nodePty = require(require.resolve('node-pty', { paths: [path.join(nodePtyDir, 'node_modules')] }));

const ECHO_ROUNDS = Number(process.env.ECHO_ROUNDS || 40);
const SEQ_ROUNDS = Number(process.env.SEQ_ROUNDS || 5);
const EXIT_ROUNDS = Number(process.env.EXIT_ROUNDS || 5);
const EXIT_COUNT = 200000;
const SHELL = { command: 'bash', args: ['--norc', '--noprofile', '-i'], env: { PS1: '$ ', HISTFILE: '/dev/null' } };

function median(values) {
  const sorted = [...values].sort((a, b) => a - b);
  const mid = sorted.length >> 1;
  return sorted.length % 2 ? sorted[mid] : (sorted[mid - 1] + sorted[mid]) / 2;
}

/**
 * `pty` with the time from an Enter typed into any of its terminals to the
 * output that shows `timing.pattern` (while one is set) kept in `timing.times`.
 */
function timed(pty) {
  const timing = { pattern: null, times: [] };
  return {
    timing,
    spawn(file, args, options) {
      const term = pty.spawn(file, args, options);
      let start = 0;
      let since = '';
      term.onData((data) => {
        if (start === 0) return;
        since += data;
        if (!timing.pattern.test(since)) return;
        timing.times.push(performance.now() - start);
        start = 0;
      });
      const write = term.write.bind(term);
      term.write = (data) => {
        if (data === '\r' && timing.pattern) {
          start = performance.now();
          since = '';
        }
        return write(data);
      };
      return term;
    },
  };
}

/** In the page: sends `keys`, then times until a screen row matches `pattern`. */
function timeUntil(page, keys, pattern) {
  return page.evaluate(
    (keys, source) =>
      new Promise((resolve) => {
        const { term, socket } = window.web;
        const wanted = new RegExp(source);
        const shown = () => {
          const buffer = term.buffer.active;
          for (let i = Math.max(0, buffer.length - term.rows); i < buffer.length; i += 1) {
            if (wanted.test(buffer.getLine(i).translateToString(true))) return true;
          }
          return false;
        };
        const start = performance.now();
        const watch = term.onWriteParsed(() => {
          if (!shown()) return;
          watch.dispose();
          resolve(performance.now() - start);
        });
        socket.send('i' + keys);
      }),
    keys,
    pattern.source,
  );
}

/** Waits until the cursor's row matches `pattern`. */
function cursorRow(page, pattern) {
  return page
    .waitForFunction(
      (source) => {
        const buffer = window.web.term.buffer.active;
        return new RegExp(source).test(buffer.getLine(buffer.cursorY + buffer.baseY).translateToString(true));
      },
      { timeout: 60000, polling: 20 },
      pattern.source,
    )
    .catch(async (err) => {
      const row = await page.evaluate(() => {
        const buffer = window.web.term.buffer.active;
        return buffer.getLine(buffer.cursorY + buffer.baseY).translateToString(true);
      });
      throw new Error(`the cursor's row ${JSON.stringify(row)} never matched ${pattern}: ${err.message}`);
    });
}

/** Types `text` at a fresh prompt and waits until the shell has echoed it. */
async function typeAtPrompt(page, text) {
  await page.bringToFront(); // a background tab's timers and drawing are throttled
  await cursorRow(page, /^\$ ?$/);
  await page.evaluate((t) => window.web.socket.send('i' + t), text);
  await cursorRow(page, new RegExp(`^\\$ ${text}$`));
}

/** Characters received by a tab whose command is `seq 1 EXIT_COUNT` alone, once its socket has closed. */
async function receivedAtExit(browser, port) {
  const page = await browser.newPage();
  await page.goto(`http://127.0.0.1:${port}/`);
  await page.waitForFunction(() => window.web && window.web.closed, { timeout: 60000 });
  const received = await page.evaluate(() => window.web.received);
  await page.close();
  return received;
}

async function main() {
  let expected = 0;
  for (let i = 1; i <= EXIT_COUNT; i += 1) expected += String(i).length + 2; // "\r\n" on a terminal
  const backends = { library: timed(library), 'node-pty': timed(nodePty) };
  const servers = {};
  for (const [name, pty] of Object.entries(backends)) {
    servers[name] = {
      shell: await startServer({ ...SHELL, pty }),
      seq: await startServer({ command: 'seq', args: ['1', String(EXIT_COUNT)], pty }),
    };
  }
  const { browser, close } = await launchBrowser();
  const pages = {};
  for (const name of Object.keys(backends)) pages[name] = await openTab(browser, servers[name].shell.port);
  const figures = {};
  for (const name of Object.keys(backends)) figures[name] = { echo: [], seq: [], lost: [] };
  const order = (round) => (round % 2 ? Object.keys(backends).reverse() : Object.keys(backends));

  for (let round = 0; round < ECHO_ROUNDS; round += 1) {
    for (const name of order(round)) {
      const page = pages[name];
      await typeAtPrompt(page, `echo e${round}x`);
      backends[name].timing.pattern = new RegExp(`\re${round}x\r\n`);
      figures[name].echo.push(await timeUntil(page, '\r', new RegExp(`^e${round}x$`)));
      backends[name].timing.pattern = null;
    }
  }
  for (let round = 0; round < SEQ_ROUNDS; round += 1) {
    for (const name of order(round)) {
      const page = pages[name];
      await typeAtPrompt(page, 'clear');
      await page.evaluate(() => window.web.socket.send('i\r'));
      await typeAtPrompt(page, 'seq 1 700000');
      figures[name].seq.push(await timeUntil(page, '\r', /^700000$/));
    }
  }
  for (let round = 0; round < EXIT_ROUNDS; round += 1) {
    for (const name of order(round)) figures[name].lost.push(expected - (await receivedAtExit(browser, servers[name].seq.port)));
  }

  console.log(`web terminal, ${ECHO_ROUNDS} echo rounds, ${SEQ_ROUNDS} seq rounds, ${EXIT_ROUNDS} exits of seq 1 ${EXIT_COUNT} (${expected} characters)`);
  console.log('backend    echo ms (median)  on the server  seq 1 700000 ms (median)  characters lost at exit (each run)');
  for (const name of Object.keys(backends)) {
    const f = figures[name];
    f.server = backends[name].timing.times;
    console.log(
      `${name.padEnd(10)} ${median(f.echo).toFixed(2).padStart(16)}  ${median(f.server).toFixed(3).padStart(13)}  ` +
        `${median(f.seq).toFixed(0).padStart(24)}  ${f.lost.join(' ')}`,
    );
  }
  const ratio = (key) => (median(figures['node-pty'][key]) / median(figures.library[key])).toFixed(2);
  console.log(
    `node-pty time / library time: echo ${ratio('echo')} (on the server ${ratio('server')}), seq ${ratio('seq')} ` +
      '(above 1: the library is faster)',
  );

  await close();
  for (const { shell, seq } of Object.values(servers)) await Promise.all([shell.close(), seq.close()]);
  await library.close();
  process.exit(0);
}

main().catch((err) => {
  console.error(err);
  process.exit(1);
});

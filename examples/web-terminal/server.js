'use strict';
// A web terminal: an HTTP server for the page and a WebSocket per browser tab,
// each with a shell of its own on a terminal. The terminal library is chosen by
// one require line; any module with node-pty's spawn() will do
// (WEB_TERMINAL_PTY=node-pty runs the same server on node-pty).

const fs = require('node:fs');
const http = require('node:http');
const path = require('node:path');
const { WebSocketServer } = require('ws');

/** The terminal library: the one line a node-pty front end changes. */
function defaultPty() {
  return require(process.env.WEB_TERMINAL_PTY || 'zelta-stdio-executor');
}

// The files the page loads, by URL path.
const FILES = {
  '/': [path.join(__dirname, 'public/index.html'), 'text/html'],
  '/page.js': [path.join(__dirname, 'public/page.js'), 'text/javascript'],
  '/xterm.js': [require.resolve('@xterm/xterm/lib/xterm.js'), 'text/javascript'],
  '/xterm.css': [require.resolve('@xterm/xterm/css/xterm.css'), 'text/css'],
  '/addon-fit.js': [require.resolve('@xterm/addon-fit/lib/addon-fit.js'), 'text/javascript'],
};

/**
 * Starts the server on `port` (0 picks a free one) of 127.0.0.1. Each
 * connection runs `command` with `args` (default: $SHELL, else bash, interactive).
 * Messages from the page: "i" + keys typed, or "r" + JSON {cols, rows}.
 * `pty` is the terminal library (default as above).
 * Resolves to {port, close(), sessions}: `sessions` is the live terminals.
 */
function startServer({ port = 0, command, args, env, pty = defaultPty() } = {}) {
  const shell = command || process.env.SHELL || 'bash';
  const shellArgs = args || (command ? [] : ['-i']);
  const server = http.createServer((req, res) => {
    const file = FILES[new URL(req.url, 'http://localhost').pathname];
    if (!file) {
      res.writeHead(404).end('not found');
      return;
    }
    res.writeHead(200, { 'content-type': file[1], 'cache-control': 'no-store' });
    fs.createReadStream(file[0]).pipe(res);
  });
  const sessions = new Set();
  const sockets = new WebSocketServer({ server, path: '/pty' });
  sockets.on('connection', (socket, req) => {
    const size = new URL(req.url, 'http://localhost').searchParams;
    const term = pty.spawn(shell, shellArgs, {
      name: 'xterm-256color',
      cols: Number(size.get('cols')) || 80,
      rows: Number(size.get('rows')) || 24,
      cwd: process.env.HOME || '/',
      env: { ...process.env, ...env },
    });
    sessions.add(term);
    term.onData((data) => {
      if (socket.readyState === socket.OPEN) socket.send(data);
    });
    term.onExit(() => {
      sessions.delete(term);
      socket.close(1000, 'exited');
    });
    socket.on('message', (message) => {
      const text = message.toString('utf8');
      if (text[0] === 'i') term.write(text.slice(1));
      else if (text[0] === 'r') {
        const { cols, rows } = JSON.parse(text.slice(1));
        if (cols > 0 && rows > 0) term.resize(cols, rows);
      }
    });
    // A closed tab hangs up its shell, as closing a terminal window does.
    socket.on('close', () => term.kill('SIGHUP'));
  });
  return new Promise((resolve) => {
    server.listen(port, '127.0.0.1', () => {
      resolve({
        port: server.address().port,
        sessions,
        close: () =>
          new Promise((done) => {
            for (const client of sockets.clients) client.terminate();
            sockets.close();
            server.close(() => done());
          }),
      });
    });
  });
}

module.exports = { startServer };

if (require.main === module) {
  startServer({ port: Number(process.env.PORT) || 8022 }).then(({ port }) => {
    console.log(`web terminal on http://127.0.0.1:${port}/`);
  });
}

// The page: xterm.js fitted to the window, joined to a shell over a WebSocket.
/* global Terminal, FitAddon */
(() => {
  const term = new Terminal({ fontFamily: 'monospace', fontSize: 14, scrollback: 1000 });
  const fit = new FitAddon.FitAddon();
  term.loadAddon(fit);
  term.open(document.getElementById('terminal'));
  fit.fit();
  const url = new URL('/pty', location.href);
  url.protocol = location.protocol === 'https:' ? 'wss:' : 'ws:';
  url.searchParams.set('cols', term.cols);
  url.searchParams.set('rows', term.rows);
  const socket = new WebSocket(url);
  // Where the page stands, for whoever drives it (the tests and benchmark).
  window.web = { term, socket, received: 0, closed: false, writes: 0 };
  socket.onmessage = (message) => {
    window.web.received += message.data.length;
    term.write(message.data, () => {
      window.web.writes += 1;
    });
  };
  socket.onclose = () => {
    window.web.closed = true;
    term.write('\r\n[closed]\r\n');
  };
  term.onData((keys) => {
    if (socket.readyState === WebSocket.OPEN) socket.send('i' + keys);
  });
  term.onResize(({ cols, rows }) => {
    if (socket.readyState === WebSocket.OPEN) socket.send('r' + JSON.stringify({ cols, rows }));
  });
  window.addEventListener('resize', () => fit.fit());
})();

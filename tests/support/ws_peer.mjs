// Scriptable WebSocket server for the client's integration tests.
//
//   node ws_peer.mjs [--tls-cert FILE --tls-key FILE]
//
// Listens on 127.0.0.1 (an ephemeral port), prints "port N" on stdout, then
// one line per observation: "event <id> <what>", where <id> is the id=
// query parameter of the connection. It ends when its standard input closes
// (the test that started it went away) or after five minutes.
//
// Paths served through the `ws` library (a real, strict server):
//   /echo            echoes every message with its type
//   /headers         first sends the upgrade request as text, then echoes
//   /ping?hex=H      pings with payload H, reports the pong as "pong:<hex>"
//   /pong            unsolicited pong, then the text "after-pong"
//   /close           closes with 1000 "bye"
//   /fragments       "frag-a" + "frag-b" as one fragmented message, then "whole"
//   /fragclose       the first fragment of a message, then a close frame
//   /message?size=N&type=text|binary&count=C   C messages of N pattern bytes
// Paths answered by hand on the raw socket (frames the library refuses to
// send, broken streams):
//   /raw?script=S    101, then the frames of script S; afterwards every
//                    client frame is reported as "frame ..." and text or
//                    binary frames are echoed unmasked; "eof" when it ends
//   /noanswer        never answers the upgrade
//   /status?code=C   answers with status C instead of 101
//   /badstatus       answers with a status line of another protocol
//   /hangup          closes the connection without answering
import { createHash } from 'node:crypto';
import { readFileSync } from 'node:fs';
import http from 'node:http';
import https from 'node:https';
import { createRequire } from 'node:module';
import path from 'node:path';
import { fileURLToPath } from 'node:url';

const here = path.dirname(fileURLToPath(import.meta.url));
// The e2e folder pins and installs `ws`; resolve it from there whatever the cwd.
const require = createRequire(path.join(here, '..', 'e2e', 'package.json'));
const { WebSocketServer } = require('ws');

const args = process.argv.slice(2);
function option(name) {
  const i = args.indexOf(name);
  return i >= 0 && i + 1 < args.length ? args[i + 1] : null;
}
const certFile = option('--tls-cert');
const keyFile = option('--tls-key');

function event(id, what) {
  process.stdout.write(`event ${id} ${what}\n`);
}

// Byte i of a pattern payload; the test computes the same.
function pattern(size, type) {
  const b = Buffer.alloc(size);
  for (let i = 0; i < size; i++) {
    b[i] = type === 'text' ? 0x61 + (i % 26) : (i * 7 + 3) & 0xff;
  }
  return b;
}

// An unmasked server frame; lenForm forces the length encoding (7, 16, 64).
function frame(b0, payload, lenForm) {
  const len = payload.length;
  const form = lenForm || (len <= 125 ? 7 : len <= 65535 ? 16 : 64);
  let head;
  if (form === 7) {
    head = Buffer.from([b0, len]);
  } else if (form === 16) {
    head = Buffer.from([b0, 126, len >> 8, len & 0xff]);
  } else {
    head = Buffer.alloc(10);
    head[0] = b0;
    head[1] = 127;
    head.writeBigUInt64BE(BigInt(len), 2);
  }
  return Buffer.concat([head, payload]);
}

// A bare header announcing `announced` bytes in the 64-bit form.
function header64(b0, announced) {
  const head = Buffer.alloc(10);
  head[0] = b0;
  head[1] = 127;
  head.writeBigUInt64BE(announced, 2);
  return head;
}

const T = (s) => Buffer.from(s, 'utf8');

// What each raw script writes right after the 101 head (in the same write,
// so some frames arrive together with the head). `end` closes the stream
// after writing.
const scripts = {
  none: { data: [] },
  // Quiet for 300 ms, then one message: a zero time-out must not mean "now".
  late: { data: [], later: frame(0x81, T('late')) },
  // RFC 6455 section 5.7: "Hello" unmasked and masked with 37 fa 21 3d.
  unmasked: { data: [Buffer.from([0x81, 0x05, 0x48, 0x65, 0x6c, 0x6c, 0x6f])] },
  masked: {
    data: [Buffer.from([0x81, 0x85, 0x37, 0xfa, 0x21, 0x3d, 0x7f, 0x9f, 0x4d, 0x51, 0x58])],
  },
  // Length bytes at or above 0x80 in the 16-bit form.
  len16: { data: [frame(0x82, pattern(0xff80, 'binary'), 16)] },
  // A short payload in the 64-bit form is legal for a reader to accept.
  len64small: { data: [frame(0x81, T('long form'), 64)] },
  limit: { data: [frame(0x82, pattern(1048576, 'binary'), 64)] },
  overlimit: { data: [header64(0x82, 1048577n), pattern(64, 'binary')] },
  twomib: { data: [header64(0x82, 2097152n)] },
  topbit: { data: [header64(0x82, 0x8000000000000005n), T('abcde')] },
  lie: { data: [Buffer.from([0x81, 100]), pattern(50, 'text')], end: true },
  stall: { data: [Buffer.from([0x81, 100]), pattern(50, 'text')] },
  cuthead: { data: [Buffer.from([0x81])], end: true },
  cutext: { data: [Buffer.from([0x82, 126, 0x01])], end: true },
  cutmask: { data: [Buffer.from([0x81, 0x85, 0x37, 0xfa])], end: true },
  eof: { data: [], end: true },
  opcode3: { data: [frame(0x83, T('reserved')), frame(0x81, T('after-reserved'))] },
  smallping: { data: [frame(0x89, T('abc')), frame(0x81, T('after-ping'))] },
  emptyping: { data: [frame(0x89, Buffer.alloc(0)), frame(0x81, T('after-ping'))] },
  bigping: { data: [frame(0x89, pattern(200, 'binary')), frame(0x81, T('after-bigping'))] },
  pong: { data: [frame(0x8a, T('unasked')), frame(0x81, T('after-pong'))] },
  bigclose: { data: [frame(0x88, pattern(200, 'binary'))], closes: true },
  closecode: { data: [frame(0x88, Buffer.from([0x03, 0xe8, 0x62, 0x79, 0x65]))], closes: true },
  fragments: {
    data: [
      frame(0x01, T('frag-a')),
      frame(0x89, T('mid')),
      frame(0x80, T('frag-b')),
      frame(0x81, T('whole')),
    ],
  },
  fragclose: { data: [frame(0x01, T('part')), frame(0x88, Buffer.alloc(0))], closes: true },
  stray: { data: [frame(0x80, T('stray')), frame(0x81, T('ok'))] },
  utf8: {
    data: [frame(0x81, T('aaaaaaaa\u20acz')), frame(0x82, T('aaaaaaaa\u20acz'))],
  },
  twomessages: { data: [frame(0x81, T('first')), frame(0x82, T('second'))] },
  empty: { data: [frame(0x81, Buffer.alloc(0)), frame(0x81, T('next'))] },
};

const upgradeHead = (key) =>
  'HTTP/1.1 101 Switching Protocols\r\nUpgrade: websocket\r\nConnection: Upgrade\r\n' +
  `Sec-WebSocket-Accept: ${createHash('sha1')
    .update(key + '258EAFA5-E914-47DA-95CA-C5AB0DC85B11')
    .digest('base64')}\r\n\r\n`;

// Parses the client's frames from the raw socket, reports and answers them.
function rawSession(id, socket, closeSent) {
  let pending = Buffer.alloc(0);
  socket.on('data', (chunk) => {
    pending = Buffer.concat([pending, chunk]);
    for (;;) {
      if (pending.length < 2) return;
      const b0 = pending[0];
      const b1 = pending[1];
      let len = b1 & 0x7f;
      let hdr = 2;
      if (len === 126) {
        if (pending.length < 4) return;
        len = pending.readUInt16BE(2);
        hdr = 4;
      } else if (len === 127) {
        if (pending.length < 10) return;
        len = Number(pending.readBigUInt64BE(2));
        hdr = 10;
      }
      const masked = (b1 & 0x80) !== 0;
      const key = masked ? pending.subarray(hdr, hdr + 4) : Buffer.alloc(0);
      if (masked) hdr += 4;
      if (pending.length < hdr + len) return;
      const payload = Buffer.from(pending.subarray(hdr, hdr + len));
      if (masked) for (let i = 0; i < len; i++) payload[i] ^= key[i & 3];
      pending = pending.subarray(hdr + len);
      const op = b0 & 0x0f;
      event(
        id,
        `frame fin=${b0 >> 7} rsv=${(b0 >> 4) & 7} op=${op} masked=${masked ? 1 : 0} hdr=${hdr}` +
          ` len=${len} key=${key.toString('hex') || '-'}` +
          ` sha=${createHash('sha256').update(payload).digest('hex')}` +
          ` data=${len <= 256 ? payload.toString('hex') || '-' : '-'}`,
      );
      if (op === 1 || op === 2) socket.write(frame(0x80 | op, payload));
      if (op === 8) {
        // Answer a close the client started; one that answers ours ends it.
        if (closeSent) socket.end();
        else socket.end(frame(0x88, Buffer.alloc(0)));
        return;
      }
    }
  });
  socket.on('close', () => event(id, 'eof'));
}

function handleRaw(id, req, socket, route, query) {
  const key = req.headers['sec-websocket-key'] || '';
  switch (route) {
    case '/noanswer':
      event(id, 'holding');
      return;
    case '/hangup':
      socket.destroy();
      return;
    case '/status': {
      const code = Number(query.get('code') || '403');
      socket.end(`HTTP/1.1 ${code} Not Upgraded\r\nContent-Length: 5\r\nConnection: close\r\n\r\nnope\n`);
      return;
    }
    case '/badstatus':
      socket.end('HTTP/2 101 Switching Protocols\r\n\r\n');
      return;
    case '/raw': {
      const script = scripts[query.get('script') || 'none'];
      if (!script) {
        socket.end('HTTP/1.1 404 No Such Script\r\nContent-Length: 0\r\n\r\n');
        return;
      }
      rawSession(id, socket, script.closes === true);
      const bytes = Buffer.concat([Buffer.from(upgradeHead(key), 'latin1'), ...script.data]);
      if (script.end) socket.end(bytes);
      else socket.write(bytes);
      if (script.later) setTimeout(() => socket.write(script.later), 300);
      return;
    }
    default:
      socket.end('HTTP/1.1 404 Not Found\r\nContent-Length: 0\r\n\r\n');
  }
}

function handleLibrary(id, ws, req, route, query) {
  ws.on('close', (code) => event(id, `closed ${code}`));
  ws.on('error', (e) => event(id, `error ${e.message.replace(/\s+/g, '_')}`));
  const echo = () =>
    ws.on('message', (data, isBinary) => {
      event(id, `message ${isBinary ? 'binary' : 'text'} ${data.length}`);
      ws.send(data, { binary: isBinary });
    });
  switch (route) {
    case '/echo':
      echo();
      return;
    case '/headers': {
      let text = `${req.method} ${req.url} HTTP/${req.httpVersion}\n`;
      for (let i = 0; i + 1 < req.rawHeaders.length; i += 2) {
        text += `${req.rawHeaders[i]}: ${req.rawHeaders[i + 1]}\n`;
      }
      ws.send(text);
      echo();
      return;
    }
    case '/ping':
      ws.on('pong', (data) => ws.send(`pong:${data.toString('hex')}`));
      ws.ping(Buffer.from(query.get('hex') || '', 'hex'));
      return;
    case '/pong':
      ws.pong(T('unsolicited'));
      ws.send('after-pong');
      return;
    case '/close':
      ws.close(1000, 'bye');
      return;
    case '/fragments':
      ws.send('frag-a', { fin: false });
      ws.send('frag-b', { fin: true });
      ws.send('whole');
      return;
    case '/fragclose':
      ws.send('part', { fin: false });
      ws.close(1000);
      return;
    case '/message': {
      const type = query.get('type') === 'binary' ? 'binary' : 'text';
      const size = Number(query.get('size') || '0');
      const count = Number(query.get('count') || '1');
      for (let i = 0; i < count; i++) ws.send(pattern(size, type), { binary: type === 'binary' });
      echo();
      return;
    }
    default:
      ws.close(1008, 'unknown path');
  }
}

const libraryRoutes = new Set([
  '/echo', '/headers', '/ping', '/pong', '/close', '/fragments', '/fragclose', '/message',
]);
const wss = new WebSocketServer({ noServer: true, maxPayload: 64 * 1024 * 1024 });

function onUpgrade(req, socket, head) {
  const url = new URL(req.url, 'http://peer');
  const id = url.searchParams.get('id') || '-';
  socket.on('error', () => {});
  event(id, `upgrade ${url.pathname}`);
  if (libraryRoutes.has(url.pathname)) {
    wss.handleUpgrade(req, socket, head, (ws) =>
      handleLibrary(id, ws, req, url.pathname, url.searchParams),
    );
  } else {
    handleRaw(id, req, socket, url.pathname, url.searchParams);
  }
}

const server = certFile
  ? https.createServer({ cert: readFileSync(certFile), key: readFileSync(keyFile) })
  : http.createServer();
server.on('upgrade', onUpgrade);
server.on('request', (req, res) => {
  res.writeHead(426, { 'Content-Type': 'text/plain' });
  res.end('upgrade required\n');
});
server.on('tlsClientError', () => {});
server.listen(0, '127.0.0.1', () => {
  process.stdout.write(`port ${server.address().port}\n`);
});

// Never outlive the test that started us.
process.stdin.on('data', () => {});
process.stdin.on('end', () => process.exit(0));
process.stdin.on('error', () => process.exit(0));
setTimeout(() => process.exit(0), 300000).unref();

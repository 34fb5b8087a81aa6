'use strict';
// The lines the library writes for typed text and reads for output: the same
// bytes a general serialiser would give, the same messages a general parser
// would, and output handed out per read.

const test = require('node:test');
const assert = require('node:assert/strict');
const path = require('node:path');
const { createClient } = require('..');
const { parseLine } = require('../lib/executor');
const { withTimeout, collect } = require('./support');

const executorPath = path.join(__dirname, 'fixtures/mirror_executor.js');

test('output lines are read as the general parser reads them', () => {
  const same = [
    '{"base64":"aGkNCg==","run_id":"r1","type":"stdout"}',
    '{"base64":"","run_id":"r12","type":"stderr"}',
    '{"base64":"a+/=","run_id":"","type":"stdout"}',
    // Escapes, other orders, other keys and types: the general parser decides.
    '{"base64":"a\\/b=","run_id":"r1","type":"stdout"}',
    '{"base64":"aGk=","run_id":"r\\"1","type":"stdout"}',
    '{"base64":"aGk=","run_id":"r1","type":"stdout","x":1}',
    '{"base64":"aGk=","type":"stdout","run_id":"r1"}',
    '{"base64":"aGk=","run_id":"r1","type":"exit"}',
    '{"base64":"aGk=", "run_id":"r1","type":"stdout"}',
    '{"data":"hi\\r\\n","run_id":"r1","stdout":"hi\\r\\n","type":"stdout"}',
    '{"exit_code":0,"run_id":"r1","type":"exit"}',
    '{"exit_code":1,"error":"Unknown: stdin.write"}',
  ];
  for (const line of same) assert.deepEqual(parseLine(line), JSON.parse(line), line);
  for (const line of ['{"base64":"aGk=', '{"base64":"aGk=","run_id":"r1","type":"stdout"', '{"base64":"aGk="}x']) {
    assert.throws(() => parseLine(line), SyntaxError, line);
  }
});

test('ASCII output is decoded as Buffer decodes it, and anything else is left to Buffer', () => {
  const { asciiFromBase64 } = require('../lib/terminal');
  let seed = 7;
  const random = (n) => {
    seed = (seed * 1103515245 + 12345) % 2147483648;
    return seed % n;
  };
  for (let round = 0; round < 2000; round += 1) {
    const bytes = Buffer.alloc(random(200));
    for (let i = 0; i < bytes.length; i += 1) bytes[i] = random(round % 3 === 0 ? 256 : 128);
    const ascii = bytes.every((b) => b < 128) && bytes.length <= 192;
    assert.equal(asciiFromBase64(bytes.toString('base64')), ascii ? bytes.toString('latin1') : null, bytes.toString('hex'));
  }
  // Not canonical, not base64, or longer than the short path takes.
  for (const text of ['aGl=', 'aGk', 'aG==x', 'a-k=', 'aGk=aGk=', '=Gk=', 'a\u00e9k=', 'QUJD'.repeat(65)]) {
    assert.equal(asciiFromBase64(text), null, text);
  }
});

test('an executor that shows the lines it receives', async (t) => {
  const client = createClient({ executorPath });
  t.after(() => client.close());

  await t.test('typed text is sent as the serialised request, before and after the start', async () => {
    const term = client.spawn('mirror', [], {});
    const seen = collect(term);
    const texts = ['a', '\r', 'é€😀', '"\\\u0000\u001b[A\n', '\ud800', 'x'.repeat(5000)];
    term.write(texts[0]); // while starting: held, then sent
    await withTimeout(term.ready, 'start');
    for (const text of texts.slice(1)) term.write(text);
    const lines = texts.map((data) => JSON.stringify({ type: 'stdin.write', run_id: term.runId, data }));
    await seen.until(lines[lines.length - 1]);
    const received = seen.text.split('\n').filter((l) => l.includes('stdin.write'));
    assert.deepEqual(received, lines);
    term.kill();
    await withTimeout(term.exited, 'exit');
  });

  await t.test('the events of one read are one onData call, a character cut between them whole', async () => {
    const term = client.spawn('mirror', [], {});
    const calls = [];
    term.onData((data) => calls.push(data));
    await withTimeout(term.ready, 'start');
    term.write('\x01pair');
    await withTimeout(
      new Promise((resolve) => term.onData((data) => data.includes('>') && resolve())),
      'the pair',
    );
    assert.deepEqual(calls, ['<é>']);
    term.kill();
    await withTimeout(term.exited, 'exit');
  });

  await t.test('ASCII and other bytes in any mix give what the decoder gives, read by read', async () => {
    const { StringDecoder } = require('node:string_decoder');
    const { MIXED_READS } = require('./fixtures/mirror_executor');
    for (const encoding of ['utf8', 'latin1', null]) {
      const term = client.spawn('mirror', [], { encoding });
      const calls = [];
      term.onData((data) => calls.push(data));
      await withTimeout(term.ready, 'start');
      term.write('\x01mix');
      const ended = (data) => (encoding === null ? data.includes('end') : data.endsWith('end'));
      await withTimeout(
        new Promise((resolve) => term.onData((data) => ended(data) && resolve())),
        `the mix in ${encoding}`,
      );
      const decoder = encoding === null ? null : new StringDecoder(encoding);
      const expected = MIXED_READS.map((read) => Buffer.concat(read))
        .concat([Buffer.from('end')])
        .map((bytes) => (decoder ? decoder.write(bytes) : bytes))
        .filter((data) => data.length > 0);
      // Reads may be joined on the way, never split or reordered.
      if (encoding === null) assert.deepEqual(Buffer.concat(calls), Buffer.concat(expected));
      else assert.equal(calls.join(''), expected.join(''));
      assert.ok(calls.length <= expected.length, `${calls.length} calls`);
      term.kill();
      await withTimeout(term.exited, 'exit');
    }
  });

  await t.test('output asks for the foreground program only once process has been read', async () => {
    const term = client.spawn('mirror', [], {});
    const seen = collect(term);
    await withTimeout(term.ready, 'start');
    term.write('one');
    await seen.until('"one"');
    // Unasked, output alone never asks: a question now would be in time to show.
    await new Promise((r) => setTimeout(r, 300));
    assert.ok(!seen.text.includes('run.foreground'), seen.text);
    assert.equal(term.process, 'mirror'); // reading asks at once
    await seen.until('run.foreground');
    await new Promise((r) => setTimeout(r, 150)); // past the refresh interval
    const before = seen.text.split('run.foreground').length;
    term.write('two');
    await seen.until('"two"');
    await withTimeout(
      (async () => {
        while (seen.text.split('run.foreground').length === before) await new Promise((r) => setTimeout(r, 20));
      })(),
      'output to ask again',
    );
    term.kill();
    await withTimeout(term.exited, 'exit');
  });
});

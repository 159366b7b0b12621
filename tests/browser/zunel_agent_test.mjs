// Unit tests of the reference page's client module under Node.js: the request
// signature against values computed independently (Python's hmac, and
// node:crypto over the bytes actually sent), and how the client turns the
// agent's answers and the browser's failures into errors.
import { test } from 'node:test';
import assert from 'node:assert/strict';
import { createHash, createHmac, webcrypto } from 'node:crypto';

globalThis.crypto ??= webcrypto;

const { AgentClient, AgentError, MESSAGES_ES, RENEW_LOCK, STORAGE_KEY, signatureHeaders, printBody, hexToBytes,
        retryAfterSeconds, bytesToBase64 } =
  await import('../../examples/erp-page/zunel-agent.js');

const TOKEN = Array.from({ length: 32 }, (_, i) => i.toString(16).padStart(2, '0')).join('');

class MemoryStorage {
  constructor() { this.map = new Map(); }
  getItem(k) { return this.map.has(k) ? this.map.get(k) : null; }
  setItem(k, v) { this.map.set(k, String(v)); }
  removeItem(k) { this.map.delete(k); }
}

// A fetch that records each request and answers from a script. With
// `agent`, a ping (other than the no-cors probe) is answered by that agent
// without taking an answer from the script, and recorded in `pings`.
function scriptedFetch(answers, agent = null) {
  const calls = [];
  const pings = [];
  const fetch = async (url, init) => {
    if (init.signal?.aborted) throw init.signal.reason;
    if (agent && url.endsWith('/v1/ping') && init.mode !== 'no-cors') {
      pings.push({ url, init });
      return new Response(`{"ok":true,"id":"${agent}"}`, { status: 200 });
    }
    calls.push({ url, init });
    const a = answers.shift();
    if (a instanceof Error) throw a;
    return new Response(a.body, { status: a.status, headers: { 'Content-Type': 'application/json', ...a.headers } });
  };
  return { fetch, calls, pings };
}

// A client paired with agent 'a1'; pings are answered by `agent` (null: from the script).
function pairedClient(answers, extra = {}, source = 'code', agent = 'a1') {
  const storage = new MemoryStorage();
  storage.setItem(STORAGE_KEY, JSON.stringify({ token: TOKEN, deviceId: 'd1', agentId: 'a1', source, pairedAt: 1 }));
  const f = scriptedFetch(answers, agent);
  return { client: new AgentClient({ storage, fetch: f.fetch, permissions: null, ...extra }), calls: f.calls,
           pings: f.pings, storage };
}

test('signature matches values computed with Python hmac', async () => {
  const cases = [
    {
      body: printBody({ kind: 'network', host: '127.0.0.1', port: 9100 }, new Uint8Array([27, 64, 65, 10])),
      nonce: 'n-1',
      sign: '135fb3883edd3de84fa21f0a6e4ef7e276684cb9304cdcbc0ae59a3d2f3754b7',
    },
    // an empty body (GET) is signed with the digest of zero bytes
    { body: '', nonce: 'abc', sign: '2c7d280c14388bebf97301e83f8dbc53b8bc02bf67735d3f1edc67702272cf51' },
  ];
  for (const c of cases) {
    // milliseconds are dropped, not rounded
    const h = await signatureHeaders(TOKEN, new TextEncoder().encode(c.body), { now: 1700000000999, nonce: c.nonce });
    assert.deepEqual(h, {
      'Authorization': `Bearer ${TOKEN}`,
      'X-Zunel-Timestamp': '1700000000',
      'X-Zunel-Nonce': c.nonce,
      'X-Zunel-Sign': c.sign,
    });
  }
});

test('print body is the target and the bytes as numbers', () => {
  assert.equal(printBody({ kind: 'winspool', printer: 'Caja ñ' }, new Uint8Array([0, 255, 10])),
    '{"target":{"kind":"winspool","printer":"Caja ñ"},"bytes":[0,255,10]}');
  assert.equal(printBody({ kind: 'serial', port: 'COM3', baud: 9600 }, []),
    '{"target":{"kind":"serial","port":"COM3","baud":9600},"bytes":[]}');
  assert.equal(printBody({ kind: 'network', host: 'h', port: 1 }, [10], { protocol: 'zpl', timeoutMs: 5000 }),
    '{"target":{"kind":"network","host":"h","port":1},"bytes":[10],"confirm":{"protocol":"zpl","timeout_ms":5000}}');
  assert.equal(printBody({ kind: 'winspool', printer: 'P' }, new Uint8Array([0, 255, 10]), undefined, 'T-1', MESSAGES_ES,
                         { base64: true }),
    '{"target":{"kind":"winspool","printer":"P"},"bytes_base64":"AP8K","job_id":"T-1"}');
});

test('base64 is the standard alphabet with padding and no line breaks, at every length', () => {
  const native = typeof Uint8Array.prototype.toBase64 === 'function';
  // Around the chunks btoa is given (24,576 bytes), and a few megabytes.
  for (const length of [0, 1, 2, 3, 4, 24575, 24576, 24577, 3 * 1024 * 1024 + 2]) {
    const data = new Uint8Array(length).map((_, i) => (i * 7 + (i >> 8)) & 255);
    const expected = Buffer.from(data).toString('base64');
    const withoutPlatform = data.slice();
    withoutPlatform.toBase64 = undefined;
    assert.equal(bytesToBase64(withoutPlatform), expected, `${length} bytes, by chunks`);
    if (native) assert.equal(bytesToBase64(data), expected, `${length} bytes, the platform's`);
  }
});

test('a print goes as bytes_base64 to an agent whose last ping lists "base64", as the array to any other', async () => {
  const before = ['print', 'printers', 'provision', 'revocations', 'status', 'jobs', 'confirm'];
  const ping = (capabilities) => ({ status: 200, body: JSON.stringify({ ok: true, id: 'a1', capabilities }) });
  const ok = { status: 200, body: '{"ok":true}' };
  const cases = [
    // [what, the answers in order (pings included), ms from the first print to the second, forms of the prints]
    ['an agent that lists it', [ping([...before, 'base64']), ok], null, ['bytes_base64']],
    ['an agent that does not', [ping(before), ok], null, ['bytes']],
    ['an agent whose ping has no capabilities', [{ status: 200, body: '{"ok":true,"id":"a1"}' }, ok], null, ['bytes']],
    // Within 2 s of an answer no ping goes first: what the last one said holds.
    ['a print soon after', [ping([...before, 'base64']), ok, ok], 1999, ['bytes_base64', 'bytes_base64']],
    // An older build put in its place is asked again before the next print.
    ['an agent replaced by an older one', [ping([...before, 'base64']), ok, ping(before), ok], 2000,
     ['bytes_base64', 'bytes']],
  ];
  const data = new Uint8Array(1000).map((_, i) => (i * 31) & 255);
  for (const [what, script, gap, forms] of cases) {
    let now = 1767258000000;
    const sends = script.length;
    const { client, calls } = pairedClient(script, { now: () => now }, 'code', null);
    const prints = [];
    for (let i = 0; i < forms.length; i++) {
      if (i > 0) now += gap;
      assert.deepEqual(await client.print({ kind: 'network', host: 'h', port: 1 }, data), { ok: true }, what);
      prints.push(calls.at(-1).init);
    }
    assert.equal(calls.length, sends, `${what}: every answer used`);
    prints.forEach((init, i) => {
      const sent = Buffer.from(init.body);
      const body = JSON.parse(sent.toString('utf8'));
      assert.deepEqual(Object.keys(body), ['target', forms[i], 'job_id'], what);
      const bytes = forms[i] === 'bytes' ? Buffer.from(body.bytes) : Buffer.from(body.bytes_base64, 'base64');
      assert.deepEqual(bytes, Buffer.from(data), what);
      if (forms[i] === 'bytes_base64') assert.equal(body.bytes_base64, Buffer.from(data).toString('base64'), what);
      // The text signed is the text sent.
      const h = init.headers;
      const message = `${h['X-Zunel-Timestamp']}.${h['X-Zunel-Nonce']}.${createHash('sha256').update(sent).digest('hex')}`;
      assert.equal(h['X-Zunel-Sign'], createHmac('sha256', Buffer.from(TOKEN, 'hex')).update(message).digest('hex'), what);
    });
  }
  // What a ping() told holds for the print that follows it.
  const { client, calls } = pairedClient([ping([...before, 'base64']), ok], {}, 'code', null);
  await client.ping();
  await client.print({ kind: 'network', host: 'h', port: 1 }, [1, 2, 3]);
  assert.equal(calls.length, 2, 'no ping before the print');
  assert.equal(JSON.parse(Buffer.from(calls[1].init.body).toString()).bytes_base64, 'AQID');
});

test('bytes that are not 0-255 integers are refused before anything is sent, naming the first', async () => {
  const cases = [
    [[1, 2, 256, -1], /elemento 2 es 256/], [[0, 1.5], /elemento 1 es 1.5/], [[0, '7'], /elemento 1 es "7"/],
    [[null], /elemento 0 es null/], ['G0E=', /no texto/], [undefined, /no texto/],
  ];
  for (const [bytes, message] of cases) {
    const { client, calls } = pairedClient([]);
    await assert.rejects(client.print({ kind: 'network', host: 'h', port: 1 }, bytes),
      (e) => e instanceof AgentError && e.kind === 'input' && message.test(e.message), String(bytes));
    assert.equal(calls.length, 0);
  }
});

test('a signed print carries a signature over the exact bytes sent', async () => {
  const { client, calls } = pairedClient([{ status: 200, body: '{"ok":true}' }, { status: 200, body: '{"ok":true}' }]);
  const data = new Uint8Array(256).map((_, i) => i);
  const before = Math.floor(Date.now() / 1000);
  await client.print({ kind: 'network', host: '127.0.0.1', port: 9100 }, data);
  await client.print({ kind: 'network', host: '127.0.0.1', port: 9100 }, data);
  const after = Math.floor(Date.now() / 1000);

  assert.equal(calls.length, 2);
  const { url, init } = calls[0];
  assert.equal(url, 'http://127.0.0.1:47631/v1/print');
  assert.equal(init.method, 'POST');
  const sent = Buffer.from(init.body);
  assert.deepEqual(JSON.parse(sent.toString('utf8')).bytes, Array.from(data));
  const h = init.headers;
  assert.equal(h['Authorization'], `Bearer ${TOKEN}`);
  assert.equal(h['Content-Type'], 'application/json');
  const ts = Number(h['X-Zunel-Timestamp']);
  assert.ok(ts >= before && ts <= after, `timestamp ${ts} not in [${before}, ${after}]`);
  assert.match(h['X-Zunel-Nonce'], /^[0-9a-f]{32}$/);
  const message = `${h['X-Zunel-Timestamp']}.${h['X-Zunel-Nonce']}.${createHash('sha256').update(sent).digest('hex')}`;
  assert.equal(h['X-Zunel-Sign'], createHmac('sha256', Buffer.from(TOKEN, 'hex')).update(message).digest('hex'));
  // a fresh nonce for every request
  assert.notEqual(calls[1].init.headers['X-Zunel-Nonce'], h['X-Zunel-Nonce']);
  // and, without a jobId, a fresh job id for every print
  const ids = calls.map((c) => JSON.parse(Buffer.from(c.init.body).toString('utf8')).job_id);
  assert.match(ids[0], /^[0-9a-f]{8}-[0-9a-f]{4}-[0-9a-f]{4}-[0-9a-f]{4}-[0-9a-f]{12}$/);
  assert.notEqual(ids[1], ids[0]);
});

test('a print under a job id carries it, and a job is asked after by its id', async () => {
  assert.equal(printBody({ kind: 'winspool', printer: 'P' }, [1], undefined, 'T-1:a'),
    '{"target":{"kind":"winspool","printer":"P"},"bytes":[1],"job_id":"T-1:a"}');
  const done = { job_id: 'T-1:a', state: 'done', accepted: '2026-12-08T12:31:04Z', ended: '2026-12-08T12:31:05Z',
                 answer: { status: 200, body: { ok: true } } };
  const { client, calls } = pairedClient([
    { status: 200, body: '{"ok":true,"repeated":true}' },
    { status: 200, body: JSON.stringify(done) },
    { status: 404, body: '{"error":"trabajo desconocido"}' },
    { status: 409, body: '{"error":"job_id ya usado para otro trabajo"}' },
  ]);
  assert.deepEqual(await client.print({ kind: 'winspool', printer: 'P' }, [1], { jobId: 'T-1:a' }),
    { ok: true, repeated: true });
  assert.equal(JSON.parse(Buffer.from(calls[0].init.body).toString()).job_id, 'T-1:a');
  assert.deepEqual(await client.job('T-1:a'), done);
  assert.equal(calls[1].url, 'http://127.0.0.1:47631/v1/jobs/T-1:a');
  assert.equal(calls[1].init.method, 'GET');
  assert.ok(calls[1].init.headers['X-Zunel-Sign']);
  assert.equal(await client.job('unknown'), null);
  await assert.rejects(client.print({ kind: 'winspool', printer: 'P' }, [2], { jobId: 'T-1:a' }),
    (e) => e instanceof AgentError && e.kind === 'refused' && e.status === 409);
});

test('the printer list is a signed GET without a body', async () => {
  const list = [{ manufacturer: null, offline: true, product: 'Térmica', product_id: 0, serial: null, vendor_id: 0 }];
  const { client, calls } = pairedClient([{ status: 200, body: JSON.stringify({ printers: list }) }]);
  assert.deepEqual(await client.printers(), list);
  const { url, init } = calls[0];
  assert.equal(url, 'http://127.0.0.1:47631/v1/printers');
  assert.equal(init.method, 'GET');
  assert.equal(init.body, undefined);
  assert.equal(init.headers['Content-Type'], undefined);
  const h = init.headers;
  const message = `${h['X-Zunel-Timestamp']}.${h['X-Zunel-Nonce']}.${createHash('sha256').update('').digest('hex')}`;
  assert.equal(h['X-Zunel-Sign'], createHmac('sha256', Buffer.from(TOKEN, 'hex')).update(message).digest('hex'));
});

test('pairing sends the code and label and keeps token, device id and agent id', async () => {
  const storage = new MemoryStorage();
  const f = scriptedFetch([{ status: 200, body: `{"token":"${TOKEN}","device_id":"0011223344556677","agent_id":"ab"}` }]);
  const client = new AgentClient({ storage, fetch: f.fetch, permissions: null, now: () => 1767258000500 });
  assert.equal(client.pairing, null);
  const p = await client.pair(' 012345 ', 'Caja 1');
  assert.deepEqual(p, { token: TOKEN, deviceId: '0011223344556677', agentId: 'ab', source: 'code', pairedAt: 1767258000 });
  assert.deepEqual(client.pairing, p);
  assert.equal(new TextDecoder().decode(f.calls[0].init.body), '{"code":"012345","label":"Caja 1"}');
  assert.equal(f.calls[0].init.headers['Authorization'], undefined);
  client.forget();
  assert.equal(client.pairing, null);
});

test('only renewing a ticket device names it; provisioning never does', async () => {
  const answer = { status: 200, body: `{"token":"${'f'.repeat(64)}","device_id":"d1","agent_id":"a1"}` };
  const cases = [
    { source: 'ticket', call: (c) => c.renew('h.p.s', { label: 'Caja' }),
      sent: '{"ticket":"h.p.s","device_id":"d1","label":"Caja"}' },
    { source: 'ticket', call: (c) => c.provision('h.p.s', { label: 'Caja' }), sent: '{"ticket":"h.p.s","label":"Caja"}' },
    { source: 'code', call: (c) => c.provision('h.p.s'), sent: '{"ticket":"h.p.s","label":""}' },
    // a code device named in a provisioning would start to expire
    { source: 'code', call: (c) => c.renew('h.p.s'), kind: 'input' },
  ];
  for (const c of cases) {
    const { client, calls } = pairedClient([answer], { now: () => 1767258000999 }, c.source);
    if (c.kind) {
      await assert.rejects(c.call(client), (e) => e.kind === c.kind);
      assert.equal(calls.length, 0);
      continue;
    }
    const p = await c.call(client);
    assert.equal(new TextDecoder().decode(calls[0].init.body), c.sent);
    assert.deepEqual(client.pairing, { token: 'f'.repeat(64), deviceId: 'd1', agentId: 'a1', source: 'ticket',
                                       pairedAt: 1767258000 });
    assert.deepEqual(p, client.pairing);
  }
});

test('a ticket device needs renewal a day before its seventh day, a code device never', () => {
  const at = (s) => ({ now: () => s * 1000 });
  const cases = [
    ['ticket', 1 + 6 * 86400 - 1, false], ['ticket', 1 + 6 * 86400, true], ['code', 1 + 30 * 86400, false],
  ];
  for (const [source, now, expected] of cases) {
    assert.equal(pairedClient([], at(now), source).client.needsRenewal(), expected, `${source} at ${now}`);
  }
});

test('a 503 is waited out and sent again for a ping, as Retry-After says', async () => {
  const busy = { status: 503, body: '{"error":"agente ocupado"}', headers: { 'Retry-After': '0' } };
  const { client, calls } = pairedClient([busy, busy, busy, { status: 200, body: '{"ok":true}' }], {}, 'code', null);
  await assert.rejects(client.ping(), (e) => e.kind === 'busy' && e.retryAfter === 0 && e.message === 'agente ocupado');
  assert.equal(calls.length, 3, 'the first send and two retries');
  assert.deepEqual(await client.ping(), { ok: true });
});

test('Retry-After is read in whole seconds within bounds', () => {
  const cases = [['1', 1], ['10', 10], [null, 1], ['x', 1], ['-3', 1], ['3600', 30]];
  for (const [value, seconds] of cases) {
    assert.equal(retryAfterSeconds(new Headers(value === null ? {} : { 'Retry-After': value })), seconds, value);
  }
});

test('messages can be replaced one by one', async () => {
  const { client } = pairedClient([new TypeError('Failed to fetch'), new TypeError('Failed to fetch')],
    { messages: { notRunning: 'Agent down' } }, 'code', null);
  await assert.rejects(client.ping(), (e) => e.kind === 'not-running' && e.message === 'Agent down');
  assert.equal(client.messages.blocked, MESSAGES_ES.blocked);
});

test('signed calls without a pairing fail before any request', async () => {
  const f = scriptedFetch([]);
  const client = new AgentClient({ storage: new MemoryStorage(), fetch: f.fetch, permissions: null });
  await assert.rejects(client.printers(), (e) => e instanceof AgentError && e.kind === 'not-paired');
  await assert.rejects(client.print({ kind: 'network', host: 'h', port: 1 }, [1]), (e) => e.kind === 'not-paired');
  assert.equal(f.calls.length, 0);
});

test('answers of the agent become errors with its text and code', async () => {
  const cases = [
    { answer: { status: 502, body: '{"code":"printer_unreachable","error":"Connection refused (os error 111)"}' },
      kind: 'refused', status: 502, message: 'Connection refused (os error 111)', code: 'printer_unreachable' },
    { answer: { status: 403, body: '{"code":"origin_not_allowed","error":"origen no permitido"}' }, kind: 'refused',
      status: 403, message: 'origen no permitido', code: 'origin_not_allowed' },
    { answer: { status: 500, body: '<html>' }, kind: 'bad-answer', status: 500, code: null },
    // an agent before codes
    { answer: { status: 502, body: '{"error":"x"}' }, kind: 'refused', status: 502, message: 'x', code: null },
    { answer: { status: 503, body: '{"code":"printer_busy","error":"impresora ocupada"}', headers: { 'Retry-After': '10' } },
      kind: 'busy', status: 503, message: 'impresora ocupada', code: 'printer_busy' },
    { answer: { status: 503, body: '{"code":"agent_busy","error":"agente ocupado"}', headers: { 'Retry-After': '1' } },
      kind: 'busy', status: 503, message: 'agente ocupado', code: 'agent_busy' },
  ];
  for (const c of cases) {
    const { client } = pairedClient([c.answer]);
    await assert.rejects(client.print({ kind: 'network', host: 'h', port: 1 }, [1]), (e) => {
      assert.ok(e instanceof AgentError);
      assert.equal(e.kind, c.kind);
      assert.equal(e.status, c.status);
      assert.equal(e.code, c.code);
      if (c.message) assert.equal(e.message, c.message);
      return true;
    });
  }
});

test('a first 401 is signed again with a fresh nonce, and is then forgotten', async () => {
  const { client, calls } = pairedClient([{ status: 401, body: '{"error":"no autorizado"}' }, { status: 200, body: '{"ok":true}' }]);
  assert.deepEqual(await client.print({ kind: 'network', host: 'h', port: 1 }, [1]), { ok: true });
  assert.equal(calls.length, 2);
  assert.notEqual(calls[0].init.headers['X-Zunel-Nonce'], calls[1].init.headers['X-Zunel-Nonce']);
  assert.ok(client.pairing, 'kept');
});

test('a 401 for a stale timestamp keeps the pairing and is not sent again: the clock is wrong', async () => {
  const stale = { status: 401, body: '{"code":"unauthorized","error":"no autorizado","reason":"stale_timestamp"}' };
  const { client, calls } = pairedClient([stale]);
  await assert.rejects(client.printers(), (e) => e.kind === 'refused' && e.code === 'unauthorized' &&
    e.reason === 'stale_timestamp' && e.message === MESSAGES_ES.clockSkew);
  assert.equal(calls.length, 1);
  assert.ok(client.pairing, 'kept');
});

test('an abort stops the waiting: for a print it may still print', async () => {
  for (const [call, isPrint] of [[(c, signal) => c.print({ kind: 'network', host: 'h', port: 1 }, [1], { signal }), true],
                                 [(c, signal) => c.ping({ signal }), false]]) {
    // The agent answers the ping before the print; the call itself hangs.
    let sent;
    const called = new Promise((resolve) => { sent = resolve; });
    const hanging = (url, init) => new Promise((resolve, reject) => {
      if (isPrint && url.endsWith('/v1/ping')) return resolve(new Response('{"ok":true,"id":"a1"}'));
      const fail = () => reject(new DOMException('aborted', 'AbortError'));
      if (init.signal.aborted) fail();
      init.signal.addEventListener('abort', fail);
      sent();
    });
    const { client } = pairedClient([], { fetch: hanging });
    const controller = new AbortController();
    const pending = call(client, controller.signal);
    await called;
    controller.abort();
    await assert.rejects(pending, (e) => e instanceof AgentError && e.kind === 'aborted' &&
      e.mayHavePrinted === isPrint && e.message === (isPrint ? MESSAGES_ES.printAborted : MESSAGES_ES.aborted) &&
      (isPrint ? /^[0-9a-f-]{36}$/.test(e.jobId) : e.jobId === null));
  }
  // Aborted before anything was sent: nothing may print.
  const { client, calls, pings } = pairedClient([]);
  await assert.rejects(client.print({ kind: 'network', host: 'h', port: 1 }, [1], { signal: AbortSignal.abort() }),
    (e) => e.kind === 'aborted' && e.mayHavePrinted === false);
  assert.equal(calls.length + pings.length, 0);
});

test('a print whose answer never came may be on paper; one never sent is said so', async () => {
  const refused = () => new TypeError('Failed to fetch');
  const ping = { status: 200, body: '{"ok":true,"id":"a1"}' };
  const list = { status: 200, body: '{"printers":[]}' };
  const stopped = { status: 503, body: '{"code":"agent_stopped","error":"el agente se detuvo antes de terminar el ' +
                                       'trabajo: revisá la impresora antes de reimprimir"}' };
  const cases = [
    // [what, the script, ms between a printer list and the print (none: no list), what the error says, print sent]
    ['cut after a ping', [ping, refused()], null, { kind: 'cut', mayHavePrinted: true, message: MESSAGES_ES.printCut }, true],
    ['cut after a fresh answer', [list, refused()], 1999, { kind: 'cut', mayHavePrinted: true }, true],
    ['an old answer: pinged first', [list, ping, refused()], 2000, { kind: 'cut', mayHavePrinted: true }, true],
    ['no agent', [refused(), refused()], null, { kind: 'not-running', mayHavePrinted: false }, false],
    ['a refused origin', [refused(), { status: 0 }], null, { kind: 'wrong-origin', mayHavePrinted: false }, false],
    ['stopped before the job ended', [ping, stopped], null,
     { kind: 'cut', mayHavePrinted: true, status: 503, code: 'agent_stopped', message: JSON.parse(stopped.body).error }, true],
    ['an id of a job cut earlier', [ping, { status: 409, body: '{"code":"job_interrupted","error":"x","state":"interrupted"}' }],
     null, { kind: 'refused', mayHavePrinted: true, state: 'interrupted', repeated: false }, true],
    ['the repeat of a job that timed out', [ping, { status: 502, body: '{"code":"printer_timeout","error":"x","repeated":true}' }],
     null, { kind: 'refused', mayHavePrinted: true, repeated: true, state: null }, true],
    ['a printer that is not there', [ping, { status: 502, body: '{"code":"printer_unreachable","error":"x"}' }], null,
     { kind: 'refused', mayHavePrinted: false }, true],
  ];
  for (const [what, script, gap, expected, sent] of cases) {
    let now = 1767258000000;
    const fetch = async (url, init) => {
      const a = script.shift();
      if (a instanceof Error) throw a;
      if (a.status === 0) return new Response(null, { status: 200 });  // an opaque no-cors answer
      return new Response(a.body, { status: a.status });
    };
    const calls = [];
    const { client } = pairedClient([], { now: () => now, fetch: (url, init) => { calls.push(url); return fetch(url, init); } });
    if (gap !== null) {
      await client.printers();
      now += gap;
    }
    const error = await client.print({ kind: 'network', host: 'h', port: 1 }, [1], { jobId: 'T-1' }).catch((e) => e);
    assert.ok(error instanceof AgentError, what);
    for (const [member, value] of Object.entries(expected)) assert.equal(error[member], value, `${what}: ${member}`);
    assert.equal(error.jobId, 'T-1', what);
    assert.equal(calls.some((url) => url.endsWith('/v1/print')), sent, `${what}: sent`);
    assert.equal(script.length, 0, `${what}: every answer used`);
  }
});

test('a second 401 forgets the pairing only when the agent it was made with says so', async () => {
  const unknown = { status: 401, body: '{"code":"unauthorized","error":"no autorizado","reason":"unknown_device"}' };
  const cases = [
    // [what, the agent that answers the ping, the pairing's agent id, kind, pairing kept]
    ['another Windows user\'s agent', 'b2', 'a1', 'other-agent', true],
    ['the same agent: revoked', 'a1', 'a1', 'not-paired', false],
    ['a pairing kept without its agent id', 'b2', undefined, 'not-paired', false],
  ];
  for (const [what, agent, agentId, kind, kept] of cases) {
    const { client, calls, pings, storage } = pairedClient([unknown, unknown], {}, 'code', agent);
    storage.setItem(STORAGE_KEY, JSON.stringify({ token: TOKEN, deviceId: 'd1', agentId, source: 'code', pairedAt: 1 }));
    await assert.rejects(client.printers(), (e) => e instanceof AgentError && e.kind === kind && e.status === 401 &&
      e.reason === 'unknown_device' &&
      e.message === (kind === 'other-agent' ? 'la impresora la atiende el agente de otro usuario de Windows de esta PC'
                                            : MESSAGES_ES.pairingLost), what);
    assert.equal(calls.length, 2, what);
    assert.equal(pings.length, agentId ? 1 : 0, what);
    assert.equal(client.pairing !== null, kept, what);
  }
  // Nothing answers the ping: the pairing is kept and the page told why.
  const { client } = pairedClient([unknown, unknown, new TypeError('Failed to fetch'), new TypeError('Failed to fetch')],
                                  {}, 'code', null);
  await assert.rejects(client.printers(), (e) => e.kind === 'not-running');
  assert.ok(client.pairing);
});

test('renewals run one at a time under a Web Lock; one that waited keeps the renewal it waited for', async () => {
  let queue = Promise.resolve();
  const names = [];
  const locks = { request: (name, cb) => { names.push(name); const run = queue.then(cb); queue = run.catch(() => {}); return run; } };
  const answer = (t) => ({ status: 200, body: `{"token":"${t.repeat(64)}","device_id":"d1","agent_id":"a1"}` });
  const { client, calls } = pairedClient([answer('a'), answer('b')], { locks, now: () => 1767258000000 }, 'ticket');
  const [first, second] = await Promise.all([client.renew('t.1.s'), client.renew('t.2.s')]);
  assert.deepEqual(names, [RENEW_LOCK, RENEW_LOCK]);
  assert.equal(calls.length, 1, 'one ticket sent');
  assert.equal(first.token, 'a'.repeat(64));
  assert.deepEqual(second, first);
});

test('in Node.js the origin option sends the Origin header, and the pairing is kept in memory', async () => {
  const f = scriptedFetch([{ status: 200, body: `{"token":"${TOKEN}","device_id":"d1","agent_id":"a1"}` }]);
  const client = new AgentClient({ fetch: f.fetch, permissions: null, origin: 'https://caja.erp.zunel.example' });
  await client.pair('123456');
  assert.equal(f.calls[0].init.headers['Origin'], 'https://caja.erp.zunel.example');
  assert.equal(client.pairing.token, TOKEN);
});

test('no answer and no answer to a no-cors ping: a denied loopback permission means blocked, anything else not running', async () => {
  const perms = (states) => ({
    query: async ({ name }) => {
      if (!(name in states)) throw new TypeError(`unknown permission ${name}`);
      return { state: states[name] };
    },
  });
  const cases = [
    { permissions: perms({ 'loopback-network': 'denied' }), kind: 'blocked' },
    { permissions: perms({ 'loopback-network': 'granted' }), kind: 'not-running' },
    { permissions: perms({ 'loopback-network': 'prompt' }), kind: 'not-running' },
    // browsers before the loopback permission was split out
    { permissions: perms({ 'local-network-access': 'denied' }), kind: 'blocked' },
    { permissions: perms({}), kind: 'not-running' },
    { permissions: null, kind: 'not-running' },
  ];
  for (const c of cases) {
    const { client, calls } = pairedClient([new TypeError('Failed to fetch'), new TypeError('Failed to fetch')],
      { permissions: c.permissions }, 'code', null);
    await assert.rejects(client.ping(), (e) => e instanceof AgentError && e.kind === c.kind);
    assert.equal(calls[1].init.mode, 'no-cors', 'the probe');
  }
});

test('hex reading is strict', () => {
  const cases = [
    ['', []], ['00ff', [0, 255]], ['ABcd', [0xab, 0xcd]],
    ['0', null], ['0g', null], [' 00', null], ['0x00', null], [null, null],
  ];
  for (const [text, bytes] of cases) {
    const got = hexToBytes(text);
    assert.deepEqual(got === null ? null : Array.from(got), bytes, `hexToBytes(${JSON.stringify(text)})`);
  }
});

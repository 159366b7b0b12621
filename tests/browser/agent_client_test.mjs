// The reference client and the guide's server-side examples against the real
// agent, from Node.js: time-outs, a 503 waited out for a status query but
// never for a print, the pairing forgotten after a second 401 (and kept when
// another user's agent holds the port), prints cut by a kill, a stop and an
// upgrade; every ticket signing example of docs/integration.md and the
// vendor tool provision the agent, and its request signing examples print;
// the client's package, packed with `npm pack`, installs and imports.
//
// The pages' origin is sent as an Origin header (Node's fetch does not apply
// CORS; the browser test covers what a browser hides).
//
// Environment (set by CTest): ZUNEL_AGENT_EXE, ZUNEL_ERP_ORIGIN_DOMAIN.
import { test, before, after } from 'node:test';
import assert from 'node:assert/strict';
import { spawn, spawnSync } from 'node:child_process';
import crypto from 'node:crypto';
import fs from 'node:fs';
import net from 'node:net';
import os from 'node:os';
import path from 'node:path';
import { fileURLToPath } from 'node:url';

const { AgentClient, AgentError, signatureHeaders } = await import('../../examples/erp-page/zunel-agent.js');

const here = path.dirname(fileURLToPath(import.meta.url));
const root = path.resolve(here, '../..');
const exe = process.env.ZUNEL_AGENT_EXE;
const domain = process.env.ZUNEL_ERP_ORIGIN_DOMAIN || 'erp.zunel.example';
const ORIGIN = `https://caja.${domain}`;
const AGENT = 'http://127.0.0.1:47631';
const SEED_FILE = path.join(root, 'tests/fixtures/test_signing_seed.hex');
const KEYSET_FILE = path.join(root, 'tests/fixtures/test_keyset.json');
const TEST_KID = JSON.parse(fs.readFileSync(KEYSET_FILE, 'utf8'))[0].kid;
const guide = fs.readFileSync(path.join(root, 'docs/integration.md'), 'utf8');

assert.ok(exe, 'ZUNEL_AGENT_EXE must name the agent executable');

const tmp = fs.mkdtempSync(path.join(os.tmpdir(), 'zunel-client-'));
const home = path.join(tmp, 'home');
fs.mkdirSync(home, { mode: 0o700 });
const agentEnv = { ...process.env, HOME: home };
for (const name of ['XDG_DATA_HOME', 'XDG_CONFIG_HOME']) delete agentEnv[name];

const runCli = (...args) => spawnSync(exe, args, { env: agentEnv, encoding: 'utf8', timeout: 60000 });
const delay = (ms) => new Promise((r) => setTimeout(r, ms));

async function until(what, check, ms = 30000) {
  const end = Date.now() + ms;
  for (;;) {
    const v = await check();
    if (v) return v;
    if (Date.now() > end) throw new Error(`timed out waiting for ${what}`);
    await delay(50);
  }
}

class MemoryStorage {
  constructor() { this.map = new Map(); }
  getItem(k) { return this.map.has(k) ? this.map.get(k) : null; }
  setItem(k, v) { this.map.set(k, String(v)); }
  removeItem(k) { this.map.delete(k); }
}

// Node's fetch as the ERP page's browser would send it, recording every
// request (with its body) and answer; `onAnswer` may act on each.
function pageFetch(log, onAnswer = () => {}) {
  return async (url, init = {}) => {
    const response = await fetch(url, { ...init, headers: { ...init.headers, Origin: ORIGIN } });
    const entry = { path: new URL(url).pathname, status: response.status, mode: init.mode, body: init.body };
    log.push(entry);
    await onAnswer(entry);
    return response;
  };
}

// A printer that reads (and keeps) every byte and never answers a status query; it can
// drop its connections.
function startSilentPrinter() {
  const sockets = [];
  const server = net.createServer((s) => {
    sockets.push(s);
    s.received = [];  // every byte, kept
    s.on('data', (d) => s.received.push(...d));
    s.on('error', () => {});
  });
  return new Promise((resolve) => server.listen(0, '127.0.0.1', () => resolve({
    server, sockets,
    target: { kind: 'network', host: '127.0.0.1', port: server.address().port },
    close: () => { for (const s of sockets) s.destroy(); server.close(); },
  })));
}

let agent = null;
let agentLog = '';

// Nothing listens on the agent's port.
const portFree = () => new Promise((resolve) => {
  const socket = net.connect(47631, '127.0.0.1');
  socket.once('connect', () => { socket.destroy(); resolve(false); });
  socket.once('error', () => resolve(true));
});

// An agent of this HOME (or `env`'s) from `executable`, once it answers.
async function startAgent(env = agentEnv, executable = exe) {
  await until('the agent port to be free', portFree);
  const child = spawn(executable, ['run'], { env, stdio: ['ignore', 'pipe', 'pipe'] });
  child.exited = new Promise((resolve) => child.once('exit', resolve));
  child.stdout.on('data', (d) => { agentLog += d; });
  child.stderr.on('data', (d) => { agentLog += d; });
  await until('the agent to answer', async () => {
    if (child.exitCode !== null) throw new Error(`agent exited with ${child.exitCode}:\n${agentLog}`);
    try { return (await fetch(`${AGENT}/v1/ping`)).ok; } catch { return false; }
  });
  return child;
}

// Ends a process this test started, by its id.
async function stopProcess(pid, signal = 'SIGTERM') {
  try {
    process.kill(pid, signal);
  } catch {
    return;  // already gone
  }
  await until(`process ${pid} to end`, () => {
    try {
      return fs.readFileSync(`/proc/${pid}/stat`, 'utf8').split(') ')[1].startsWith('Z');
    } catch {
      return true;
    }
  });
}

async function stopAgent(child) {
  if (child.exitCode === null) process.kill(child.pid, 'SIGTERM');
  await child.exited;
}

// The agents running from this HOME that this test did not spawn itself
// (`install` starts one detached).
function detachedAgents() {
  const found = [];
  for (const pid of fs.readdirSync('/proc').filter((n) => /^\d+$/.test(n))) {
    try {
      const environ = fs.readFileSync(`/proc/${pid}/environ`, 'utf8').split('\0');
      const cmdline = fs.readFileSync(`/proc/${pid}/cmdline`, 'utf8').split('\0');
      if (environ.includes(`HOME=${home}`) && cmdline.includes('run') && Number(pid) !== agent?.pid) found.push(Number(pid));
    } catch {
      // gone, or another user's
    }
  }
  return found;
}

// A command of the executable, without blocking the printers this process serves.
function runCliAsync(args, executable = exe) {
  return new Promise((resolve) => {
    const child = spawn(executable, args, { env: agentEnv, stdio: ['ignore', 'pipe', 'pipe'] });
    let out = '';
    child.stdout.on('data', (d) => { out += d; });
    child.stderr.on('data', (d) => { out += d; });
    child.on('exit', (status) => resolve({ status, out }));
  });
}

before(async () => {
  agent = await startAgent();
});

after(async () => {
  if (agent) await stopAgent(agent);
  for (const pid of detachedAgents()) await stopProcess(pid);
  if (process.exitCode) console.log(`--- agent output ---\n${agentLog}`);
  fs.rmSync(tmp, { recursive: true, force: true });
});

async function pairedClient(log = [], options = {}) {
  const code = /(\d{6})/.exec(runCli('pair').stdout)?.[1];
  assert.ok(code, 'a pairing code');
  const client = new AgentClient({ storage: new MemoryStorage(), permissions: null, ...options,
                                   fetch: pageFetch(log, options.onAnswer) });
  await client.pair(code, 'Caja de prueba');
  return client;
}

async function provision(ticket) {
  const r = await fetch(`${AGENT}/v1/provision`, { method: 'POST', headers: { Origin: ORIGIN },
                                                  body: JSON.stringify({ ticket }) });
  return { status: r.status, body: await r.json() };
}

test('a call that outlasts its time-out is a timeout; a print says it may have printed', async () => {
  const printer = await startSilentPrinter();
  try {
    const client = await pairedClient();
    const started = Date.now();
    // The agent waits 5 s for the silent printer's confirmation.
    await assert.rejects(
      client.print(printer.target, [0x41, 0x0a], { confirm: { protocol: 'escpos', timeoutMs: 5000 }, timeout: 500 }),
      (e) => e instanceof AgentError && e.kind === 'timeout' && e.mayHavePrinted === true);
    assert.ok(Date.now() - started < 3000, 'answered at the time-out, not the agent');
    await assert.rejects(client.printerStatus(printer.target, 'escpos', { timeoutMs: 5000, timeout: 300 }),
      (e) => e.kind === 'timeout' && e.mayHavePrinted === false);
  } finally {
    printer.close();
  }
});

test('503: a status query is sent again after Retry-After, a print never', { timeout: 90000 }, async () => {
  const printer = await startSilentPrinter();
  const log = [];
  let released = false;
  // When the status query meets the full queue, the printer lets go of the
  // job that holds it, and the queue drains.
  const onAnswer = (entry) => {
    if (entry.path === '/v1/printers/status' && entry.status === 503 && !released) {
      released = true;
      printer.sockets[0].destroy();
    }
  };
  try {
    const client = await pairedClient(log, { onAnswer });
    const holder = client.print(printer.target, [0x41], { confirm: { protocol: 'escpos', timeoutMs: 30000 } })
      .catch((e) => e);
    await until('the holder to reach the printer', () => printer.sockets.length === 1);
    // The 32 jobs one printer may have waiting.
    const waiting = Array.from({ length: 32 }, (_, i) => client.print(printer.target, [0x30 + (i % 10)]));
    await delay(1500);

    const printsBefore = log.filter((e) => e.path === '/v1/print').length;
    await assert.rejects(client.print(printer.target, [0x42]),
      (e) => e.kind === 'busy' && e.code === 'agent_busy' && e.status === 503 && e.message === 'agente ocupado' &&
             e.retryAfter === 1);
    assert.equal(log.filter((e) => e.path === '/v1/print').length, printsBefore + 1, 'the print was sent once');

    const status = await client.printerStatus(printer.target, 'escpos', { timeoutMs: 300 });
    assert.equal(status.source, 'device');
    const statusSends = log.filter((e) => e.path === '/v1/printers/status').map((e) => e.status);
    assert.equal(statusSends[0], 503);
    assert.equal(statusSends.at(-1), 200);

    for (const answer of await Promise.all(waiting)) assert.deepEqual(answer, { ok: true });
    await holder;
    // The holder, the 32 waiting jobs and the status query, not the refused print.
    assert.equal(printer.sockets.length, 34);
  } finally {
    printer.close();
  }
});

test('a revoked device: signed again once, then forgotten', async () => {
  const printer = await startSilentPrinter();
  try {
    const log = [];
    const client = await pairedClient(log);
    assert.deepEqual(await client.print(printer.target, [0x41]), { ok: true });
    const revoked = runCli('revoke', client.pairing.deviceId);
    assert.equal(revoked.status, 0, revoked.stdout + revoked.stderr);
    log.length = 0;
    await assert.rejects(client.print(printer.target, [0x42]), (e) => e.kind === 'not-paired' && e.status === 401);
    // Signed again once; then a ping says the agent is the one the pairing was made with.
    assert.deepEqual(log.filter((e) => e.path === '/v1/print').map((e) => e.status), [401, 401]);
    assert.deepEqual([log.at(-1).path, log.at(-1).status], ['/v1/ping', 200]);
    assert.equal(client.pairing, null);
    assert.equal(printer.sockets.length, 1, 'nothing more reached the printer');
  } finally {
    printer.close();
  }
});

test('every class of error answer carries its code, and the client hands it on', async () => {
  const client = await pairedClient();
  const closedPort = await new Promise((resolve) => {
    const s = net.createServer().listen(0, '127.0.0.1', () => { const { port } = s.address(); s.close(() => resolve(port)); });
  });
  const refused = async (promise) => {
    try {
      await promise;
    } catch (e) {
      assert.ok(e instanceof AgentError, String(e));
      return { status: e.status, code: e.code, reason: e.reason };
    }
    assert.fail('not refused');
  };
  assert.deepEqual(await refused(client.print({ kind: 'network', host: '127.0.0.1', port: closedPort }, [0x41])),
    { status: 502, code: 'printer_unreachable', reason: null });
  assert.deepEqual(await refused(client.print({ kind: 'usb', vendor_id: 1, product_id: 2 }, [0x41])),
    { status: 502, code: 'usb_unsupported', reason: null });
  assert.deepEqual(await refused(client.print({ kind: 'serial', port: path.join(tmp, 'no-such-tty'), baud: 9600 }, [1])),
    { status: 400, code: 'bad_request', reason: null }, 'not a serial port: refused before it is opened');
  assert.deepEqual(await refused(client.print({ kind: 'serial', port: '/dev/ttyUSB97', baud: 9600 }, [1])),
    { status: 502, code: 'serial_open_failed', reason: null });
  assert.deepEqual(await refused(client.pair('000000')), { status: 401, code: 'code_invalid', reason: null });
  assert.deepEqual(await refused(client.provision('a.b.c')), { status: 401, code: 'ticket_invalid', reason: null });
  assert.deepEqual(await refused(client.pushRevocations('a.b.c')), { status: 401, code: 'revocations_invalid', reason: null });
  assert.deepEqual(await refused(client.printerStatus({ kind: 'network', host: 'h', port: 1 }, 'pcl')),
    { status: 400, code: 'bad_request', reason: null });

  // What the client never sends, straight to the agent.
  const raw = async (method, where, { origin = ORIGIN, body, headers = {} } = {}) => {
    const r = await fetch(`${AGENT}${where}`, { method, body, headers: { ...(origin ? { Origin: origin } : {}), ...headers } });
    return { status: r.status, ...(await r.json()) };
  };
  const pick = ({ status, code, reason }) => ({ status, code, ...(reason ? { reason } : {}) });
  assert.deepEqual(pick(await raw('GET', '/v1/nothing')), { status: 404, code: 'not_found' });
  assert.deepEqual(pick(await raw('POST', '/v1/pair', { body: '{"code":1}' })), { status: 400, code: 'bad_json' });
  assert.deepEqual(pick(await raw('POST', '/v1/pair', { body: Buffer.from([0x7b, 0xff, 0x7d]) })),
    { status: 400, code: 'unreadable_body' });
  assert.deepEqual(pick(await raw('POST', '/v1/pair', { body: 'x'.repeat(17 * 1024) })),
    { status: 413, code: 'body_too_large' });
  assert.deepEqual(pick(await raw('POST', '/v1/pair', { origin: null, body: '{}' })),
    { status: 403, code: 'origin_not_allowed' });
  assert.deepEqual(pick(await raw('GET', '/v1/printers')), { status: 401, code: 'unauthorized', reason: 'missing_headers' });
  const stale = await signatureHeaders(client.pairing.token, new Uint8Array(0), { now: Date.now() - 120000 });
  assert.deepEqual(pick(await raw('GET', '/v1/printers', { headers: stale })),
    { status: 401, code: 'unauthorized', reason: 'stale_timestamp' });
  assert.ok(client.pairing, 'a stale timestamp does not lose the pairing');
});

test('aborting a print stops the waiting, not the printing', async () => {
  const printer = await startSilentPrinter();
  try {
    const client = await pairedClient();
    const controller = new AbortController();
    const job = [0x1b, 0x40, 0x41, 0x0a];
    const printing = client.print(printer.target, job, { confirm: { protocol: 'escpos', timeoutMs: 3000 },
                                                          signal: controller.signal });
    await until('the job to reach the printer', () => printer.sockets.length === 1);
    controller.abort();
    await assert.rejects(printing, (e) => e instanceof AgentError && e.kind === 'aborted' && e.mayHavePrinted === true);
    // The agent went on: the job reached the printer, and its confirmation
    // request follows it on the same connection.
    const { received } = printer.sockets[0];
    await until('the confirmation request', () => received.length > job.length && received.includes(0x1d));
    assert.deepEqual(received.slice(0, job.length), job);
  } finally {
    printer.close();
  }
});

// The guide's answer of a job lookup for a job cut by the agent's end, and
// its recipe for a print whose answer was lost.
const interruptedExample = JSON.parse(/^\{"job_id".*"state":"interrupted".*\}$/m.exec(guide)[0]);
const afterLostAnswer = new Function(
  `${/```js\n(async function afterLostAnswer[\s\S]*?)```/.exec(guide)[1]}\nreturn afterLostAnswer;`)();

test('a print cut by a kill, a stop or an upgrade may have printed, and keeps its job id', { timeout: 120000 }, async () => {
  const copyDir = fs.mkdtempSync(path.join(tmp, 'next-build-'));
  const copy = path.join(copyDir, 'zunel-print-agent');
  fs.copyFileSync(exe, copy);
  fs.chmodSync(copy, 0o755);
  const cuts = [
    ['kill -9', async () => { await stopProcess(agent.pid, 'SIGKILL'); }],
    // Stopping lets a running job end for 10 s; this one would take 30.
    ['zunel-print-agent stop', async () => { assert.equal((await runCliAsync(['stop'])).status, 0); }],
    // An install from another executable file stops the running agent and starts itself.
    ['an upgrade', async () => {
      const installed = await runCliAsync(['install'], copy);
      assert.equal(installed.status, 0, installed.out);
      assert.match(installed.out, /reemplaz/);
    }],
  ];
  for (const [what, cut] of cuts) {
    const printer = await startSilentPrinter();
    try {
      const client = await pairedClient();
      // The silent printer keeps the job waiting for its confirmation for 30 s.
      const printing = client.print(printer.target, [0x1b, 0x40, 0x41, 0x0a],
                                    { confirm: { protocol: 'escpos', timeoutMs: 30000 } }).catch((e) => e);
      await until('the job to reach the printer', () => printer.sockets[0]?.received.length >= 4);
      await cut();
      const error = await printing;
      assert.ok(error instanceof AgentError, `${what}: ${error}`);
      assert.deepEqual({ kind: error.kind, mayHavePrinted: error.mayHavePrinted }, { kind: 'cut', mayHavePrinted: true }, what);
      assert.match(error.jobId, /^[0-9a-f-]{36}$/, what);
      if (what === 'an upgrade') {
        await until('the new build to answer', async () => { try { return (await fetch(`${AGENT}/v1/ping`)).ok; } catch { return false; } });
      } else {
        await agent.exited;
        agent = await startAgent();
      }
      // The agent knows the job by the id the error carries.
      const known = await client.job(error.jobId);
      assert.ok(known, `${what}: job ${error.jobId} unknown`);
      if (what === 'kill -9') {
        assert.deepEqual(Object.keys(known), Object.keys(interruptedExample));
        assert.deepEqual({ ...known, job_id: null, accepted: null }, { ...interruptedExample, job_id: null, accepted: null });
        // The guide's recipe leaves an interrupted job to the cashier, and sends nothing.
        const connections = printer.sockets.length;
        assert.equal(await afterLostAnswer(client, error, printer.target, [0x1b, 0x40, 0x41, 0x0a]), null);
        assert.equal(printer.sockets.length, connections);
      } else {
        // Cut when the stop's grace ran out; or told, by an agent that answers it, as stopped.
        assert.ok(known.state === 'interrupted' || known.answer?.body?.code === 'agent_stopped', `${what}: ${JSON.stringify(known)}`);
      }
    } finally {
      printer.close();
    }
  }
  // The upgraded agent, stopped by its id; this test's own runs again.
  for (const pid of detachedAgents()) await stopProcess(pid);
  agent = await startAgent();
});

test("another Windows user's agent on the port: the pairing is kept, and works once this user's agent is back", async () => {
  const client = await pairedClient();
  const otherHome = fs.mkdtempSync(path.join(tmp, 'other-user-'));
  await stopAgent(agent);
  const other = await startAgent({ ...agentEnv, HOME: otherHome });
  try {
    assert.notEqual((await (await fetch(`${AGENT}/v1/ping`)).json()).id, client.pairing.agentId);
    await assert.rejects(client.job('T-1'), (e) => e instanceof AgentError && e.kind === 'other-agent' &&
      e.status === 401 && e.reason === 'unknown_device' &&
      e.message === 'la impresora la atiende el agente de otro usuario de Windows de esta PC');
    assert.ok(client.pairing, 'kept');
  } finally {
    await stopAgent(other);
  }
  agent = await startAgent();
  assert.equal(await client.job('T-1'), null, 'signed calls work again');
});

test('a print goes in the form the running agent lists, bytes_base64 or the array, and arrives unchanged', async () => {
  const printer = await startSilentPrinter();
  try {
    const log = [];
    const client = await pairedClient(log);
    const { capabilities } = await client.ping();
    const form = capabilities.includes('base64') ? 'bytes_base64' : 'bytes';
    const job = new Uint8Array(70000).map((_, i) => (i * 13 + (i >> 9)) & 255);
    assert.deepEqual(await client.print(printer.target, job), { ok: true });
    const sent = JSON.parse(Buffer.from(log.findLast((e) => e.path === '/v1/print').body).toString('utf8'));
    assert.deepEqual(Object.keys(sent), ['target', form, 'job_id'], `capabilities: ${capabilities}`);
    await until('the job at the printer', () => printer.sockets[0]?.received.length === job.length);
    assert.deepEqual(Buffer.from(printer.sockets[0].received), Buffer.from(job));
  } finally {
    printer.close();
  }
});

test('in Node.js, the origin option and memory storage are all a client needs', async () => {
  const code = /(\d{6})/.exec(runCli('pair').stdout)?.[1];
  const client = new AgentClient({ origin: ORIGIN, permissions: null });
  await client.pair(code, 'Node');
  assert.equal((await client.ping()).paired, true);
  const printer = await startSilentPrinter();
  try {
    assert.deepEqual(await client.print(printer.target, [0x41]), { ok: true });
    assert.equal((await client.printerStatus(printer.target, 'escpos', { timeoutMs: 200 })).reachable, true);
  } finally {
    printer.close();
  }
  // Without it, Node's fetch sends no Origin and the agent refuses the call.
  const bare = new AgentClient({ permissions: null });
  await assert.rejects(bare.pair('000000'), (e) => e.code === 'origin_not_allowed' && e.status === 403);
});

// The guide's ticket signing programs, each run as the guide shows it.
const examples = [...guide.matchAll(/```(js|python|php)\n([\s\S]*?)```/g)]
  .filter((m) => /SEED_FILE KID NEGOCIO_ID/.test(m[2]))
  .map((m) => ({ lang: m[1], text: m[2], name: /(\S+\.(?:mjs|py|php)) SEED_FILE/.exec(m[2])[1] }));

test('every server-side signing example of the guide makes a ticket the agent accepts', async () => {
  assert.deepEqual(examples.map((e) => e.name),
    ['sign-ticket.mjs', 'sign-ticket-jose.mjs', 'sign_ticket.py', 'sign_ticket_pyjwt.py', 'sign_ticket.php']);
  const dir = fs.mkdtempSync(path.join(tmp, 'signing-'));
  fs.symlinkSync(path.join(here, 'node_modules'), path.join(dir, 'node_modules'));
  const interpreter = { js: process.execPath, python: '/usr/bin/python3', php: 'php' };
  for (const example of examples) {
    const file = path.join(dir, example.name);
    fs.writeFileSync(file, example.text);
    const run = spawnSync(interpreter[example.lang], [file, SEED_FILE, TEST_KID, 'tienda-ejemplo', 'cajera-1'],
                          { encoding: 'utf8', cwd: dir });
    assert.equal(run.status, 0, `${example.name}: ${run.stderr}`);
    const ticket = run.stdout.trim();
    const [header, payload] = ticket.split('.').slice(0, 2).map((s) => JSON.parse(Buffer.from(s, 'base64url')));
    assert.equal(header.kid, TEST_KID, example.name);
    const now = Date.now() / 1000;
    assert.ok(payload.iat < now && payload.exp > now && payload.exp < now + 600, `${example.name}: seconds`);
    const answer = await provision(ticket);
    assert.equal(answer.status, 200, `${example.name}: ${JSON.stringify(answer.body)}`);
    assert.match(answer.body.token, /^[0-9a-f]{64}$/);
  }
});

// The guide's request signing programs (Python, PHP), each run as the guide shows it.
const requestExamples = [...guide.matchAll(/```(python|php)\n([\s\S]*?)```/g)]
  .filter((m) => /TOKEN ORIGIN HOST PORT JOB_ID/.test(m[2]))
  .map((m) => ({ lang: m[1], text: m[2], name: /(\S+\.(?:py|php)) TOKEN/.exec(m[2])[1] }));

test('every request signing example of the guide prints a job and asks after it', async () => {
  assert.deepEqual(requestExamples.map((e) => e.name), ['print_signed.py', 'print_signed.php']);
  const dir = fs.mkdtempSync(path.join(tmp, 'requests-'));
  const interpreter = { python: '/usr/bin/python3', php: 'php' };
  const client = await pairedClient();
  const printer = await startSilentPrinter();
  try {
    for (const [i, example] of requestExamples.entries()) {
      const file = path.join(dir, example.name);
      fs.writeFileSync(file, example.text);
      const jobId = `T-000123:${i}`;  // ":" percent-encoded in the path
      const run = await new Promise((resolve) => {
        const child = spawn(interpreter[example.lang],
                            [file, client.pairing.token, ORIGIN, '127.0.0.1', String(printer.target.port), jobId]);
        let out = '';
        let err = '';
        child.stdout.on('data', (d) => { out += d; });
        child.stderr.on('data', (d) => { err += d; });
        child.on('exit', (status) => resolve({ status, out, err }));
      });
      assert.equal(run.status, 0, `${example.name}: ${run.err}`);
      const [printed, asked] = run.out.trim().split('\n').map((line) => JSON.parse(line));
      assert.deepEqual(printed, { status: 200, body: { ok: true } }, example.name);
      assert.equal(asked.status, 200, example.name);
      assert.deepEqual([asked.body.job_id, asked.body.state, asked.body.answer], [jobId, 'done', { status: 200, body: { ok: true } }],
                       example.name);
      await until('the bytes at the printer', () => printer.sockets[i]?.received.length === 5);
      assert.equal(Buffer.from(printer.sockets[i].received).toString(), 'Hola\n', example.name);
    }
  } finally {
    printer.close();
  }
});

// The guide's revocation list programs, each run as the guide shows it.
const revocationExamples = [...guide.matchAll(/```(js|python|php)\n([\s\S]*?)```/g)]
  .filter((m) => /SEED_FILE KID SEQ NEGOCIO_ID/.test(m[2]))
  .map((m) => ({ lang: m[1], text: m[2], name: /(\S+\.(?:mjs|py|php)) SEED_FILE/.exec(m[2])[1] }));

test('every revocation list example of the guide removes the device it names, once', async () => {
  assert.deepEqual(revocationExamples.map((e) => e.name),
    ['sign-revocations.mjs', 'sign_revocations.py', 'sign_revocations.php']);
  const dir = fs.mkdtempSync(path.join(tmp, 'revocations-'));
  const interpreter = { js: process.execPath, python: '/usr/bin/python3', php: 'php' };
  const client = new AgentClient({ origin: ORIGIN, permissions: null });
  let seq = 0;
  for (const example of revocationExamples) {
    const ticket = spawnSync('/usr/bin/python3', [path.join(root, 'tools/zunel_vendor.py'), 'ticket', SEED_FILE,
                                                  '--keyset', KEYSET_FILE, '--negocio', 'tienda-rev', '--sub', 'cajera-9'],
                             { encoding: 'utf8' });
    assert.equal(ticket.status, 0, ticket.stderr);
    assert.equal((await provision(ticket.stdout.trim())).status, 200);
    const file = path.join(dir, example.name);
    fs.writeFileSync(file, example.text);
    const args = [file, SEED_FILE, TEST_KID, String(++seq), 'tienda-rev', 'cajera-9'];
    const run = spawnSync(interpreter[example.lang], args, { encoding: 'utf8', cwd: dir });
    assert.equal(run.status, 0, `${example.name}: ${run.stderr}`);
    assert.deepEqual(await client.pushRevocations(run.stdout.trim()), { applied_seq: seq, removed: 1 }, example.name);
    // The same list again changes nothing.
    assert.deepEqual(await client.pushRevocations(run.stdout.trim()), { applied_seq: seq, removed: 0 }, example.name);
  }
});

test('the vendor tool finds the key id in the keyset and refuses milliseconds', async () => {
  const vendor = (...args) => spawnSync('/usr/bin/python3', [path.join(root, 'tools/zunel_vendor.py'), 'ticket',
                                                            SEED_FILE, '--negocio', 'tienda-1', ...args],
                                        { encoding: 'utf8' });
  const made = vendor('--keyset', KEYSET_FILE);
  assert.equal(made.status, 0, made.stderr);
  assert.equal((await provision(made.stdout.trim())).status, 200);
  const derived = vendor();
  assert.equal((await provision(derived.stdout.trim())).status, 401, 'an id the test keyset does not use');
  const ms = String(Date.now() + 300000);
  for (const args of [['--exp', ms], ['--iat', ms]]) {
    const refused = vendor('--keyset', KEYSET_FILE, ...args);
    assert.equal(refused.status, 1);
    assert.equal(refused.stdout, '');
    assert.match(refused.stderr, /^zunel_vendor: (exp|iat) must be whole seconds since 1970; \d+ looks like milliseconds/);
  }
});

test('the client package packs, installs from its tarball and imports', async () => {
  const packDir = fs.mkdtempSync(path.join(tmp, 'pack-'));
  const npm = (args, cwd) => spawnSync('npm', [...args, '--no-audit', '--no-fund', '--loglevel=error'],
                                       { cwd, encoding: 'utf8' });
  const packed = npm(['pack', '--json', '--pack-destination', packDir], path.join(root, 'examples/erp-page'));
  assert.equal(packed.status, 0, packed.stderr);
  const [info] = JSON.parse(packed.stdout);
  assert.deepEqual(info.files.map((f) => f.path).sort(),
    ['LICENSE', 'README.md', 'messages.d.ts', 'messages.js', 'package.json', 'zunel-agent.d.ts', 'zunel-agent.js']);
  const ping = await (await fetch(`${AGENT}/v1/ping`)).json();
  assert.equal(info.version, ping.version, "the client's version is the agent's");

  const project = path.join(packDir, 'shop-erp');
  fs.mkdirSync(project);
  fs.writeFileSync(path.join(project, 'package.json'), '{"name":"shop-erp","private":true,"type":"module"}');
  const installed = npm(['install', '--offline', path.join(packDir, info.filename)], project);
  assert.equal(installed.status, 0, installed.stderr);
  const imported = spawnSync(process.execPath, ['--input-type=module', '-e', `
    import { AgentClient, AgentError, DEFAULT_TIMEOUTS } from 'zunel-print-agent-client';
    import { MESSAGES_ES } from 'zunel-print-agent-client/messages';
    const client = new AgentClient({ storage: null, messages: { timeout: 'late' } });
    console.log(JSON.stringify({ client: typeof client.print, error: new AgentError('busy', 'x').kind,
                                 timeout: client.messages.timeout, spanish: MESSAGES_ES.notPaired, ping: DEFAULT_TIMEOUTS.ping }));
  `], { cwd: project, encoding: 'utf8' });
  assert.equal(imported.status, 0, imported.stderr);
  const seen = JSON.parse(imported.stdout);
  assert.equal(seen.client, 'function');
  assert.equal(seen.error, 'busy');
  assert.equal(seen.timeout, 'late');
  assert.match(seen.spanish, /no está emparejado/);
  assert.equal(seen.ping, 3000);
  const lock = JSON.parse(fs.readFileSync(path.join(project, 'package-lock.json'), 'utf8'));
  assert.deepEqual(Object.keys(lock.packages).sort(), ['', 'node_modules/zunel-print-agent-client'],
    'nothing else is installed: no run-time dependencies');
});

// The whole road in a real browser: Debian's Chromium, headless, opens the
// reference ERP page over HTTPS from a subdomain of the ERP's domain and talks
// to the real agent on 127.0.0.1:47631: ping, pairing with a code from
// `zunel-print-agent pair`, the printer list, and a print whose bytes must
// arrive unchanged at a loopback TCP listener; the page's Spanish ticket
// (its preview, then its ESC/POS read back in the code page it chose) and
// its ZPL label at the printer emulator; a print cut by a kill of the
// agent is said to need a look at the printer, and is then asked after by
// its job id. A page from a look-alike origin must not read any answer nor
// use the pairing code.
//
// The page's host names are mapped to a loopback HTTPS server of this test
// (--host-resolver-rules, port 443 mapped to the server's port), and that
// server is declared a public address so that Chromium applies its
// local-network checks exactly as for an ERP on the internet; the loopback
// permission is then granted over the DevTools protocol.
//
// Environment (set by CTest): ZUNEL_AGENT_EXE, ZUNEL_EXE_RUNNER (optional),
// ZUNEL_ERP_ORIGIN_DOMAIN, ZUNEL_ARTIFACT_DIR (where the screenshot goes),
// ZUNEL_CHROMIUM (default /usr/bin/chromium).
import { test } from 'node:test';
import assert from 'node:assert/strict';
import { spawn, spawnSync } from 'node:child_process';
import crypto from 'node:crypto';
import fs from 'node:fs';
import http from 'node:http';
import https from 'node:https';
import net from 'node:net';
import os from 'node:os';
import path from 'node:path';
import { fileURLToPath } from 'node:url';
import { chromium } from 'playwright-core';

const here = path.dirname(fileURLToPath(import.meta.url));
const pageDir = path.resolve(here, '../../examples/erp-page');
// The page's receipt library, as this test's npm packages installed it
// (the version the page pins, checked below).
const RECEIPT_LIBRARY = '@point-of-sale/receipt-printer-encoder';
const libraryDir = path.join(here, 'node_modules', RECEIPT_LIBRARY);
const { LABEL_ZPL } = await import('../../examples/erp-page/label.js');
const exe = process.env.ZUNEL_AGENT_EXE;
const runner = (process.env.ZUNEL_EXE_RUNNER ?? '').split(' ').filter(Boolean);
const domain = process.env.ZUNEL_ERP_ORIGIN_DOMAIN || 'erp.zunel.example';
const artifacts = process.env.ZUNEL_ARTIFACT_DIR || path.join(os.tmpdir(), 'zunel-browser-artifacts');
const chromiumPath = process.env.ZUNEL_CHROMIUM || '/usr/bin/chromium';

const AGENT_PORT = 47631;
// A subdomain of its own per run, so that no device paired by an earlier run
// (a Wine prefix keeps the agent's files) counts as this page's.
const ERP_HOST = `caja-${crypto.randomBytes(4).toString('hex')}.${domain}`;
const ERP_ORIGIN = `https://${ERP_HOST}`;
// Ends with the domain's letters but is not a subdomain: the agent refuses it.
const FOREIGN_ORIGIN = `https://falso${domain}`;
const WAIT_MS = 20000;

assert.ok(exe, 'ZUNEL_AGENT_EXE must name the agent executable');

const tmp = fs.mkdtempSync(path.join(os.tmpdir(), 'zunel-browser-'));
const home = path.join(tmp, 'home');
fs.mkdirSync(home, { mode: 0o700 });
const agentEnv = { ...process.env, HOME: home };
for (const name of ['XDG_DATA_HOME', 'XDG_CONFIG_HOME', 'ZUNEL_NO_CONSOLE']) delete agentEnv[name];
// The serial printer is a pseudo-terminal: a test build takes it as a serial
// port while this is set (a release build never).
agentEnv.ZUNEL_TEST_SERIAL_ANY_PATH = '1';

// ---- helpers ---------------------------------------------------------------

function command(args) {
  return runner.length ? [runner[0], [...runner.slice(1), exe, ...args]] : [exe, args];
}

// One GET /v1/ping from Node; resolves with the status or null when nothing answers.
function nodePing() {
  return new Promise((resolve) => {
    const req = http.get({ host: '127.0.0.1', port: AGENT_PORT, path: '/v1/ping', timeout: 2000 }, (res) => {
      res.resume();
      res.on('end', () => resolve(res.statusCode));
    });
    req.on('error', () => resolve(null));
    req.on('timeout', () => req.destroy());
  });
}

async function until(what, check, ms = WAIT_MS) {
  const end = Date.now() + ms;
  for (;;) {
    const v = await check();
    if (v) return v;
    if (Date.now() > end) throw new Error(`timed out waiting for ${what}`);
    await new Promise((r) => setTimeout(r, 100));
  }
}

function makeCertificate() {
  const key = path.join(tmp, 'key.pem');
  const cert = path.join(tmp, 'cert.pem');
  const r = spawnSync('openssl', ['req', '-x509', '-newkey', 'ec', '-pkeyopt', 'ec_paramgen_curve:prime256v1',
    '-nodes', '-days', '2', '-subj', `/CN=${ERP_HOST}`, '-keyout', key, '-out', cert,
    '-addext', `subjectAltName=DNS:${domain},DNS:*.${domain},DNS:falso${domain}`], { encoding: 'utf8' });
  assert.equal(r.status, 0, `openssl failed: ${r.stderr}`);
  return { key: fs.readFileSync(key), cert: fs.readFileSync(cert) };
}

// The page's files and its library's browser build, nothing else, whatever the Host.
function startPageServer() {
  const page = (name) => path.join(pageDir, name);
  const js = 'text/javascript; charset=utf-8';
  const files = {
    '/': [page('index.html'), 'text/html; charset=utf-8'],
    '/index.html': [page('index.html'), 'text/html; charset=utf-8'],
    '/zunel-agent.js': [page('zunel-agent.js'), js],
    '/messages.js': [page('messages.js'), js],
    '/receipt.js': [page('receipt.js'), js],
    '/label.js': [page('label.js'), js],
    '/logo.svg': [page('logo.svg'), 'image/svg+xml'],
    [`/node_modules/${RECEIPT_LIBRARY}/dist/receipt-printer-encoder.esm.js`]:
      [path.join(libraryDir, 'dist/receipt-printer-encoder.esm.js'), js],
  };
  // `?csp=self`: a strict Content-Security-Policy without the agent's
  // address; `?csp=agent`: the same with it, as the guide says.
  const policies = { self: "connect-src 'self'", agent: `connect-src 'self' http://127.0.0.1:${AGENT_PORT}` };
  const server = https.createServer(makeCertificate(), (req, res) => {
    const url = new URL(req.url, 'https://x');
    const f = files[url.pathname];
    if (!f) {
      res.writeHead(404).end();
      return;
    }
    const csp = policies[url.searchParams.get('csp')];
    res.writeHead(200, { 'Content-Type': f[1], 'Cache-Control': 'no-store',
                         ...(csp ? { 'Content-Security-Policy': csp } : {}) });
    res.end(fs.readFileSync(f[0]));
  });
  return new Promise((resolve) => server.listen(0, '127.0.0.1', () => resolve(server)));
}

// A raw TCP printer: keeps every connection's bytes.
function startSink() {
  const jobs = [];
  const server = net.createServer((sock) => {
    const job = { chunks: [], done: false };
    jobs.push(job);
    sock.on('data', (d) => job.chunks.push(d));
    sock.on('close', () => { job.done = true; });
    sock.on('error', () => {});
  });
  return new Promise((resolve) => server.listen(0, '127.0.0.1', () => resolve({ server, jobs })));
}

// The printer emulator of the end-to-end tests, as a child: its ports, and a
// way to set its state through its control port.
async function startEmulator() {
  const script = path.join(path.dirname(new URL(import.meta.url).pathname), '..', 'e2e', 'printer_emulator.py');
  const child = spawn('/usr/bin/python3', ['-B', script, '--no-pty', '--until-stdin-closes'],
                      { stdio: ['pipe', 'pipe', 'inherit'] });
  children.push(child);
  const ready = await new Promise((resolve, reject) => {
    let out = '';
    child.stdout.on('data', (d) => {
      out += d;
      if (out.includes('\n')) resolve(JSON.parse(out.split('\n')[0]));
    });
    child.on('exit', () => reject(new Error('the printer emulator ended')));
  });
  // One command on the control port; its answer.
  const ask = (request) => new Promise((resolve, reject) => {
    const sock = net.connect(ready.control_port, '127.0.0.1', () => sock.write(JSON.stringify(request) + '\n'));
    let answer = '';
    sock.on('data', (d) => {
      answer += d;
      if (answer.includes('\n')) {
        sock.end();
        resolve(JSON.parse(answer));
      }
    });
    sock.on('error', reject);
  });
  return {
    port: ready.tcp_port,
    set: (state) => ask({ cmd: 'set', ...state }),
    received: async () => Buffer.from((await ask({ cmd: 'received' })).hex, 'hex'),
    clear: () => ask({ cmd: 'clear' }),
  };
}

// A loopback port with nothing listening on it.
async function closedPort() {
  const s = net.createServer();
  await new Promise((r) => s.listen(0, '127.0.0.1', r));
  const port = s.address().port;
  await new Promise((r) => s.close(r));
  return port;
}

// A private CUPS server (the spooler on Linux) with raw queues that print to
// loopback TCP listeners: nothing of the system's CUPS is touched.
async function startCups(queues) {
  const dir = path.join(tmp, 'cups');
  for (const d of ['', 'spool', 'cache', 'state', 'log', 'tmp']) fs.mkdirSync(path.join(dir, d), { recursive: true });
  // The backends run as the lp user and must reach the spool and temp dirs.
  fs.chmodSync(tmp, 0o755);
  fs.chmodSync(dir, 0o755);
  const socket = path.join(dir, 'cups.sock');
  fs.writeFileSync(path.join(dir, 'cupsd.conf'), [
    `Listen ${socket}`, 'Browsing Off', 'WebInterface No', 'DefaultAuthType None', 'LogLevel warn',
    '<Location />', '  Order allow,deny', '  Allow all', '</Location>',
    '<Policy default>', '  <Limit All>', '    Order deny,allow', '  </Limit>', '</Policy>', ''].join('\n'));
  fs.writeFileSync(path.join(dir, 'cups-files.conf'), [
    `ServerRoot ${dir}`, `RequestRoot ${dir}/spool`, `CacheDir ${dir}/cache`, `StateDir ${dir}/state`,
    `TempDir ${dir}/tmp`, `AccessLog ${dir}/log/access_log`, `ErrorLog ${dir}/log/error_log`,
    `PageLog ${dir}/log/page_log`, 'Sandboxing Relaxed', ''].join('\n'));
  const cupsd = spawn('/usr/sbin/cupsd', ['-f', '-c', path.join(dir, 'cupsd.conf'), '-s', path.join(dir, 'cups-files.conf')],
    { stdio: 'ignore' });
  children.push(cupsd);
  await until('the private CUPS server', () => {
    if (cupsd.exitCode !== null) throw new Error(`cupsd exited with ${cupsd.exitCode}`);
    // lpstat exits 0 even when the server is down: read its text.
    const r = spawnSync('lpstat', ['-h', socket, '-r'], { encoding: 'utf8' });
    return /scheduler is running/.test(r.stdout);
  }, 10000);
  for (const q of queues) {
    const r = spawnSync('lpadmin', ['-h', socket, '-p', q.name, '-E', '-v', `socket://127.0.0.1:${q.port}`], { encoding: 'utf8' });
    assert.equal(r.status, 0, `lpadmin ${q.name}: ${r.stderr}`);
    if (q.paused) assert.equal(spawnSync('cupsdisable', ['-h', socket, q.name]).status, 0);
  }
  return socket;
}

// Two joined pseudo-terminals: the agent writes to one as its serial port,
// the test reads the other.
async function startSerialPair() {
  const a = path.join(tmp, 'ttyAgent');
  const b = path.join(tmp, 'ttyPrinter');
  const socat = spawn('socat', [`pty,raw,echo=0,link=${a}`, `pty,raw,echo=0,link=${b}`], { stdio: 'ignore' });
  children.push(socat);
  await until('the serial pair', () => fs.existsSync(a) && fs.existsSync(b), 10000);
  const received = [];
  const fd = fs.openSync(b, fs.constants.O_RDONLY | fs.constants.O_NOCTTY | fs.constants.O_NONBLOCK);
  const reader = setInterval(() => {
    const buf = Buffer.alloc(65536);
    for (;;) {
      let n = 0;
      try { n = fs.readSync(fd, buf, 0, buf.length, null); } catch (e) { if (e.code === 'EAGAIN') break; throw e; }
      if (n <= 0) break;
      received.push(Buffer.from(buf.subarray(0, n)));
    }
  }, 20);
  // Under Wine a COM port is a link in the prefix's dosdevices folder.
  let name = a;
  let comLink = null;
  if (runner.length && process.env.WINEPREFIX) {
    name = 'COM42';
    comLink = path.join(process.env.WINEPREFIX, 'dosdevices', 'com42');
    fs.rmSync(comLink, { force: true });
    fs.symlinkSync(a, comLink);
  }
  const close = () => {
    clearInterval(reader);
    fs.closeSync(fd);
    if (comLink) fs.rmSync(comLink, { force: true });
  };
  return { name, received: () => Buffer.concat(received), close };
}

// Processes other than the agent that the test started; each is stopped by its id.
const children = [];

// Stops a process started here by its id (for a group leader, its whole
// process group, whose id is the same).
async function stopProcess(child) {
  if (child.exitCode !== null || child.signalCode !== null) return;
  const id = child.group ? -child.pid : child.pid;
  const exited = new Promise((r) => child.once('exit', r));
  process.kill(id, 'SIGTERM');
  const t = setTimeout(() => {
    try { process.kill(id, 'SIGKILL'); } catch { /* already gone */ }
  }, 5000);
  await exited;
  clearTimeout(t);
}

function runCli(args) {
  const [cmd, argv] = command(args);
  return spawnSync(cmd, argv, { env: agentEnv, encoding: 'utf8', timeout: 60000 });
}

let agent = null;
const agentLogPath = path.join(tmp, 'agent.log');
const agentLog = () => (fs.existsSync(agentLogPath) ? fs.readFileSync(agentLogPath, 'utf8') : '');

async function startAgent() {
  assert.equal(await nodePing(), null, `something already answers on 127.0.0.1:${AGENT_PORT}`);
  const [cmd, argv] = command(['run']);
  // Output to a file and a session of its own: under Wine the program runs in
  // a child of the process started here, and the whole group is stopped.
  const log = fs.openSync(agentLogPath, 'w');
  agent = spawn(cmd, argv, { env: agentEnv, stdio: ['ignore', log, log], detached: true });
  agent.group = true;
  fs.closeSync(log);
  await until('the agent to answer GET /v1/ping', async () => {
    if (agent.exitCode !== null) throw new Error(`agent exited with ${agent.exitCode}:\n${agentLog()}`);
    return (await nodePing()) === 200;
  }, 60000);
}


// ---- reading a ticket back ----------------------------------------------------

// An ESC/POS job as a printer reads it: its commands, and its runs of text,
// each with the code page table (ESC t n; ESC @ sets table 0) and the
// boldness (ESC E) in force. Only the commands the page's ticket uses are
// known; any other fails the test, naming where it stands.
function readEscPos(job) {
  const commands = [];
  const runs = [];
  let table = 0;
  let bold = false;
  let run = null;
  const u16 = (at) => job[at] | (job[at + 1] << 8);
  for (let i = 0; i < job.length;) {
    if (![0x1b, 0x1c, 0x1d].includes(job[i])) {
      if (!run) runs.push(run = { table, bold, bytes: [] });
      run.bytes.push(job[i++]);
      continue;
    }
    run = null;
    let length = 3;
    switch (job.subarray(i, i + 2).toString('hex')) {
      case '1b40': table = 0; bold = false; length = 2; commands.push({ name: 'initialize' }); break;
      case '1c2e': length = 2; break;  // FS .: one byte per character
      case '1b74': table = job[i + 2]; commands.push({ name: 'table', n: table }); break;
      case '1b45': bold = job[i + 2] === 1; break;
      // ESC M (font), ESC a (alignment), GS ! (size), GS h, GS w, GS H (barcode height, width, digits)
      case '1b4d': case '1b61': case '1d21': case '1d68': case '1d77': case '1d48': break;
      case '1d56': commands.push({ name: 'cut', m: job[i + 2] }); break;
      case '1b70': commands.push({ name: 'pulse', pin: job[i + 2] }); length = 5; break;
      case '1d76': {  // GS v 0 m xL xH yL yH, then the rows
        const widthBytes = u16(i + 4);
        const rows = u16(i + 6);
        length = 8 + widthBytes * rows;
        commands.push({ name: 'raster', width: widthBytes * 8, height: rows, data: job.subarray(i + 8, i + length) });
        break;
      }
      case '1d28': {  // GS ( k pL pH cn fn …: a QR code's setting, its data (fn 80) or its printing (fn 81)
        length = 5 + u16(i + 3);
        if (job[i + 2] === 0x6b) commands.push({ name: 'qr', fn: job[i + 6], data: job.subarray(i + 8, i + length) });
        break;
      }
      case '1d6b': {  // GS k m d… NUL
        assert.ok(job[i + 2] <= 6, `a barcode of form B at byte ${i}`);
        const end = job.indexOf(0, i + 3);
        commands.push({ name: 'barcode', m: job[i + 2], data: job.subarray(i + 3, end).toString('latin1') });
        length = end + 1 - i;
        break;
      }
      default:
        assert.fail(`an ESC/POS command the test does not know at byte ${i}: ${job.subarray(i, i + 4).toString('hex')}`);
    }
    i += length;
  }
  return { commands, runs: decodeRuns(runs) };
}

// Each run's text, decoded by Python's codecs in the run's code page table
// (the numbers of Epson-compatible printers).
function decodeRuns(runs) {
  const codecs = { 0: 'cp437', 19: 'cp858' };
  const input = runs.map((r) => {
    assert.ok(r.table in codecs, `text in code page table ${r.table}`);
    return [codecs[r.table], Buffer.from(r.bytes).toString('hex')];
  });
  const py = spawnSync('/usr/bin/python3', ['-c',
    'import json, sys; print(json.dumps([bytes.fromhex(h).decode(c) for c, h in json.load(sys.stdin)]))'],
  { input: JSON.stringify(input), encoding: 'utf8' });
  assert.equal(py.status, 0, py.stderr);
  return JSON.parse(py.stdout).map((text, k) => ({ table: runs[k].table, bold: runs[k].bold, text }));
}

// The number of bytes a print's answer in the page says were sent.
const sentBytes = (text) => Number(/^Enviado a la impresora: (\d+) bytes\.$/.exec(text)?.[1]);

// Clicks a button and waits for its result box to settle; returns {state, text}.
async function press(page, button, resultBox) {
  await page.click(`#${button}`);
  const box = page.locator(`#${resultBox}`);
  await page.waitForSelector(`#${resultBox}:is([data-state="ok"], [data-state="error"])`, { timeout: WAIT_MS });
  return { state: await box.getAttribute('data-state'), text: await box.textContent() };
}

// ---- the test ---------------------------------------------------------------

test('the reference page drives the real agent in Chromium', { timeout: 240000 }, async (t) => {
  let pageServer, sink, spoolSink, serial, context;
  try {
    pageServer = await startPageServer();
    sink = await startSink();
    spoolSink = await startSink();
    const pagePort = pageServer.address().port;
    agentEnv.CUPS_SERVER = await startCups([
      { name: 'Caja_Prueba', port: spoolSink.server.address().port },
      { name: 'Pausada', port: spoolSink.server.address().port, paused: true },
    ]);
    serial = await startSerialPair();

    context = await chromium.launchPersistentContext(path.join(tmp, 'profile'), {
      executablePath: chromiumPath,
      headless: true,
      ignoreHTTPSErrors: true,
      viewport: { width: 900, height: 1100 },
      args: [
        '--no-sandbox', '--disable-gpu', '--no-first-run', '--disable-background-networking',
        '--disable-component-update', '--disable-sync', '--disable-quic', '--ignore-certificate-errors',
        `--host-resolver-rules=MAP ${ERP_HOST}:443 127.0.0.1:${pagePort},` +
          `MAP falso${domain}:443 127.0.0.1:${pagePort},MAP * ~NOTFOUND,EXCLUDE 127.0.0.1`,
        // The page server stands for the ERP on the internet.
        `--ip-address-space-overrides=127.0.0.1:${pagePort}=public`,
      ],
    });
    const page = context.pages()[0] ?? await context.newPage();
    const consoleLines = [];
    page.on('console', (m) => consoleLines.push(m.text()));
    const cdp = await context.newCDPSession(page);
    // Chromium's "loopback-network" permission, which a person grants at the
    // prompt or an administrator by policy.
    const allowLoopback = (origin) => cdp.send('Browser.grantPermissions', { origin, permissions: ['loopbackNetwork'] });
    const denyLoopback = (origin) => cdp.send('Browser.setPermission',
      { origin, permission: { name: 'loopback-network' }, setting: 'denied' });

    await allowLoopback(ERP_ORIGIN);
    await page.goto(`${ERP_ORIGIN}/`);
    assert.equal(await page.evaluate(() => location.origin), ERP_ORIGIN);

    await t.test('without an agent the page says it is not running', async () => {
      const r = await press(page, 'ping', 'ping-result');
      assert.equal(r.state, 'error');
      assert.match(r.text, /no está corriendo/);
    });

    await startAgent();

    await t.test('ping from the ERP origin reads the answer', async () => {
      const r = await press(page, 'ping', 'ping-result');
      assert.equal(r.state, 'ok', r.text);
      assert.match(r.text, /versión 1\.0\.1, id [0-9a-f]{32}\. Este sitio no tiene ningún equipo emparejado/);
    });

    await t.test("a Content-Security-Policy without the agent's address reads as not running, and says so", async () => {
      await page.goto(`${ERP_ORIGIN}/?csp=self`);
      const blocked = await press(page, 'ping', 'ping-result');
      assert.equal(blocked.state, 'error');
      assert.match(blocked.text, /no está corriendo/);
      assert.match(blocked.text, /connect-src http:\/\/127\.0\.0\.1:47631/);
      await page.goto(`${ERP_ORIGIN}/?csp=agent`);
      const allowed = await press(page, 'ping', 'ping-result');
      assert.equal(allowed.state, 'ok', allowed.text);
      await page.goto(`${ERP_ORIGIN}/`);
    });

    await t.test('with the loopback permission denied the page says the browser blocked it', async () => {
      await denyLoopback(ERP_ORIGIN);
      await page.reload();
      const r = await press(page, 'ping', 'ping-result');
      assert.equal(r.state, 'error');
      assert.match(r.text, /El navegador bloqueó la conexión/);
      await allowLoopback(ERP_ORIGIN);
      await page.reload();
    });

    const pairRun = runCli(['pair']);
    const code = /(\d{6})/.exec(pairRun.stdout)?.[1];
    await t.test('`zunel-print-agent pair` gives a six-digit code', () => {
      assert.equal(pairRun.status, 0, `pair failed: ${pairRun.stderr}`);
      assert.match(pairRun.stdout, /^Codigo de emparejamiento: \d{6}\n/);
    });

    await t.test('a look-alike origin reads no answer and cannot use the code', async () => {
      const foreign = await context.newPage();
      await allowLoopback(FOREIGN_ORIGIN);
      await foreign.goto(`${FOREIGN_ORIGIN}/`);
      const seen = await foreign.evaluate(async ({ code }) => {
        const url = 'http://127.0.0.1:47631';
        const attempt = async (p) => {
          try {
            const r = await p;
            return { type: r.type, status: r.status, body: await r.text() };
          } catch (e) {
            return { error: e.name };
          }
        };
        const body = JSON.stringify({ code, label: 'intruso' });
        return {
          ping: await attempt(fetch(`${url}/v1/ping`)),
          // reaches the agent (an opaque answer), so the refusal above is CORS, not the network
          pingOpaque: await attempt(fetch(`${url}/v1/ping`, { mode: 'no-cors' })),
          pair: await attempt(fetch(`${url}/v1/pair`, { method: 'POST', headers: { 'Content-Type': 'application/json' }, body })),
          // a simple request needs no preflight: it is sent, the agent must refuse it
          pairNoPreflight: await attempt(fetch(`${url}/v1/pair`, { method: 'POST', mode: 'no-cors', body })),
        };
      }, { code });
      assert.deepEqual(seen, {
        ping: { error: 'TypeError' },
        pingOpaque: { type: 'opaque', status: 0, body: '' },
        pair: { error: 'TypeError' },
        pairNoPreflight: { type: 'opaque', status: 0, body: '' },
      });
      await foreign.fill('#code', code);
      const r = await press(foreign, 'pair', 'pair-result');
      assert.equal(r.state, 'error');
      // told apart from an agent that is not running by a no-cors ping
      assert.match(r.text, /está corriendo, pero no acepta esta página/);
      assert.equal(await foreign.evaluate(() => localStorage.length), 0);
      await foreign.close();
    });

    let deviceId = null;
    await t.test('pairing with the code from the ERP origin keeps token and device id', async () => {
      await page.fill('#code', code);
      await page.fill('#label', 'Caja de prueba');
      const r = await press(page, 'pair', 'pair-result');
      assert.equal(r.state, 'ok', r.text);
      deviceId = /dispositivo ([0-9a-f]{16})\./.exec(r.text)?.[1];
      assert.ok(deviceId, r.text);
      const kept = await page.evaluate(() => JSON.parse(localStorage.getItem('zunel-print-agent.pairing')));
      assert.match(kept.token, /^[0-9a-f]{64}$/);
      assert.equal(kept.deviceId, deviceId);
      assert.match(kept.agentId, /^[0-9a-f]{32}$/);
      const again = await press(page, 'ping', 'ping-result');
      assert.match(again.text, /Este sitio tiene un equipo emparejado/);
    });

    await t.test("the printer list shows the spooler's queues", async () => {
      const r = await press(page, 'printers', 'printers-result');
      assert.equal(r.state, 'ok', r.text);
      // Wine's spooler does not mark a stopped CUPS queue as working offline.
      const paused = runner.length ? 'Pausada' : 'Pausada (sin conexión)';
      assert.deepEqual(r.text.split('\n').sort(), ['Caja_Prueba', paused]);
    });

    // One job per kind of destination, each checked byte for byte where it lands.
    const allBytes = Buffer.from(Array.from({ length: 256 }, (_, i) => i));
    const destinations = [
      {
        kind: 'network',
        fill: { '#host': '127.0.0.1', '#port': String(sink.server.address().port) },
        job: Buffer.concat([allBytes, Buffer.from('\x1b@Red ñ\n')]),
        landed: async (n) => {
          await until('the network printer connection to close', () => sink.jobs.length === 1 && sink.jobs[0].done, 5000);
          return Buffer.concat(sink.jobs[0].chunks);
        },
      },
      {
        kind: 'winspool',
        fill: { '#printer': 'Caja_Prueba' },
        job: Buffer.concat([Buffer.from('^XA^FDEtiqueta^FS^XZ\r\n'), allBytes]),
        landed: async () => {
          await until('the spooler job to reach its printer', () => spoolSink.jobs.length === 1 && spoolSink.jobs[0].done, 15000);
          return Buffer.concat(spoolSink.jobs[0].chunks);
        },
      },
      {
        kind: 'serial',
        fill: { '#serial-port': serial.name, '#baud': '9600' },
        job: Buffer.concat([Buffer.from('\x1b@Serie\n'), allBytes]),
        landed: async (n) => {
          await until('the bytes on the serial line', () => serial.received().length >= n, 5000);
          return serial.received();
        },
      },
    ];
    for (const d of destinations) {
      await t.test(`a print reaches the ${d.kind} destination byte for byte`, async () => {
        await page.selectOption('#kind', d.kind);
        for (const [field, value] of Object.entries(d.fill)) await page.fill(field, value);
        await page.selectOption('#format', 'hex');
        await page.fill('#data', d.job.toString('hex').replace(/(.{64})/g, '$1\n'));
        const r = await press(page, 'print', 'print-result');
        assert.equal(r.state, 'ok', r.text);
        assert.equal(r.text, `Enviado a la impresora: ${d.job.length} bytes.`);
        assert.deepEqual(await d.landed(d.job.length), d.job);
      });
    }
    fs.mkdirSync(artifacts, { recursive: true });
    await page.screenshot({ path: path.join(artifacts, 'erp-page-after-print.png'), fullPage: true });

    await t.test("a printer that is not there gives the agent's error text", async () => {
      await page.selectOption('#kind', 'network');
      await page.fill('#port', String(await closedPort()));
      const r = await press(page, 'print', 'print-result');
      assert.equal(r.state, 'error');
      assert.match(r.text, /^El agente respondió 502: \S/);
    });

    await t.test('the printer status tells the cashier what the printer says', async () => {
      const emulator = await startEmulator();
      await page.selectOption('#kind', 'network');
      await page.fill('#port', String(emulator.port));
      await page.selectOption('#protocol', 'escpos');
      let r = await press(page, 'status', 'status-result');
      assert.equal(r.state, 'ok', r.text);
      assert.equal(r.text, 'Lista para imprimir.');
      await emulator.set({ paper: 'out', cover_open: true });
      r = await press(page, 'status', 'status-result');
      assert.equal(r.text, 'La impresora no puede imprimir: sin papel, tapa abierta.');

      // "Impreso" only when the printer confirms it; otherwise why not.
      await page.selectOption('#format', 'text');
      await page.fill('#data', 'Ticket confirmado\n');
      await page.check('#confirm');
      r = await press(page, 'print', 'print-result');
      assert.equal(r.text, 'Enviado a la impresora, sin confirmación de que se imprimió. ' +
                           'La impresora no puede imprimir: sin papel, tapa abierta.');
      await emulator.set({ paper: 'ok', cover_open: false });
      r = await press(page, 'print', 'print-result');
      assert.equal(r.text, 'Impreso: la impresora confirmó que terminó de imprimirlo.');
      await page.uncheck('#confirm');
    });

    await t.test('the page pins the receipt library it loads, and its notices name it with its licence', () => {
      const pinned = JSON.parse(fs.readFileSync(path.join(pageDir, 'package.json'), 'utf8')).devDependencies[RECEIPT_LIBRARY];
      assert.match(pinned, /^\d+\.\d+\.\d+$/, 'an exact version');
      assert.equal(JSON.parse(fs.readFileSync(path.join(libraryDir, 'package.json'), 'utf8')).version, pinned,
                   "tests/browser/package.json installs the page's version");
      const notices = fs.readFileSync(path.join(pageDir, 'THIRD-PARTY-NOTICES.txt'), 'utf8');
      assert.ok(notices.includes(`${RECEIPT_LIBRARY} ${pinned}`));
      assert.ok(notices.includes(fs.readFileSync(path.join(libraryDir, 'LICENSE'), 'utf8').trim()), 'its licence text');
    });

    await t.test('the page shows its Spanish ticket as a picture before it prints', async () => {
      await page.waitForSelector('#print-receipt:not([disabled])', { timeout: WAIT_MS });
      const shot = await page.locator('#receipt-preview').screenshot({ path: path.join(artifacts, 'receipt-preview.png') });
      // The screenshot's pixels, as Chromium decodes the PNG.
      const seen = await page.evaluate(async (png) => {
        const image = new Image();
        image.src = `data:image/png;base64,${png}`;
        await image.decode();
        const g = new OffscreenCanvas(image.width, image.height).getContext('2d');
        g.drawImage(image, 0, 0);
        const { data } = g.getImageData(0, 0, image.width, image.height);
        const colours = new Set();
        let dark = 0;
        for (let i = 0; i < data.length; i += 4) {
          colours.add((data[i] << 16) | (data[i + 1] << 8) | data[i + 2]);
          if (data[i] + data[i + 1] + data[i + 2] < 300) dark++;
        }
        return { width: image.width, height: image.height, colours: colours.size, dark: dark / (data.length / 4) };
      }, shot.toString('base64'));
      assert.ok(seen.colours > 1, JSON.stringify(seen));
      assert.ok(seen.dark > 0.02 && seen.dark < 0.5, `ink on paper: ${JSON.stringify(seen)}`);
      assert.ok(seen.height > 1.5 * seen.width, `a ticket's shape: ${JSON.stringify(seen)}`);
    });

    await t.test('the Spanish ticket reaches the printer in code page CP858, with its bold, logo, codes, cut and drawer',
      async () => {
        const emulator = await startEmulator();
        await page.selectOption('#kind', 'network');
        await page.fill('#host', '127.0.0.1');
        await page.fill('#port', String(emulator.port));
        const r = await press(page, 'print-receipt', 'sample-result');
        assert.ok(r.state === 'ok' && sentBytes(r.text) > 0, r.text);
        const job = await until('the ticket at the printer', async () => {
          const received = await emulator.received();
          return received.length === sentBytes(r.text) && received;
        });
        const { commands, runs } = readEscPos(job);
        const text = runs.map((run) => run.text).join('');
        assert.deepEqual(commands.filter((c) => c.name === 'table').map((c) => c.n)[0], 19, 'CP858 first');
        for (const words of ['C/ del Año Nuevo, 12', 'Menú Niño', '12,50 €', '¿Qué tal le atendimos?', '¡Feliz Año Nuevo!']) {
          assert.ok(text.includes(words), `«${words}» in:\n${text}`);
        }
        assert.ok(runs.some((run) => run.bold && run.text === '12,50 €'), 'the total in bold');
        assert.equal(job.indexOf(Buffer.from('ñ')), -1, 'no UTF-8 on the way');
        const [logo] = commands.filter((c) => c.name === 'raster');
        assert.deepEqual([logo.width, logo.height], [256, 96]);
        assert.ok(logo.data.some((b) => b !== 0) && logo.data.some((b) => b !== 0xff), 'a picture, not a blank');
        const qr = commands.filter((c) => c.name === 'qr');
        assert.equal(qr.find((c) => c.fn === 80)?.data.toString(), 'https://erp.zunel.example/encuesta?t=2026-000123');
        assert.ok(qr.findIndex((c) => c.fn === 81) > qr.findIndex((c) => c.fn === 80), 'printed once stored');
        assert.deepEqual(commands.find((c) => c.name === 'barcode'), { name: 'barcode', m: 2, data: '8400000001236' });
        assert.deepEqual(commands.slice(-2), [{ name: 'cut', m: 0 }, { name: 'pulse', pin: 0 }], 'cut, then the drawer');
      });

    await t.test('the Spanish label reaches the printer as UTF-8 after ^CI28, byte for byte', async () => {
      const emulator = await startEmulator();
      await emulator.set({ zpl: true });
      await page.fill('#port', String(emulator.port));
      const r = await press(page, 'print-label', 'sample-result');
      assert.ok(r.state === 'ok' && sentBytes(r.text) > 0, r.text);
      const label = await until('the label at the printer', async () => {
        const received = await emulator.received();
        return received.length === sentBytes(r.text) && received;
      });
      assert.deepEqual(label, Buffer.from(LABEL_ZPL, 'utf8'));
      const text = label.toString('utf8');
      assert.ok(text.indexOf('^CI28') < text.indexOf('^FD'), 'UTF-8 chosen before the first field');
      for (const words of ['^FDJamón ibérico^FS', 'Año 2026', '^FD12,50 €^FS', '¿Dudas?']) assert.ok(text.includes(words), words);
    });

    await t.test('a print cut by the agent\'s end: the page says to check the printer, then asks by its id', async () => {
      const silent = await startSink();  // takes the job and never confirms it: the job runs 10 s
      try {
        await page.fill('#port', String(silent.server.address().port));
        await page.selectOption('#format', 'text');
        await page.fill('#data', 'Ticket cortado\n');
        await page.check('#confirm');
        await page.click('#print');
        await until('the job at the printer', () => silent.jobs[0]?.chunks.length > 0, WAIT_MS);
        const killed = new Promise((r) => agent.once('exit', r));
        process.kill(-agent.pid, 'SIGKILL');  // its group: under Wine the program is a child
        await killed;
        await page.waitForSelector('#print-result[data-state="error"]', { timeout: WAIT_MS });
        assert.match(await page.textContent('#print-result'), /^Se cortó la comunicación con el agente .*revise la impresora/);
        assert.equal(await page.isVisible('#lost'), true);

        await startAgent();
        // The agent knows the job as interrupted: reprinting is the cashier's call, declined here.
        let asked = null;
        page.once('dialog', (d) => { asked = d.message(); d.dismiss(); });
        const r = await press(page, 'lost', 'print-result');
        assert.equal(r.text, 'No se volvió a imprimir: el trabajo quedó interrumpido.');
        assert.match(asked, /no se sabe si salió/);
        assert.equal(await page.isVisible('#lost'), false);
        assert.equal(silent.jobs.length, 1, 'sent once');
      } finally {
        await page.uncheck('#confirm');
        silent.server.close();
      }
    });

    await t.test('after `revoke` the page is told to pair again', async () => {
      const rv = runCli(['revoke', deviceId]);
      assert.equal(rv.status, 0, `revoke failed: ${rv.stdout}${rv.stderr}`);
      await page.fill('#port', String(sink.server.address().port));
      const r = await press(page, 'print', 'print-result');
      assert.equal(r.state, 'error');
      assert.match(r.text, /rechazó la firma \(no autorizado\)/);
      assert.equal(sink.jobs.length, 1, 'nothing more may reach the printer');
    });

    if (process.exitCode) console.log(consoleLines.join('\n'));
  } finally {
    if (context) await context.close();
    if (agent) await stopProcess(agent);
    serial?.close();
    for (const c of children) await stopProcess(c);
    pageServer?.close();
    sink?.server.close();
    spoolSink?.server.close();
    if (agentLog()) console.log(`--- agent output ---\n${agentLog()}`);
    fs.rmSync(tmp, { recursive: true, force: true });
  }
});

// Client for the local print agent, as an ERP page uses it.
//
// An ES module without run-time dependencies: it needs a browser (or
// Node.js 20+) with fetch, AbortController, WebCrypto and
// crypto.getRandomValues. In Node.js, give `origin` (the ERP page's origin,
// sent as the Origin header, which Node's fetch does not send) and, to keep
// the pairing beyond the process, `storage`; without it the pairing is kept
// in memory. The page must be served over HTTPS from the ERP's
// domain or one of its subdomains, on the default port: the agent answers no
// other origin. docs/integration.md explains every rule applied here.
//
//   import { AgentClient } from 'zunel-print-agent-client';
//   const agent = new AgentClient();
//   await agent.ping();                        // {ok, id, version, paired, ...}
//   await agent.pair('123456', 'Caja 1');      // keeps token and device id
//   await agent.printers();                    // [{product, offline, ...}]
//   await agent.print({kind: 'network', host: '192.0.2.10', port: 9100},
//                     new Uint8Array([0x1b, 0x40, 0x41, 0x0a]));
//   await agent.print(target, bytes, { confirm: { protocol: 'escpos' } });
//                                              // {ok, confirmed, status?}
//
// A print's bytes go as base64 text ("bytes_base64", about a third of the
// size of a JSON array of numbers) to an agent whose last ping listed
// "base64", and as the array to any other.
//
// Every call has a time-out (DEFAULT_TIMEOUTS, or `timeout` in ms per call)
// and takes an AbortSignal (`signal`). Ping, printer list, status, pairing,
// provisioning and revocation lists are sent again after a 503, once its
// Retry-After has passed (at most `retries` times); a print never is. A
// signed call answered 401 is signed afresh and sent once more; a second 401
// forgets the pairing, unless another agent now answers on the port (ping's
// `id` is not the `agentId` the pairing was made with: another Windows user
// of this PC runs the agent), which keeps it.
//
// A print is sent only to an agent known to answer: when the client heard
// nothing from the agent in the last REACHABLE_FRESH_MS, it pings first, so
// that 'not-running', 'blocked' and 'wrong-origin' are said only of a print
// that was never sent. A browser's fetch fails alike (a TypeError) when the
// connection was refused and when it was cut after the request went out, so
// a print whose fetch fails once the agent was known to answer is 'cut':
// it may be on paper.
//
// Every failure is thrown as an AgentError whose `kind` tells what to do,
// and, when the agent answered, whose `code` names the answer (the guide's
// table of codes: 'printer_unreachable', 'agent_busy', ...). A print's error
// carries the job id it was sent under (`jobId`); `mayHavePrinted` is true
// whenever bytes may have left for the printer:
//   'not-running'  nothing answers on 127.0.0.1:47631 (the agent is not
//                  started, or the page's Content-Security-Policy has no
//                  connect-src for http://127.0.0.1:47631). Nothing was sent
//   'blocked'      the browser refused the page access to the local device
//                  (Local Network Access permission denied, or a policy)
//   'wrong-origin' the agent runs but refuses this page's origin
//   'timeout'      no answer in time; for a print `mayHavePrinted` is true
//   'aborted'      the call's AbortSignal fired: the client stopped waiting.
//                  For a print that is not a cancellation: the agent may
//                  still print it (`mayHavePrinted` is true)
//   'cut'          the print was sent and its answer never came: the
//                  connection was reset or closed (the agent was killed,
//                  stopped or upgraded meanwhile), or the agent answered 503
//                  'agent_stopped' (it stopped before the job ended).
//                  `mayHavePrinted` is true: ask job(err.jobId) once the
//                  agent answers again, and send the job again only under
//                  that same id
//   'busy'         503: the agent ('agent_busy') or the printer
//                  ('printer_busy') is busy; `retryAfter` seconds. Nothing
//                  was printed. With 'journal_unavailable' the agent could
//                  not keep a job with an id on its disk: sent with
//                  `jobId: null` it prints without the print-once promise,
//                  which is the cashier's choice to make
//                  ("¿Imprimir igualmente?"), never the page's alone
//   'not-paired'   this browser holds no pairing (or lost it): pair first
//   'other-agent'  a signed call was refused by an agent other than the one
//                  this browser paired with: another Windows user's agent
//                  holds the port. The pairing is kept; it works again once
//                  this user's agent runs
//   'refused'      the agent answered with an error status; `status` and
//                  `message` (the agent's own text, in Spanish) say which.
//                  `repeated` is true when it is the answer of an earlier
//                  job under the same id, and `state` is 'interrupted' for
//                  'job_interrupted' (that job was cut: `mayHavePrinted`).
//                  'printer_timeout' and 'printer_closed' may have printed
//                  part of the job (`mayHavePrinted`)
//   'bad-answer'   the agent answered something that is not its JSON
//   'input'        the call cannot be made as asked (see the message);
//                  nothing was sent
// The texts of the client's own errors are in messages.js (Spanish) and can
// be replaced with the `messages` option.

import { MESSAGES_ES } from './messages.js';

export { MESSAGES_ES };

export const AGENT_URL = 'http://127.0.0.1:47631';
export const STORAGE_KEY = 'zunel-print-agent.pairing';

// A print is sent at once when the agent answered within this many
// milliseconds; otherwise a ping goes first (see 'cut' above).
export const REACHABLE_FRESH_MS = 2000;

// The codes of error answers after which the job may be on paper, whole or
// in part.
const MAY_HAVE_PRINTED_CODES = new Set(['printer_timeout', 'printer_closed', 'job_interrupted', 'agent_stopped']);

// A device made by a ticket expires this long after it was provisioned.
export const TICKET_DEVICE_LIFETIME_S = 7 * 24 * 3600;

// Client time-outs per call, in milliseconds (docs/integration.md, "Retries
// and time-outs"). A status query's is computed from its own timeout_ms, a
// confirmed print's adds the confirmation's.
// `status` is what a status query adds to twice its own timeout_ms (a wait
// for the printer's lane, then the query).
export const DEFAULT_TIMEOUTS = Object.freeze({
  ping: 3000, printers: 15000, pair: 10000, provision: 10000, revocations: 10000, print: 120000, status: 3000,
  job: 3000,
});

// The Web Locks name under which renewals of one browser run one at a time.
export const RENEW_LOCK = 'zunel-print-agent.renew';

// How long to wait after a 503 whose Retry-After cannot be read, and at most.
const RETRY_AFTER_DEFAULT_S = 1;
const RETRY_AFTER_MAX_S = 30;

export class AgentError extends Error {
  /**
   * @param {string} kind
   * @param {string} message
   * @param {number} [status]
   * @param {{mayHavePrinted?: boolean, retryAfter?: number, code?: string, reason?: string,
   *          repeated?: boolean, state?: string}} [details]
   */
  constructor(kind, message, status = 0, { mayHavePrinted = false, retryAfter = null, code = null,
                                           reason = null, repeated = false, state = null } = {}) {
    super(message);
    this.name = 'AgentError';
    this.kind = kind;
    this.status = status;
    this.mayHavePrinted = mayHavePrinted;
    this.retryAfter = retryAfter;
    this.code = code;
    this.reason = reason;
    this.repeated = repeated;
    this.state = state;
    this.jobId = null;
  }
}

// Where the pairing is kept when no storage is given: localStorage where
// there is one, else (Node.js) memory, for the life of the process.
export class MemoryStorage {
  #map = new Map();
  getItem(key) { return this.#map.has(key) ? this.#map.get(key) : null; }
  setItem(key, value) { this.#map.set(key, String(value)); }
  removeItem(key) { this.#map.delete(key); }
}

function defaultStorage() {
  try {
    if (globalThis.localStorage) return globalThis.localStorage;
  } catch {
    // a browser that forbids storage to this page
  }
  return new MemoryStorage();
}

const HEX = '0123456789abcdef';

// The body of a GET.
const NO_BODY = () => new Uint8Array(0);

export function bytesToHex(bytes) {
  let out = '';
  for (const b of bytes) out += HEX[b >> 4] + HEX[b & 15];
  return out;
}

// Strict: an even number of hex digits, nothing else. Returns null otherwise.
export function hexToBytes(text) {
  if (typeof text !== 'string' || text.length % 2 !== 0 || !/^[0-9a-fA-F]*$/.test(text)) return null;
  const out = new Uint8Array(text.length / 2);
  for (let i = 0; i < out.length; i++) out[i] = parseInt(text.substr(i * 2, 2), 16);
  return out;
}

export async function sha256Hex(bytes) {
  return bytesToHex(new Uint8Array(await crypto.subtle.digest('SHA-256', bytes)));
}

// A fresh nonce: 16 random bytes as 32 hex digits. The agent refuses a nonce
// it accepted in the last 60 s, so one is never reused.
export function newNonce() {
  return bytesToHex(crypto.getRandomValues(new Uint8Array(16)));
}

// The signature headers of one request. `tokenHex` is the 64-digit device
// token from the pairing answer; `body` the exact bytes that will be sent
// (empty for GET). The key is the token's 32 raw bytes, not its hex text, and
// the signed text is "timestamp.nonce.sha256(body) in lower-case hex".
export async function signatureHeaders(tokenHex, body, { now = Date.now(), nonce = newNonce() } = {}) {
  const key = hexToBytes(tokenHex);
  if (!key || key.length !== 32) throw new AgentError('not-paired', MESSAGES_ES.badToken);
  const timestamp = String(Math.floor(now / 1000));
  const message = `${timestamp}.${nonce}.${await sha256Hex(body)}`;
  const hmacKey = await crypto.subtle.importKey('raw', key, { name: 'HMAC', hash: 'SHA-256' }, false, ['sign']);
  const mac = await crypto.subtle.sign('HMAC', hmacKey, new TextEncoder().encode(message));
  return {
    'Authorization': `Bearer ${tokenHex}`,
    'X-Zunel-Timestamp': timestamp,
    'X-Zunel-Nonce': nonce,
    'X-Zunel-Sign': bytesToHex(new Uint8Array(mac)),
  };
}

// The print request body: the destination and the bytes, as a JSON array of
// numbers 0-255 ("bytes"), or with `base64` as their standard base64 text
// ("bytes_base64", for an agent whose ping lists "base64"). Destinations:
//   {kind: 'network', host, port}     raw TCP, e.g. port 9100
//   {kind: 'serial', port, baud}      e.g. port 'COM3', baud 9600
//   {kind: 'winspool', printer}       a printer of the Windows spooler, RAW job
// With `confirm` ({protocol, timeoutMs}), the agent asks the printer whether
// the job printed before it answers. With `jobId`, the agent prints the job
// once whatever number of times it is sent under that id.
// Every byte must be an integer 0-255: an AgentError 'input' names the
// first that is not, and nothing is sent.
export function printBody(target, bytes, confirm, jobId, messages = MESSAGES_ES, { base64 = false } = {}) {
  const data = checkedBytes(bytes, messages);
  const body = base64 ? { target, bytes_base64: bytesToBase64(data) } : { target, bytes: Array.from(data) };
  if (confirm) {
    body.confirm = {};
    if (confirm.protocol !== undefined) body.confirm.protocol = confirm.protocol;
    if (confirm.timeoutMs !== undefined) body.confirm.timeout_ms = confirm.timeoutMs;
  }
  if (jobId !== undefined) body.job_id = jobId;
  return JSON.stringify(body);
}

// A copy of the bytes of a print as a Uint8Array (the job is what was given,
// whatever the caller does with its array meanwhile), or an AgentError
// 'input' naming the first value that is not an integer 0-255.
function checkedBytes(bytes, messages) {
  if (bytes instanceof Uint8Array) return bytes.slice();
  if (bytes == null || typeof bytes === 'string' || typeof bytes[Symbol.iterator] !== 'function') {
    throw new AgentError('input', messages.badBytes(-1, bytes));
  }
  const values = Array.from(bytes);
  const bad = values.findIndex((b) => !Number.isInteger(b) || b < 0 || b > 255);
  if (bad >= 0) throw new AgentError('input', messages.badBytes(bad, values[bad]));
  return Uint8Array.from(values);
}

// btoa takes this many bytes at a time: a multiple of 3, so that the texts
// of the chunks join without padding inside.
const BASE64_CHUNK = 3 * 8192;

// Standard base64 with padding and no line breaks, in time linear in the
// length (megabytes of images): the platform's Uint8Array.prototype.toBase64
// where there is one, else btoa over chunks joined once.
export function bytesToBase64(bytes) {
  if (typeof bytes.toBase64 === 'function') return bytes.toBase64();
  const parts = [];
  for (let i = 0; i < bytes.length; i += BASE64_CHUNK) {
    parts.push(btoa(String.fromCharCode.apply(null, bytes.subarray(i, i + BASE64_CHUNK))));
  }
  return parts.join('');
}

// A fresh job id (a UUID): one per job, kept with the job until its answer
// is known, so that a lost answer can be asked after and the job sent again
// safely.
export function newJobId() {
  return globalThis.crypto.randomUUID();
}

// The seconds of a 503's Retry-After (readable because the agent exposes
// it), within bounds; the default when it is missing or unreadable.
export function retryAfterSeconds(headers) {
  const n = Number.parseInt(headers?.get?.('Retry-After') ?? '', 10);
  if (!Number.isFinite(n) || n < 0) return RETRY_AFTER_DEFAULT_S;
  return Math.min(n, RETRY_AFTER_MAX_S);
}

function sleep(ms, signal) {
  return new Promise((resolve, reject) => {
    if (signal?.aborted) return reject(signal.reason);
    const timer = setTimeout(() => { signal?.removeEventListener('abort', onAbort); resolve(); }, ms);
    const onAbort = () => { clearTimeout(timer); reject(signal.reason); };
    signal?.addEventListener('abort', onAbort, { once: true });
  });
}

// A signal that aborts after `ms` or when `outer` does; `timedOut()` tells
// which, and `done()` stops the clock.
function deadline(ms, outer) {
  const controller = new AbortController();
  let timedOut = false;
  const timer = setTimeout(() => { timedOut = true; controller.abort(new Error('timeout')); }, ms);
  const onAbort = () => controller.abort(outer.reason);
  if (outer?.aborted) onAbort();
  else outer?.addEventListener('abort', onAbort, { once: true });
  return {
    signal: controller.signal,
    timedOut: () => timedOut,
    done: () => { clearTimeout(timer); outer?.removeEventListener('abort', onAbort); },
  };
}

export class AgentClient {
  // When the agent last answered (this.now()): a print needs no ping first
  // within REACHABLE_FRESH_MS of it.
  #lastAnswerAt = -Infinity;

  // What the agent's last ping listed in `capabilities`; null before the
  // first ping.
  #capabilities = null;

  /**
   * @param {object} [options]
   * @param {string} [options.baseUrl] the agent, http://127.0.0.1:47631
   * @param {{getItem(k: string): string|null, setItem(k: string, v: string): void, removeItem(k: string): void}} [options.storage]
   *   where the pairing is kept (localStorage by default)
   * @param {typeof fetch} [options.fetch] replaceable in tests
   * @param {{query(d: {name: string}): Promise<{state: string}>}|null} [options.permissions]
   * @param {Partial<import('./messages.d.ts').AgentMessages>} [options.messages] texts replacing the Spanish ones
   * @param {Partial<typeof DEFAULT_TIMEOUTS>} [options.timeouts] client time-outs in ms, per call kind
   * @param {number} [options.retries] how many times a retryable call is sent again after a 503 (2)
   * @param {() => number} [options.now] the clock, in ms
   * @param {string} [options.origin] Node.js only: the ERP page's origin, sent as the Origin header
   * @param {{request(name: string, cb: () => Promise<any>): Promise<any>}|null} [options.locks]
   *   Web Locks (navigator.locks by default), to renew in one tab at a time
   */
  constructor({ baseUrl = AGENT_URL, storage = defaultStorage(), fetch = globalThis.fetch.bind(globalThis),
                permissions = globalThis.navigator?.permissions, messages = {}, timeouts = {}, retries = 2,
                now = Date.now, origin = null, locks = globalThis.navigator?.locks ?? null } = {}) {
    this.baseUrl = baseUrl;
    this.storage = storage;
    this.origin = origin;
    this.locks = locks;
    this.fetch = fetch;
    this.permissions = permissions;
    this.messages = { ...MESSAGES_ES, ...messages };
    this.timeouts = { ...DEFAULT_TIMEOUTS, ...timeouts };
    this.retries = retries;
    this.now = now;
  }

  /**
   * This browser's pairing, or null.
   * @returns {{token: string, deviceId: string, agentId: string, source: 'code'|'ticket', pairedAt: number}|null}
   */
  get pairing() {
    try {
      const p = JSON.parse(this.storage.getItem(STORAGE_KEY));
      return p && typeof p.token === 'string' && typeof p.deviceId === 'string' ? p : null;
    } catch {
      return null;
    }
  }

  forget() {
    this.storage.removeItem(STORAGE_KEY);
  }

  /** True for a ticket device within a day of its expiry (or past it): renew it. */
  needsRenewal(margin_s = 24 * 3600) {
    const p = this.pairing;
    return !!p && p.source === 'ticket' &&
      Math.floor(this.now() / 1000) >= p.pairedAt + TICKET_DEVICE_LIFETIME_S - margin_s;
  }

  // GET /v1/ping: {ok, id, version, paired, platform, capabilities}.
  // "paired" is true when some device of this page's origin is paired: some
  // browser of this site, not necessarily this one (see `pairing`).
  async ping({ timeout = this.timeouts.ping, signal } = {}) {
    return this.#learn(await this.#call('GET', '/v1/ping', '', { timeout, signal, retry: true }));
  }

  // Keeps what a ping's answer lists; returns the answer.
  #learn(answer) {
    this.#capabilities = Array.isArray(answer?.capabilities) ? answer.capabilities : [];
    return answer;
  }

  // The answer of a ping sent on the way to another call, kept as ping()
  // keeps it; null when it is not the agent's answer.
  #heard(response) {
    try {
      return response.status === 200 ? this.#learn(JSON.parse(response.text)) : null;
    } catch {
      return null;  // not the agent's JSON: what it can do stays as known
    }
  }

  // POST /v1/pair with the six-digit code that `zunel-print-agent pair` shows.
  // The code works once and for 300 s. Keeps the device's token and id.
  async pair(code, label = '', { timeout = this.timeouts.pair, signal } = {}) {
    const body = JSON.stringify({ code: String(code).trim(), label });
    return this.#keep(await this.#call('POST', '/v1/pair', body, { timeout, signal, retry: true }), 'code');
  }

  // POST /v1/provision with a ticket that the ERP's server signed: a new
  // device. Never names the current device (see renew()).
  async provision(ticket, { label = '', timeout = this.timeouts.provision, signal } = {}) {
    const body = JSON.stringify({ ticket, label });
    return this.#keep(await this.#call('POST', '/v1/provision', body, { timeout, signal, retry: true }), 'ticket');
  }

  // POST /v1/provision with a new ticket and the current device's id: the
  // same device, a new token and seven more days. Only for a device paired
  // by ticket: a code device named here would become one that expires.
  // Tabs of one browser share the pairing: with Web Locks, one renews at a
  // time, and a tab that waited while another renewed keeps that renewal
  // instead of sending its own ticket.
  async renew(ticket, { label = '', timeout = this.timeouts.provision, signal } = {}) {
    const seen = this.pairing;
    const run = async () => {
      const current = this.pairing;
      if (!current) throw new AgentError('not-paired', this.messages.notPaired);
      if (current.source !== 'ticket') throw new AgentError('input', this.messages.notTicketDevice);
      if (seen && (current.token !== seen.token || current.pairedAt !== seen.pairedAt)) return current;
      const body = JSON.stringify({ ticket, device_id: current.deviceId, label });
      return this.#keep(await this.#call('POST', '/v1/provision', body, { timeout, signal, retry: true }), 'ticket');
    };
    return this.locks ? this.locks.request(RENEW_LOCK, run) : run();
  }

  // POST /v1/revocations with a revocation list the ERP's server signed:
  // {applied_seq, removed}.
  async pushRevocations(list, { timeout = this.timeouts.revocations, signal } = {}) {
    return this.#call('POST', '/v1/revocations', JSON.stringify({ list }), { timeout, signal, retry: true });
  }

  // Signed GET /v1/printers: the spooler's printers.
  async printers({ timeout = this.timeouts.printers, signal } = {}) {
    return (await this.#call('GET', '/v1/printers', '', { timeout, signal, retry: true, signed: true })).printers;
  }

  // Signed POST /v1/print: sends `bytes` (Uint8Array or array of 0-255)
  // unchanged to the destination. Resolves when the printer took them all:
  // sent, not printed. The body is made once the agent is known to answer,
  // in the form its last ping allows (base64 text or the array).
  //
  // With `confirm: {protocol, timeoutMs}` the agent then asks the printer
  // (in `protocol`, "escpos", "star" or "zpl", needed for network and
  // serial printers) or the spooler whether the job printed, for up to
  // `timeoutMs` (1000-30000, default 10000) plus, when the printer says
  // nothing, a status query of up to 2 s. The answer's `confirmed` is
  // "printed" only when the printer said so; otherwise "processed",
  // "transmitted", "spooled" or "not_confirmed" (with the printer's `status`,
  // as printerStatus() gives it). Any of them means the bytes were delivered.
  //
  // Every print carries a job id: `jobId`, or a new one (newJobId()) when
  // none is given (`jobId: null` sends none). The agent prints the job once
  // however often it is sent under that id: a repeat gets the first job's
  // answer with `repeated: true`, or an AgentError 'refused' 409 when the id
  // was used for another job or the first job was cut by the agent stopping.
  //
  // Never sent twice by the client. When its answer is lost (`mayHavePrinted`:
  // 'timeout', 'aborted', 'cut') ask job(err.jobId) what became of it, and
  // send it again only under that same id; the error carries the job id that
  // was sent. Aborting through `signal` stops the waiting, not the printing:
  // a job the agent has received is printed all the same.
  async print(target, bytes, { confirm, jobId = newJobId(), timeout, signal } = {}) {
    const wait = timeout ?? this.timeouts.print + (confirm ? (confirm.timeoutMs ?? 10000) + 2000 : 0);
    const data = checkedBytes(bytes, this.messages);
    const body = () => printBody(target, data, confirm, jobId ?? undefined, this.messages,
                                 { base64: this.#capabilities?.includes('base64') === true });
    try {
      return await this.#call('POST', '/v1/print', body, { timeout: wait, signal, signed: true, isPrint: true });
    } catch (e) {
      if (e instanceof AgentError && jobId != null) e.jobId = jobId;
      throw e;
    }
  }

  // Signed GET /v1/jobs/<id>: what became of this device's job `id`
  // ({job_id, state, accepted, ended, answer}), or null when the agent does
  // not know it (never received, or forgotten). Waits for no printer.
  async job(id, { timeout = this.timeouts.job, signal } = {}) {
    try {
      // A job id is read from the path as it is: ":" is put back after escaping.
      return await this.#call('GET', `/v1/jobs/${encodeURIComponent(id).replace(/%3A/gi, ':')}`, '',
        { timeout, signal, retry: true, signed: true });
    } catch (err) {
      if (err instanceof AgentError && err.status === 404) return null;
      throw err;
    }
  }

  // Signed POST /v1/printers/status: what the printer itself says (paper,
  // cover, online, errors), or for a spooler printer its queue. `protocol`
  // is the printer's language, "escpos", "star" or "zpl" (needed for network
  // and serial printers: a query in the wrong language prints as text).
  // `timeoutMs` is the agent's wait for the printer (100-5000).
  // Fields the printer did not tell are null or "unknown".
  async printerStatus(target, protocol, { timeoutMs, timeout, signal } = {}) {
    const body = { target, protocol };
    if (timeoutMs !== undefined) body.timeout_ms = timeoutMs;
    const wait = timeout ?? 2 * (timeoutMs ?? 2000) + this.timeouts.status;
    return this.#call('POST', '/v1/printers/status', JSON.stringify(body),
      { timeout: wait, signal, retry: true, signed: true });
  }

  #keep(answer, source) {
    const pairing = { token: answer.token, deviceId: answer.device_id, agentId: answer.agent_id, source,
                      pairedAt: Math.floor(this.now() / 1000) };
    this.storage.setItem(STORAGE_KEY, JSON.stringify(pairing));
    return pairing;
  }

  // One call: sent, then sent again after a 503 (when `retry`) or once after
  // a first 401 (when `signed`), each send signed afresh. `bodyText` is the
  // body's text, or a function that makes it, called once, when it is first
  // sent (a print's, after the ping that may precede it).
  async #call(method, path, bodyText, { timeout, signal, retry = false, signed = false, isPrint = false }) {
    let encoded = null;
    const body = () => (encoded ??= new TextEncoder().encode(typeof bodyText === 'function' ? bodyText() : bodyText));
    let busyRetries = 0;
    let resigned = false;
    for (;;) {
      const response = await this.#send(method, path, body, { timeout, signal, signed, isPrint });
      const { status } = response;
      let answer;
      try {
        answer = JSON.parse(response.text);
      } catch {
        answer = undefined;
      }
      const code = typeof answer?.code === 'string' ? answer.code : null;
      // An agent that stopped before the work ended is not coming back by itself.
      if (status === 503 && retry && code !== 'agent_stopped' && busyRetries < this.retries) {
        busyRetries++;
        try {
          await sleep(retryAfterSeconds(response.headers) * 1000, signal);
        } catch {
          throw new AgentError('aborted', this.messages.aborted, 0);
        }
        continue;
      }
      if (answer === undefined) throw new AgentError('bad-answer', this.messages.badAnswer(status), status);
      if (status >= 200 && status < 300) return answer;
      const text = typeof answer?.error === 'string' ? answer.error : `HTTP ${status}`;
      const reason = typeof answer?.reason === 'string' ? answer.reason : null;
      const details = {
        code, reason, repeated: answer?.repeated === true,
        state: typeof answer?.state === 'string' ? answer.state : null,
        mayHavePrinted: isPrint && MAY_HAVE_PRINTED_CODES.has(code),
      };
      if (status === 401 && signed) {
        // A clock more than 30 s off is not a lost pairing: keep it.
        if (reason === 'stale_timestamp') throw new AgentError('refused', this.messages.clockSkew, 401, details);
        if (!resigned) {
          resigned = true;
          continue;
        }
        if (await this.#otherAgentAnswers(signal)) {
          throw new AgentError('other-agent', this.messages.otherAgent, 401, details);
        }
        this.forget();
        throw new AgentError('not-paired', this.messages.pairingLost, 401, details);
      }
      if (code === 'agent_stopped') throw new AgentError('cut', text, status, details);
      if (status === 503) {
        throw new AgentError('busy', text, status, { ...details, retryAfter: retryAfterSeconds(response.headers) });
      }
      throw new AgentError('refused', text, status, details);
    }
  }

  // After a signed call was refused twice: true when the agent that answers
  // now is not the one this browser paired with (on a PC shared by several
  // Windows users, the port is held by the agent of whoever started theirs
  // first). A pairing of an older client, without its agent id, cannot tell.
  // Throws when nothing answers the ping.
  async #otherAgentAnswers(signal) {
    const agentId = this.pairing?.agentId;
    if (typeof agentId !== 'string' || agentId === '') return false;
    const response = await this.#send('GET', '/v1/ping', NO_BODY, { timeout: this.timeouts.ping, signal });
    const id = this.#heard(response)?.id;
    return typeof id === 'string' && id !== agentId;
  }

  // Before a print: the agent answered lately, or a ping shows it answers
  // now. Throws what a call that got no answer throws ('not-running',
  // 'blocked', 'wrong-origin', 'timeout', 'aborted'): the print was not sent.
  async #knownToAnswer(signal) {
    if (this.now() - this.#lastAnswerAt < REACHABLE_FRESH_MS) return;
    this.#heard(await this.#send('GET', '/v1/ping', NO_BODY, { timeout: this.timeouts.ping, signal }));
  }

  // One request with its time-out: {status, headers, text}. `body()` gives
  // the bytes to sign and send.
  async #send(method, path, body, { timeout, signal, signed = false, isPrint = false }) {
    const headers = {};
    if (this.origin) headers['Origin'] = this.origin;  // Node.js: a browser sends its own
    if (method === 'POST') headers['Content-Type'] = 'application/json';
    let pairing = null;
    if (signed) {
      pairing = this.pairing;
      if (!pairing) throw new AgentError('not-paired', this.messages.notPaired);
      const key = hexToBytes(pairing.token);
      if (!key || key.length !== 32) throw new AgentError('not-paired', this.messages.badToken);
    }
    if (isPrint) await this.#knownToAnswer(signal);
    const bytes = body();
    if (pairing) Object.assign(headers, await signatureHeaders(pairing.token, bytes, { now: this.now() }));
    const clock = deadline(timeout, signal);
    try {
      // The exact bytes that were hashed are the bytes sent. No `cache`
      // option: with 'no-store' Chromium also skips its preflight cache and
      // sends an OPTIONS request before every call.
      const response = await this.fetch(this.baseUrl + path, {
        method, headers, body: method === 'POST' ? bytes : undefined,
        credentials: 'omit', mode: 'cors', signal: clock.signal,
      });
      const text = await response.text();
      this.#lastAnswerAt = this.now();
      return { status: response.status, headers: response.headers, text };
    } catch (err) {
      if (clock.timedOut()) {
        throw new AgentError('timeout', isPrint ? this.messages.printTimeout : this.messages.timeout, 0,
          { mayHavePrinted: isPrint });
      }
      if (signal?.aborted) {
        throw new AgentError('aborted', isPrint ? this.messages.printAborted : this.messages.aborted, 0,
          { mayHavePrinted: isPrint });
      }
      // The agent answered just before: this print went out, or may have.
      if (isPrint) throw new AgentError('cut', this.messages.printCut, 0, { mayHavePrinted: true });
      throw await this.#explainNoAnswer();
    } finally {
      clock.done();
    }
  }

  // A fetch that failed without an answer: a refused origin (the browser
  // hides the agent's 403), a blocked local connection, or no agent. A
  // no-cors ping resolves whenever the agent answers at all; otherwise the
  // state of the loopback permission tells a block (a refused prompt or a
  // policy leaves it "denied") from an agent that is not running.
  async #explainNoAnswer() {
    const probe = deadline(this.timeouts.ping);
    try {
      // A page whose Content-Security-Policy forbids the agent's address
      // fails this probe too: it is told "not running", with CSP named.
      await this.fetch(`${this.baseUrl}/v1/ping`, { mode: 'no-cors', credentials: 'omit', signal: probe.signal });
      return new AgentError('wrong-origin', this.messages.wrongOrigin);
    } catch {
      // nothing answered: blocked or not running
    } finally {
      probe.done();
    }
    let state = null;
    for (const name of ['loopback-network', 'local-network-access']) {
      try {
        state = (await this.permissions.query({ name })).state;
        break;
      } catch {
        // no permissions API, or this browser does not know that name; try the older one
      }
    }
    if (state === 'denied') return new AgentError('blocked', this.messages.blocked);
    return new AgentError('not-running', this.messages.notRunning);
  }
}

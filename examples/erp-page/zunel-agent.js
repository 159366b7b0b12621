// Client for the local print agent, as an ERP page uses it.
//
// Copy this file into the ERP's front end. It has no dependencies: it needs a
// browser (or Node.js 20+) with fetch, WebCrypto and crypto.getRandomValues.
// The page must be served over HTTPS from the ERP's domain or one of its
// subdomains, on the default port: the agent answers no other origin.
//
//   import { AgentClient } from './zunel-agent.js';
//   const agent = new AgentClient();
//   await agent.ping();                        // {ok, id, version, paired, ...}
//   await agent.pair('123456', 'Caja 1');      // keeps token and device id
//   await agent.printers();                    // [{product, offline, ...}]
//   await agent.print({kind: 'network', host: '192.0.2.10', port: 9100},
//                     new Uint8Array([0x1b, 0x40, 0x41, 0x0a]));
//   await agent.print(target, bytes, { confirm: { protocol: 'escpos' } });
//                                              // {ok, confirmed, status?}
//
// Every failure is thrown as an AgentError whose `kind` tells what to do:
//   'not-running'  nothing answers on 127.0.0.1:47631 (the agent is not started)
//   'blocked'      the browser refused the page access to the local device
//                  (Local Network Access permission denied, or a policy)
//   'not-paired'   this browser holds no pairing yet: pair first
//   'refused'      the agent answered with an error status; `status` and
//                  `message` (the agent's own text, in Spanish) say which
//   'bad-answer'   the agent answered something that is not its JSON

export const AGENT_URL = 'http://127.0.0.1:47631';
export const STORAGE_KEY = 'zunel-print-agent.pairing';

export class AgentError extends Error {
  constructor(kind, message, status = 0) {
    super(message);
    this.name = 'AgentError';
    this.kind = kind;
    this.status = status;
  }
}

const HEX = '0123456789abcdef';

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
  if (!key || key.length !== 32) throw new AgentError('not-paired', 'El token guardado no es válido: empareja de nuevo.');
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

// The print request body: the destination and the bytes as a JSON array of
// numbers 0-255 (not Base64, not hex). Destinations:
//   {kind: 'network', host, port}     raw TCP, e.g. port 9100
//   {kind: 'serial', port, baud}      e.g. port 'COM3', baud 9600
//   {kind: 'winspool', printer}       a printer of the Windows spooler, RAW job
// With `confirm` ({protocol, timeoutMs}), the agent asks the printer whether
// the job printed before it answers.
export function printBody(target, bytes, confirm) {
  const body = { target, bytes: Array.from(bytes) };
  if (confirm) {
    body.confirm = {};
    if (confirm.protocol !== undefined) body.confirm.protocol = confirm.protocol;
    if (confirm.timeoutMs !== undefined) body.confirm.timeout_ms = confirm.timeoutMs;
  }
  return JSON.stringify(body);
}

// A fetch that failed without an answer: the agent is down, or the browser
// stopped the request. The browser reports both as the same TypeError; the
// state of the loopback permission after the failure tells them apart (a
// refused prompt or a block leaves it "denied").
async function explainNoAnswer(permissions) {
  let state = null;
  for (const name of ['loopback-network', 'local-network-access']) {
    try {
      state = (await permissions.query({ name })).state;
      break;
    } catch {
      // this browser does not know that permission name; try the older one
    }
  }
  if (state === 'denied') {
    return new AgentError('blocked',
      'El navegador bloqueó la conexión con el agente local. Permite a este sitio el acceso a los dispositivos locales ' +
      '(icono junto a la dirección) o pide al administrador que lo permita por directiva.');
  }
  return new AgentError('not-running',
    'El agente de impresión no está corriendo en este equipo. Inícialo con "zunel-print-agent run" o instálalo con "zunel-print-agent install".');
}

export class AgentClient {
  // storage: where the pairing is kept (localStorage by default; anything with
  // getItem/setItem/removeItem). fetch and permissions can be replaced in tests.
  constructor({ baseUrl = AGENT_URL, storage = globalThis.localStorage, fetch = globalThis.fetch.bind(globalThis),
                permissions = globalThis.navigator?.permissions } = {}) {
    this.baseUrl = baseUrl;
    this.storage = storage;
    this.fetch = fetch;
    this.permissions = permissions;
  }

  // {token, deviceId, agentId} of this browser, or null.
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

  // GET /v1/ping: {ok, id, version, paired, platform, capabilities}.
  // "paired" is true when some device of this page's origin is paired.
  async ping() {
    return this.#request('GET', '/v1/ping');
  }

  // POST /v1/pair with the six-digit code that `zunel-print-agent pair` shows.
  // The code works once and for 300 s. Keeps the device's token and id.
  async pair(code, label = '') {
    const answer = await this.#request('POST', '/v1/pair', JSON.stringify({ code: String(code).trim(), label }));
    return this.#keep(answer);
  }

  // POST /v1/provision with a ticket that the ERP's server signed. Passing the
  // current device id renews that device (new token, seven more days).
  async provision(ticket, label = '') {
    const body = { ticket, label };
    const current = this.pairing;
    if (current) body.device_id = current.deviceId;
    return this.#keep(await this.#request('POST', '/v1/provision', JSON.stringify(body)));
  }

  // POST /v1/revocations with a revocation list the ERP's server signed.
  async pushRevocations(list) {
    return this.#request('POST', '/v1/revocations', JSON.stringify({ list }));
  }

  // Signed GET /v1/printers: the spooler's printers.
  async printers() {
    return (await this.#request('GET', '/v1/printers', '', true)).printers;
  }

  // Signed POST /v1/print: sends `bytes` (Uint8Array or array of 0-255)
  // unchanged to the destination. Resolves when the printer took them all.
  //
  // With `confirm: {protocol, timeoutMs}` the agent then asks the printer
  // (in `protocol`, "escpos", "star" or "zpl", needed for network and
  // serial printers) or the spooler whether the job printed, for up to
  // `timeoutMs` (1000-30000, default 10000) plus, when the printer says
  // nothing, a status query of up to 2 s. The answer's `confirmed` is
  // "printed" only when the printer said so; otherwise "processed",
  // "transmitted", "spooled" or "not_confirmed" (with the printer's `status`,
  // as printerStatus() gives it). Any of them means the bytes were delivered.
  async print(target, bytes, { confirm } = {}) {
    return this.#request('POST', '/v1/print', printBody(target, bytes, confirm), true);
  }

  // Signed POST /v1/printers/status: what the printer itself says (paper,
  // cover, online, errors), or for a spooler printer its queue. `protocol`
  // is the printer's language, "escpos", "star" or "zpl" (needed for network
  // and serial printers: a query in the wrong language prints as text).
  // Fields the printer did not tell are null or "unknown".
  async printerStatus(target, protocol, { timeoutMs } = {}) {
    const body = { target, protocol };
    if (timeoutMs !== undefined) body.timeout_ms = timeoutMs;
    return this.#request('POST', '/v1/printers/status', JSON.stringify(body), true);
  }

  #keep(answer) {
    const pairing = { token: answer.token, deviceId: answer.device_id, agentId: answer.agent_id };
    this.storage.setItem(STORAGE_KEY, JSON.stringify(pairing));
    return pairing;
  }

  async #request(method, path, bodyText = '', signed = false) {
    const body = new TextEncoder().encode(bodyText);
    const headers = {};
    if (method === 'POST') headers['Content-Type'] = 'application/json';
    if (signed) {
      const pairing = this.pairing;
      if (!pairing) throw new AgentError('not-paired', 'Este navegador no está emparejado con el agente: empareja primero.');
      Object.assign(headers, await signatureHeaders(pairing.token, body));
    }
    let response;
    try {
      // The exact bytes that were hashed are the bytes sent. No `cache`
      // option: with 'no-store' Chromium also skips its preflight cache and
      // sends an OPTIONS request before every call.
      response = await this.fetch(this.baseUrl + path, {
        method, headers, body: method === 'POST' ? body : undefined,
        credentials: 'omit', mode: 'cors',
      });
    } catch {
      throw await explainNoAnswer(this.permissions ?? { query: async () => { throw new Error(); } });
    }
    let answer;
    try {
      answer = await response.json();
    } catch {
      throw new AgentError('bad-answer', `Respuesta no válida del agente (HTTP ${response.status}).`, response.status);
    }
    if (!response.ok) {
      const text = typeof answer?.error === 'string' ? answer.error : `HTTP ${response.status}`;
      throw new AgentError('refused', text, response.status);
    }
    return answer;
  }
}

// Types of the reference client (zunel-agent.js).
import type { AgentMessages } from './messages.js';

export { MESSAGES_ES } from './messages.js';
export type { AgentMessages } from './messages.js';

export const AGENT_URL: string;
export const STORAGE_KEY: string;
export const TICKET_DEVICE_LIFETIME_S: number;
export const DEFAULT_TIMEOUTS: Readonly<Timeouts>;
export const RENEW_LOCK: string;
/** A print goes out without a ping first when the agent answered within this many ms. */
export const REACHABLE_FRESH_MS: number;

export interface Timeouts {
  ping: number;
  printers: number;
  pair: number;
  provision: number;
  revocations: number;
  print: number;
  /** Added to twice a status query's timeout_ms. */
  status: number;
  job: number;
}

/**
 * What to do about a failure (the module's header comment tells each).
 * 'not-running', 'blocked' and 'wrong-origin' are said of a print only when
 * it was never sent. 'cut': a print was sent and its connection closed or
 * reset without an answer (the agent killed, stopped or upgraded), or the
 * agent answered 503 'agent_stopped': it may be on paper. 'other-agent': a
 * signed call refused by another Windows user's agent; the pairing is kept.
 */
export type AgentErrorKind =
  | 'not-running' | 'blocked' | 'wrong-origin' | 'timeout' | 'aborted' | 'cut' | 'busy'
  | 'not-paired' | 'other-agent' | 'refused' | 'bad-answer' | 'input';

/** The `code` of the agent's error answers (the guide's table of codes). */
export type ErrorCode =
  | 'malformed_request' | 'bad_json' | 'bad_request' | 'unreadable_body' | 'body_too_large'
  | 'host_not_allowed' | 'origin_not_allowed' | 'not_found' | 'method_not_allowed'
  | 'unauthorized' | 'code_invalid' | 'code_attempts_exceeded' | 'ticket_invalid' | 'revocations_invalid'
  | 'agent_busy' | 'printer_busy'
  | 'printer_unreachable' | 'printer_timeout' | 'printer_closed' | 'serial_open_failed' | 'spooler_error'
  | 'usb_unsupported'
  | 'job_id_conflict' | 'job_interrupted' | 'job_unknown' | 'agent_stopped' | 'no_agent_for_user'
  | 'out_of_memory' | 'internal_error' | 'store_unavailable' | 'journal_unavailable';

/** Why a signed request was refused (`reason` beside code 'unauthorized'). */
export type UnauthorizedReason =
  | 'missing_headers' | 'unknown_device' | 'device_expired' | 'stale_timestamp' | 'bad_signature' | 'nonce_reused';

/** What became of a job with an id. */
export type JobState = 'waiting' | 'running' | 'done' | 'interrupted';

/** An error answer of the agent. */
export interface ErrorAnswer {
  ok?: never;
  code: ErrorCode;
  /** Spanish, meant to be shown as it is. */
  error: string;
  reason?: UnauthorizedReason;
  /** The answer of an earlier job under the same job id. */
  repeated?: true;
  /** Beside 'job_interrupted': the earlier job under that id was cut. */
  state?: 'interrupted';
}

export class AgentError extends Error {
  constructor(kind: AgentErrorKind, message: string, status?: number,
              details?: { mayHavePrinted?: boolean; retryAfter?: number; code?: ErrorCode; reason?: UnauthorizedReason;
                          repeated?: boolean; state?: JobState });
  kind: AgentErrorKind;
  /** The agent's HTTP status, 0 when it did not answer. */
  status: number;
  /** The agent's code, when it answered with one; null otherwise. */
  code: ErrorCode | null;
  /** For code 'unauthorized': why, when the agent said. */
  reason: UnauthorizedReason | null;
  /**
   * A print whose bytes may have left for the printer: it timed out, was
   * aborted or cut ('cut'), or the agent answered 'printer_timeout',
   * 'printer_closed', 'job_interrupted' or 'agent_stopped'. Ask job(jobId),
   * send it again only under that id, and tell the cashier to check the
   * printer. Aborting stops the waiting, not the printing. False for a
   * print that was never sent.
   */
  mayHavePrinted: boolean;
  /** The agent's answer is an earlier job's under the same job id. */
  repeated: boolean;
  /** 'interrupted' beside 'job_interrupted'; null otherwise. */
  state: JobState | null;
  /** For 'busy': the seconds the agent asked to wait. */
  retryAfter: number | null;
  /** For a print: the job id it was sent under (ask job(jobId) before printing again). */
  jobId: string | null;
}

/**
 * What ping lists, in this order (later versions may add more). 'base64':
 * a print body may carry its bytes as "bytes_base64", which the client then
 * sends.
 */
export type Capability = 'print' | 'printers' | 'provision' | 'revocations' | 'status' | 'jobs' | 'confirm' | 'base64';

/** What a confirmed print says of the job. */
export type ConfirmationOutcome = 'printed' | 'processed' | 'transmitted' | 'spooled' | 'not_confirmed';

export type Target =
  | { kind: 'network'; host: string; port: number }
  | { kind: 'serial'; port: string; baud: number }
  | { kind: 'winspool'; printer: string };

export type Protocol = 'escpos' | 'star' | 'zpl';

export interface Pairing {
  token: string;
  deviceId: string;
  agentId: string;
  source: 'code' | 'ticket';
  /** Seconds since 1970: paired, or last renewed. */
  pairedAt: number;
}

export interface Ping {
  ok: true;
  /** The agent's id: the `agentId` of a pairing made with it. */
  id: string;
  version: string;
  /** The exact build, for support (a newer agent's): show it, never parse it. */
  build?: string;
  /** Some browser of this page's origin is paired: not necessarily this one. */
  paired: boolean;
  platform: 'windows';
  capabilities: Capability[];
}

export interface Printer {
  manufacturer: string | null;
  offline: boolean;
  product: string | null;
  product_id: number;
  serial: string | null;
  vendor_id: number;
}

export interface PrinterStatus {
  source: 'device' | 'spooler';
  /** null when busy: nothing was asked. */
  reachable: boolean | null;
  answered: boolean;
  busy: boolean;
  online: boolean | null;
  paper: 'ok' | 'near_end' | 'out' | 'unknown';
  cover_open: boolean | null;
  error: string | null;
  drawer_pin3_high: boolean | null;
  queue: { state: 'idle' | 'processing' | 'stopped'; reasons: string[]; jobs: number } | null;
  raw: string;
  elapsed_ms: number;
}

export interface PrintAnswer {
  ok: true;
  code?: never;
  error?: never;
  /** The job id was used before: this is the first job's answer. */
  repeated?: true;
  /** Only when confirmation was asked (and the agent knows it). */
  confirmed?: ConfirmationOutcome;
  status?: PrinterStatus;
}

/** An answer the agent kept no more of (read back after a restart, over 1 KiB): {}. */
export interface UnkeptAnswer {
  ok?: never;
  code?: never;
  error?: never;
}

export interface Job {
  job_id: string;
  state: JobState;
  /** UTC, ISO 8601. */
  accepted: string;
  /** Null until the job ended; an interrupted job has no end. */
  ended: string | null;
  /**
   * The answer the job got: its HTTP status and body, a PrintAnswer or an
   * ErrorAnswer (`body.code` names a failure). Null until the job ended, and
   * for an interrupted job.
   */
  answer: { status: number; body: PrintAnswer | ErrorAnswer | UnkeptAnswer } | null;
}

export interface CallOptions {
  /** Client time-out of this call, in ms. */
  timeout?: number;
  signal?: AbortSignal;
}

export interface PairingStorage {
  getItem(key: string): string | null;
  setItem(key: string, value: string): void;
  removeItem(key: string): void;
}

export interface AgentClientOptions {
  baseUrl?: string;
  storage?: PairingStorage;
  fetch?: typeof fetch;
  permissions?: { query(d: { name: string }): Promise<{ state: string }> } | null;
  messages?: Partial<AgentMessages>;
  timeouts?: Partial<Timeouts>;
  retries?: number;
  now?: () => number;
  /** Node.js only: the ERP page's origin, sent as the Origin header. */
  origin?: string | null;
  /** Web Locks (navigator.locks by default): renewals run in one tab at a time. */
  locks?: { request<T>(name: string, callback: () => Promise<T>): Promise<T> } | null;
}

/** The pairing kept in memory: the default where there is no localStorage (Node.js). */
export class MemoryStorage implements PairingStorage {
  getItem(key: string): string | null;
  setItem(key: string, value: string): void;
  removeItem(key: string): void;
}

export class AgentClient {
  constructor(options?: AgentClientOptions);
  readonly pairing: Pairing | null;
  forget(): void;
  needsRenewal(margin_s?: number): boolean;
  ping(options?: CallOptions): Promise<Ping>;
  pair(code: string, label?: string, options?: CallOptions): Promise<Pairing>;
  provision(ticket: string, options?: CallOptions & { label?: string }): Promise<Pairing>;
  renew(ticket: string, options?: CallOptions & { label?: string }): Promise<Pairing>;
  pushRevocations(list: string, options?: CallOptions): Promise<{ applied_seq: number; removed: number }>;
  printers(options?: CallOptions): Promise<Printer[]>;
  print(target: Target, bytes: Uint8Array | number[],
        options?: CallOptions & { confirm?: { protocol?: Protocol; timeoutMs?: number };
                                  /** Default: a new id (newJobId()); null sends none. */
                                  jobId?: string | null }): Promise<PrintAnswer>;
  job(id: string, options?: CallOptions): Promise<Job | null>;
  printerStatus(target: Target, protocol?: Protocol,
                options?: CallOptions & { timeoutMs?: number }): Promise<PrinterStatus>;
}

export function bytesToHex(bytes: Uint8Array | number[]): string;
export function hexToBytes(text: string): Uint8Array | null;
export function sha256Hex(bytes: Uint8Array): Promise<string>;
export function newNonce(): string;
export function signatureHeaders(tokenHex: string, body: Uint8Array,
                                 options?: { now?: number; nonce?: string }): Promise<Record<string, string>>;
/** The print body's text; with `base64`, the bytes go as "bytes_base64" instead of the "bytes" array. */
export function printBody(target: Target, bytes: Uint8Array | number[],
                          confirm?: { protocol?: Protocol; timeoutMs?: number }, jobId?: string,
                          messages?: AgentMessages, options?: { base64?: boolean }): string;
/** Standard base64 with padding and no line breaks. */
export function bytesToBase64(bytes: Uint8Array): string;
export function newJobId(): string;
export function retryAfterSeconds(headers: Headers | null | undefined): number;

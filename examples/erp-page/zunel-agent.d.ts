// Types of the reference client (zunel-agent.js).
import type { AgentMessages } from './messages.js';

export { MESSAGES_ES } from './messages.js';
export type { AgentMessages } from './messages.js';

export const AGENT_URL: string;
export const STORAGE_KEY: string;
export const TICKET_DEVICE_LIFETIME_S: number;
export const DEFAULT_TIMEOUTS: Readonly<Timeouts>;

export interface Timeouts {
  ping: number;
  printers: number;
  pair: number;
  provision: number;
  revocations: number;
  print: number;
  job: number;
}

export type AgentErrorKind =
  | 'not-running' | 'blocked' | 'wrong-origin' | 'timeout' | 'busy'
  | 'not-paired' | 'refused' | 'bad-answer' | 'input';

export class AgentError extends Error {
  constructor(kind: AgentErrorKind, message: string, status?: number,
              details?: { mayHavePrinted?: boolean; retryAfter?: number });
  kind: AgentErrorKind;
  /** The agent's HTTP status, 0 when it did not answer. */
  status: number;
  /** A print that timed out: it may be on paper. Ask before printing again. */
  mayHavePrinted: boolean;
  /** For 'busy': the seconds the agent asked to wait. */
  retryAfter: number | null;
}

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
  id: string;
  version: string;
  paired: boolean;
  platform: string;
  capabilities: string[];
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
  reachable: boolean;
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
  /** The job id was used before: this is the first job's answer. */
  repeated?: true;
  /** Only when confirmation was asked (and the agent knows it). */
  confirmed?: 'printed' | 'processed' | 'transmitted' | 'spooled' | 'not_confirmed';
  status?: PrinterStatus;
}

export interface Job {
  job_id: string;
  state: 'waiting' | 'running' | 'done' | 'interrupted';
  /** UTC, ISO 8601. */
  accepted: string;
  ended: string | null;
  /** The answer the job got: its HTTP status and body (a PrintAnswer, or {error}). */
  answer: { status: number; body: PrintAnswer | { error: string } } | null;
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
  pushRevocations(list: string, options?: CallOptions): Promise<{ applied_seq: number }>;
  printers(options?: CallOptions): Promise<Printer[]>;
  print(target: Target, bytes: Uint8Array | number[],
        options?: CallOptions & { confirm?: { protocol?: Protocol; timeoutMs?: number };
                                  jobId?: string }): Promise<PrintAnswer>;
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
export function printBody(target: Target, bytes: Uint8Array | number[],
                          confirm?: { protocol?: Protocol; timeoutMs?: number }, jobId?: string): string;
export function newJobId(): string;
export function retryAfterSeconds(headers: Headers | null | undefined): number;

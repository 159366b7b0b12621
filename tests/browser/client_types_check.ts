// Reads every member of every answer and error of the reference client as a
// page written in strict TypeScript would: `tsc --strict --noEmit` fails when
// zunel-agent.d.ts lacks one, names it otherwise, or types it so that it
// cannot be read without a cast. Compiled only, never run.
import {
  AgentClient, AgentError, DEFAULT_TIMEOUTS, MESSAGES_ES, REACHABLE_FRESH_MS, bytesToBase64, newJobId, printBody,
  type AgentErrorKind, type Capability, type ConfirmationOutcome, type ErrorCode, type Job, type JobState,
  type Pairing, type Ping, type PrintAnswer, type Printer, type PrinterStatus, type Target, type UnauthorizedReason,
} from '../../examples/erp-page/zunel-agent.js';

type Said = string | number | boolean | null | undefined | readonly Said[] | { readonly [k: string]: Said };

function status(s: PrinterStatus): Said[] {
  const queue = s.queue ? [s.queue.state, s.queue.reasons, s.queue.jobs] : null;
  return [s.source, s.reachable, s.answered, s.busy, s.online, s.paper, s.cover_open, s.error, s.drawer_pin3_high,
          queue, s.raw, s.elapsed_ms];
}

function printed(a: PrintAnswer): Said[] {
  const confirmed: ConfirmationOutcome | undefined = a.confirmed;
  return [a.ok, a.repeated, confirmed, a.status ? status(a.status) : null];
}

// What a page does with each kind: every kind is named once.
function advice(e: AgentError): string {
  const kind: AgentErrorKind = e.kind;
  switch (kind) {
    case 'not-running': case 'blocked': case 'wrong-origin': case 'not-paired': case 'input': case 'bad-answer':
      return e.message;
    case 'timeout': case 'aborted': case 'cut':
      return e.mayHavePrinted && e.jobId !== null ? `ask job(${e.jobId})` : e.message;
    case 'busy':
      return `retry in ${e.retryAfter ?? 1} s`;
    case 'other-agent':
      return `keep ${MESSAGES_ES.otherAgent}`;
    case 'refused':
      return `${e.status} ${e.code ?? ''} ${e.reason ?? ''} ${e.repeated} ${e.state ?? ''}`;
    default: {
      const unnamed: never = kind;
      return unnamed;
    }
  }
}

export async function readsEveryMember(agent: AgentClient, target: Target): Promise<Said[]> {
  const ping: Ping = await agent.ping();
  const capabilities: Capability[] = ping.capabilities;
  const build: string | undefined = ping.build;
  const pairing: Pairing = await agent.pair('123456', 'Caja 1');
  const printers: Printer[] = await agent.printers();
  const job: Job | null = await agent.job(newJobId());
  const said: Said[] = [
    ping.ok, ping.id, ping.version, build, ping.paired, ping.platform, capabilities,
    pairing.token, pairing.deviceId, pairing.agentId, pairing.source, pairing.pairedAt,
    printers.map((p) => [p.manufacturer, p.offline, p.product, p.product_id, p.serial, p.vendor_id]),
    status(await agent.printerStatus(target, 'escpos', { timeoutMs: 1500 })),
    await agent.pushRevocations('h.p.s').then((r) => [r.applied_seq, r.removed]),
    REACHABLE_FRESH_MS, DEFAULT_TIMEOUTS.job,
    capabilities.includes('base64') ? bytesToBase64(new Uint8Array([0x41])) : null,
    printBody(target, [0x41], undefined, newJobId(), MESSAGES_ES, { base64: capabilities.includes('base64') }),
  ];
  if (job) {
    const state: JobState = job.state;
    said.push(job.job_id, state, job.accepted, job.ended);
    if (job.answer) {
      const { body } = job.answer;
      // A failed job's code, read without a cast.
      const code: ErrorCode | undefined = body.code;
      said.push(job.answer.status, code, body.error, body.ok === true ? printed(body) : null);
      if (body.code !== undefined) {
        const reason: UnauthorizedReason | undefined = body.reason;
        const earlier: 'interrupted' | undefined = body.state;
        said.push(reason, body.repeated, earlier);
      }
    }
  }
  try {
    said.push(printed(await agent.print(target, new Uint8Array([0x41]), { confirm: { protocol: 'escpos' } })));
  } catch (e) {
    if (!(e instanceof AgentError)) throw e;
    said.push(advice(e), e.name, e.kind, e.status, e.code, e.reason, e.mayHavePrinted, e.retryAfter, e.jobId,
              e.repeated, e.state);
  }
  return said;
}

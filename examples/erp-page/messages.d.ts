/** The texts of the reference client's errors. */
export interface AgentMessages {
  notRunning: string;
  blocked: string;
  wrongOrigin: string;
  timeout: string;
  printTimeout: string;
  notPaired: string;
  badToken: string;
  pairingLost: string;
  notTicketDevice: string;
  clockSkew: string;
  aborted: string;
  printAborted: string;
  /** A print whose connection was cut after it was sent ('cut'). */
  printCut: string;
  /** A signed call refused by another Windows user's agent ('other-agent'). */
  otherAgent: string;
  badAnswer: (status: number) => string;
  /** `index` is -1 when `bytes` is not a list at all. */
  badBytes: (index: number, value: unknown) => string;
}

/** The Spanish texts, used by default. */
export const MESSAGES_ES: Readonly<AgentMessages>;

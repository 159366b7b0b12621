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
  badAnswer: (status: number) => string;
}

/** The Spanish texts, used by default. */
export const MESSAGES_ES: Readonly<AgentMessages>;

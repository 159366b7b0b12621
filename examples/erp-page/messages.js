// The texts the reference client puts in its errors, in Spanish. Replace any
// of them with `new AgentClient({ messages: { notRunning: '…' } })`; a text
// that depends on the answer is a function of it.

/** @type {import('./messages.d.ts').AgentMessages} */
export const MESSAGES_ES = Object.freeze({
  notRunning: 'El agente de impresión no está corriendo en este equipo. Inícialo con "zunel-print-agent run" ' +
    'o instálalo con "zunel-print-agent install". Si está corriendo, la política de seguridad de contenido ' +
    '(CSP) de la página debe permitir connect-src http://127.0.0.1:47631.',
  blocked: 'El navegador bloqueó la conexión con el agente local. Permite a este sitio el acceso a los ' +
    'dispositivos locales (icono junto a la dirección) o pide al administrador que lo permita por directiva.',
  wrongOrigin: 'El agente de impresión está corriendo, pero no acepta esta página: ábrela desde la dirección ' +
    'HTTPS del ERP (su dominio o un subdominio, sin puerto).',
  timeout: 'El agente de impresión no respondió a tiempo.',
  printTimeout: 'El agente no respondió a tiempo y el trabajo puede haberse impreso: compruebe si salió antes ' +
    'de imprimirlo de nuevo.',
  notPaired: 'Este navegador no está emparejado con el agente: empareja primero.',
  badToken: 'El token guardado no es válido: empareja de nuevo.',
  pairingLost: 'El agente rechazó la firma (no autorizado): el emparejamiento fue revocado o caducó. ' +
    'Empareja de nuevo.',
  notTicketDevice: 'Solo se renuevan con un ticket los equipos emparejados con un ticket.',
  clockSkew: 'El reloj de este equipo difiere más de 30 segundos de la hora real: corrígelo y vuelve a intentarlo.',
  aborted: 'Se dejó de esperar la respuesta del agente.',
  printAborted: 'Se dejó de esperar, pero el trabajo puede imprimirse igualmente: compruebe si salió antes ' +
    'de imprimirlo de nuevo.',
  printCut: 'Se cortó la comunicación con el agente durante la impresión y el trabajo puede haberse impreso: ' +
    'revise la impresora antes de imprimirlo de nuevo.',
  otherAgent: 'la impresora la atiende el agente de otro usuario de Windows de esta PC',
  badAnswer: (status) => `Respuesta no válida del agente (HTTP ${status}).`,
  badBytes: (index, value) => index < 0
    ? '"bytes" debe ser una lista de números de 0 a 255 (Uint8Array o array), no texto.'
    : `"bytes" debe contener enteros de 0 a 255: el elemento ${index} es ${JSON.stringify(value) ?? String(value)}.`,
});

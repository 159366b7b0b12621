// The worked examples of docs/integration.md must stay true: the JWS texts
// verify with the example key and decode to the payloads shown, the example
// seed gives that key, and the signing snippet and worked signature agree with
// an independent HMAC.
import { test } from 'node:test';
import assert from 'node:assert/strict';
import { createHash, createHmac, createPrivateKey, createPublicKey, verify, webcrypto } from 'node:crypto';
import fs from 'node:fs';
import path from 'node:path';
import { fileURLToPath } from 'node:url';

globalThis.crypto ??= webcrypto;

const here = path.dirname(fileURLToPath(import.meta.url));
const guide = fs.readFileSync(path.resolve(here, '../../docs/integration.md'), 'utf8');
const blocks = [...guide.matchAll(/```(\w*)\n([\s\S]*?)```/g)].map((m) => ({ lang: m[1], text: m[2].trim() }));

const keyset = JSON.parse(blocks.find((b) => b.lang === 'json' && b.text.includes('pubkey_b64')).text);
const jwsTexts = blocks.filter((b) => /^eyJ[\w-]+\.[\w-]+\.[\w-]+$/.test(b.text)).map((b) => b.text);
const payloads = blocks.filter((b) => b.lang === 'json' && b.text.startsWith('{"iss"')).map((b) => b.text);

test('the example keyset entry is one Ed25519 key whose kid is 8 hex digits', () => {
  assert.equal(keyset.length, 1);
  assert.match(keyset[0].kid, /^[0-9a-f]{8}$/);
  assert.equal(Buffer.from(keyset[0].pubkey_b64, 'base64').length, 32);
  assert.equal(Buffer.from(keyset[0].pubkey_b64, 'base64').toString('base64'), keyset[0].pubkey_b64);
});

test('the example seed gives the example public key', () => {
  const seed = /seed is\s+`([0-9a-f]{64})`/.exec(guide)?.[1];
  assert.ok(seed, 'the guide names the example seed');
  const pkcs8 = Buffer.concat([Buffer.from('302e020100300506032b657004220420', 'hex'), Buffer.from(seed, 'hex')]);
  const jwk = createPublicKey(createPrivateKey({ key: pkcs8, format: 'der', type: 'pkcs8' })).export({ format: 'jwk' });
  assert.equal(Buffer.from(jwk.x, 'base64url').toString('base64'), keyset[0].pubkey_b64);
});

test('each example JWS verifies and carries the payload shown beside it', () => {
  assert.equal(jwsTexts.length, 2, 'a ticket and a revocation list');
  assert.equal(payloads.length, 2);
  const key = createPublicKey({
    key: { kty: 'OKP', crv: 'Ed25519', x: Buffer.from(keyset[0].pubkey_b64, 'base64').toString('base64url') },
    format: 'jwk',
  });
  jwsTexts.forEach((jws, i) => {
    const [h, p, s] = jws.split('.');
    for (const seg of [h, p, s]) assert.doesNotMatch(seg, /=/, 'no padding');
    assert.deepEqual(JSON.parse(Buffer.from(h, 'base64url')), { alg: 'EdDSA', kid: keyset[0].kid });
    assert.equal(Buffer.from(p, 'base64url').toString('utf8'), payloads[i]);
    const sig = Buffer.from(s, 'base64url');
    assert.equal(sig.length, 64);
    assert.ok(verify(null, Buffer.from(`${h}.${p}`), key, sig), `signature ${i} verifies`);
    // and only over exactly that text
    assert.ok(!verify(null, Buffer.from(`${h}.${p}x`), key, sig));
  });
  const ticket = JSON.parse(payloads[0]);
  assert.equal(ticket.iss, 'zunel-erp');
  assert.equal(ticket.aud, 'zunel-print-agent');
  assert.ok(ticket.exp > ticket.iat);
  assert.equal(JSON.parse(payloads[1]).typ, 'revocations');
});

test('the worked signature and the signing snippet agree with an independent HMAC', async () => {
  const example = /body\s+(\{.*\})\nsha256\s+([0-9a-f]{64})\nmessage\s+(\S+)\nsignature\s+([0-9a-f]{64})/.exec(guide);
  assert.ok(example, 'the guide has the worked signature');
  const [, body, digest, message, signature] = example;
  const token = /token\s+`([0-9a-f]{64})`/.exec(guide)[1];
  assert.equal(createHash('sha256').update(body).digest('hex'), digest);
  assert.equal(message, `1700000000.n-1.${digest}`);
  assert.equal(createHmac('sha256', Buffer.from(token, 'hex')).update(message).digest('hex'), signature);

  const snippet = blocks.find((b) => b.lang === 'js' && b.text.includes('async function sign')).text;
  const sign = new Function(`${snippet}\nreturn sign;`)();
  const bytes = new TextEncoder().encode(body);
  const h = await sign(token, bytes);
  assert.equal(h['Authorization'], `Bearer ${token}`);
  assert.match(h['X-Zunel-Nonce'], /^[0-9a-f]{32}$/);
  const m = `${h['X-Zunel-Timestamp']}.${h['X-Zunel-Nonce']}.${digest}`;
  assert.equal(h['X-Zunel-Sign'], createHmac('sha256', Buffer.from(token, 'hex')).update(m).digest('hex'));
});

test('the English messages of the guide replace every Spanish one, with the same shapes', async () => {
  const block = blocks.find((b) => b.lang === 'js' && b.text.includes('export const MESSAGES_EN')).text;
  const { MESSAGES_EN } = await import(`data:text/javascript,${encodeURIComponent(block)}`);
  const { MESSAGES_ES } = await import('../../examples/erp-page/messages.js');
  assert.deepEqual(Object.keys(MESSAGES_EN).sort(), Object.keys(MESSAGES_ES).sort());
  for (const [key, text] of Object.entries(MESSAGES_ES)) {
    assert.equal(typeof MESSAGES_EN[key], typeof text, key);
    if (typeof text === 'function') assert.notEqual(MESSAGES_EN[key](2, 256), text(2, 256), key);
    else assert.notEqual(MESSAGES_EN[key], text, key);
  }
  assert.match(MESSAGES_EN.notRunning, /connect-src http:\/\/127\.0\.0\.1:47631/);
  assert.equal(MESSAGES_EN.badBytes(2, 256), '"bytes" must hold integers 0 to 255: element 2 is 256.');
});

test("the client's ErrorCode type names exactly the codes of the guide's table", () => {
  const section = guide.slice(guide.indexOf('### Error codes'));
  const table = section.slice(section.indexOf('|---'), section.indexOf('\n\n', section.indexOf('|---')));
  const inGuide = [...table.matchAll(/^\| `([a-z_]+)` \|/gm)].map((m) => m[1]).sort();
  const types = fs.readFileSync(path.resolve(here, '../../examples/erp-page/zunel-agent.d.ts'), 'utf8');
  const union = /export type ErrorCode =([^;]*);/.exec(types)[1];
  const inTypes = [...union.matchAll(/'([a-z_]+)'/g)].map((m) => m[1]).sort();
  assert.ok(inGuide.length > 20);
  assert.deepEqual(inTypes, inGuide);
});

test("the types, the client and the guide name the same kinds of failure", () => {
  const client = fs.readFileSync(path.resolve(here, '../../examples/erp-page/zunel-agent.js'), 'utf8');
  const thrown = new Set([...client.matchAll(/new AgentError\('([a-z-]+)'/g)].map((m) => m[1]));
  const types = fs.readFileSync(path.resolve(here, '../../examples/erp-page/zunel-agent.d.ts'), 'utf8');
  const union = /export type AgentErrorKind =([^;]*);/.exec(types)[1];
  const typed = [...union.matchAll(/'([a-z-]+)'/g)].map((m) => m[1]).sort();
  const sentence = /Failures are `AgentError`s whose `kind` says what to do: ([^.]*)\./.exec(guide)[1];
  const told = [...sentence.matchAll(/`([a-z-]+)`/g)].map((m) => m[1]).sort();
  assert.deepEqual([...thrown].sort(), typed);
  assert.deepEqual(told, typed);
});

test("every link to a part of the guide finds its heading, and the sections are numbered in order", () => {
  // GitHub's anchors: lower case, punctuation dropped, spaces as hyphens, a
  // repeated heading numbered from 1. Each is kept with its section's number.
  const anchors = new Map();
  let section = 0;
  for (const [, level, title] of guide.replace(/```[\s\S]*?```/g, '').matchAll(/^(#{2,4}) (.+)$/gm)) {
    if (level === '##') section = Number(/^(\d+)\./.exec(title)?.[1]);
    const slug = title.trim().toLowerCase().replace(/[^\p{L}\p{N}\s-]/gu, '').replace(/\s/g, '-');
    let anchor = slug;
    for (let n = 1; anchors.has(anchor); n++) anchor = `${slug}-${n}`;
    anchors.set(anchor, section);
  }
  const links = [...guide.matchAll(/\[([^\]]*)\]\(#([^)]+)\)/g)];
  assert.ok(links.length > 50);
  for (const [link, text, anchor] of links) {
    assert.ok(anchors.has(anchor), `${link}: no such heading`);
    // "[section 12](#…)" and "[12](#…)" name the section the heading is in.
    const said = /^(?:section )?(\d+)$/.exec(text)?.[1];
    if (said) assert.equal(Number(said), anchors.get(anchor), link);
  }
  const numbers = [...guide.matchAll(/^## (\d+)\. /gm)].map((m) => Number(m[1]));
  assert.deepEqual(numbers, numbers.map((_, i) => i + 1));
  // The contents line names every section.
  const contents = guide.slice(guide.indexOf('Contents:'), guide.indexOf('\n## 1.'));
  for (const n of numbers) assert.match(contents, new RegExp(`\\(#${n}-`), `section ${n} in the contents`);
});

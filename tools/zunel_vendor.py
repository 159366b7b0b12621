#!/usr/bin/python3
"""The ERP vendor's signing tool, and the reference code its server copies.

  zunel_vendor.py new-keyset SEED_FILE [--add-to KEYSET]
      Makes an Ed25519 key pair, writes its 32-byte seed (hex) to SEED_FILE,
      readable by its owner only, and prints the keyset JSON to build into the
      agent: the keys of KEYSET (while rotating) followed by the new one.
  zunel_vendor.py ticket SEED_FILE --negocio ID [--sub USER] [--lifetime S]
      Prints a provisioning ticket: the ERP page posts it to /v1/provision.
  zunel_vendor.py revocations SEED_FILE --negocio ID --seq N [--user SUB ...] [--all]
      Prints a revocation list for one business: the devices of each --user
      (or, with --all, every device of the business) provisioned before now.

Tickets and lists are compact JWS (EdDSA); the key id ("kid") of a seed is
the first 4 bytes of the SHA-256 of its public key, in hex, unless --kid says
otherwise. The private seed belongs on the ERP server only."""

import argparse
import base64
import hashlib
import json
import os
import sys
import time

import nacl.signing

ISSUER = "zunel-erp"
AUDIENCE = "zunel-print-agent"


def b64url(data):
    return base64.urlsafe_b64encode(data).rstrip(b"=").decode()


def read_seed(path):
    with open(path) as f:
        return nacl.signing.SigningKey(bytes.fromhex(f.read().strip()))


def key_id(signing_key):
    return hashlib.sha256(bytes(signing_key.verify_key)).hexdigest()[:8]


def keyset_entry(signing_key, kid=None):
    return {"kid": kid or key_id(signing_key),
            "pubkey_b64": base64.b64encode(bytes(signing_key.verify_key)).decode()}


def sign_jws(signing_key, kid, payload):
    header = {"alg": "EdDSA", "kid": kid}
    signing_input = (b64url(json.dumps(header, separators=(",", ":")).encode()) + "." +
                     b64url(json.dumps(payload, separators=(",", ":")).encode()))
    return signing_input + "." + b64url(signing_key.sign(signing_input.encode()).signature)


def ticket(signing_key, kid, negocio_id, sub=None, lifetime=300, jti=None, now=None):
    """A provisioning ticket: the device belongs to `negocio_id` (and ERP user `sub`)."""
    now = int(time.time()) if now is None else now
    payload = {"iss": ISSUER, "aud": AUDIENCE, "scope": ["print"], "negocio_id": negocio_id,
               "jti": jti or os.urandom(12).hex(), "iat": now, "exp": now + lifetime}
    if sub is not None:
        payload["sub"] = sub
    return sign_jws(signing_key, kid, payload)


def revocation_list(signing_key, kid, negocio_id, seq, entries):
    """A revocation list; `seq` must grow with every list of one business."""
    return sign_jws(signing_key, kid, {
        "iss": ISSUER, "aud": AUDIENCE, "typ": "revocations", "negocio_id": negocio_id,
        "seq": seq, "iat": int(time.time()), "revocations": entries})


def revocation_entries(users, whole_business, before):
    entries = [{"tipo": "usuario", "user_sub": user, "revoke_before": before} for user in users]
    if whole_business:
        entries.append({"tipo": "negocio", "revoke_before": before})
    return entries


def new_keyset(seed_path, add_to=None):
    signing_key = nacl.signing.SigningKey.generate()
    # O_EXCL: an existing seed is never overwritten; 0600 from the start.
    fd = os.open(seed_path, os.O_WRONLY | os.O_CREAT | os.O_EXCL, 0o600)
    with os.fdopen(fd, "w") as f:
        f.write(bytes(signing_key).hex() + "\n")
    keys = []
    if add_to:
        with open(add_to) as f:
            keys = json.load(f)
    keys.append(keyset_entry(signing_key))
    # The keyset's own form: two-space indent, CR LF line breaks.
    return json.dumps(keys, indent=2).replace("\n", "\r\n") + "\r\n"


def main(argv):
    parser = argparse.ArgumentParser(description=__doc__.split("\n\n")[0])
    commands = parser.add_subparsers(dest="command", required=True)
    new = commands.add_parser("new-keyset")
    new.add_argument("seed_file")
    new.add_argument("--add-to", metavar="KEYSET")
    for name in ("ticket", "revocations"):
        sub = commands.add_parser(name)
        sub.add_argument("seed_file")
        sub.add_argument("--kid")
        sub.add_argument("--negocio", required=True)
    tick = commands.choices["ticket"]
    tick.add_argument("--sub")
    tick.add_argument("--lifetime", type=int, default=300)
    rev = commands.choices["revocations"]
    rev.add_argument("--seq", type=int, required=True)
    rev.add_argument("--user", action="append", default=[])
    rev.add_argument("--all", action="store_true")
    args = parser.parse_args(argv)

    if args.command == "new-keyset":
        sys.stdout.buffer.write(new_keyset(args.seed_file, args.add_to).encode())
        return 0
    signing_key = read_seed(args.seed_file)
    kid = args.kid or key_id(signing_key)
    if args.command == "ticket":
        print(ticket(signing_key, kid, args.negocio, args.sub, args.lifetime))
    else:
        if args.seq < 0 or not (args.user or args.all):
            parser.error("revocations needs --seq >= 0 and at least one --user or --all")
        entries = revocation_entries(args.user, args.all, int(time.time()))
        print(revocation_list(signing_key, kid, args.negocio, args.seq, entries))
    return 0


if __name__ == "__main__":
    sys.exit(main(sys.argv[1:]))

#!/usr/bin/python3
"""The ERP vendor's signing tool, and the reference code its server copies.

  zunel_vendor.py new-keyset SEED_FILE --out KEYSET [--add-to KEYSET]
      Makes an Ed25519 key pair, writes its 32-byte seed (hex) to SEED_FILE,
      readable by its owner only, and writes the keyset JSON to build into the
      agent to KEYSET (only once it is complete; without --out it is
      printed): the keys of --add-to (while rotating) followed by the new one.
  zunel_vendor.py public-keyset SEED_FILE [SEED_FILE ...] [--out KEYSET]
      Prints (or writes) the keyset of existing seeds, in the order given.
  zunel_vendor.py ticket SEED_FILE --negocio ID [--sub USER] [--lifetime S]
                        [--keyset KEYSET | --kid KID] [--iat SECONDS] [--exp SECONDS]
      Prints a provisioning ticket: the ERP page posts it to /v1/provision.
      --iat and --exp are seconds since 1970 (default: now, and now plus
      --lifetime, 300 s); values in milliseconds are refused.
  zunel_vendor.py revocations SEED_FILE --negocio ID --seq N [--user SUB ...] [--all]
      Prints a revocation list for one business: the devices of each --user
      (or, with --all, every device of the business) provisioned before now.

Tickets and lists are compact JWS (EdDSA); the key id ("kid") of a seed is
the first 4 bytes of the SHA-256 of its public key, in hex, unless --kid says
otherwise or --keyset names the keyset built into the agent, whose entry for
the seed's public key gives it. The private seed belongs on the ERP server only. Every failure
is one line on standard error and exit status 1."""

import argparse
import base64
import hashlib
import json
import os
import sys
import tempfile
import time

import nacl.exceptions
import nacl.signing

ISSUER = "zunel-erp"
AUDIENCE = "zunel-print-agent"


def b64url(data):
    return base64.urlsafe_b64encode(data).rstrip(b"=").decode()


def read_seed(path):
    with open(path) as f:
        text = f.read().strip()
    try:
        return nacl.signing.SigningKey(bytes.fromhex(text))
    except (ValueError, nacl.exceptions.CryptoError):
        raise ValueError(path + ": not a seed (64 hexadecimal digits)") from None


def public_key_id(public):
    """The id of a 32-byte public key: the first 8 hex digits of its SHA-256
    (scripts/release.sh refuses a keyset whose ids break this rule)."""
    return hashlib.sha256(public).hexdigest()[:8]


def key_id(signing_key):
    return public_key_id(bytes(signing_key.verify_key))


def keyset_entry(signing_key, kid=None):
    return {"kid": kid or key_id(signing_key),
            "pubkey_b64": base64.b64encode(bytes(signing_key.verify_key)).decode()}


def sign_jws(signing_key, kid, payload):
    header = {"alg": "EdDSA", "kid": kid}
    signing_input = (b64url(json.dumps(header, separators=(",", ":")).encode()) + "." +
                     b64url(json.dumps(payload, separators=(",", ":")).encode()))
    return signing_input + "." + b64url(signing_key.sign(signing_input.encode()).signature)


def kid_in_keyset(signing_key, keyset_path):
    """The key id the keyset at `keyset_path` gives the seed's public key."""
    with open(keyset_path) as f:
        try:
            keys = json.load(f)
        except ValueError as e:
            raise ValueError("%s: not JSON (%s)" % (keyset_path, e)) from None
    public = base64.b64encode(bytes(signing_key.verify_key)).decode()
    for entry in keys if isinstance(keys, list) else []:
        if isinstance(entry, dict) and entry.get("pubkey_b64") == public and entry.get("kid"):
            return entry["kid"]
    raise ValueError("%s has no key for this seed (public key %s)" % (keyset_path, public))


# Seconds since 1970 stay below this until the year 5138; a time in
# milliseconds is above it, and would make a ticket live for millennia.
SECONDS_LIMIT = 10**11


def seconds(name, value):
    if not isinstance(value, int) or value < 0:
        raise ValueError("%s must be whole seconds since 1970, not %r" % (name, value))
    if value >= SECONDS_LIMIT:
        raise ValueError("%s must be whole seconds since 1970; %d looks like milliseconds "
                         "(divide by 1000)" % (name, value))
    return value


def ticket(signing_key, kid, negocio_id, sub=None, lifetime=300, jti=None, now=None, exp=None):
    """A provisioning ticket: the device belongs to `negocio_id` (and ERP user `sub`).
    `now` (the iat) and `exp` are seconds since 1970; milliseconds are refused."""
    now = int(time.time()) if now is None else seconds("iat", now)
    exp = seconds("exp", now + lifetime if exp is None else exp)
    payload = {"iss": ISSUER, "aud": AUDIENCE, "scope": ["print"], "negocio_id": negocio_id,
               "jti": jti or os.urandom(12).hex(), "iat": now, "exp": exp}
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


def keyset_text(entries):
    # The keyset's own form: two-space indent, CR LF line breaks.
    return json.dumps(entries, indent=2).replace("\n", "\r\n") + "\r\n"


def new_keyset(seed_path, add_to=None):
    """Makes a key, saves its seed and returns the keyset text with it last.
    The keyset to extend is read first, so a bad one leaves no seed behind."""
    keys = []
    if add_to:
        with open(add_to) as f:
            try:
                keys = json.load(f)
            except ValueError as e:
                raise ValueError("%s: not JSON (%s)" % (add_to, e)) from None
        if not isinstance(keys, list):
            raise ValueError(add_to + ": not a keyset (a JSON array)")
    signing_key = nacl.signing.SigningKey.generate()
    # O_EXCL: an existing seed is never overwritten; 0600 from the start.
    fd = os.open(seed_path, os.O_WRONLY | os.O_CREAT | os.O_EXCL, 0o600)
    with os.fdopen(fd, "w") as f:
        f.write(bytes(signing_key).hex() + "\n")
    keys.append(keyset_entry(signing_key))
    return keyset_text(keys)


def public_keyset(seed_paths):
    return keyset_text([keyset_entry(read_seed(path)) for path in seed_paths])


def write_whole(path, text):
    """Writes `text` to `path` through a temporary file in the same folder
    and a rename: the file is complete or untouched, never empty."""
    folder = os.path.dirname(os.path.abspath(path))
    fd, temporary = tempfile.mkstemp(dir=folder, prefix=".keyset-")
    try:
        with os.fdopen(fd, "w", newline="") as f:
            f.write(text)
        os.chmod(temporary, 0o644)
        os.replace(temporary, path)
    except BaseException:
        os.unlink(temporary)
        raise


def emit(text, out):
    if out:
        write_whole(out, text)
    else:
        sys.stdout.buffer.write(text.encode())


def run(args):
    if args.command == "new-keyset":
        emit(new_keyset(args.seed_file, args.add_to), args.out)
        return
    if args.command == "public-keyset":
        emit(public_keyset(args.seed_files), args.out)
        return
    signing_key = read_seed(args.seed_file)
    kid = args.kid or (kid_in_keyset(signing_key, args.keyset) if args.keyset else key_id(signing_key))
    if args.command == "ticket":
        print(ticket(signing_key, kid, args.negocio, args.sub, args.lifetime, now=args.iat, exp=args.exp))
    else:
        # The agent applies a list only if its number is above the last one
        # it applied for the business; the first list is number 1.
        if args.seq < 1 or not (args.user or args.all):
            raise ValueError("revocations needs --seq of 1 or more (above the business's last "
                             "list) and at least one --user or --all")
        entries = revocation_entries(args.user, args.all, int(time.time()))
        print(revocation_list(signing_key, kid, args.negocio, args.seq, entries))


def main(argv):
    parser = argparse.ArgumentParser(description=__doc__.split("\n\n")[0])
    commands = parser.add_subparsers(dest="command", required=True)
    new = commands.add_parser("new-keyset")
    new.add_argument("seed_file")
    new.add_argument("--add-to", metavar="KEYSET")
    new.add_argument("--out", metavar="KEYSET")
    public = commands.add_parser("public-keyset")
    public.add_argument("seed_files", nargs="+", metavar="seed_file")
    public.add_argument("--out", metavar="KEYSET")
    for name in ("ticket", "revocations"):
        sub = commands.add_parser(name)
        sub.add_argument("seed_file")
        key = sub.add_mutually_exclusive_group()
        key.add_argument("--kid")
        key.add_argument("--keyset", metavar="KEYSET")
        sub.add_argument("--negocio", required=True)
    tick = commands.choices["ticket"]
    tick.add_argument("--sub")
    tick.add_argument("--lifetime", type=int, default=300)
    tick.add_argument("--iat", type=int)
    tick.add_argument("--exp", type=int)
    rev = commands.choices["revocations"]
    rev.add_argument("--seq", type=int, required=True)
    rev.add_argument("--user", action="append", default=[])
    rev.add_argument("--all", action="store_true")
    args = parser.parse_args(argv)
    try:
        run(args)
    except FileExistsError as e:
        return fail("%s already exists; a seed is never overwritten" % e.filename)
    except OSError as e:
        return fail("%s: %s" % (e.filename or "", e.strerror or e))
    except (ValueError, TypeError, nacl.exceptions.CryptoError) as e:
        # Bad hex in a seed, a seed of the wrong length, a keyset that is not JSON.
        return fail(str(e))
    return 0


def fail(message):
    print("zunel_vendor: " + message, file=sys.stderr)
    return 1


if __name__ == "__main__":
    sys.exit(main(sys.argv[1:]))

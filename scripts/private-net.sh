#!/usr/bin/env bash
# Runs a command in a private network namespace: a loopback of its own, up, on
# which the agent's fixed ports 47631 and 47632 are reserved. They lie inside
# Linux's range of ports for outgoing connections, and a test's client that
# took one of them as its own port would keep the agent from binding it until
# its TIME_WAIT ends.
# Usage: scripts/private-net.sh COMMAND [ARGS...]
set -euo pipefail
if [ "${1:-}" != "--inside" ]; then
  exec unshare --net -- "$0" --inside "$@"
fi
shift
ip link set lo up
echo 47631-47632 > /proc/sys/net/ipv4/ip_local_reserved_ports
exec "$@"

#!/usr/bin/env bash
# Runs a command in a network namespace of its own, with only loopback up, and
# a PID namespace of its own:
#
#   bash scripts/in_netns.sh [--private-tmp] COMMAND [ARG...]
#
# Nothing the command starts can reach past this machine (a cluster test's
# nodes find their own address by routing towards a public one; here that
# route does not exist), and every process it leaves behind ends when it
# does: the shell below is the namespace's first process, and when it exits
# the kernel kills whatever else is still in the namespace. `ps` inside sees
# the namespace's processes only (/proc is mounted anew), so "nothing left
# running" is a plain look at `ps`.
#
# --private-tmp mounts an empty tmpfs on /tmp for the command, so that what
# it writes there (sockets, session folders, logs) is neither seen by nor
# mixed with another run's and is gone when it ends.
#
# Exit status: the command's own; 125 when the namespaces cannot be made
# (no unshare or ip, or not permitted here), with a line on stderr saying why,
# so that a caller can tell "cannot isolate" from "the command failed".
# As root the namespaces are made directly; otherwise through a user namespace
# (unshare -r), where the system allows those.
set -uo pipefail

private_tmp=0
if [ "${1:-}" = "--private-tmp" ]; then
  private_tmp=1
  shift
fi
if [ $# -eq 0 ]; then
  echo "usage: scripts/in_netns.sh [--private-tmp] COMMAND [ARG...]" >&2
  exit 2
fi
for tool in unshare ip; do
  if ! command -v "$tool" >/dev/null 2>&1; then
    echo "in_netns: '$tool' is not installed (util-linux / iproute2)" >&2
    exit 125
  fi
done

user_ns=()
[ "$(id -u)" -eq 0 ] || user_ns=(-r)

# Inside: bring loopback up, optionally hide /tmp, then run the command as a
# child rather than exec it, so that it is not the namespace's first process
# (which the kernel shields from signals it has no handler for) and so that
# SIGINT/SIGTERM sent to this runner reach it. 125 marks a failure of the
# set-up itself.
inner='
set -u
ip link set lo up || { echo "in_netns: cannot bring loopback up" >&2; exit 125; }
if [ "$IN_NETNS_PRIVATE_TMP" = 1 ]; then
  mount -t tmpfs -o mode=1777 tmpfs /tmp || { echo "in_netns: cannot mount a private /tmp" >&2; exit 125; }
fi
# A process group of its own (set -m): a background child of a shell without
# job control would start with SIGINT ignored.
set -m
"$@" &
child=$!
set +m
trap "kill -TERM $child 2>/dev/null" TERM
trap "kill -INT $child 2>/dev/null" INT
# wait returns early when a trapped signal arrives: go on until the command
# has ended, then ask once more for its own status, which the shell kept.
while kill -0 "$child" 2>/dev/null; do wait "$child"; done
wait "$child"

'

# Probe first, so that "not permitted" is told apart from the command's own
# failure (unshare exits 1 for both).
if ! unshare "${user_ns[@]}" -n -p -f --mount-proc true 2>/dev/null; then
  echo "in_netns: cannot create network and PID namespaces here" \
    "(unshare -n -p -f --mount-proc not permitted)" >&2
  exit 125
fi

# unshare waits for its child with SIGINT and SIGTERM ignored and forwards
# neither, so it runs in a process group of its own (set -m) that the traps
# below signal as a whole: the namespace's first process, in that group,
# passes the signal on to the command. --kill-child ends the namespace if
# unshare itself is killed.
set -m
IN_NETNS_PRIVATE_TMP=$private_tmp unshare "${user_ns[@]}" -n -p -f --mount-proc --kill-child \
  bash -c "$inner" in_netns "$@" &
runner=$!
set +m
trap 'kill -TERM -- -$runner 2>/dev/null' TERM
trap 'kill -INT -- -$runner 2>/dev/null' INT
while kill -0 "$runner" 2>/dev/null; do wait "$runner"; done
wait "$runner"

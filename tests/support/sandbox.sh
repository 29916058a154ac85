#!/bin/sh
# Runs a command in the sandbox of wex@.service, as far as a mount namespace
# and setpriv reproduce it without systemd:
#   StateDirectory=zolt     STATE bound read-write at /var/lib/zolt
#   ProtectSystem=strict    every other mount read-only, but /dev, /proc, /sys
#   PrivateTmp=yes          empty, private /tmp and /var/tmp
#   ProtectHome=yes         /home and /root empty and read-only
#   User=, Group=, SupplementaryGroups=dialout, NoNewPrivileges=yes,
#   CapabilityBoundingSet=  setpriv to UID:GID with dialout, no capabilities
# Not reproduced: the device cgroup policy and the system call filter.
#
#   unshare -m --propagation private sh sandbox.sh STATE UID GID COMMAND...
# (as root; the namespace keeps every mount change away from the host)
set -eu
STATE=$1 RUN_UID=$2 RUN_GID=$3
shift 3
mount -t tmpfs -o mode=0755 tmpfs /var/lib
mkdir /var/lib/zolt
mount --bind "$STATE" /var/lib/zolt
# The unit runs an installed program; a program under test may live where
# the sandbox hides things (a build tree under /tmp or /home), so its
# directory is shown, read-only like the rest, at /var/lib/wex-bin.
PROG=$1
shift
case "$PROG" in
  /tmp/*|/var/tmp/*|/home/*|/root/*)
    mkdir /var/lib/wex-bin
    mount --bind "$(dirname "$PROG")" /var/lib/wex-bin
    PROG=/var/lib/wex-bin/$(basename "$PROG") ;;
esac
awk '{print $5}' /proc/self/mountinfo | while read -r mp; do
  case "$mp" in
    /proc|/proc/*|/sys|/sys/*|/dev|/dev/*|/var/lib/zolt) ;;
    *) mount -o remount,bind,ro "$mp" ;;
  esac
done
for d in /tmp /var/tmp; do mount -t tmpfs -o mode=1777 tmpfs "$d"; done
for d in /home /root; do [ -d "$d" ] && mount -t tmpfs -o ro,mode=0755 tmpfs "$d"; done
DIALOUT=$(getent group dialout | cut -d: -f3)
exec setpriv --reuid="$RUN_UID" --regid="$RUN_GID" --groups="$DIALOUT" --no-new-privs \
  --bounding-set=-all --inh-caps=-all -- "$PROG" "$@"

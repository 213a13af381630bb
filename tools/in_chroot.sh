#!/bin/sh
# Runs a command inside the chroot $1 with /proc mounted and a clean
# environment. Call it through `unshare -m --propagation private`, so that
# the mount ends with the command and never outlives it.
set -e
root=$1
shift
mount -t proc proc "$root/proc"
exec chroot "$root" env -i PATH=/usr/bin:/bin HOME=/root LANG=C.UTF-8 \
  PIP_CERT=/etc/host-ca.crt SSL_CERT_FILE=/etc/host-ca.crt PIP_DISABLE_PIP_VERSION_CHECK=1 "$@"

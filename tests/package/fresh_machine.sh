#!/usr/bin/env bash
# The packages on a fresh Debian 12, as an operator meets them: debootstraps a minimal system into
# DIR (once; kept for reruns), installs the packages there from Debian's mirror, makes the
# operator guide's edits for a gateway and its cloud service on one machine, starts kiv-cloud and
# kiv-agent with their units' ExecStart lines as the units' users (a fake bluetoothd plays
# examples/run.jsonl on a private bus), and prints what the cloud stored. Needs root and the
# mirror; not part of CI. Usage: tests/package/fresh_machine.sh DIR [DEB...]  (default: build/package/*.deb)
set -euo pipefail
cd "$(dirname "$0")/../.."
root="$1"; shift
debs=("$@"); ((${#debs[@]})) || debs=(build/package/*.deb)
[ -x "$root/bin/bash" ] || debootstrap --variant=minbase bookworm "$root" http://deb.debian.org/debian >/dev/null
mkdir -p "$root/pkgs" "$root/src"
rm -f "$root"/pkgs/*.deb
cp "${debs[@]}" "$root/pkgs/"
cp tests/fixtures/fake_bluez.py tests/fixtures/fake_service.py tests/package/fresh_machine_inside.sh "$root/src/"
cp /etc/resolv.conf "$root/etc/resolv.conf"
mounted=()
for fs in proc dev dev/pts; do
  mountpoint -q "$root/$fs" || { mount --bind "/$fs" "$root/$fs"; mounted=("$root/$fs" "${mounted[@]}"); }
done
trap 'for m in "${mounted[@]}"; do umount -l "$m"; done' EXIT
chroot "$root" /src/fresh_machine_inside.sh

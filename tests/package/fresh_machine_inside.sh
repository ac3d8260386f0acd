#!/bin/bash
# fresh_machine.sh's part inside the fresh system: /pkgs holds the packages, /src the fake
# bluetoothd. Fails when a step fails, a secret shows on a command line or nothing was stored.
set -euo pipefail
export DEBIAN_FRONTEND=noninteractive
trap 'kill $(jobs -p) 2>/dev/null; wait' EXIT   # the bus and the fake bluetoothd
apt-get update -qq
# A rerun starts from a purged install (which must leave none of the secrets behind).
if dpkg -s kiv-tools >/dev/null 2>&1; then
  apt-get purge -y -qq kiv-tools libkiv-dev >/dev/null
  ! ls /etc/kiv/clients /etc/kiv/admin-token 2>/dev/null || { echo "FAIL: a purge left secrets"; exit 1; }
  rm -rf /var/lib/kiv-cloud /var/lib/kiv-agent /etc/kiv/secret
fi
apt-get install -y -qq --no-install-recommends systemd dbus-daemon python3-dbus python3-gi curl >/dev/null
apt-get install -y -qq /pkgs/*.deb 2>&1 | tail -3
echo "== installed"; dpkg -l kiv-tools libkiv-dev | tail -2
ls -l /etc/kiv /etc/default/kiv-cloud; id kiv-cloud; id kiv-agent
# The documented edits (docs/operator-guide.md, one machine).
install -m 0640 -o root -g kiv-agent /dev/null /etc/kiv/secret
sh -c 'sed -n "s/^gateway://p" /etc/kiv/clients > /etc/kiv/secret'
# What systemd's StateDirectory= would make.
install -d -m 0700 -o kiv-cloud -g kiv-cloud /var/lib/kiv-cloud
install -d -m 0700 -o kiv-agent -g kiv-agent /var/lib/kiv-agent
# kiv-cloud.service's ExecStart with its defaults (EnvironmentFile /etc/default/kiv-cloud).
set -a; . /etc/default/kiv-cloud; set +a
setpriv --reuid=kiv-cloud --regid=kiv-cloud --init-groups -- /usr/bin/kiv-cloud --host ${KIV_CLOUD_HOST} --port ${KIV_CLOUD_PORT} --db /var/lib/kiv-cloud/kiv.db \
    --regions ${KIV_CLOUD_REGIONS} --client-file /etc/kiv/clients --admin-token-file /etc/kiv/admin-token $KIV_CLOUD_OPTIONS \
    >/tmp/cloud.out 2>&1 &
cloud=$!
for _ in $(seq 100); do grep -q listening /tmp/cloud.out && break; sleep 0.1; done
cat /tmp/cloud.out
{ sed -n "s/^gateway://p" /etc/kiv/clients; head -n1 /etc/kiv/admin-token; } >/tmp/secrets
cat /proc/[0-9]*/cmdline 2>/dev/null | tr "\0" " " | grep -qF -f /tmp/secrets && { echo "FAIL: a secret shows in ps"; exit 1; }
echo "no process's command line holds the client secret or the admin token"
# A fake bluetoothd on a private bus the agent's user may use.
dir=$(setpriv --reuid=kiv-agent --regid=kiv-agent --init-groups -- mktemp -d)
setpriv --reuid=kiv-agent --regid=kiv-agent --init-groups -- dbus-daemon --session --nofork --address="unix:path=$dir/bus" --print-address=1 >/tmp/bus.address 2>/dev/null &
for _ in $(seq 100); do [ -s /tmp/bus.address ] && break; sleep 0.05; done
export DBUS_SYSTEM_BUS_ADDRESS="unix:path=$dir/bus"
rm -f /tmp/commands; mkfifo /tmp/commands; chmod 666 /tmp/commands
setpriv --reuid=kiv-agent --regid=kiv-agent --init-groups -- env DBUS_SYSTEM_BUS_ADDRESS="$DBUS_SYSTEM_BUS_ADDRESS" /usr/bin/python3 /src/fake_bluez.py </tmp/commands >/tmp/fake.out 2>/tmp/fake.log &
exec 3>/tmp/commands
echo '{"cmd": "adapter", "adapter": "hci0"}' >&3
for _ in $(seq 100); do grep -q '"ok": 1' /tmp/fake.out 2>/dev/null && break; sleep 0.05; done
echo '{"cmd": "wait", "status": {"adapters": {"hci0": {"discovering": true}}}, "timeout": 30}' >&3
echo '{"cmd": "play", "file": "/usr/share/doc/kiv-tools/examples/run.jsonl", "adapter": "hci0"}' >&3
# kiv-agent.service's ExecStart, with the log on standard output (no journald in a chroot).
setpriv --reuid=kiv-agent --regid=kiv-agent --init-groups -- env DBUS_SYSTEM_BUS_ADDRESS="$DBUS_SYSTEM_BUS_ADDRESS" STATE_DIRECTORY=/var/lib/kiv-agent \
    /usr/bin/kiv-agent run --config /etc/kiv/agent.toml --log-to stdout >/tmp/agent.out 2>&1 &
agent=$!
sleep 20
kill -TERM $agent; wait $agent || { echo "FAIL: kiv-agent exit $?"; exit 1; }
cat /tmp/agent.out
token=$(head -n1 /etc/kiv/admin-token)
echo "== what kiv-cloud stored"
curl -s -H "Authorization: Bearer $token" "http://127.0.0.1:8080/summary" >/tmp/summary.json
head -c 600 /tmp/summary.json; echo
grep -q '"kind":"ibeacon"' /tmp/summary.json || { echo "FAIL: kiv-cloud stored no sighting"; exit 1; }
kill -TERM $cloud; wait $cloud || { echo "FAIL: kiv-cloud exit $?"; exit 1; }
echo "fresh machine: installed, configured as documented, sightings stored, both stopped cleanly"


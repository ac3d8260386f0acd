#!/usr/bin/env bash
# Builds the Debian packages from a configured, built tree into a scratch directory, unpacks them
# there and checks what they hold: files and their modes, control fields, conffiles, maintainer
# scripts, and that the units, kiv.pc and the postinst name paths the packages really ship.
# Usage: check.sh BUILD_DIR VERSION
set -euo pipefail
build="$1"; version="$2"
work="$build/package-check"; rm -rf "$work"; mkdir -p "$work"
failures=0
fail() { echo "FAIL: $*"; failures=$((failures + 1)); }

# The tree's own binaries (a test tree's are sanitized: fine for the layout, not for shipping);
# uncompressed, since only the layout matters here.
cpack --config "$build/CPackConfig.cmake" -G DEB -B "$work" -D CPACK_DEBIAN_COMPRESSION_TYPE=none >"$work/cpack.log" 2>&1 ||
  { cat "$work/cpack.log"; exit 1; }

for pkg in libkiv-dev kiv-tools; do
  deb=("$work/${pkg}_${version}_"*.deb)
  [ -f "${deb[0]}" ] || { fail "no $pkg package"; ls "$work"; continue; }
  root="$work/root/$pkg"; mkdir -p "$root" "$work/control"
  dpkg-deb -x "${deb[0]}" "$root"
  dpkg-deb -e "${deb[0]}" "$work/control/$pkg"
  dpkg-deb -c "${deb[0]}" >"$work/$pkg.list"
  [ "$(dpkg-deb -f "${deb[0]}" Package)" = "$pkg" ] || fail "$pkg: Package field"
  [ "$(dpkg-deb -f "${deb[0]}" Version)" = "$version" ] || fail "$pkg: Version field"
  [ -n "$(dpkg-deb -f "${deb[0]}" Maintainer)" ] || fail "$pkg: no Maintainer"
  awk '$2 != "root/root" { print "FAIL: '"$pkg"' ships a file not owned by root: " $0; bad = 1 } END { exit bad }' \
    "$work/$pkg.list" || failures=$((failures + 1))
done

dev="$work/root/libkiv-dev"; tools="$work/root/kiv-tools"
has() { # ROOT PATTERN...: each pattern (a shell glob below the root) names at least one file
  local root="$1"; shift
  for pattern in "$@"; do
    # A /usr build puts libraries in the multiarch directory (usr/lib/x86_64-linux-gnu).
    compgen -G "$root/$pattern" >/dev/null || compgen -G "$root/${pattern/usr\/lib\*\//usr/lib/*/}" >/dev/null ||
      fail "$(basename "$root") lacks $pattern"
  done
}
has "$dev" usr/include/kiv/kiv.hpp usr/include/kiv/export.hpp "usr/lib*/libkiv.a" "usr/lib*/cmake/kiv/kivConfig.cmake" \
  "usr/lib*/cmake/kiv/kivConfigVersion.cmake" "usr/lib*/cmake/kiv/kivTargets.cmake" "usr/lib*/pkgconfig/kiv.pc"
has "$tools" usr/bin/kiv-agent usr/bin/kiv-cloud usr/share/man/man1/kiv-agent.1.gz usr/share/man/man1/kiv-cloud.1.gz \
  usr/lib/systemd/system/kiv-agent.service usr/lib/systemd/system/kiv-cloud.service \
  usr/lib/sysusers.d/kiv-agent.conf usr/lib/sysusers.d/kiv-cloud.conf etc/kiv/agent.toml etc/default/kiv-cloud
# The packages split the install between them: nothing of the library in the tools and back.
grep -qE '/(include|cmake|pkgconfig)/|\.a$' "$work/kiv-tools.list" && fail "kiv-tools holds development files"
grep -qE '/(bin|etc|systemd)/' "$work/libkiv-dev.list" && fail "libkiv-dev holds the tools' files"

# kiv.pc resolves inside wherever the package is unpacked.
pc="$(compgen -G "$dev/usr/lib*/pkgconfig/kiv.pc" || compgen -G "$dev/usr/lib/*/pkgconfig/kiv.pc")"
[ -f "$(PKG_CONFIG_PATH="$(dirname "$pc")" pkg-config --variable=includedir kiv)/kiv/kiv.hpp" ] ||
  fail "kiv.pc's includedir is not the package's"

# Control: dependencies, conffiles, maintainer scripts.
depends="$(dpkg-deb -f "$work"/kiv-tools_*.deb Depends)"
for lib in libcurl4 libsdbus-c++1 libsqlite3-0 libpq5 libmicrohttpd12; do
  [[ "$depends" == *"$lib"* ]] || fail "kiv-tools Depends lacks $lib: $depends"
done
dev_depends="$(dpkg-deb -f "$work"/libkiv-dev_*.deb Depends)"
for lib in libcurl4-openssl-dev libsdbus-c++-dev nlohmann-json3-dev; do
  [[ "$dev_depends" == *"$lib"* ]] || fail "libkiv-dev Depends lacks $lib: $dev_depends"
done
control="$work/control/kiv-tools"
while read -r conffile; do
  [ -f "$tools$conffile" ] || fail "conffile $conffile is not in the package"
done <"$control/conffiles"
for etc in /etc/kiv/agent.toml /etc/default/kiv-cloud /etc/kiv/regions.json; do
  grep -qx "$etc" "$control/conffiles" || fail "$etc is not a conffile"
done
grep -q '^-rw-r----- .* ./etc/kiv/agent.toml$' "$work/kiv-tools.list" || fail "agent.toml is not mode 0640"
grep -q '^-rw------- .* ./etc/default/kiv-cloud$' "$work/kiv-tools.list" || fail "/etc/default/kiv-cloud is not mode 0600"
for script in postinst prerm postrm; do
  [ -x "$control/$script" ] && sh -n "$control/$script" || fail "$script missing, not executable or not sh"
done
for conf in kiv-agent kiv-cloud; do
  grep -q "/usr/lib/sysusers.d/$conf.conf" "$control/postinst" || fail "postinst does not name $conf's sysusers file"
done
# The cloud's secret files: made by postinst (never shipped, never replaced), removed on purge.
for secret in /etc/kiv/clients /etc/kiv/admin-token; do
  grep -q "make_secret_file $secret" "$control/postinst" || fail "postinst does not make $secret"
  grep -q "$secret" "$control/postrm" || fail "postrm does not purge $secret"
  grep -q "^$secret\$" "$control/conffiles" && fail "$secret is a conffile"
done

# The units start programs the package ships; the agent runs as the sysusers file's user.
for unit in kiv-agent kiv-cloud; do
  exec="$(sed -n 's/^ExecStart=\([^ ]*\).*/\1/p' "$tools/usr/lib/systemd/system/$unit.service")"
  [ -x "$tools$exec" ] || fail "$unit.service starts $exec, which the package does not ship"
done
agent_unit="$tools/usr/lib/systemd/system/kiv-agent.service"
user="$(sed -n 's/^User=//p' "$agent_unit")"
grep -q "^u $user " "$tools/usr/lib/sysusers.d/kiv-agent.conf" || fail "the unit's user $user is not in sysusers"
grep -q "^m $user bluetooth" "$tools/usr/lib/sysusers.d/kiv-agent.conf" || fail "$user is not made a member of bluetooth"
grep -q -- "--config /etc/kiv/agent.toml" "$agent_unit" || fail "kiv-agent.service does not read /etc/kiv/agent.toml"
cloud_unit="$tools/usr/lib/systemd/system/kiv-cloud.service"
user="$(sed -n 's/^User=//p' "$cloud_unit")"
grep -q "^u $user " "$tools/usr/lib/sysusers.d/kiv-cloud.conf" || fail "the cloud unit's user $user is not in sysusers"
for want in "--client-file /etc/kiv/clients" "--admin-token-file /etc/kiv/admin-token"; do
  grep -q -- "$want" "$cloud_unit" || fail "kiv-cloud.service lacks $want"
done
grep -qx "RestartPreventExitStatus=2" "$cloud_unit" || fail "kiv-cloud.service restarts after usage errors"
# /etc/default/kiv-cloud shows every flag of the program.
for flag in $("$tools/usr/bin/kiv-cloud" --help | grep -oE -- '^ +--[a-z-]+' | sort -u); do
  grep -qE -- "$flag([ ,]|\$)" "$tools/etc/default/kiv-cloud" || fail "/etc/default/kiv-cloud does not mention $flag"
done

# The man pages carry the program's help, the agent's page each subcommand's, and both the
# sections an operator looks for, naming where the guides are.
zcat "$tools/usr/share/man/man1/kiv-cloud.1.gz" | grep -qF -- '\-\-regions' || fail "kiv-cloud.1 lacks its flags"
for sub in decode run scan; do
  zcat "$tools/usr/share/man/man1/kiv-agent.1.gz" | grep -q "^\.SS \"kiv-agent $sub\"" || fail "kiv-agent.1 lacks $sub"
done
for page in kiv-agent kiv-cloud; do
  text="$(zcat "$tools/usr/share/man/man1/$page.1.gz")"
  for section in CONFIGURATION ENVIRONMENT FILES "EXIT STATUS" "SEE ALSO"; do
    grep -qx "\.SH \"\?$section\"\?" <<<"$text" || fail "$page.1 has no section $section"
  done
  grep -qF share/doc/kiv-tools <<<"$text" || fail "$page.1 does not name where the guides are"
done

# Licence, changelog and guides: the changelog's latest entry is this version, as is --version.
for pkg in libkiv-dev kiv-tools; do
  doc="$work/root/$pkg/usr/share/doc/$pkg"
  head -n1 "$doc/copyright" | grep -q '^Format: https://www.debian.org/doc/packaging-manuals/copyright-format/1.0/' ||
    fail "$pkg has no machine-readable copyright file"
  [ "$(zcat "$doc/changelog.gz" | dpkg-parsechangelog -l - -S Version)" = "$version" ] ||
    fail "$pkg's changelog does not start with $version"
done
has "$tools" usr/share/doc/kiv-tools/README.md usr/share/doc/kiv-tools/docs/operator-guide.md \
  usr/share/doc/kiv-tools/docs/configuration.md usr/share/doc/kiv-tools/examples/run.jsonl etc/kiv/regions.json
has "$dev" usr/share/doc/libkiv-dev/docs/library-guide.md usr/share/doc/libkiv-dev/examples/host_minimal.cpp
for program in kiv-agent kiv-cloud; do
  [ "$(ASAN_OPTIONS=detect_leaks=0 "$tools/usr/bin/$program" --version)" = "$program $version" ] ||
    fail "$program --version is not $version"
done

# lintian, where installed (the test and package sets install it), on what the packages say
# themselves: licence, changelog, maintainer scripts, conffiles, units, man pages, documents.
# A test tree's sanitized binaries would take it minutes, and their checks concern the Release
# build, which scripts/package lints whole; here small stand-ins take their place. Errors fail,
# warnings are listed.
if command -v lintian >/dev/null; then
  for pkg in libkiv-dev kiv-tools; do
    lean="$work/lean/$pkg"; mkdir -p "$lean"
    cp -a "$work/root/$pkg/." "$lean/"; cp -a "$work/control/$pkg" "$lean/DEBIAN"
    for program in "$lean"/usr/bin/*; do [ -f "$program" ] && cp /bin/true "$program"; done
    while read -r archive; do
      (cd "$work/lean" && ar x "$archive" Version.cpp.o && rm "$archive" && ar rcs "$archive" Version.cpp.o)
    done < <(find "$lean" -name '*.a')
    (cd "$lean" && find . -type f ! -path './DEBIAN/*' -printf '%P\0' | sort -z | xargs -0 md5sum) >"$lean/DEBIAN/md5sums"
    dpkg-deb --root-owner-group -Zgzip -b "$lean" "$work/lean/$pkg.deb" >/dev/null
  done
  lintian --tag-display-limit 0 "$work"/lean/*.deb >"$work/lintian.log" 2>&1 || true
  grep '^E: ' "$work/lintian.log" && fail "lintian reports errors"
  grep '^W: ' "$work/lintian.log" || true
fi

[ "$failures" -eq 0 ] && echo "packages: $(cd "$work" && ls ./*.deb | tr '\n' ' ')"
exit "$((failures > 0))"

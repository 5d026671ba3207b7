#!/usr/bin/env bash
# The installed service: installs into a temporary prefix, checks the unit
# with systemd-analyze (no running systemd needed), creates its user and log
# file from the installed sysusers.d and tmpfiles.d files, and runs the
# installed manager once as that user, under as much of the unit's own
# confinement as applies without systemd, to show that the player plays,
# preloads and switches there.
#   check_service.sh BUILD_DIR CLIPS_DIR CONFINE_PROGRAM
# Runs as root, with a display and a sound server (scripts/with-env.sh).
set -euo pipefail
build=$1 clips=$2 confine=$3
threshold=20  # exposure 2.0, on systemd-analyze's scale of 0 to 100

fail() { echo "FAIL: $*" >&2; exit 1; }
[ "$(id -u)" -eq 0 ] || fail "must run as root (it creates the service's user)"
for tool in systemd-analyze systemd-sysusers systemd-tmpfiles setpriv unshare findmnt pactl; do
  command -v "$tool" >/dev/null || fail "$tool missing: run scripts/install-deps.sh"
done
[ -n "${DISPLAY:-}" ] || fail "no DISPLAY: run under scripts/with-env.sh"

# Under /tmp, so that it is carried into the run's private /tmp below.
work=$(mktemp -d /tmp/signage-service-test.XXXXXX)
hold=$(mktemp -d /run/signage-service-test.XXXXXX)
pulse_module=
cleanup() {
  set +e
  [ -n "$pulse_module" ] && pactl unload-module "$pulse_module"
  [ -n "${run_pid:-}" ] && kill -KILL "$run_pid" 2>/dev/null && wait "$run_pid" 2>/dev/null
  rm -rf "$work"
  # Mount points of the run's namespace, gone with it: empty directories.
  rmdir "$hold"/* "$hold" 2>/dev/null
}
trap cleanup EXIT
chmod 755 "$work"

echo "== install into $work/prefix"
cmake --install "$build" --prefix "$work/prefix" >/dev/null
unit=$work/prefix/lib/systemd/system/signage-manager.service
sysusers=$work/prefix/lib/sysusers.d/signage-manager.conf
tmpfiles=$work/prefix/lib/tmpfiles.d/signage-manager.conf
for f in "$unit" "$sysusers" "$tmpfiles"; do [ -f "$f" ] || fail "not installed: $f"; done
grep -qx "ExecStart=$work/prefix/bin/signage_manager .*" "$unit" || fail "ExecStart does not name the installed manager"

echo "== systemd-analyze verify"
systemd-analyze verify "$unit" || fail "systemd-analyze verify"

echo "== systemd-analyze security (threshold $threshold)"
systemd-analyze security --offline=yes --threshold="$threshold" --no-pager "$unit" > "$work/security.txt" 2>&1 ||
  { cat "$work/security.txt"; fail "exposure above $threshold"; }
grep "Overall exposure" "$work/security.txt"

# The unit's own settings, to apply below as far as they can be.
setting() { sed -n "s/^$1=//p" "$unit"; }
user=$(setting User)
group=$(setting Group)
groups=$(setting SupplementaryGroups)
umask_value=$(setting UMask)
[ -n "$user" ] && [ "$user" != root ] || fail "the unit runs as root"

echo "== user $user from sysusers.d, /logplayer.txt from tmpfiles.d"
systemd-sysusers "$sysusers" || fail "systemd-sysusers"
uid=$(id -u "$user") || fail "no user $user"
[ "$uid" -ne 0 ] || fail "$user is root"
[ "$(id -gn "$user")" = "$group" ] || fail "$user's group is $(id -gn "$user"), the unit's $group"
for g in $groups; do
  id -nG "$user" | tr ' ' '\n' | grep -qx "$g" || fail "$user is not in $g"
done
systemd-tmpfiles --create "$tmpfiles" || fail "systemd-tmpfiles"
[ "$(stat -c %U /logplayer.txt)" = "$user" ] || fail "/logplayer.txt is not $user's"
grep -qx "ReadWritePaths=/logplayer.txt" "$unit" || fail "/logplayer.txt is not writable in the unit"

# The system call allow list the unit's SystemCallFilter= lines make.
expand() {
  systemd-analyze syscall-filter --no-pager "$1" | tail -n +2 | sed 's/^ *//; /^#/d; /^$/d' |
    while read -r name; do
      case $name in @*) expand "$name" ;; *) echo "$name" ;; esac
    done
}
: > "$work/allow" ; : > "$work/deny"
while read -r value; do
  list=allow
  case $value in "~"*) list=deny; value=${value#\~} ;; esac
  for item in $value; do
    case $item in @*) expand "$item" ;; *) echo "$item" ;; esac >> "$work/$list"
  done
done < <(setting SystemCallFilter)
sort -u "$work/allow" -o "$work/allow"
sort -u "$work/deny" -o "$work/deny"
comm -23 "$work/allow" "$work/deny" > "$work/syscalls"

confine_args=()
[ -s "$work/syscalls" ] && confine_args+=(--allow "$work/syscalls")
families=$(setting RestrictAddressFamilies | tr 'A-Z ' 'a-z,' | sed 's/af_//g')
[ -n "$families" ] && confine_args+=(--families "$families")
[ "$(setting MemoryDenyWriteExecute)" = yes ] && confine_args+=(--deny-write-execute)
[ "$(setting RestrictNamespaces)" = yes ] && confine_args+=(--no-namespaces)
[ "$(setting LockPersonality)" = yes ] && confine_args+=(--lock-personality)
echo "confinement by seccomp: ${confine_args[*]//$work\//}"

# The sound server runs as root with a private socket; the service's user
# reaches it through a second socket that only the audio group can reach,
# as the audio group reaches the sound devices on a board.
mkdir -p "$work/pulse"
chgrp audio "$work/pulse" && chmod 750 "$work/pulse"
pulse_module=$(pactl load-module module-native-protocol-unix socket="$work/pulse/native" auth-anonymous=1) ||
  fail "cannot open a sound server socket"

# The helper too may be out of the run's sight (a build under /root).
cp "$confine" "$work/confine"
confine=$work/confine

# Media and a home and cache of the user's own, as StateDirectory= and
# CacheDirectory= give it.
mkdir -p "$work/media" "$work/home" "$work/cache"
# With their times: files long on the board, not ones being copied.
cp -p "$clips/red.mp4" "$clips/green.mp4" "$clips/blue.mp4" "$work/media/"
chmod 755 "$work/media" && chmod 644 "$work/media/"*
chown "$user:$group" "$work/home" "$work/cache"
printf '%s\n' "$work/media/red.mp4" "$work/media/green.mp4" "$work/media/blue.mp4" > "$work/playlist.txt"
chmod 644 "$work/playlist.txt"

# In a mount namespace of its own: ProtectSystem=strict with the unit's
# ReadWritePaths= and the state and cache directories, PrivateTmp= with the
# X11 sockets bound in read-only, ProtectHome=, ProtectKernelTunables=,
# ProtectControlGroups=, ProtectProc=invisible. Then the user, its groups,
# no new privileges, no capabilities, the unit's UMask= and seccomp.
sandbox() {
  set -e
  mkdir -p "$hold/x11" "$hold/work"
  mount --bind /tmp/.X11-unix "$hold/x11"
  mount --bind "$work" "$hold/work"
  mount -t tmpfs -o mode=1777,nosuid,nodev tmpfs /tmp
  mount -t tmpfs -o mode=1777,nosuid,nodev tmpfs /var/tmp
  mkdir -p /tmp/.X11-unix "$work"
  mount --bind "$hold/x11" /tmp/.X11-unix
  mount --bind "$hold/work" "$work"
  writable=("$work/home" "$work/cache" $(setting ReadWritePaths))
  for p in "${writable[@]}"; do mount --bind "$p" "$p"; done
  for d in /home /root /run/user; do
    [ -d "$d" ] && mount -t tmpfs -o ro,mode=000 tmpfs "$d"
  done
  mount -t proc -o hidepid=invisible proc /proc
  mount --bind /proc/sys /proc/sys
  findmnt -rn -o TARGET | while read -r target; do
    case $target in /dev | /dev/* | /proc | /tmp | /var/tmp | /home | /root | /run/user) continue ;; esac
    for p in "${writable[@]}"; do [ "$target" = "$p" ] && continue 2; done
    mount -o remount,bind,ro "$target" || fail "cannot make $target read-only"
  done
  if touch /usr/.signage-probe 2>/dev/null; then fail "/usr stayed writable"; fi
  umask "$umask_value"
  exec setpriv --reuid="$user" --regid="$group" --init-groups --no-new-privs \
    --inh-caps=-all --bounding-set=-all -- \
    env -i PATH=/usr/bin:/bin HOME="$work/home" XDG_CACHE_HOME="$work/cache" \
    DISPLAY="$DISPLAY" PULSE_SERVER="unix:$work/pulse/native" \
    ${ASAN_OPTIONS:+ASAN_OPTIONS="$ASAN_OPTIONS"} ${UBSAN_OPTIONS:+UBSAN_OPTIONS="$UBSAN_OPTIONS"} \
    "$confine" "${confine_args[@]}" -- \
    "$work/prefix/bin/signage_manager" --player "$work/prefix/bin/video_player" --http 127.0.0.1:0 --rounds 1 \
    "$work/playlist.txt"
}
export -f sandbox fail setting
export work hold unit user group umask_value confine
confine_list=$(printf '%q ' "${confine_args[@]}")

echo "== the installed manager as $user"
out=$work/manager.log
unshare --mount --propagation private -- \
  bash -c "confine_args=($confine_list); sandbox" > "$out" 2>&1 &
run_pid=$!

# The player must run as the user, in its groups, without privileges.
player=
for _ in $(seq 1 600); do
  player=$(sed -n 's/^\[manager\] started the player, pid \([0-9]*\).*/\1/p' "$out" | head -1)
  [ -n "$player" ] && break
  kill -0 "$run_pid" 2>/dev/null || break
  sleep 0.1
done
[ -n "$player" ] || { cat "$out"; fail "the manager did not start the player"; }
status=/proc/$player/status
[ "$(awk '/^Uid:/ {print $2 $3 $4 $5}' "$status")" = "$uid$uid$uid$uid" ] || fail "player not running as $user"
for g in $groups; do
  gid=$(getent group "$g" | cut -d: -f3)
  awk '/^Groups:/' "$status" | tr ' \t' '\n\n' | grep -qx "$gid" || fail "player not in group $g"
done
[ "$(awk '/^NoNewPrivs:/ {print $2}' "$status")" = 1 ] || fail "player may gain privileges"
[ "$(awk '/^CapBnd:/ {print $2}' "$status")" = 0000000000000000 ] || fail "player has capabilities"
[ "$(awk '/^Seccomp:/ {print $2}' "$status")" = 2 ] || fail "player has no system call filter"
[ "$(awk '/^Umask:/ {print $2}' "$status")" = "$umask_value" ] || fail "player's umask is not $umask_value"

# Its HTTP API answers, confined as it is, with the file on screen.
api=
for _ in $(seq 1 300); do
  api=$(sed -n 's|^\[manager\] HTTP API on \(http://127.0.0.1:[0-9]*/\)$|\1|p' "$out" | head -1)
  [ -n "$api" ] && break
  sleep 0.1
done
[ -n "$api" ] || { cat "$out"; fail "the manager's HTTP API did not start"; }
on_screen=
for _ in $(seq 1 100); do
  on_screen=$(curl -sf "${api}status" | python3 -c 'import json,sys; print(json.load(sys.stdin)["on_screen"]["path"])' 2>/dev/null) && break
  sleep 0.2
done
[ -n "$on_screen" ] || fail "GET /status did not name the file on screen"
echo "GET ${api}status: on screen $on_screen"

rc=0
if ! timeout 120 tail --pid="$run_pid" -f /dev/null; then
  cat "$out"
  fail "the manager did not finish its round within 120 s"
fi
wait "$run_pid" || rc=$?
run_pid=
cp "$out" "$build/service-test-manager.log"
echo "manager exit status $rc (its lines: $build/service-test-manager.log)"
grep '^\[manager\]' "$out"

for n in 1 2 3; do
  grep -q "^\[manager\] now playing $n/3: " "$out" || fail "file $n/3 never played"
done
switches=$(grep -c '^player: \[SWITCH\] Command completed successfully!$' "$out" || true)
[ "$switches" -ge 3 ] || fail "$switches switches completed, 3 wanted"
grep -q '^\[manager\] played 1 rounds' "$out" || fail "the round did not end"
[ "$rc" -eq 0 ] || fail "manager exit status $rc"
if grep -q 'Could not open log file' "$out"; then fail "the player could not write /logplayer.txt"; fi
if grep -qi 'confine:' "$out"; then fail "confinement could not be applied"; fi
echo "PASS: played, preloaded and switched as $user (uid $uid) under the unit's confinement"

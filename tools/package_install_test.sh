#!/usr/bin/env bash
# Installs the launcher's .deb into a fresh Debian 12 root with apt, as a user would (its dependencies come from
# the Debian mirror this machine's apt uses, recommended packages left out so the Depends alone must suffice),
# then starts it there the way its desktop entry does, as an ordinary user, on a private X display of this
# machine. Its window must show and stay up, the staging folder must be there and empty, and SIGTERM (a
# desktop's log-out) must end it without a crash. Every mount is undone and the root removed on exit.
# Needs root (debootstrap, mount, chroot).
#   tools/package_install_test.sh DEB|DIR      (DIR: the one .deb in it)
set -euo pipefail
source_dir="$(cd "$(dirname "${BASH_SOURCE[0]}")/.." && pwd)"
source "$source_dir/tools/private_display.sh"

target=${1:?usage: package_install_test.sh DEB|DIR}
if [ -d "$target" ]; then
  mapfile -t debs < <(find "$target" -maxdepth 1 -name '*.deb')
  [ ${#debs[@]} -eq 1 ] || { echo "expected one .deb in $target, found ${#debs[@]}" >&2; exit 1; }
  target=${debs[0]}
fi
deb=$(realpath "$target")
[ "$(id -u)" -eq 0 ] || { echo "the install test needs root (debootstrap, mount, chroot)" >&2; exit 1; }
user_id=4242

# The first URI this machine's apt takes SUITE from (one-line and deb822 sources alike), empty if none.
apt_uri_for() {
  local suite=$1 file
  for file in /etc/apt/sources.list /etc/apt/sources.list.d/*.list; do
    [ -f "$file" ] || continue
    awk -v suite="$suite" '$1 == "deb" { sub(/^deb +(\[[^]]*\] +)?/, ""); if ($2 == suite) { print $1; exit } }' "$file"
  done
  for file in /etc/apt/sources.list.d/*.sources; do
    [ -f "$file" ] || continue
    awk -v suite="$suite" 'BEGIN { RS = "" }
      { uris = ""; found = 0
        n = split($0, lines, "\n")
        for (i = 1; i <= n; i++) {
          if (lines[i] ~ /^URIs:/) { sub(/^URIs: */, "", lines[i]); split(lines[i], u, " "); uris = u[1] }
          if (lines[i] ~ /^Suites:/) { m = split(lines[i], s, " "); for (j = 2; j <= m; j++) if (s[j] == suite) found = 1 }
        }
        if (found && uris != "") { print uris; exit } }' "$file"
  done | head -n 1
}

mirror=$(apt_uri_for bookworm)
[ -n "$mirror" ] || { echo "this machine's apt has no source for bookworm" >&2; exit 1; }

work=$(mktemp -d /var/tmp/zvq-install-test.XXXXXX)
root=$work/root
launcher_pid=

mounts_under_root() { awk -v r="$root" '$2 == r || index($2, r "/") == 1 { print $2 }' /proc/self/mounts | sort -r; }

cleanup() {
  local status=$? mount
  if [ -n "$launcher_pid" ] && kill -0 "$launcher_pid" 2>/dev/null; then
    kill -KILL "$launcher_pid" 2>/dev/null || true
    wait "$launcher_pid" 2>/dev/null || true
  fi
  stop_private_display
  while read -r mount; do
    umount "$mount" 2>/dev/null || umount -l "$mount" || true
  done < <(mounts_under_root)
  if [ -n "$(mounts_under_root)" ]; then
    echo "still mounted under $root, left in place:" >&2
    mounts_under_root >&2
  else
    rm -rf "$work"
  fi
  exit "$status"
}
trap cleanup EXIT
trap 'exit 130' INT TERM

phase_start=$SECONDS
phase() {  # <what>: prints how long the previous phase took
  echo "   $(printf '%4d' $((SECONDS - phase_start))) s  $1"
  phase_start=$SECONDS
}
in_root() { chroot "$root" env -i PATH=/usr/sbin:/usr/bin:/sbin:/bin LC_ALL=C.UTF-8 DEBIAN_FRONTEND=noninteractive "$@"; }

echo "== install test of $(basename "$deb") in a fresh Debian 12 root from $mirror"
if ! debootstrap --variant=minbase bookworm "$root" "$mirror" >"$work/debootstrap.log" 2>&1; then
  tail -n 20 "$work/debootstrap.log" >&2
  exit 1
fi
phase "debootstrap --variant=minbase bookworm"

mount -t proc proc "$root/proc"
mount --bind /dev "$root/dev"
cp /etc/resolv.conf "$root/etc/resolv.conf"
{
  echo "deb $mirror bookworm main"
  for suite in bookworm-updates bookworm-security; do
    uri=$(apt_uri_for "$suite")
    [ -z "$uri" ] || echo "deb $uri $suite main"
  done
} >"$root/etc/apt/sources.list"
# Nothing installed may start a service in the root.
printf '#!/bin/sh\nexit 101\n' >"$root/usr/sbin/policy-rc.d"
chmod 0755 "$root/usr/sbin/policy-rc.d"
cp "$deb" "$root/tmp/"
in_root apt-get update -q >"$work/apt.log" 2>&1 || { tail -n 20 "$work/apt.log" >&2; exit 1; }
if ! in_root apt-get install -y -q --no-install-recommends "/tmp/$(basename "$deb")" >>"$work/apt.log" 2>&1; then
  tail -n 30 "$work/apt.log" >&2
  exit 1
fi
echo "   $(grep -c '^Setting up ' "$work/apt.log") packages set up"
phase "apt-get install of the .deb and its dependencies"

desktop_entry=$root/usr/share/applications/zvq-support-launcher.desktop
for file in "$desktop_entry" "$root/usr/share/icons/hicolor/48x48/apps/zvq-support-launcher.png" \
            "$root/usr/share/doc/zvq-support-launcher/copyright"; do
  [ -f "$file" ] || { echo "the package did not install ${file#"$root"}" >&2; exit 1; }
done
exec_line=$(sed -n 's/^Exec=//p' "$desktop_entry")
in_root useradd --create-home --uid "$user_id" --user-group tester

start_private_display "$work"
home=$root/home/tester
install -o "$user_id" -g "$user_id" -m 0600 "$XAUTHORITY" "$home/.Xauthority"
# Split like a desktop splits Exec (it has no quoting to honour).
# shellcheck disable=SC2086
chroot --userspec="$user_id:$user_id" "$root" env -i PATH=/usr/bin:/bin HOME=/home/tester USER=tester \
  LANG=C.UTF-8 DISPLAY="$DISPLAY" XAUTHORITY=/home/tester/.Xauthority $exec_line >"$work/launcher.log" 2>&1 &
launcher_pid=$!

window=
for _ in $(seq 300); do
  if ! kill -0 "$launcher_pid" 2>/dev/null; then
    echo "the launcher ended before its window showed:" >&2
    cat "$work/launcher.log" >&2
    exit 1
  fi
  window=$(xdotool search --onlyvisible --pid "$launcher_pid" 2>/dev/null | head -n 1) && [ -n "$window" ] && break
  sleep 0.2
done
[ -n "$window" ] || { echo "no window of the launcher showed within 60 s" >&2; cat "$work/launcher.log" >&2; exit 1; }
title=$(xdotool getwindowname "$window")
[ "$title" = "Support Launcher" ] || { echo "the launcher's window is called \"$title\"" >&2; exit 1; }
phase "the launcher's window \"$title\" showed"

sleep 2
kill -0 "$launcher_pid" 2>/dev/null || { echo "the launcher ended by itself:" >&2; cat "$work/launcher.log" >&2; exit 1; }
picture=$(dirname "$deb")/install-test.png
eval "$(xdotool getwindowgeometry --shell "$window")"
python3 "$source_dir/tools/xvfb_picture.py" "$PRIVATE_DISPLAY_FRAMEBUFFER" "$picture" "$X" "$Y" "$WIDTH" "$HEIGHT"
staging=$root/tmp/.zvq-support.tmp
[ "$(stat -c '%u %a' "$staging" 2>/dev/null)" = "$user_id 700" ] ||
  { echo "no private staging folder of the user's at /tmp/.zvq-support.tmp" >&2; exit 1; }
[ -z "$(ls -A "$staging")" ] || { echo "the staging folder is not empty:" >&2; ls -la "$staging" >&2; exit 1; }

kill -TERM "$launcher_pid"
for _ in $(seq 50); do kill -0 "$launcher_pid" 2>/dev/null || break; sleep 0.1; done
kill -0 "$launcher_pid" 2>/dev/null && { echo "the launcher did not end within 5 s of SIGTERM" >&2; exit 1; }
status=0
wait "$launcher_pid" || status=$?
launcher_pid=
# 143: ended by SIGTERM itself, whose default the launcher keeps; a crash on the way out would be another code.
case $status in
  0 | 143) ;;
  *) echo "the launcher ended with status $status on SIGTERM:" >&2; cat "$work/launcher.log" >&2; exit 1 ;;
esac
phase "up 2 s, then ended by SIGTERM (status $status)"
echo "== install test passed in $SECONDS s (picture of the window: $picture)"

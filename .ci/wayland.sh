#!/usr/bin/env bash
# Builds lumigrab's linux backend and runs its Wayland tests (tests/wayland)
# against a headless sway of its own, on the software renderer, with one
# output of a chosen mode. sway refuses to run as root, so the desktop (and
# the tests, which must reach its socket) run as a user of their own, with a
# private runtime directory, home and session bus. The tests run as the
# caller, reaching the desktop's socket by its full path; everything started
# here is stopped by its recorded process id.
#
#   bash .ci/wayland.sh              # build into build/wayland-ci, run the suite
#   bash .ci/wayland.sh -k monitors  # pytest arguments go to the suite
#   LUMIGRAB_WAYLAND_BUILD=DIR ...   # build into DIR instead
#   LUMIGRAB_SANITIZE=address,undefined bash .ci/wayland.sh   # the suite under sanitizers
#   LUMIGRAB_WAYLAND_RUN=script.py   # run a script on the desktop instead of the suite
set -euo pipefail

root=$(cd "$(dirname "${BASH_SOURCE[0]}")/.." && pwd)
build=${LUMIGRAB_WAYLAND_BUILD:-$root/build/wayland-ci}
source "$root/tests/python-env.sh"

# The backend needs no Wayland headers to build: it loads libwayland-client
# at run time. swaybg draws the tests' pictures, foot opens their windows,
# weston is a desktop without the wlroots protocols; grim is the benchmark's
# peer.
packages=(sway swaybg grim foot weston libwayland-client0 dbus util-linux gcc
          xdg-desktop-portal xdg-desktop-portal-wlr pipewire pipewire-bin wireplumber)
missing=()
for package in "${packages[@]}"; do
  dpkg-query -W -f='${Status}' "$package" 2>/dev/null | grep -q "install ok installed" ||
    missing+=("$package")
done
if ((${#missing[@]})); then
  export DEBIAN_FRONTEND=noninteractive
  apt-get update -qq
  apt-get install -y -qq --no-install-recommends "${missing[@]}" >/dev/null
fi
"$python" -m pip install --quiet --disable-pip-version-check -r "$root/tests/requirements.txt"

sanitize=${LUMIGRAB_SANITIZE:-}
cmake -S "$root" -B "$build" -G Ninja -DCMAKE_BUILD_TYPE=RelWithDebInfo -DLUMIGRAB_BACKEND=linux \
  -DLUMIGRAB_WERROR=ON -DLUMIGRAB_SANITIZE="$sanitize" -DPython_EXECUTABLE="$python" >/dev/null
# Python itself is not built with the sanitizers: their runtime goes in first.
sanitizer_env=()
if [[ $sanitize == *address* ]]; then
  sanitizer_env+=(LD_PRELOAD="$(gcc -print-file-name=libasan.so) $(gcc -print-file-name=libstdc++.so)"
                  ASAN_OPTIONS=detect_leaks=0)
fi
cmake --build "$build"

user=lumigrab-desktop
id -u "$user" >/dev/null 2>&1 ||
  useradd --system --no-create-home --home-dir /nonexistent --shell /usr/sbin/nologin "$user"
uid=$(id -u "$user")
gid=$(id -g "$user")

work=$(mktemp -d)
chmod 0755 "$work"
runtime=$work/runtime
home=$work/home
mkdir -p "$runtime" "$home"/{config,data,state,cache}
chmod 0700 "$runtime"
chown -R "$uid:$gid" "$runtime" "$home"
width=${LUMIGRAB_WAYLAND_WIDTH:-1280}
height=${LUMIGRAB_WAYLAND_HEIGHT:-720}
cat >"$home/sway.config" <<CONFIG
xwayland disable
output HEADLESS-1 mode ${width}x${height}@60Hz position 0 0 bg #000000 solid_color
output HEADLESS-2 mode 640x480@30Hz position ${width} 0 bg #000000 solid_color
default_border none
CONFIG

pids=()
teardown() {
  local pid
  for ((i = ${#pids[@]} - 1; i >= 0; i--)); do
    pid=${pids[i]}
    kill "$pid" 2>/dev/null || true
    wait "$pid" 2>/dev/null || true
  done
  rm -rf "$work"
}
trap teardown EXIT

# The desktop's private environment.
desktop_env=(PATH="$PATH" HOME="$home" XDG_RUNTIME_DIR="$runtime" XDG_CONFIG_HOME="$home/config"
             XDG_DATA_HOME="$home/data" XDG_STATE_HOME="$home/state" XDG_CACHE_HOME="$home/cache"
             XDG_CURRENT_DESKTOP=sway PYTHONDONTWRITEBYTECODE=1)
# Becomes a command run as the desktop's user, in the desktop's environment:
# started in the background (`as_user ... &`), the process id in $! is the
# command's own, so that teardown ends it and not a shell around it; in the
# foreground it runs in a subshell, `(as_user ...)`.
as_user() {
  exec setpriv --reuid="$uid" --regid="$gid" --clear-groups env -i "${desktop_env[@]}" \
    ${DBUS_SESSION_BUS_ADDRESS:+DBUS_SESSION_BUS_ADDRESS="$DBUS_SESSION_BUS_ADDRESS"} "$@"
}
# The same, as the caller.
in_desktop() {
  exec env -i "${desktop_env[@]}" \
    ${DBUS_SESSION_BUS_ADDRESS:+DBUS_SESSION_BUS_ADDRESS="$DBUS_SESSION_BUS_ADDRESS"} "$@"
}

# Waits up to five seconds for `test` to succeed.
await() {
  local what=$1
  shift
  for _ in $(seq 100); do
    "$@" && return 0
    sleep 0.05
  done
  echo "$what did not start" >&2
  return 1
}

# The session bus, which also lets the tests (another user) in, and starts
# no service by itself: each one is started here, in its turn.
if command -v dbus-daemon >/dev/null; then
  bus_file=$work/bus
  cat >"$work/bus.conf" <<CONFIG
<!DOCTYPE busconfig PUBLIC "-//freedesktop//DTD D-Bus Bus Configuration 1.0//EN"
 "http://www.freedesktop.org/standards/dbus/1.0/busconfig.dtd">
<busconfig>
  <type>session</type>
  <listen>unix:dir=$runtime</listen>
  <auth>EXTERNAL</auth>
  <policy context="default">
    <allow user="*"/>
    <allow send_destination="*" eavesdrop="true"/>
    <allow eavesdrop="true"/>
    <allow own="*"/>
  </policy>
</busconfig>
CONFIG
  as_user dbus-daemon --config-file="$work/bus.conf" --nofork --nopidfile --print-address=3 \
    3>"$bus_file" >/dev/null 2>&1 &
  pids+=($!)
  await "the session bus" test -s "$bus_file"
  DBUS_SESSION_BUS_ADDRESS=$(head -n1 "$bus_file")
  export DBUS_SESSION_BUS_ADDRESS
fi

# sway, headless on the software renderer, with two outputs.
as_user env WLR_BACKENDS=headless WLR_HEADLESS_OUTPUTS=2 WLR_RENDERER=pixman WLR_LIBINPUT_NO_DEVICES=1 \
  sway -c "$home/sway.config" >"$work/sway.log" 2>&1 &
pids+=($!)
sway_ready() {
  local socket
  socket=$(find "$runtime" -maxdepth 1 -name 'sway-ipc.*.sock' -print -quit)
  [[ -n $socket && -S $runtime/wayland-1 ]] || return 1
  SWAYSOCK=$socket swaymsg -t get_outputs >/dev/null 2>&1
}
if ! await "sway" sway_ready; then
  cat "$work/sway.log" >&2
  exit 1
fi
export SWAYSOCK
SWAYSOCK=$(find "$runtime" -maxdepth 1 -name 'sway-ipc.*.sock' -print -quit)
swaymsg -t get_outputs | grep -E '^Output|Current mode' || true

# The ScreenCast portal: PipeWire, its session manager (without which a stream
# stays paused), the wlroots portal backend and the portal itself. The
# backend's chooser answers what the tests write into $answer: an output's
# name, or nothing (the user cancelled). The backend is preloaded with the test
# harness's shim (tests/wayland/shim) that lets it stream from shared memory
# under the software renderer.
shim=$work/dmabuf_event.so
gcc -shared -fPIC -O2 -Wall -Werror -o "$shim" "$root/tests/wayland/shim/dmabuf_event.c" -ldl
chmod 0755 "$shim"
mkdir -p "$home/config/xdg-desktop-portal-wlr"
answer=$work/portal-answer
echo HEADLESS-1 >"$answer"
chmod 0666 "$answer"
cat >"$work/chooser" <<CHOOSER
#!/bin/sh
cat >/dev/null
read -r output <"$answer" && [ -n "\$output" ] && echo "\$output"
CHOOSER
chmod 0755 "$work/chooser"
cat >"$home/config/xdg-desktop-portal-wlr/config" <<CONFIG
[screencast]
chooser_type=dmenu
chooser_cmd=$work/chooser
CONFIG
chown -R "$uid:$gid" "$home/config"
as_user pipewire >"$work/pipewire.log" 2>&1 &
pids+=($!)
await "pipewire" test -S "$runtime/pipewire-0"
as_user wireplumber >"$work/wireplumber.log" 2>&1 &
pids+=($!)
await "wireplumber" sh -c "XDG_RUNTIME_DIR='$runtime' pw-cli ls Node 2>/dev/null | grep -q ."
# The portal tells its callers apart by /proc/PID/root, which only the
# caller's own user (or root) may read: the portal's side runs as the tests do.
in_desktop /usr/libexec/xdg-permission-store >"$work/permission-store.log" 2>&1 &
pids+=($!)
# The backend comes back when a test kills it (by the id in $backend_pid).
backend_pid=$work/portal-backend.pid
(
  trap 'kill "$child" 2>/dev/null; wait "$child" 2>/dev/null; exit 0' TERM
  while :; do
    in_desktop env WAYLAND_DISPLAY=wayland-1 LD_PRELOAD="$shim" \
      /usr/libexec/xdg-desktop-portal-wlr >>"$work/portal-wlr.log" 2>&1 &
    child=$!
    echo "$child" >"$backend_pid"
    wait "$child" || true
  done
) &
pids+=($!)
# The portal reads what its backend offers as it starts: the backend first.
backend_ready() {
  (as_user dbus-send --session --print-reply --dest=org.freedesktop.DBus /org/freedesktop/DBus \
    org.freedesktop.DBus.NameHasOwner string:org.freedesktop.impl.portal.desktop.wlr) 2>/dev/null |
    grep -q "boolean true"
}
await "the wlroots portal backend" backend_ready
in_desktop /usr/libexec/xdg-desktop-portal >"$work/portal.log" 2>&1 &
pids+=($!)
portal_ready() {
  (as_user dbus-send --session --print-reply --dest=org.freedesktop.portal.Desktop \
    /org/freedesktop/portal/desktop org.freedesktop.DBus.Properties.Get \
    string:org.freedesktop.portal.ScreenCast string:AvailableSourceTypes) 2>/dev/null |
    grep -q "uint32 [1-9]"
}
await "the ScreenCast portal" portal_ready

cd "$root"
if [[ -n ${LUMIGRAB_WAYLAND_RUN:-} ]]; then
  ANSWER_FILE=$answer WAYLAND_DISPLAY=$runtime/wayland-1 XDG_RUNTIME_DIR=$runtime PYTHONPATH="$build" "$python" $LUMIGRAB_WAYLAND_RUN
  exit
fi
status=0
WAYLAND_DISPLAY=$runtime/wayland-1 XDG_RUNTIME_DIR=$runtime LUMIGRAB_WAYLAND_TESTS=1 \
  LUMIGRAB_WAYLAND_USER="$uid:$gid" LUMIGRAB_PORTAL_ANSWER="$answer" \
  LUMIGRAB_PORTAL_BACKEND_PID="$backend_pid" \
  LUMIGRAB_WAYLAND_WIDTH="$width" LUMIGRAB_WAYLAND_HEIGHT="$height" \
  PYTHONPATH="$build${PYTHONPATH:+:$PYTHONPATH}" env "${sanitizer_env[@]}" "$python" -m pytest -q -p no:cacheprovider --confcutdir=tests/wayland tests/wayland "$@" ||
  status=$?
if ((status != 0)); then
  echo "--- sway's log" >&2
  tail -n 40 "$work/sway.log" >&2
fi
exit "$status"

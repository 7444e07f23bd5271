#!/usr/bin/env bash
# The README on a fresh, minimal Debian 12: a root made by debootstrap
# (--variant=minbase), into which the README's commands run as written, taken
# from its section "The two commands":
#   1. its apt-get line (answered yes);
#   2. the main job, with no screen: it must stop with a message that says how
#      to run it (no traceback, no image);
#   3. the main job again under xvfb-run, which must save a real frame;
#   4. the tests, which must pass without printing a fault report.
# Needs root (chroot, mounts) and the network (Debian's archive, PyPI).
#
#   bash .ci/fresh-debian.sh
#   LUMIGRAB_DEBIAN_BASE=DIR ...   # keep the debootstrapped base in DIR (default
#                                  # build/debian12-base), made once and reused
set -euo pipefail

repo=$(cd "$(dirname "${BASH_SOURCE[0]}")/.." && pwd)
base=${LUMIGRAB_DEBIAN_BASE:-$repo/build/debian12-base}
mirror=http://deb.debian.org/debian

if ! command -v debootstrap >/dev/null; then
  DEBIAN_FRONTEND=noninteractive apt-get install -y -qq debootstrap >/dev/null
fi
if [[ ! -x $base/usr/bin/apt-get ]]; then
  rm -rf "$base"
  echo "== debootstrap bookworm into $base"
  debootstrap --variant=minbase bookworm "$base" "$mirror" >/dev/null
fi

root=$(mktemp -d /tmp/lumigrab-fresh-debian.XXXXXX)
cleanup() {
  for mount in dev/shm dev/pts dev proc; do
    mountpoint -q "$root/$mount" && umount -l "$root/$mount"
  done
  rm -rf --one-file-system "$root"
}
trap cleanup EXIT
cp -a "$base/." "$root/"
mount -t proc proc "$root/proc"
mount --rbind /dev "$root/dev"
cp /etc/resolv.conf "$root/etc/resolv.conf"
# The host's trusted certificates too, for networks whose proxy re-signs TLS:
# pip inside the root reaches PyPI as the host does.
ca_env=()
if [[ -f /etc/ssl/certs/ca-certificates.crt ]]; then
  cp /etc/ssl/certs/ca-certificates.crt "$root/etc/host-ca-certificates.crt"
  ca_env=(PIP_CERT=/etc/host-ca-certificates.crt SSL_CERT_FILE=/etc/host-ca-certificates.crt)
fi
printf 'APT::Get::Assume-Yes "true";\n' >"$root/etc/apt/apt.conf.d/90yes"

# The repository as it stands (tracked and new files), without build products.
mkdir -p "$root/root/lumigrab"
(cd "$repo" && git ls-files -z --cached --others --exclude-standard |
  tar --null -T - -cf -) | tar -xf - -C "$root/root/lumigrab"

# The fenced commands of the README's section "The two commands", in order.
mapfile -t commands < <(awk '
  /^## / { inside = ($0 == "## The two commands") }
  inside && /^```sh$/ { block = 1; next }
  inside && /^```$/ { block = 0; next }
  inside && block { print }
' "$repo/README.md")
if ((${#commands[@]} != 3)); then
  echo "expected the apt-get line and the two commands in the README, got:" >&2
  printf '  %s\n' "${commands[@]}" >&2
  exit 1
fi
packages_command=${commands[0]}
main_command=${commands[1]}
test_command=${commands[2]}

in_root() {
  chroot "$root" /usr/bin/env -i HOME=/root PATH=/usr/local/sbin:/usr/local/bin:/usr/sbin:/usr/bin:/sbin:/bin \
    LANG=C.UTF-8 DEBIAN_FRONTEND=noninteractive "${ca_env[@]}" /bin/bash -c "cd /root/lumigrab && $1"
}
fail() { echo "fresh Debian: $*" >&2; exit 1; }

echo "== $packages_command"
in_root "apt-get update -qq && $packages_command -qq >/dev/null"

echo "== $main_command   (no screen)"
set +e
output=$(in_root "$main_command" 2>&1)
status=$?
set -e
last=$(tail -n 1 <<<"$output")
[[ $output == *"Successfully installed"*lumigrab* ]] || { echo "$output"; fail "the install failed"; }
echo "$last"
((status != 0)) || fail "the main job without a screen succeeded"
[[ $output != *Traceback* ]] || fail "the main job without a screen printed a traceback: $output"
[[ $last == grab:*"run under xvfb-run" ]] || fail "unexpected last line: $last"
[[ ! -e $root/root/lumigrab/capture.png ]] || fail "an image was saved without a screen"

echo "== under xvfb-run"
in_root "apt-get install -qq xvfb >/dev/null"
xvfb_command=${main_command##*&& }
output=$(in_root "xvfb-run -a ${xvfb_command}" 2>&1) || fail "under xvfb-run: $output"
echo "$output"
[[ $output == "saved a "*"frame of monitor"* ]] || fail "unexpected output under xvfb-run"

echo "== $test_command"
output=$(in_root "$test_command" 2>&1) || { echo "$output"; fail "the tests failed"; }
tail -n 3 <<<"$output"
[[ $output != *panicked* ]] || fail "the tests printed fault reports: $output"

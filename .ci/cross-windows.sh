#!/usr/bin/env bash
# Cross-builds the Python-free core with the real Windows backend, and the probe
# program that runs it, with Debian's mingw-w64. Unresolved imports fail at
# link time; the probe's import list is then checked for DLLs that Windows
# does not ship (a mingw runtime DLL would keep the module from loading).
#
# Where Wine is installed (Debian package wine64; xvfb for a display), the
# probe is then run under it.
#
#   .ci/cross-windows.sh            build into build/mingw
#   LUMIGRAB_CROSS_BUILD=DIR ...    build into DIR instead
#   LUMIGRAB_CROSS_RUN=0 ...        do not run the probe even where Wine is
set -euo pipefail

repo=$(cd "$(dirname "${BASH_SOURCE[0]}")/.." && pwd)
build=${LUMIGRAB_CROSS_BUILD:-$repo/build/mingw}
triple=x86_64-w64-mingw32

for tool in "$triple-g++-posix" "$triple-objdump" cmake; do
  if ! command -v "$tool" >/dev/null; then
    echo "cross-windows: $tool not found (apt-get install -y g++-mingw-w64-x86-64-posix cmake)" >&2
    exit 1
  fi
done

generator=()
if command -v ninja >/dev/null; then
  generator=(-G Ninja)
fi

cmake -S "$repo" -B "$build" "${generator[@]}" \
  -DCMAKE_TOOLCHAIN_FILE="$repo/cmake/mingw-w64.cmake" \
  -DCMAKE_BUILD_TYPE=Release \
  -DLUMIGRAB_BACKEND=windows \
  -DLUMIGRAB_PYTHON=OFF \
  -DLUMIGRAB_WERROR=ON \
  -DLUMIGRAB_WINDOWS_PROBE=ON
cmake --build "$build" --target lumigrab_core lumigrab_probe

probe=$build/lumigrab_probe.exe
mapfile -t imports < <("$triple-objdump" -p "$probe" | sed -n 's/^[[:space:]]*DLL Name: //p')
if [ "${#imports[@]}" -eq 0 ]; then
  echo "cross-windows: no import table found in $probe" >&2
  exit 1
fi

# DLLs every 64-bit Windows 10 has in System32, and the API sets it resolves.
foreign=()
for dll in "${imports[@]}"; do
  case "${dll,,}" in
    kernel32.dll | user32.dll | ole32.dll | oleaut32.dll | combase.dll | d3d11.dll | dxgi.dll \
      | msvcrt.dll | ucrtbase.dll | ntdll.dll | api-ms-win-*.dll) ;;
    *) foreign+=("$dll") ;;
  esac
done

echo
echo "built:"
for artifact in "$build/liblumigrab_core.a" "$probe"; do
  printf '  %s (%s bytes)\n' "${artifact#"$repo"/}" "$(stat -c %s "$artifact")"
done
echo "imports of ${probe#"$repo"/}:"
printf '  %s\n' "${imports[@]}"

if [ "${#foreign[@]}" -ne 0 ]; then
  echo "cross-windows: the probe imports DLLs that are not part of Windows: ${foreign[*]}" >&2
  exit 1
fi

wine=$(command -v wine64 || true)
if [ -z "$wine" ] && [ -x /usr/lib/wine/wine64 ]; then
  wine=/usr/lib/wine/wine64
fi
if [ -n "$wine" ] && [ "${LUMIGRAB_CROSS_RUN:-1}" != 0 ]; then
  echo
  echo "running ${probe#"$repo"/} under $wine:"
  display=()
  if command -v xvfb-run >/dev/null; then
    display=(xvfb-run -a)
  fi
  # A prefix of the build's own, so that nothing of the user's Wine setup is touched.
  if ! WINEPREFIX="$build/wineprefix" WINEDEBUG=-all timeout 600 \
    "${display[@]}" "$wine" "$probe"; then
    echo "cross-windows: the probe failed under Wine" >&2
    exit 1
  fi
fi
echo "cross-windows: ok"

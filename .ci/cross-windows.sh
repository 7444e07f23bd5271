#!/usr/bin/env bash
# Cross-builds for 64-bit Windows with Debian's mingw-w64, warnings as errors:
# the Python-free core with the real Windows backend, the probe, the Windows
# test programs (tests/windows) and the whole extension module (against this
# machine's CPython 3.11 headers, see cmake/windows-python.cmake). Unresolved
# symbols fail at link time. Then the import lists are checked:
#   - every program and the module import only DLLs that Windows ships (a mingw
#     runtime DLL would keep them from loading), and the module python311.dll;
#   - nothing is imported that Windows 10 1803 lacks or that only newer
#     systems have: CoreMessaging and the Direct3D interop export are looked
#     up at run time;
#   - the module imports from python311.dll exactly what python311.def lists,
#     and exports PyInit_lumigrab alone.
# .ci/wine.sh runs the programs under Wine.
#
#   .ci/cross-windows.sh            build into build/mingw
#   LUMIGRAB_CROSS_BUILD=DIR ...    build into DIR instead
set -euo pipefail

repo=$(cd "$(dirname "${BASH_SOURCE[0]}")/.." && pwd)
build=${LUMIGRAB_CROSS_BUILD:-$repo/build/mingw}
triple=x86_64-w64-mingw32

for tool in "$triple-g++-posix" "$triple-objdump" "$triple-dlltool" cmake python3; do
  if ! command -v "$tool" >/dev/null; then
    echo "cross-windows: $tool not found (apt-get install -y g++-mingw-w64-x86-64-posix cmake)" >&2
    exit 1
  fi
done
python_include=$(python3 -c 'import sys, sysconfig
assert sys.version_info[:2] == (3, 11), "CPython 3.11 is needed for its headers"
print(sysconfig.get_paths()["include"])')

generator=()
if command -v ninja >/dev/null; then
  generator=(-G Ninja)
fi

cmake -S "$repo" -B "$build" "${generator[@]}" \
  -DCMAKE_TOOLCHAIN_FILE="$repo/cmake/mingw-w64.cmake" \
  -DCMAKE_BUILD_TYPE=Release \
  -DLUMIGRAB_BACKEND=windows \
  -DLUMIGRAB_WERROR=ON \
  -DLUMIGRAB_WINDOWS_PROBE=ON \
  -DLUMIGRAB_WINDOWS_TESTS=ON \
  -DLUMIGRAB_PYTHON=ON \
  -DLUMIGRAB_PYTHON_WINDOWS_CROSS=ON \
  -DLUMIGRAB_PYTHON_INCLUDE_DIR="$python_include"
cmake --build "$build"

module=$build/lumigrab.cp311-win_amd64.pyd
binaries=("$build/lumigrab_probe.exe" "$build/lumigrab_windows_tests.exe"
  "$build/lumigrab_window_host.exe" "$build/component/Windows.Graphics.Capture.dll" "$module")

# "DLL symbol" for every import of a binary, the DLL's name in lower case.
imports_of() {
  "$triple-objdump" -p "$1" | awk '
    /^\tDLL Name: / { dll = tolower($3); print dll; next }
    /^\t[0-9a-f]+\t +[0-9]+  / && dll != "" { print dll, $3; next }
    /^$/ { dll = "" }'
}

failures=0
fail() {
  echo "cross-windows: $*" >&2
  failures=$((failures + 1))
}

echo
echo "built:"
for binary in "$build/liblumigrab_core.a" "${binaries[@]}"; do
  printf '  %s (%s bytes)\n' "${binary#"$repo"/}" "$(stat -c %s "$binary")"
done

for binary in "${binaries[@]}"; do
  name=${binary#"$build"/}
  mapfile -t imports < <(imports_of "$binary")
  mapfile -t dlls < <(printf '%s\n' "${imports[@]}" | awk 'NF == 1')
  if [ "${#dlls[@]}" -eq 0 ]; then
    fail "no import table found in $name"
    continue
  fi
  echo "imports of $name: ${dlls[*]}"
  for dll in "${dlls[@]}"; do
    # DLLs every 64-bit Windows 10 has in System32, and the API sets it
    # resolves; the module is loaded by python311.dll's process.
    case "$dll" in
      kernel32.dll | user32.dll | ole32.dll | oleaut32.dll | combase.dll | d3d11.dll | dxgi.dll \
        | msvcrt.dll | ntdll.dll | api-ms-win-core-winrt-l1-1-0.dll \
        | api-ms-win-core-winrt-string-l1-1-0.dll) ;;
      python311.dll) [ "$binary" = "$module" ] || fail "$name imports python311.dll" ;;
      *) fail "$name imports $dll, which is not part of Windows" ;;
    esac
  done
  for import in "${imports[@]}"; do
    case "$import" in
      "d3d11.dll "* | "dxgi.dll "*)
        [ "$import" = "d3d11.dll D3D11CreateDevice" ] \
          || fail "$name imports ${import/ /!}, which must be looked up at run time" ;;
    esac
  done
done

# The module's CPython imports against the .def, both ways.
def=$repo/cmake/windows-python/python311.def
used=$(imports_of "$module" | awk '$1 == "python311.dll" && NF == 2 { print $2 }' | sort)
listed=$(awk '/^EXPORTS/ { on = 1; next } on && NF && $1 !~ /^;/ { print $1 }' "$def" | sort)
if [ "$used" != "$listed" ]; then
  fail "python311.def does not list exactly the CPython symbols the module uses:"
  diff <(echo "$listed") <(echo "$used") | sed -n 's/^</  listed, unused:/p; s/^>/  used, unlisted:/p' >&2
fi
exports=$("$triple-objdump" -p "$module" | sed -n '/\[Ordinal\/Name Pointer\] Table/,/^$/p' \
  | awk 'NR > 1 && /\[/ { print $NF }')
if [ "$exports" != "PyInit_lumigrab" ]; then
  fail "the module exports $(echo "$exports" | tr '\n' ' ')rather than PyInit_lumigrab alone"
fi

if [ "$failures" -ne 0 ]; then
  exit 1
fi
echo "cross-windows: ok"

#!/usr/bin/env bash
# Builds the test build of lumigrab (simulated desktop with its control
# functions exported) and runs the native and Python test suites against it.
#
#   bash tests/run.sh                 # the whole suite
#   LUMIGRAB_SANITIZE=address,undefined bash tests/run.sh
#   LUMIGRAB_SANITIZE=thread bash tests/run.sh   # native tests only
#   CXX=clang++ bash tests/run.sh     # another compiler (build dir build/test-clang++)
set -euo pipefail

root=$(cd "$(dirname "${BASH_SOURCE[0]}")/.." && pwd)
source "$root/tests/python-env.sh"
sanitize=${LUMIGRAB_SANITIZE:-}
compiler=${CXX:+-$(basename "$CXX")}
build=${LUMIGRAB_BUILD_DIR:-$root/build/test${sanitize:+-${sanitize//,/-}}$compiler}

"$python" -m pip install --quiet --disable-pip-version-check -r "$root/tests/requirements.txt"

cmake_args=(-S "$root" -B "$build" -G Ninja -DCMAKE_BUILD_TYPE=RelWithDebInfo
            -DLUMIGRAB_TEST_HOOKS=ON -DLUMIGRAB_NATIVE_TESTS=ON -DLUMIGRAB_WERROR=ON
            -DLUMIGRAB_SANITIZE="$sanitize" -DPython_EXECUTABLE="$python")
cmake "${cmake_args[@]}" >/dev/null
cmake --build "$build"

echo "== native tests ($build)"
# The fault reports that tests provoke on purpose are checked and kept in this
# file; it is shown when the native tests fail or crash.
held_stderr=$build/native-tests-stderr.log
: >"$held_stderr"
if ! LUMIGRAB_HELD_STDERR=$held_stderr "$build/lumigrab_native_tests"; then
  echo "== standard error held back from the native tests ($held_stderr):" >&2
  tail -n 200 "$held_stderr" >&2
  exit 1
fi

if [[ $sanitize == thread ]]; then
  # CPython itself is not built for ThreadSanitizer: the threaded logic is
  # driven from the native tests, and the module is only built.
  exit 0
fi

echo "== Python tests ($build)"
env_args=()
if [[ $sanitize == *address* ]]; then
  # The interpreter is not instrumented, so the runtime must come first; its
  # own allocations at exit are not ours to report.
  env_args+=(LD_PRELOAD="$(gcc -print-file-name=libasan.so) $(gcc -print-file-name=libstdc++.so)"
             ASAN_OPTIONS=detect_leaks=0
             UBSAN_OPTIONS=print_stacktrace=1:halt_on_error=1)
elif [[ $sanitize == *undefined* ]]; then
  env_args+=(UBSAN_OPTIONS=print_stacktrace=1:halt_on_error=1)
fi
cd "$root"
env "${env_args[@]}" PYTHONPATH="$build${PYTHONPATH:+:$PYTHONPATH}" \
  "$python" -m pytest -q -p no:cacheprovider tests "$@"

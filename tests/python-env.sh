# Sourced by the test scripts: sets `python` to the interpreter to run, with
# its scripts directory (cmake, ninja, pytest from tests/requirements.txt)
# first on PATH.
#
# PYTHON names one to use as it is. Otherwise an active virtual environment is
# used, else the repository's own .venv (the one the README's first command
# makes), created here when missing: Debian's Python refuses packages
# installed outside a virtual environment (PEP 668).
if [[ -n ${PYTHON:-} ]]; then
  python=$(command -v "$PYTHON")
elif [[ -n ${VIRTUAL_ENV:-} ]]; then
  python=$(command -v python3)
else
  if [[ ! -x $root/.venv/bin/python ]]; then
    echo "== making the virtual environment $root/.venv"
    python3 -m venv "$root/.venv"
  fi
  python=$root/.venv/bin/python
fi
PATH="$(dirname "$python"):$PATH"
export PATH

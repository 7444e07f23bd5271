"""The x11 backend where the X server or the libraries are missing: every entry
point that needs the server says which display it tried and what to do.

Each case runs in a process of its own, since a process keeps its first
connection (and its loaded libraries) for good."""

import json
import os
import shutil
import subprocess
import sys
import textwrap

import pytest

import lumigrab

WHAT_TO_DO = "; set DISPLAY to the display of a running X server, or run under xvfb-run"

# Calls every entry point that needs the server and prints what each raised.
PROBE = textwrap.dedent(
    """
    import json, sys
    import lumigrab

    def outcome(call):
        try:
            call()
            return "returned"
        except BaseException as error:
            return f"{type(error).__name__}: {error}"

    calls = {
        "enumerate_monitors": lumigrab.enumerate_monitors,
        "primary_monitor": lumigrab.primary_monitor,
        "Monitor()": lumigrab.Monitor,
        "Monitor(2)": lambda: lumigrab.Monitor(2),
        "Monitor(0)": lambda: lumigrab.Monitor(0),
        "enumerate_windows": lumigrab.enumerate_windows,
        "foreground_window": lumigrab.foreground_window,
        "Window": lambda: lumigrab.Window("a title"),
    }
    print(json.dumps({name: outcome(call) for name, call in calls.items()}))
    """
)


def run_python(code, env, stdin=None):
    environment = {key: value for key, value in os.environ.items() if key != "DISPLAY"}
    environment.update(env)
    return subprocess.run([sys.executable, "-c", code], env=environment, input=stdin,
                          capture_output=True, text=True, timeout=60)


def probe(**env):
    done = run_python(PROBE, env)
    assert done.returncode == 0, done.stderr
    return json.loads(done.stdout)


def expected_outcomes(reason):
    return {
        "enumerate_monitors":
            f"RuntimeError: Windows API error: The device is not connected. (0x8007048F): {reason}",
        "primary_monitor": f"RuntimeError: Failed to find monitor: {reason}",
        "Monitor()": f"RuntimeError: Failed to find monitor: {reason}",
        "Monitor(2)":
            f"RuntimeError: Windows API error: The device is not connected. (0x8007048F): {reason}",
        # Refused before any monitor is looked for: still the fault it always is.
        "Monitor(0)": "PanicException: called `Result::unwrap()` on an `Err` value: IndexError",
        "enumerate_windows":
            f"RuntimeError: Windows API error: The device is not connected. (0x8007048F): {reason}",
        "foreground_window": f"RuntimeError: No active window found: {reason}",
        "Window": f"RuntimeError: Failed to find window with name 'a title': {reason}",
    }


@pytest.fixture
def private_server():
    """An Xvfb of the test's own, which the test may kill: its display name."""
    read_end, write_end = os.pipe()
    server = subprocess.Popen(["Xvfb", "-displayfd", str(write_end), "-nolisten", "tcp",
                               "-screen", "0", "640x480x24"], pass_fds=(write_end,),
                              stdout=subprocess.DEVNULL, stderr=subprocess.DEVNULL)
    os.close(write_end)
    with os.fdopen(read_end) as numbers:
        display = ":" + numbers.readline().strip()
    yield display, server
    server.kill()
    server.wait()


class TestNoDisplay:
    def test_without_display_every_entry_point_says_to_set_it(self):
        reason = "DISPLAY is not set, so there is no X display to connect to" + WHAT_TO_DO
        assert probe() == expected_outcomes(reason)
        assert probe(DISPLAY="") == expected_outcomes(reason)

    def test_a_display_where_no_server_runs_is_named(self, private_server):
        display, server = private_server
        server.kill()
        server.wait()
        reason = (f'cannot connect to X display "{display}": no X server runs there, '
                  "or it refused this client" + WHAT_TO_DO)
        assert probe(DISPLAY=display) == expected_outcomes(reason)

    def test_a_malformed_display_name_or_missing_screen_is_named(self):
        reason = 'DISPLAY "nonsense" is not the name of an X display' + WHAT_TO_DO
        assert probe(DISPLAY="nonsense") == expected_outcomes(reason)
        display = os.environ["DISPLAY"].split(".")[0] + ".7"
        reason = f'X display "{display}" has no such screen' + WHAT_TO_DO
        assert probe(DISPLAY=display) == expected_outcomes(reason)

    def test_a_server_that_went_away_is_reported_by_start_and_the_queries(self, private_server):
        display, server = private_server
        code = textwrap.dedent(
            """
            import lumigrab
            monitor = lumigrab.primary_monitor()
            capture = lumigrab.Capture()
            print("connected", flush=True)
            input()  # the server is killed meanwhile
            for call in (lambda: capture.start(monitor), lambda: monitor.width,
                         lambda: lumigrab.Monitor()):
                try:
                    call()
                except BaseException as error:
                    print(f"{type(error).__name__}: {error}")
            """
        )
        child = subprocess.Popen([sys.executable, "-c", code], env={**os.environ, "DISPLAY": display},
                                 stdin=subprocess.PIPE, stdout=subprocess.PIPE,
                                 stderr=subprocess.PIPE, text=True)
        if child.stdout.readline() != "connected\n":
            child.kill()
            pytest.fail("the child did not connect: " + child.communicate()[1])
        server.kill()
        server.wait()
        out, err = child.communicate("\n", timeout=60)
        reason = (f'cannot connect to X display "{display}": no X server runs there, '
                  "or it refused this client" + WHAT_TO_DO)
        assert out.splitlines() == [
            "RuntimeError: Invalid capture target. " + reason[0].upper() + reason[1:] + ".",
            f"RuntimeError: Failed to get monitor info: {reason}",
            f"RuntimeError: Failed to find monitor: {reason}",
        ], err


def hide_library_shim(tmp_path):
    """A preload library whose dlopen finds no library of the name in
    LUMIGRAB_TEST_HIDE, as on a system where it is not installed."""
    compiler = shutil.which("cc") or shutil.which("gcc")
    if compiler is None:
        pytest.skip("no C compiler to build the preload library")
    source = tmp_path / "hide.c"
    source.write_text(textwrap.dedent(
        """
        #define _GNU_SOURCE
        #include <dlfcn.h>
        #include <stdlib.h>
        #include <string.h>

        void* dlopen(const char* file, int mode) {
            void* (*real)(const char*, int) = (void* (*)(const char*, int))dlsym(RTLD_NEXT, "dlopen");
            const char* hidden = getenv("LUMIGRAB_TEST_HIDE");
            if (file != NULL && hidden != NULL && strcmp(file, hidden) == 0) {
                return real("/nonexistent/lib/libxcb-hidden.so", mode);
            }
            return real(file, mode);
        }
        """))
    library = tmp_path / "hide.so"
    subprocess.run([compiler, "-shared", "-fPIC", "-o", str(library), str(source), "-ldl"],
                   check=True)
    return library


class TestLibraries:
    def test_the_module_needs_no_x_library_to_load(self):
        needed = subprocess.run(["readelf", "-d", lumigrab.__file__], capture_output=True,
                                text=True, check=True).stdout
        assert "(NEEDED)" in needed and "xcb" not in needed

    @pytest.mark.parametrize("file, package", [("libxcb.so.1", "libxcb1"),
                                               ("libxcb-damage.so.0", "libxcb-damage0")])
    def test_a_missing_library_is_named_with_its_package(self, tmp_path, file, package):
        shim = hide_library_shim(tmp_path)
        reason = (f"the X11 library {file} cannot be loaded (/nonexistent/lib/libxcb-hidden.so: "
                  "cannot open shared object file: No such file or directory); "
                  f"install Debian's {package} package (or your system's equivalent)")
        env = {"LD_PRELOAD": str(shim), "LUMIGRAB_TEST_HIDE": file,
               "DISPLAY": os.environ["DISPLAY"]}
        done = run_python(PROBE, env)
        assert done.returncode == 0, done.stderr
        assert json.loads(done.stdout) == expected_outcomes(reason)

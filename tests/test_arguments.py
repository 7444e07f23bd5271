"""How argument problems and faults reach Python."""

import pytest

import lumigrab


def message(excinfo):
    return str(excinfo.value)


class TestArgumentMatching:
    @pytest.mark.parametrize(
        "call, text",
        [
            (lambda: lumigrab.Window(), "Window.__new__() missing 1 required positional argument: 'name'"),
            (lambda: lumigrab.Monitor(1, 2), "Monitor.__new__() takes from 0 to 1 positional arguments but 2 were given"),
            (lambda: lumigrab.Capture(1), "Capture.__new__() takes 0 positional arguments but 1 was given"),
            (lambda: lumigrab.Capture(x=1), "Capture.__new__() got an unexpected keyword argument 'x'"),
            (lambda: lumigrab.Window("a", "b"), "Window.__new__() takes 1 positional arguments but 2 were given"),
            (lambda: lumigrab.Window("a", name="b"), "Window.__new__() got multiple values for argument 'name'"),
            (lambda: lumigrab.Capture().start(), "Capture.start() missing 1 required positional argument: 'capture_target'"),
            (lambda: lumigrab.Capture().start(1, 2, 3), "Capture.start() takes from 1 to 2 positional arguments but 3 were given"),
            (lambda: lumigrab.Capture().start(await_first_frame=True), "Capture.start() missing 1 required positional argument: 'capture_target'"),
        ],
    )
    def test_messages(self, call, text):
        with pytest.raises(TypeError) as excinfo:
            call()
        assert type(excinfo.value) is TypeError
        assert message(excinfo) == text

    def test_keywords_are_checked_in_the_order_given(self):
        with pytest.raises(TypeError) as excinfo:
            lumigrab.Capture().start(1, bogus=1, capture_target=2)
        assert message(excinfo) == "Capture.start() got an unexpected keyword argument 'bogus'"
        with pytest.raises(TypeError) as excinfo:
            lumigrab.Capture().start(1, capture_target=2, bogus=1)
        assert message(excinfo) == "Capture.start() got multiple values for argument 'capture_target'"

    def test_surplus_positionals_are_reported_before_keywords(self):
        with pytest.raises(TypeError) as excinfo:
            lumigrab.Monitor(1, 2, bogus=3)
        assert message(excinfo) == "Monitor.__new__() takes from 0 to 1 positional arguments but 2 were given"

    def test_functions_without_arguments_are_refused_by_cpython(self):
        with pytest.raises(TypeError) as excinfo:
            lumigrab.enumerate_monitors(1)
        assert message(excinfo) == "lumigrab.enumerate_monitors() takes no arguments (1 given)"


class TestArgumentConversion:
    def test_window_name_must_be_a_string(self):
        with pytest.raises(TypeError) as excinfo:
            lumigrab.Window(5)
        assert message(excinfo) == "argument 'name': 'int' object cannot be converted to 'PyString'"
        assert excinfo.value.__cause__ is None

    def test_unencodable_window_name_passes_its_own_error(self):
        with pytest.raises(UnicodeEncodeError):
            lumigrab.Window("\ud800")

    @pytest.mark.parametrize("value", ["1", 1.0, [1]])
    def test_monitor_id_must_be_an_integer(self, value):
        with pytest.raises(TypeError) as excinfo:
            lumigrab.Monitor(value)
        assert message(excinfo).startswith("argument 'id': ")

    @pytest.mark.parametrize("value", [-1, 2**64])
    def test_monitor_id_out_of_range_is_overflow(self, value):
        with pytest.raises(OverflowError):
            lumigrab.Monitor(value)

    def test_capture_target_of_the_wrong_type(self):
        with pytest.raises(TypeError) as excinfo:
            lumigrab.Capture().start(5)
        assert message(excinfo) == (
            "argument 'capture_target': failed to extract enum CaptureTarget ('Monitor | Window')\n"
            "- variant Monitor (Monitor): TypeError: failed to extract field CaptureTarget::Monitor.0, "
            "caused by TypeError: 'int' object cannot be converted to 'Monitor'\n"
            "- variant Window (Window): TypeError: failed to extract field CaptureTarget::Window.0, "
            "caused by TypeError: 'int' object cannot be converted to 'Window'"
        )

    @pytest.mark.parametrize("value, name", [(None, "NoneType"), ("x", "str"), ([], "list")])
    def test_capture_target_names_the_type_in_both_reasons(self, value, name):
        with pytest.raises(TypeError) as excinfo:
            lumigrab.Capture().start(value)
        assert message(excinfo).count(f"'{name}' object cannot be converted to") == 2

    def test_await_first_frame_must_be_a_bool(self, desk):
        desk.add_monitor(primary=True)
        capture = lumigrab.Capture()
        with pytest.raises(TypeError) as excinfo:
            capture.start(lumigrab.Monitor(), 1)
        assert message(excinfo) == "argument 'await_first_frame': 'int' object cannot be converted to 'PyBool'"
        assert capture.active is False


class TestFaults:
    def test_panic_exception_is_a_base_exception(self, desk):
        with pytest.raises(BaseException) as excinfo:
            try:
                lumigrab.Monitor(0)
            except Exception:  # must not catch it
                pytest.fail("PanicException was caught as an Exception")
        exc_type = type(excinfo.value)
        assert exc_type.__name__ == "PanicException"
        assert exc_type.__module__ == "kelvo_runtime"
        assert exc_type.__bases__ == (BaseException,)
        assert not hasattr(lumigrab, "PanicException")
        assert excinfo.value.args == ("called `Result::unwrap()` on an `Err` value: IndexError",)

    def test_panic_type_is_made_once(self, desk):
        types = set()
        for _ in range(2):
            try:
                lumigrab.Monitor(0)
            except BaseException as e:
                types.add(type(e))
        assert len(types) == 1

    def test_fault_report_on_stderr(self, desk, capfd):
        with pytest.raises(BaseException):
            lumigrab.Monitor(0)
        err = capfd.readouterr().err
        lines = err.splitlines()
        assert lines[0].startswith("thread '")
        assert "' panicked at src/" in lines[0] and lines[0].endswith(":")
        assert lines[1] == "called `Result::unwrap()` on an `Err` value: IndexError"

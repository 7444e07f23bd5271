"""Monitors: lookup, enumeration and the display queries behind each property."""

import pytest

import lumigrab

PREFIX = "\\\\.\\DISPLAY"
UNWRAP = "called `Result::unwrap()` on an `Err` value: "


def units(text, size):
    raw = [ord(c) for c in text]
    return raw + [0] * (size - len(raw))


@pytest.fixture
def two_monitors(desk):
    first = desk.add_monitor(PREFIX + "1", width=2560, height=1440, refresh_rate=144,
                             device_string="Wide Monitor", primary=True)
    second = desk.add_monitor(PREFIX + "2", width=1280, height=1024, refresh_rate=75,
                              device_string="Square Monitor")
    return first, second


class TestLookup:
    def test_primary_in_every_spelling(self, two_monitors):
        for monitor in [lumigrab.Monitor(), lumigrab.Monitor(None), lumigrab.Monitor(id=None),
                        lumigrab.primary_monitor()]:
            assert monitor.device_name == PREFIX + "1"

    def test_position_counts_from_one_in_enumeration_order(self, two_monitors):
        assert lumigrab.Monitor(1).device_name == PREFIX + "1"
        assert lumigrab.Monitor(2).device_name == PREFIX + "2"
        assert lumigrab.Monitor(True).device_name == PREFIX + "1"

    def test_position_zero_faults_without_enumerating(self, two_monitors, desk):
        desk.clear_calls()
        with pytest.raises(BaseException) as excinfo:
            lumigrab.Monitor(0)
        assert str(excinfo.value) == UNWRAP + "IndexError"
        assert not any(call.startswith("EnumDisplayMonitors") for call in desk.calls())

    def test_position_past_the_last_faults(self, two_monitors):
        with pytest.raises(BaseException) as excinfo:
            lumigrab.Monitor(3)
        assert type(excinfo.value).__name__ == "PanicException"
        assert str(excinfo.value) == UNWRAP + "NotFound"

    def test_failed_enumeration_faults_with_the_windows_error(self, two_monitors, desk):
        desk.fail("EnumDisplayMonitors", 5)
        with pytest.raises(BaseException) as excinfo:
            lumigrab.Monitor(1)
        assert str(excinfo.value) == (
            UNWRAP + 'WindowsError(Error { code: HRESULT(0x80070005), message: "Access is denied." })'
        )

    @pytest.mark.parametrize("primary", [None, -1])
    def test_no_primary_monitor(self, desk, primary):
        desk.add_monitor()
        desk.set_primary(primary)
        with pytest.raises(RuntimeError) as excinfo:
            lumigrab.primary_monitor()
        assert str(excinfo.value) == "Failed to find monitor"
        with pytest.raises(BaseException) as excinfo:
            lumigrab.Monitor()
        assert type(excinfo.value).__name__ == "PanicException"
        assert str(excinfo.value) == UNWRAP + "NotFound"

    def test_primary_lookup_asks_for_the_origin(self, two_monitors, desk):
        desk.clear_calls()
        lumigrab.primary_monitor()
        assert desk.calls() == ["MonitorFromPoint(0, 0, 0)"]


class TestEnumeration:
    def test_lists_every_monitor_in_order(self, two_monitors):
        monitors = lumigrab.enumerate_monitors()
        assert [m.device_name for m in monitors] == [PREFIX + "1", PREFIX + "2"]
        again = lumigrab.enumerate_monitors()
        assert all(a is not b for a, b in zip(monitors, again))

    def test_empty_desktop_gives_an_empty_list(self):
        assert lumigrab.enumerate_monitors() == []

    def test_one_monitor_is_the_primary(self, desk):
        desk.add_monitor(PREFIX + "1", primary=True)
        (only,) = lumigrab.enumerate_monitors()
        primary = lumigrab.primary_monitor()
        for prop in ["width", "height", "refresh_rate", "device_name", "device_string", "index"]:
            assert getattr(only, prop) == getattr(primary, prop)

    @pytest.mark.parametrize(
        "code, text",
        [
            (5, "Windows API error: Access is denied. (0x80070005)"),
            (0x1234, "Windows API error: 0x80071234"),
            (0, "Windows API error: The operation completed successfully. (0x00000000)"),
        ],
    )
    def test_failure_is_a_runtime_error_with_the_windows_text(self, desk, code, text):
        desk.fail("EnumDisplayMonitors", code)
        with pytest.raises(RuntimeError) as excinfo:
            lumigrab.enumerate_monitors()
        assert type(excinfo.value) is RuntimeError
        assert str(excinfo.value) == text


class TestProperties:
    @pytest.mark.parametrize("scale", [100, 150])
    def test_values(self, two_monitors, desk, scale):
        # A DPI-unaware process (python.exe is one) gets scaled positions from
        # user32 unless it asks for physical pixels; sizes and frames are physical.
        desk.set_display_scale(scale)
        monitor = lumigrab.Monitor(1)
        assert (monitor.width, monitor.height, monitor.refresh_rate) == (2560, 1440, 144)
        assert monitor.device_name == PREFIX + "1"
        assert monitor.device_string == "Wide Monitor"
        assert monitor.index == 1
        assert lumigrab.Monitor(2).index == 2
        # The second monitor sits right of the primary one on the desktop.
        assert (monitor.left, monitor.top) == (0, 0)
        assert (lumigrab.Monitor(2).left, lumigrab.Monitor(2).top) == (2560, 0)
        assert repr(lumigrab.Monitor(2)) == "<Monitor 2 '\\\\.\\DISPLAY2' 1280x1024 @75Hz>"

    def test_refresh_rate_is_reported_unchanged(self, desk):
        desk.add_monitor(refresh_rate=0, primary=True)
        assert lumigrab.Monitor().refresh_rate == 0

    def test_values_follow_display_changes(self, desk):
        handle = desk.add_monitor(PREFIX + "1", primary=True)
        monitor = lumigrab.Monitor()
        assert monitor.width == 1920
        desk.remove_monitor(handle)
        with pytest.raises(RuntimeError) as excinfo:
            monitor.width
        assert str(excinfo.value) == "Failed to get monitor info"
        with pytest.raises(RuntimeError, match="^Failed to get monitor info$"):
            monitor.left
        # A repr must not raise for a monitor that went away.
        assert repr(monitor) == "<Monitor (unavailable)>"

    def test_calls_carry_the_structure_sizes(self, desk):
        handle = desk.add_monitor(PREFIX + "1", primary=True)
        monitor = lumigrab.Monitor()
        desk.clear_calls()
        monitor.width
        monitor.device_string
        calls = desk.calls()
        assert f"GetMonitorInfoW({handle:#x}, cbSize=104)" in calls
        assert any(c.startswith("EnumDisplaySettingsW(") and "0xFFFFFFFF, dmSize=220, dmDriverExtra=0)" in c
                   for c in calls)
        assert any(c.startswith("EnumDisplayDevicesW(") and c.endswith(", 0, cb=840, flags=0)") for c in calls)
        assert not any("dirty" in c for c in calls)

    @pytest.mark.parametrize(
        "name, expected",
        [
            (PREFIX + "12", 12),
            (PREFIX + "007", 7),
            (PREFIX + "1" + PREFIX + "2", 12),
            (PREFIX + "+3", 3),
            ("42", 42),
        ],
    )
    def test_index_is_the_number_in_the_name(self, desk, name, expected):
        desk.add_monitor(name, primary=True)
        assert lumigrab.Monitor().index == expected

    @pytest.mark.parametrize(
        "name, reason",
        [
            (PREFIX, "cannot parse integer from empty string"),
            (PREFIX + "+", "cannot parse integer from empty string"),
            (PREFIX + "1\\x", "invalid digit found in string"),
            (PREFIX + "-1", "invalid digit found in string"),
            (PREFIX + " 1", "invalid digit found in string"),
            (PREFIX + "18446744073709551616", "number too large to fit in target type"),
        ],
    )
    def test_index_parse_errors(self, desk, name, reason):
        desk.add_monitor(name, primary=True)
        with pytest.raises(RuntimeError) as excinfo:
            lumigrab.Monitor().index
        assert str(excinfo.value) == "Failed to parse monitor index: " + reason

    def test_largest_index(self, desk):
        desk.add_monitor(PREFIX + "18446744073709551615", primary=True)
        assert lumigrab.Monitor().index == 2**64 - 1

    def test_index_need_not_match_the_position(self, desk):
        desk.add_monitor(PREFIX + "5", primary=True)
        assert lumigrab.Monitor(1).index == 5

    def test_unterminated_fields_are_read_to_their_end(self, desk):
        name = "\\\\.\\DISPLAY" + "9" * 21  # 32 units, no terminator
        string = "S" * 128
        desk.add_monitor(raw_name=[ord(c) for c in name], raw_device_string=[ord(c) for c in string],
                         primary=True)
        monitor = lumigrab.Monitor()
        assert monitor.device_name == name
        assert monitor.device_string == string
        assert monitor.width == 1920

    def test_text_stops_at_the_first_zero_unit(self, desk):
        desk.add_monitor(raw_name=units("\\\\.\\DISPLAY3", 32)[:14] + [0, ord("X")] + [0] * 16, primary=True)
        assert lumigrab.Monitor().device_name == PREFIX + "3"

    def test_surrogate_pairs_decode(self, desk):
        desk.add_monitor(device_string="Moni\U0001F5B5tor", primary=True)
        assert lumigrab.Monitor().device_string == "Moni\U0001F5B5tor"

    @pytest.mark.parametrize("prop", ["device_name", "index", "width", "height", "refresh_rate"])
    def test_lone_surrogate_in_the_name(self, desk, prop):
        desk.add_monitor(raw_name=units("\\\\.\\DISPLAY1", 32)[:12] + [0xD800] + [0] * 19, primary=True)
        with pytest.raises(RuntimeError) as excinfo:
            getattr(lumigrab.Monitor(), prop)
        assert str(excinfo.value) == "Failed to convert windows string: invalid utf-16: lone surrogate found"

    def test_lone_surrogate_in_the_device_string(self, desk):
        desk.add_monitor(raw_device_string=[ord("A"), 0xDC00] + [0] * 126, primary=True)
        with pytest.raises(RuntimeError) as excinfo:
            lumigrab.Monitor().device_string
        assert str(excinfo.value) == "Failed to convert windows string: invalid utf-16: lone surrogate found"

    @pytest.mark.parametrize("prop", ["device_name", "index", "width", "height", "refresh_rate", "device_string"])
    def test_monitor_info_failure(self, desk, prop):
        desk.add_monitor(primary=True)
        monitor = lumigrab.Monitor()
        desk.fail("GetMonitorInfoW", 5)
        with pytest.raises(RuntimeError) as excinfo:
            getattr(monitor, prop)
        assert str(excinfo.value) == "Failed to get monitor info"

    @pytest.mark.parametrize("prop", ["width", "height", "refresh_rate"])
    def test_settings_failure(self, desk, prop):
        desk.add_monitor(primary=True, settings=False)
        with pytest.raises(RuntimeError) as excinfo:
            getattr(lumigrab.Monitor(), prop)
        assert str(excinfo.value) == "Failed to get monitor settings"

    def test_device_lookup_failure(self, desk):
        desk.add_monitor(primary=True)
        desk.fail("EnumDisplayDevicesW", 5)
        with pytest.raises(RuntimeError) as excinfo:
            lumigrab.Monitor().device_string
        assert str(excinfo.value) == "Failed to get monitor name"

    def test_failures_leave_nothing_behind(self, desk):
        desk.add_monitor(primary=True)
        monitor = lumigrab.Monitor()
        desk.fail("GetMonitorInfoW", 5, times=1)
        with pytest.raises(RuntimeError):
            monitor.width
        assert monitor.width == 1920

"""Windows: lookup by title, the validity test, titles and enumeration."""

import pytest

import lumigrab

WS_CHILD = 0x40000000
WS_EX_TOOLWINDOW = 0x80


class TestLookup:
    def test_finds_a_window_by_its_exact_title(self, desk):
        desk.add_window("Notes — draft ✓")
        assert lumigrab.Window("Notes — draft ✓").name == "Notes — draft ✓"
        assert lumigrab.Window(name="Notes — draft ✓").valid

    def test_unknown_title(self, desk):
        desk.add_window("Notes")
        with pytest.raises(RuntimeError) as excinfo:
            lumigrab.Window("notes")
        assert type(excinfo.value) is RuntimeError
        assert str(excinfo.value) == "Failed to find window with name 'notes'"

    def test_empty_title(self, desk):
        with pytest.raises(RuntimeError) as excinfo:
            lumigrab.Window("")
        assert str(excinfo.value) == "Failed to find window with name ''"
        desk.add_window("")
        assert lumigrab.Window("").name == ""

    def test_a_title_with_a_nul_matches_no_window_not_its_part_before_the_nul(self, desk):
        desk.add_window("abc")
        with pytest.raises(RuntimeError) as excinfo:
            lumigrab.Window("abc\0def")
        assert str(excinfo.value) == "Failed to find window with name 'abc\x00def'"

    def test_invalid_windows_are_still_found(self, desk):
        desk.add_window("hidden", visible=False)
        desk.add_window("tool", exstyle=WS_EX_TOOLWINDOW)
        desk.add_window("mine", own_process=True)
        for title in ["hidden", "tool", "mine"]:
            window = lumigrab.Window(title)
            assert window.valid is False

    def test_lookup_passes_a_terminated_title(self, desk):
        desk.add_window("x")
        desk.clear_calls()
        lumigrab.Window("x")
        assert desk.calls() == ["FindWindowW(NULL, 'x')"]


class TestValidity:
    @pytest.mark.parametrize(
        "options, valid",
        [
            ({}, True),
            ({"visible": False}, False),
            ({"own_process": True}, False),
            ({"client_rect_error": 5}, False),
            ({"style": WS_CHILD}, False),
            ({"exstyle": WS_EX_TOOLWINDOW}, False),
            ({"width": 0, "height": 0}, True),
            ({"style": 0x10000000, "exstyle": 0x8}, True),
        ],
    )
    def test_rules(self, desk, options, valid):
        handle = desk.add_window("w", **options)
        desk.set_foreground(handle)
        assert lumigrab.foreground_window().valid is valid

    def test_asks_only_as_far_as_needed(self, desk):
        hidden = desk.add_window("hidden", visible=False)
        shown = desk.add_window("shown")
        window_hidden, window_shown = lumigrab.Window("hidden"), lumigrab.Window("shown")
        desk.clear_calls()
        window_hidden.valid
        assert desk.calls() == [f"IsWindowVisible({hidden:#x})"]
        desk.clear_calls()
        window_shown.valid
        calls = desk.calls()
        assert calls[0] == f"IsWindowVisible({shown:#x})"
        assert calls[-2:] == [f"GetWindowLongPtrW({shown:#x}, -16)", f"GetWindowLongPtrW({shown:#x}, -20)"]

    def test_closed_window(self, desk):
        handle = desk.add_window("soon gone")
        window = lumigrab.Window("soon gone")
        desk.close_window(handle)
        assert window.valid is False
        assert window.name == ""


class TestTitle:
    def test_window_without_title_skips_the_text_read(self, desk):
        handle = desk.add_window("")
        desk.set_foreground(handle)
        window = lumigrab.foreground_window()
        desk.clear_calls()
        assert window.name == ""
        assert not any(call.startswith("GetWindowTextW") for call in desk.calls())

    def test_text_read_is_sized_from_the_length(self, desk):
        handle = desk.add_window("hello")
        window = lumigrab.Window("hello")
        desk.clear_calls()
        window.name
        assert f"GetWindowTextW({handle:#x}, capacity=6)" in desk.calls()

    def test_title_changes_are_seen(self, desk):
        handle = desk.add_window("before")
        window = lumigrab.Window("before")
        desk.set_title(handle, "after \U0001F600")
        assert window.name == "after \U0001F600"

    def test_lone_surrogate(self, desk):
        desk.add_window([ord("a"), 0xD83D, ord("b")])
        (window,) = lumigrab.enumerate_windows()
        with pytest.raises(RuntimeError) as excinfo:
            window.name
        assert str(excinfo.value) == (
            "Failed to convert windows string 'invalid utf-16: lone surrogate found' from UTF-16"
        )

    def test_refused_read_is_empty(self, desk):
        desk.add_window("t")
        window = lumigrab.Window("t")
        desk.fail("GetWindowTextW", 5)
        assert window.name == ""


class TestGeometry:
    @pytest.mark.parametrize("scale", [100, 150])
    def test_client_area_owner_and_repr(self, desk, scale):
        # In physical pixels, like frames, whatever the display scale.
        desk.set_display_scale(scale)
        desk.add_window("Untitled - Notepad", pid=0x1234, width=300, height=200, left=-40, top=25)
        window = lumigrab.Window("Untitled - Notepad")
        assert (window.left, window.top, window.width, window.height) == (-40, 25, 300, 200)
        assert window.process_id == 0x1234
        assert repr(window) == "<Window 'Untitled - Notepad'>"
        # Quoted as Python quotes a str.
        title = "it's \"odd\"\n"
        desk.add_window(title)
        assert repr(lumigrab.Window(title)) == "<Window " + repr(title) + ">"

    def test_closed_window(self, desk):
        handle = desk.add_window("x")
        window = lumigrab.Window("x")
        desk.close_window(handle)
        for prop in ["left", "top", "width", "height", "process_id"]:
            with pytest.raises(RuntimeError, match="^Windows API error: "):
                getattr(window, prop)
        assert repr(window) == "<Window ''>"

    def test_a_failure_without_a_last_error_is_not_reported_as_success(self, desk):
        desk.add_window("x")
        desk.fail("ClientToScreen", 0)
        with pytest.raises(RuntimeError) as excinfo:
            lumigrab.Window("x").left
        assert str(excinfo.value) == "Windows API error: Invalid window handle. (0x80070578)"


class TestEnumeration:
    def test_lists_only_valid_windows_in_order(self, desk):
        desk.add_window("first")
        desk.add_window("hidden", visible=False)
        desk.add_window("tool", exstyle=WS_EX_TOOLWINDOW)
        desk.add_window("child", style=WS_CHILD)
        desk.add_window("mine", own_process=True)
        desk.add_window("broken", client_rect_error=1400)
        desk.add_window("second")
        windows = lumigrab.enumerate_windows()
        assert [w.name for w in windows] == ["first", "second"]
        assert all(w.valid for w in windows)

    def test_closed_windows_are_not_listed(self, desk):
        handle = desk.add_window("x")
        desk.close_window(handle)
        assert lumigrab.enumerate_windows() == []

    @pytest.mark.parametrize(
        "code, text",
        [(5, "Windows API error: Access is denied. (0x80070005)"), (0xABCD, "Windows API error: 0x8007ABCD")],
    )
    def test_failure(self, desk, code, text):
        desk.add_window("x")
        desk.fail("EnumChildWindows", code)
        with pytest.raises(RuntimeError) as excinfo:
            lumigrab.enumerate_windows()
        assert str(excinfo.value) == text


class TestForeground:
    def test_returns_the_foreground_window_unchecked(self, desk):
        handle = desk.add_window("mine", own_process=True)
        desk.set_foreground(handle)
        window = lumigrab.foreground_window()
        assert window.name == "mine"
        assert window.valid is False

    def test_none(self, desk):
        with pytest.raises(RuntimeError) as excinfo:
            lumigrab.foreground_window()
        assert str(excinfo.value) == "No active window found"

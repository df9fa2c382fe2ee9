"""TVX.exe under Wine on a console (Wine's console host drawing on a pseudo-terminal): every
visible character in its colour, and the final wait that one key ends."""

import unittest

from winetest import *

WINE_PHYSICAL_WRITES = [(YELLOW, WINE_PHYSICAL)]
WINE_LOGICAL_WRITES = [(WHITE, located("C", 0, 1)), (YELLOW, letter_open_error("Z", 5))]
HINT = b"(use 'TVX /batch' to bypass this prompt next time)"


class WineConsoleTest(unittest.TestCase):
    maxDiff = None

    def test_each_character_is_shown_in_its_colour(self):
        cases = [
            (["/?"], BANNER_WRITES + USAGE_WRITES),
            (["/batch"], report_writes(WINE_PHYSICAL_WRITES, WINE_LOGICAL_WRITES, unread=True)),
            (["/Version"], [(LIGHT_GRAY, VERSION_LINE)]),
        ]
        for args, writes in cases:
            with self.subTest(args=args), pty_run_windows(args) as run:
                self.assertEqual(run.wait(), 2 if args == ["/batch"] else 0)
                self.assertEqual(console_colours(run.output), writes_colours(writes))
                self.assertEqual(run.stderr(), b"")

    def test_the_prompt_waits_for_one_key_which_is_not_echoed(self):
        with pty_run_windows() as run:
            run.read_until(HINT)
            self.assertTrue(run.still_running_after(1.0), "ended without a key")
            shown = len(run.output)
            run.type(b"q")
            self.assertEqual(run.wait(), 2)
            self.assertNotIn(b"q", run.output[shown:])
            self.assertEqual(
                console_colours(run.output),
                writes_colours(report_writes(WINE_PHYSICAL_WRITES, WINE_LOGICAL_WRITES,
                                             prompt=True, unread=True)))
            self.assertEqual(run.stderr(), b"")


if __name__ == "__main__":
    run_file()

"""The run from start to end through a pipe: banner, options, closing line."""

import unittest

from tvxtest import *


class OptionTest(DeviceFolderTest):
    def test_each_argument_gives_its_outcome(self):
        full = report(open_error(2), prompt=True)
        cases = [
            ([], full),
            (["/?"], BANNER + USAGE),
            (["/?x"], BANNER + USAGE),
            (["/BATCH"], report(open_error(2))),
            (["/batchmore"], report(open_error(2))),
            (["/x"], full),
        ]
        for args, expected in cases:
            with self.subTest(args=args):
                result = run_tvx(args, devices=self.devices)
                self.assertEqual(result.stdout, expected)
                self.assertEqual(result.stderr, b"")
                self.assertEqual(result.returncode, 0)


if __name__ == "__main__":
    unittest.main(verbosity=2)

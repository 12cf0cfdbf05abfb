"""What the tests of ./regress mutants share: a scratch directory for each class's tests, which share the builds made in it."""

import tempfile
import unittest
from pathlib import Path


class ScratchClass(unittest.TestCase):
    prefix = "mutants-test-"

    @classmethod
    def setUpClass(cls):
        cls.scratch = tempfile.TemporaryDirectory(prefix=cls.prefix)
        cls.dir = Path(cls.scratch.name)

    @classmethod
    def tearDownClass(cls):
        cls.scratch.cleanup()

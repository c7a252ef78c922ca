"""Runs one e2e test module; exits 77 (skipped for CTest) where Wine is needed
but absent, so the skip is visible instead of passing silently."""
import os
import shutil
import sys
import unittest

if __name__ == "__main__":
    module = sys.argv[1]
    if os.environ.get("KELTO_WINE") == "1" and shutil.which("wine") is None:
        print("SKIPPED: wine is not installed; scripts/bootstrap.sh installs it")
        sys.exit(77)
    sys.path.insert(0, os.path.dirname(os.path.abspath(__file__)))
    program = unittest.main(module=module, argv=[sys.argv[0], "-v"] + sys.argv[2:],
                            exit=False)
    sys.exit(0 if program.result.wasSuccessful() else 1)

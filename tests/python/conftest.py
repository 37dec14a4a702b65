"""The tests are grouped by the toolkit's wings (board/, serving/, data/, ...); the helpers they share
(toolkit_helpers, learning_helpers, module_fakes) live here, on the import path of every test."""
import sys
from pathlib import Path

HERE = str(Path(__file__).resolve().parent)
if HERE not in sys.path:
    sys.path.insert(0, HERE)

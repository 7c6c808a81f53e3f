"""The bots under test are the examples one folder up; a bot's own tests
usually sit beside it, where pytest finds it without this."""

import sys
from pathlib import Path

sys.path.insert(0, str(Path(__file__).resolve().parents[1]))

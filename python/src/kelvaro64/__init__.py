"""Drive Kelvaro64 from Python: a client of its automation port, a simulator started per test,
and a pytest plugin (fixtures ``kelvaro64`` and ``kelvaro64_factory``).

Standard library only.
"""

from kelvaro64.client import VALUE_NAMES, Client, Error
from kelvaro64.documents import Block
from kelvaro64.simulator import Simulator, SimulatorError, find_headless

__version__ = "6.0.4"

__all__ = ["Block", "Client", "Error", "Simulator", "SimulatorError", "VALUE_NAMES", "find_headless",
           "__version__"]

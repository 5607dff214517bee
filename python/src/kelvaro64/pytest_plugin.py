"""pytest plugin: fixtures ``kelvaro64`` and ``kelvaro64_factory``.

    @pytest.mark.kelvaro64(setup="plant.tst", extras={"faults": [...]})
    def test_retry(kelvaro64):
        kelvaro64.client.write(1, 40001, 2.5, "float32")
        master = Master("127.0.0.1", kelvaro64.tcp_port)

The marker takes :class:`kelvaro64.Simulator`'s arguments; without it the ini option
``kelvaro64_setup`` names the set-up. Relative set-up and document names are taken from the
test file's folder (the ini option's from the ini file's). ``--kelvaro64-headless PATH`` names
the program. Every simulator has its own free ports and folder: safe under pytest-xdist.
"""

import os

import pytest

from kelvaro64.simulator import Simulator


def pytest_addoption(parser):
    group = parser.getgroup("kelvaro64")
    group.addoption("--kelvaro64-headless", metavar="PATH", default=None,
                    help="the kelvaro64-headless program (default: $KELVARO64_HEADLESS, else PATH)")
    parser.addini("kelvaro64_setup", "set-up file the kelvaro64 fixture starts on, relative to the ini file")


def pytest_configure(config):
    config.addinivalue_line("markers", "kelvaro64(**arguments): arguments of kelvaro64.Simulator for the "
                                       "kelvaro64 fixture (setup=, documents=, extras=, tcp_port= ...)")


def _relative_to(folder, name):
    if isinstance(name, (str, os.PathLike)) and not os.path.isabs(name):
        return os.path.join(folder, name)
    return name


@pytest.fixture
def kelvaro64_factory(request):
    """A callable taking Simulator's arguments and returning a started simulator; every one is
    stopped at the test's end (an unclean end fails the test)."""
    started = []
    folder = str(request.path.parent)
    headless = request.config.getoption("kelvaro64_headless")

    def make(**arguments):
        arguments.setdefault("headless", headless)
        if arguments.get("setup") is not None:
            arguments["setup"] = _relative_to(folder, arguments["setup"])
        arguments["documents"] = [_relative_to(folder, d) for d in arguments.get("documents", ())]
        simulator = Simulator(**arguments)
        started.append(simulator)
        return simulator

    yield make
    errors = []
    for simulator in reversed(started):
        try:
            simulator.stop()
        except Exception as e:   # stop them all, then tell
            errors.append(e)
    if errors:
        raise errors[0]


@pytest.fixture
def kelvaro64(request, kelvaro64_factory):
    """A fresh simulator for this test: the marker's arguments, else the ini's set-up."""
    marker = request.node.get_closest_marker("kelvaro64")
    arguments = dict(marker.kwargs) if marker else {}
    if marker and marker.args:
        raise pytest.UsageError("@pytest.mark.kelvaro64 takes keyword arguments (setup=..., extras=...)")
    setup = request.config.getini("kelvaro64_setup")
    if "setup" not in arguments and "documents" not in arguments and setup:
        base = request.config.inipath.parent if request.config.inipath else request.config.rootpath
        arguments["setup"] = os.path.join(str(base), setup)
    return kelvaro64_factory(**arguments)

"""Fixtures of the kdr module's tests: readers played by kdr.Simulator."""

import contextlib
import os
import random
import string

import pytest

import kdr


@pytest.fixture(scope="session")
def password():
    # A password of this run's own: a stray client of another test on the
    # machine that opens a reused pty path is refused instead of erasing.
    return "".join(random.choices(string.ascii_lowercase, k=8))


@pytest.fixture
def simulator(password):
    """Starts kdr.Simulator(**options) with this run's password, fast unless
    told otherwise; every one is closed at the end of the test."""
    with contextlib.ExitStack() as stack:

        def start(**options):
            options.setdefault("password", password)
            options.setdefault("fast", True)
            return stack.enter_context(kdr.Simulator(**options))

        yield start


@pytest.fixture(scope="session")
def kdr_command():
    """The built kdr command, whose messages the module's exceptions carry."""
    path = os.environ.get("KDR_BINARY")
    if not path:
        pytest.skip("KDR_BINARY names no kdr command")
    return path

"""The kit's pytest plugin (the package's pytest11 entry point): fixtures
for a kestrel-server. pytest is imported only once pytest loads the plugin,
so the package imports without it."""

from __future__ import annotations

from collections.abc import Iterator
from typing import TYPE_CHECKING

from kestrel_testing.server import LocalServer, serve

if TYPE_CHECKING:
    import pytest


def pytest_configure(config: pytest.Config) -> None:
    import pytest

    class KestrelFixtures:
        @pytest.fixture
        def kestrel_server(self) -> Iterator[LocalServer]:
            """A kestrel-server for bots to meet on: the first to join plays
            the second (its `url` for `connect`)."""
            with serve() as server:
                yield server

        @pytest.fixture
        def kestrel_house(self) -> Iterator[LocalServer]:
            """A kestrel-server whose every client plays its house bot,
            seats alternating between joins."""
            with serve(house_bot=True) as server:
                yield server

    config.pluginmanager.register(KestrelFixtures(), "kestrel-testing-fixtures")

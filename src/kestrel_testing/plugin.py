"""The kit's pytest plugin (the package's pytest11 entry point): fixtures
for a kestrel-server. pytest is imported only once pytest loads the plugin,
so the package imports without it."""

from __future__ import annotations

import contextlib
import os
from collections.abc import Iterator
from typing import TYPE_CHECKING, Protocol

from kestrel_testing.server import LocalServer, serve

if TYPE_CHECKING:
    import pytest


class ServerFactory(Protocol):
    """What `kestrel_server_factory` gives: each call starts one more
    kestrel-server, with the options of `serve`."""

    def __call__(
        self,
        *,
        house_bot: bool = False,
        house_seat: int | None = None,
        move_time: float | None = None,
        binary: str | os.PathLike[str] | None = None,
    ) -> LocalServer: ...


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

        @pytest.fixture
        def kestrel_server_factory(self) -> Iterator[ServerFactory]:
            """A function that starts a kestrel-server at each call, with
            the options of `serve` (house_bot, house_seat, move_time,
            binary), as many as the test needs; every one is stopped at the
            test's end, the last started first."""
            with contextlib.ExitStack() as started:

                def start(
                    *,
                    house_bot: bool = False,
                    house_seat: int | None = None,
                    move_time: float | None = None,
                    binary: str | os.PathLike[str] | None = None,
                ) -> LocalServer:
                    return started.enter_context(
                        serve(house_bot=house_bot, house_seat=house_seat, move_time=move_time, binary=binary)
                    )

                yield start

    config.pluginmanager.register(KestrelFixtures(), "kestrel-testing-fixtures")

"""The spectator page in a real browser (headless Chromium through Selenium):
two bots play, and the boards the page shows are the server's own record."""

from __future__ import annotations

import random
import shutil
from collections.abc import Iterator
from contextlib import ExitStack
from pathlib import Path
from typing import Any

import pytest
from websockets.sync.client import ClientConnection, connect

from kestrel_arena.server_process import ServerProcess, find_server_binary
from kestrel_arena.spectators import JOIN, state, web_url

TIMEOUT = 30


@pytest.fixture(scope="module")
def browser() -> Iterator[Any]:
    chromium = shutil.which("chromium") or shutil.which("chromium-browser")
    driver_path = shutil.which("chromedriver")
    if not chromium or not driver_path:
        pytest.fail(
            "the spectator page test needs Chromium and its driver on PATH "
            "(Debian: apt-get install chromium chromium-driver; scripts/setup.sh installs them)"
        )
    try:
        from selenium import webdriver
        from selenium.webdriver.chrome.service import Service
    except ImportError:
        pytest.fail("the spectator page test needs selenium (pip install -r requirements-dev.txt)")
    options = webdriver.ChromeOptions()
    options.binary_location = chromium
    for argument in ("--headless=new", "--no-sandbox", "--disable-gpu", "--disable-dev-shm-usage"):
        options.add_argument(argument)
    options.add_argument("--window-size=1200,900")
    # The console, where the browser reports what the page's security policy blocked.
    options.set_capability("goog:loggingPrefs", {"browser": "ALL"})
    driver = webdriver.Chrome(service=Service(executable_path=driver_path), options=options)
    driver.set_page_load_timeout(TIMEOUT)
    yield driver
    driver.quit()


def page_board(driver: Any, game_id: int) -> list[str]:
    cells = driver.find_elements("css selector", f'.game[data-game-id="{game_id}"] .cell')
    by_index = {int(c.get_attribute("data-cell")): c.get_attribute("data-mark") for c in cells}
    return [by_index.get(i, "?") for i in range(9)]


def page_state(driver: Any, game_id: int) -> str | None:
    cards = driver.find_elements("css selector", f'.game[data-game-id="{game_id}"]')
    return cards[0].get_attribute("data-state") if cards else None


def until(driver: Any, condition: Any, what: str) -> None:
    from selenium.webdriver.support.ui import WebDriverWait

    WebDriverWait(driver, TIMEOUT, poll_frequency=0.02).until(lambda _: condition(), message=what)


class Bots:
    """Two bots paired by the server, playing random free cells one move at a time."""

    def __init__(self, url: str, rng: random.Random, stack: ExitStack) -> None:
        self.rng = rng
        first = stack.enter_context(connect(url, proxy=None))
        first.send(JOIN)
        second = stack.enter_context(connect(url, proxy=None))
        second.send(JOIN)
        seats: dict[int, ClientConnection] = {}
        for ws in (first, second):
            message = ws.recv(timeout=TIMEOUT)
            assert isinstance(message, bytes)
            seats[message[1]] = ws
        self.seats = [seats[0], seats[1]]
        self.board = [""] * 9
        self.moves: list[int] = []

    def over(self) -> bool:
        lines = ((0, 1, 2), (3, 4, 5), (6, 7, 8), (0, 3, 6), (1, 4, 7), (2, 5, 8), (0, 4, 8), (2, 4, 6))
        won = any(self.board[a] and self.board[a] == self.board[b] == self.board[c] for a, b, c in lines)
        return won or "" not in self.board

    def move(self) -> None:
        n = len(self.moves)
        cell = self.rng.choice([i for i, m in enumerate(self.board) if not m])
        self.seats[n % 2].send(bytes([cell]))
        assert self.seats[1 - n % 2].recv(timeout=TIMEOUT) == bytes([cell])
        self.board[cell] = "XO"[n % 2]
        self.moves.append(cell)


@pytest.mark.timeout(40)  # Chromium's start included
def test_page_shows_the_games_the_server_records(
    browser: Any, tmp_path: Path, capsys: pytest.CaptureFixture[str]
) -> None:
    binary = find_server_binary()
    if binary is None:
        pytest.skip("kestrel-server not built (set KESTREL_BUILD_DIR or install the package)")
    rng = random.Random(7)
    with ServerProcess(binary, "--web", "0") as server, ExitStack() as stack:
        web = web_url(server)
        browser.get(web)
        until(browser, lambda: browser.find_element("id", "status").get_attribute("data-status") == "live", "live")

        # A whole game, then its card among the finished ones against the
        # server's result line.
        bots = Bots(server.url, rng, stack)
        while not bots.over():
            bots.move()
        [line] = server.wait_for_games(1)
        logged = [int(c) for c in line.split("; moves ")[1].split()]
        assert logged == bots.moves
        expected = [""] * 9
        for n, cell in enumerate(logged):
            expected[cell] = "XO"[n % 2]
        until(browser, lambda: page_state(browser, 1) == "finished", "game 1 finished on the page")
        assert page_board(browser, 1) == expected
        assert line.split(": ", 1)[1].split(";")[0] in browser.find_element("css selector", '[data-game-id="1"]').text

        # A second game move by move: after each, the page's live board is
        # the server's board for it, and shows whose turn it is.
        bots = Bots(server.url, rng, stack)
        for _ in range(3):
            bots.move()
            until(browser, lambda: page_board(browser, 2) == bots.board, "the page follows game 2")
            [game] = state(web)["games"]
            assert game["id"] == 2 and game["board"] == page_board(browser, 2)
            card = browser.find_element("css selector", '[data-game-id="2"]')
            assert card.get_attribute("data-turn") == str(game["turn"])

        # Someone waiting, for the picture.
        waiting = stack.enter_context(connect(server.url, proxy=None))
        waiting.send(JOIN)
        until(browser, lambda: browser.find_elements("css selector", "#waiting li[data-peer]"), "a waiting client")
        shot = tmp_path / "spectator-page.png"
        browser.save_screenshot(str(shot))
        with capsys.disabled():
            print(f"\nscreenshot of the spectator page: {shot}")

        while not bots.over():
            bots.move()
        until(browser, lambda: page_state(browser, 2) == "finished", "game 2 finished on the page")
        assert page_board(browser, 2) == bots.board
        waiting.close()
        until(browser, lambda: not browser.find_elements("css selector", "#waiting li[data-peer]"), "nobody waits")
        assert server.stop() == 0
    # The page ran and was styled under its policy, which blocked nothing of its own.
    blocked = [e["message"] for e in browser.get_log("browser") if "Content Security Policy" in e["message"]]
    assert blocked == []

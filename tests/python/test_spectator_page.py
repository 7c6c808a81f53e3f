"""The spectator page in a real browser (headless Chromium through Selenium):
two bots play, and the boards the page shows are the server's own record;
a kestrel-arena run shows its bots' names, standings and replays."""

from __future__ import annotations

import json
import os
import random
import shutil
import subprocess
import sys
import threading
from collections.abc import Iterator
from contextlib import ExitStack
from pathlib import Path
from typing import Any

import pytest
from websockets.sync.client import ClientConnection, connect

from kestrel_dev.spectators import JOIN, state, web_url
from kestrel_testing.server_process import ServerProcess, find_server_binary

TIMEOUT = 30
ROOT = Path(__file__).resolve().parents[2]
LINES = ((0, 1, 2), (3, 4, 5), (6, 7, 8), (0, 3, 6), (1, 4, 7), (2, 5, 8), (0, 4, 8), (2, 4, 6))


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


def until(driver: Any, condition: Any, what: str, timeout: float = TIMEOUT) -> None:
    from selenium.webdriver.support.ui import WebDriverWait

    WebDriverWait(driver, timeout, poll_frequency=0.02).until(lambda _: condition(), message=what)


def board_of(moves: list[int]) -> list[str]:
    board = [""] * 9
    for n, cell in enumerate(moves):
        board[cell] = "XO"[n % 2]
    return board


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
        won = any(self.board[a] and self.board[a] == self.board[b] == self.board[c] for a, b, c in LINES)
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
        # The result in the cards' terms (X and O), and each move with its mark.
        result = line.split(": ", 1)[1].split(";")[0]
        card = browser.find_element("css selector", '[data-game-id="1"]')
        words = "draw" if result == "Tie" else result.replace("Player1", "X").replace("Player2", "O")
        assert card.find_element("css selector", ".result").text == words
        marked = " ".join("XO"[n % 2] + str(cell) for n, cell in enumerate(logged))
        assert card.find_element("css selector", ".moves").text == "moves: " + marked

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
            # The mover's mark is whole, beside an address that may be cut.
            mover = card.find_element("css selector", ".seat.to-move")
            after = browser.execute_script("return getComputedStyle(arguments[0], '::after').content", mover)
            assert after == '"\u2190\u00a0to\u00a0move"'
            assert browser.execute_script("return arguments[0].scrollWidth <= arguments[0].clientWidth", mover)

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


class Arena:
    """kestrel-arena --web 0 as a process; its stderr gathered by a thread."""

    def __init__(self, out: Path, binary: Path, *args: str) -> None:
        env = {
            **os.environ,
            "PYTHONPATH": os.pathsep.join(filter(None, [str(ROOT / "src"), os.environ.get("PYTHONPATH")])),
        }
        command = [sys.executable, "-m", "kestrel_arena.cli", "--server", str(binary), "--out", str(out), "--web", "0"]
        self.process = subprocess.Popen(
            [*command, *args],
            stdin=subprocess.PIPE,
            stdout=subprocess.DEVNULL,
            stderr=subprocess.PIPE,
            text=True,
            env=env,
        )
        self.err: list[str] = []
        self._reader = threading.Thread(target=self._read, daemon=True)
        self._reader.start()

    def _read(self) -> None:
        assert self.process.stderr is not None
        with self.process.stderr:
            self.err.extend(self.process.stderr)

    def close(self) -> int:
        """Ends the input, which closes the page and the arena; its exit status."""
        assert self.process.stdin is not None
        self.process.stdin.close()
        try:
            return self.process.wait(timeout=60)
        finally:
            self._reader.join()

    def page(self) -> str | None:
        prefix = "kestrel-arena: watch at "
        return next((line[len(prefix) :].strip() for line in self.err if line.startswith(prefix)), None)


def cells_text(driver: Any, selector: str) -> list[str]:
    return [c.get_attribute("data-mark") for c in driver.find_elements("css selector", selector + " .cell")]


@pytest.mark.timeout(240)  # a whole run of bot processes, and Chromium, on a busy machine
def test_a_tournament_shows_names_standings_and_replays(
    browser: Any, tmp_path: Path, capsys: pytest.CaptureFixture[str]
) -> None:
    pytest.importorskip("kestrel")
    binary = find_server_binary()
    if binary is None:
        pytest.skip("kestrel-server not built (set KESTREL_BUILD_DIR or install the package)")
    bots = [str(ROOT / "examples" / f"{name}.py") for name in ("perfect", "first_free", "random_bot")]
    bots.append(str(Path(__file__).parent / "bots" / "crash.py"))
    arena = Arena(tmp_path, binary, *bots, "--games", "2", "--move-time", "5")
    try:
        until(browser, arena.page, "the arena announces its page", timeout=60)
        browser.get(arena.page())
        progress = lambda: browser.find_element("id", "run-progress").text  # noqa: E731
        until(browser, lambda: "final" in progress(), "the run's final standings", timeout=180)
        record = json.loads((tmp_path / "tournament.json").read_text())
        games = record["games"]
        assert progress() == f"({len(games)} of {len(games)} games, final)"

        rows = [
            [td.text for td in tr.find_elements("css selector", "td")]
            for tr in browser.find_elements("css selector", "#standings tbody tr")
        ]
        assert [r[:7] for r in rows] == [
            [str(rank), s["name"], *(str(s[k]) for k in ("games", "wins", "draws", "losses", "crashes"))]
            for rank, s in enumerate(record["standings"], 1)
        ]
        for row, s in zip(rows, record["standings"], strict=True):
            assert float(row[7]) == s["points"] and abs(int(row[8]) - s["elo"]) <= 1

        # Every game of the run; the server's cards show the bots by name
        # with the boards the arena recorded, the arena's number and, for a
        # forfeit, the reason the arena saw (the exception, not "disconnected").
        listed = browser.find_elements("css selector", "#run-games li")
        assert sorted(int(li.get_attribute("data-game")) for li in listed) == [g["game"] for g in games]
        for g in games:
            card = f'.game[data-game-id="{g["server_game"]}"]'
            names = [e.text for e in browser.find_elements("css selector", card + " .who")]
            assert names == g["seats"]
            assert cells_text(browser, card) == board_of(g["moves"])
            assert browser.find_element("css selector", card + " h3 .title").text == f"Game {g['game']}"
            if g["forfeit"]:
                result = browser.find_element("css selector", card + " .result").text
                assert g["problems"][g["loser"]] in result

        # A won game replayed: the end with its line, then move by move.
        won = next(g for g in games if g["reason"] == "three in a row")
        browser.find_element("css selector", f'#run-games li[data-game="{won["game"]}"]').click()
        replay = browser.find_element("id", "replay")
        assert replay.get_attribute("data-game") == str(won["game"])
        end = board_of(won["moves"])
        assert cells_text(browser, "#replay") == end
        line = next(ln for ln in LINES if end[ln[0]] and end[ln[0]] == end[ln[1]] == end[ln[2]])
        highlighted = [int(c.get_attribute("data-cell")) for c in replay.find_elements("css selector", ".cell.win")]
        assert highlighted == list(line)
        assert end[line[0]] == "XO"[won["seats"].index(won["winner"])]
        replay.find_element("css selector", 'button[data-step="first"]').click()
        assert cells_text(browser, "#replay") == [""] * 9
        for step in range(1, len(won["moves"]) + 1):
            replay.find_element("css selector", 'button[data-step="forward"]').click()
            assert cells_text(browser, "#replay") == board_of(won["moves"][:step])
        replay.find_element("css selector", 'button[data-step="back"]').click()
        assert cells_text(browser, "#replay") == board_of(won["moves"][:-1])
        assert not replay.find_elements("css selector", ".cell.win")
        replay.find_element("css selector", 'button[data-step="last"]').click()
        shot = tmp_path / "arena-page.png"
        browser.save_screenshot(str(shot))
        with capsys.disabled():
            print(f"\nscreenshot of a run on the page: {shot}")
    finally:
        status = arena.close()
    assert status == 0, "".join(arena.err)


@pytest.mark.timeout(240)
def test_an_sprt_run_shows_its_test_in_words_and_strikes_out_uncounted_games(browser: Any, tmp_path: Path) -> None:
    pytest.importorskip("kestrel")
    binary = find_server_binary()
    if binary is None:
        pytest.skip("kestrel-server not built (set KESTREL_BUILD_DIR or install the package)")
    from test_arena_sprt import SLOW_START

    out, slow = tmp_path / "out", tmp_path / "slow.py"
    marker, games = tmp_path / "first-turn", out / "games.jsonl"
    examples = str(ROOT / "examples")
    slow.write_text(SLOW_START.format(examples=examples, marker=str(marker), games=str(games), wait_for=24))
    first_free = str(ROOT / "examples" / "first_free.py")
    arena = Arena(out, binary, f"{slow}:Slow", first_free, "--sprt", "0", "200", "--seed", "3", "--concurrency", "2",
                  "--move-time", "30")  # fmt: skip
    try:
        until(browser, arena.page, "the arena announces its page", timeout=60)
        browser.get(arena.page())
        progress = lambda: browser.find_element("id", "run-progress").text  # noqa: E731
        until(browser, lambda: "final" in progress(), "the run's final standings", timeout=180)
        sprt = json.loads((out / "tournament.json").read_text())["sprt"]
        shown = progress()
        for words in (
            "H0: Elo 0, H1: Elo 200",
            f"LLR {sprt['llr']:+.2f}",
            "H1 accepted: slow:Slow is stronger than first_free by at least 200 Elo",
            "Elo difference",
            f"{len(sprt['past_deciding_pair'])} games past the deciding pair, not counted",
        ):
            assert words in shown, (words, shown)
        struck = browser.find_elements("css selector", "#run-games li.uncounted")
        assert sorted(int(li.get_attribute("data-game")) for li in struck) == sprt["past_deciding_pair"] != []
        # The replay's outline has its legend.
        browser.find_element("css selector", "#run-games li").click()
        legend = browser.find_element("id", "replay-legend")
        assert legend.is_displayed() and "mistake" in legend.text
    finally:
        status = arena.close()
    assert status == 0, "".join(arena.err)

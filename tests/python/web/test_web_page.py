"""The page in a real headless browser: whole games played by picking pieces and by clicking cells, two tabs
on one game, and the viewer."""
from __future__ import annotations

import os

import pytest
from test_web_server import records  # noqa: F401 (fixture)
from web_helpers import GatedOpponent, replayed, request, serving

from tilora_zero.web.coordinates import cells_named
from tilora_zero.web.opponent import Opponent
from tilora_zero.web.replays import RecordedGames
from tilora_zero.web.session import PlaySession
from tilora_zero.web.standing import seats_out

CHROMIUM = "/usr/bin/chromium"
sync_api = pytest.importorskip("playwright.sync_api")
pytestmark = pytest.mark.skipif(not os.path.exists(CHROMIUM), reason=f"no browser at {CHROMIUM}")
ARGS = ["--headless", "--no-sandbox", "--disable-gpu", "--disable-background-networking",
        "--disable-component-update", "--no-first-run"]
SEAT = 2  # two opponent seats play before the person's first placement
READY = "(n) => ['yours', 'over'].includes(document.body.dataset.phase) && Number(document.body.dataset.moves) >= n"
ORDINALS = {1: "1st", 2: "2nd", 3: "3rd", 4: "4th"}


@pytest.fixture
def browser():
    with sync_api.sync_playwright() as playwright:
        browser = playwright.chromium.launch(executable_path=CHROMIUM, args=ARGS)
        try:
            yield browser
        finally:
            browser.close()


def open_page(browser, url: str, pace: str):
    """A tab on ``url`` with the opponents' pace set, collecting the console's errors in ``page.errors``."""
    page = browser.new_page()
    page.errors = []
    page.on("console", lambda message: message.type == "error" and page.errors.append(message.text))
    page.on("pageerror", lambda error: page.errors.append(str(error)))
    page.add_init_script(f"localStorage.setItem('pace', '{pace}')")
    page.goto(url)
    return page


def shown(page, selector: str) -> list[int]:
    return page.evaluate(f"[...document.querySelectorAll('{selector}')].map((e) => Number(e.dataset.cell))")


def lay_a_piece(page, turn_first: bool) -> list[int]:
    """Picks the largest piece that fits, turns it (by button, then by key) until it fits somewhere, points at
    the spot and clicks it; returns the cells its shadow covered."""
    kinds = page.evaluate("[...document.querySelectorAll('#tray button:not([disabled])')].map((b) => b.dataset.kind)")
    for kind in reversed(kinds):
        page.locator(f"#tray button[data-kind='{kind}']").click()
        if turn_first:
            page.locator("#rotate").click()
        for orientation in range(8):
            spots = shown(page, "rect.spot")
            if spots:
                page.locator(f"rect.cell[data-cell='{spots[0]}']").hover()
                assert page.evaluate("document.getElementById('board').dataset.shadow") == "fits"
                cells = sorted(shown(page, "rect.shadow"))
                page.locator(f"rect.cell[data-cell='{spots[0]}']").click()
                return cells
            page.keyboard.press("f" if orientation == 3 else "r")
    raise AssertionError(f"no piece of {kinds} fits anywhere, though the tray says they do")


def last_piece(state: dict, seat: int) -> list[int]:
    number = max(n for n, (player, _) in enumerate(state["placed"]) if player == seat)
    return sorted(cell for (_, cell), piece in zip(state["moves"], state["pieces"]) if piece == number)


def checkpoint_opponent(tmp_path) -> Opponent | None:
    try:
        from tilora_zero.networks.resnet import TiloraNet, save_checkpoint
    except ImportError:  # no torch: the game is played against greedy, without a hint
        return None
    return Opponent(str(save_checkpoint(tmp_path / "net.pt", TiloraNet(1, 8))), 4)


def check_hint(page, url: str) -> None:
    page.locator("#show-hint").check()
    page.wait_for_function("document.querySelectorAll('#hint li').length === 3")
    hint = request(url, "/api/hint")[1]
    items = page.locator("#hint li").all_text_contents()
    assert [item.split(" (")[0] for item in items] == [cells_named(p["cells"]) for p in hint["placements"]]
    assert "expected share of the win" in page.locator("#hint").text_content()
    assert sorted(shown(page, "rect.hint")) == sorted(c for p in hint["placements"] for c in p["cells"])
    page.locator("#show-hint").uncheck()


def follow_opponents(page, url: str) -> bool:
    """Clicks Next for each opponent placement until the person's turn or the end; checks at each stop that
    the page says "you are out" exactly when the server has the person out, and returns whether it did."""
    out_seen = False
    while True:
        page.wait_for_function("['yours', 'over'].includes(document.body.dataset.phase) || "
                               "!document.getElementById('next').hidden", timeout=60_000)
        state = request(url, "/api/state")[1]
        out = not state["over"] and SEAT in state["out"]
        assert page.locator("#out").is_visible() == out
        out_seen |= out
        if not page.locator("#next").is_visible():
            return out_seen
        page.locator("#next").click()


def test_a_whole_game_played_by_picking_and_turning_pieces_ends_with_the_ranking(browser, tmp_path):
    opponent = checkpoint_opponent(tmp_path)
    with serving(PlaySession(opponent or Opponent("greedy", 4), SEAT, seed=2)) as url:
        page = open_page(browser, url, "-1")  # each opponent placement but the first waits for Next
        follow_opponents(page, url)
        assert page.locator("#hint-box").is_visible() == (opponent is not None)
        if opponent is not None:
            check_hint(page, url)
        page.locator("#tray button:not([disabled])").last.click()
        page.locator("rect.cell[data-cell='0']").click()  # taken by seat 0: the shadow is red, nothing is laid
        assert page.evaluate("document.body.dataset.moves") == str(len(request(url, "/api/state")[1]["moves"]))
        turns, out_seen = 0, False
        while page.evaluate("document.body.dataset.phase") == "yours":
            moves = int(page.evaluate("document.body.dataset.moves"))
            cells = lay_a_piece(page, turn_first=turns == 0)
            page.wait_for_function("(n) => Number(document.body.dataset.moves) > n", arg=moves)
            assert last_piece(request(url, "/api/state")[1], SEAT) == cells
            turns += 1
            out_seen |= follow_opponents(page, url)
        state = request(url, "/api/state")[1]
        ranking = [int(seat) for seat in page.evaluate("[...document.querySelectorAll('#ranking li')].map((e) => e.dataset.seat)")]
        status = page.locator("#status").text_content()
        scores = [int(page.locator(f"#score-{seat}").text_content()) for seat in range(4)]
    game = replayed(state["moves"])
    assert game.is_over and scores == game.score() and turns >= 2
    assert ranking == sorted(range(4), key=lambda seat: (state["places"][seat], seat))
    assert status.startswith(f"Game over: you finish {ORDINALS[state['places'][SEAT]]} of 4")
    turns_by = [player for player, _ in state["placed"]]
    stops = [k for k in range(1, len(turns_by)) if turns_by[k - 1] != SEAT]  # where the page waited for Next
    assert out_seen == any(SEAT in seats_out(turns_by[:k], turns_by[k], False) for k in stops)
    assert page.errors == []


def test_a_game_played_cell_by_cell_ends_with_the_engines_scores_then_a_new_one_starts(browser):
    with serving(PlaySession(Opponent("greedy", 8), SEAT, seed=2)) as url:
        page = open_page(browser, url, "0")
        page.wait_for_function(READY, arg=0)
        page.locator("#by-cell").check()
        taken = page.locator("rect.cell:not(.legal)").first
        moves = int(page.evaluate("document.body.dataset.moves"))
        taken.click()  # a cell the engine does not offer: nothing happens
        assert int(page.evaluate("document.body.dataset.moves")) == moves
        assert page.locator("#error").text_content() == ""
        while page.evaluate("document.body.dataset.phase") == "yours":
            moves = int(page.evaluate("document.body.dataset.moves"))
            page.locator("rect.legal").last.click()
            page.wait_for_function(READY, arg=moves + 1, timeout=60_000)
        state = request(url, "/api/state")[1]
        scores = [int(page.locator(f"#score-{seat}").text_content()) for seat in range(4)]
        page.locator("#new").click()
        page.wait_for_function("document.body.dataset.phase === 'yours' && document.body.dataset.moves < 20")
        fresh = request(url, "/api/state")[1]
    assert fresh["game"] == state["game"] + 1 and [p for p, _ in fresh["moves"]][-1] == SEAT - 1
    game = replayed(state["moves"])
    assert game.is_over and SEAT in {player for player, _ in state["moves"]} and scores == game.score()
    assert page.errors == [] and page.locator("#error").text_content() == ""


class CountedSession(PlaySession):
    """Counts the tabs' requests for the state, before they wait for the game."""

    def state(self):
        self.asked = getattr(self, "asked", 0) + 1
        return super().state()


def test_a_tab_opened_while_the_opponent_thinks_joins_the_same_game(browser):
    opponent = GatedOpponent()
    session = CountedSession(opponent, SEAT, seed=2)
    with serving(session) as url:
        first = open_page(browser, url, "0")
        assert opponent.asked.wait(30)  # the first tab's opponent turn holds the game
        second = open_page(browser, url, "0")
        second.wait_for_function("true")
        while session.asked < 2:
            first.wait_for_timeout(20)
        opponent.gate.set()
        for page in (first, second):
            page.wait_for_function(READY, arg=1, timeout=30_000)
        state = request(url, "/api/state")[1]
        for page in (first, second):
            assert page.evaluate("document.body.dataset.version") == str(state["version"])
            assert page.locator("#tray button:not([disabled])").count() > 0 and page.locator("#error").text_content() == ""
    assert [player for player, _ in state["placed"]] == [0, 1]
    assert first.errors == second.errors == []


def test_a_person_out_of_pieces_that_fit_is_told_so_while_the_others_play_on(browser):
    opponent = GatedOpponent()
    opponent.gate.set()
    session = PlaySession(opponent, SEAT, seed=2)
    state = session.state()
    while SEAT not in state["out"]:
        mine = state["to_move"] == SEAT
        state = session.place(max(state["placements"], key=lambda p: len(p[1]))[1]) if mine else session.opponent_turn()
    assert not state["over"]
    opponent.gate.clear()
    with serving(session) as url:
        page = open_page(browser, url, "0")
        page.wait_for_function("document.body.dataset.phase === 'thinking'")
        assert page.locator("#out").is_visible() and page.locator("#status").text_content().endswith("is thinking…")
        opponent.gate.set()
        page.wait_for_function(READY, arg=0, timeout=60_000)
        assert not page.locator("#out").is_visible() and page.locator("#ranking li").count() == 4


def test_the_viewer_steps_one_move_a_key_and_names_each_shaded_cells_share(browser, records):
    with serving(RecordedGames(records[0])) as url:
        page = open_page(browser, url, "0")
        page.wait_for_function("document.body.dataset.position === '0'")
        page.locator("#slider").focus()
        page.keyboard.press("ArrowRight")
        assert page.evaluate("document.body.dataset.position") == "1"
        page.locator("body").click(position={"x": 5, "y": 5})
        page.keyboard.press("ArrowRight")
        assert page.evaluate("document.body.dataset.position") == "2"
        page.locator("#first").click()  # the first move was searched: its visit shares are shaded
        cell = shown(page, "rect.cell:has(title)")[0]
        box = page.locator(f"rect.cell[data-cell='{cell}']").bounding_box()
        title = page.evaluate("([x, y]) => document.elementFromPoint(x, y).querySelector('title').textContent",
                              [box["x"] + box["width"] / 2, box["y"] + box["height"] / 2])
        assert title.startswith(f"{cells_named([cell])}: ") and title.endswith("% of the visits")
        assert "seat" in page.locator("#move").text_content()
    assert page.errors == []

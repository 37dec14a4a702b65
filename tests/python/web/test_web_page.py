"""The page in a real headless browser: a whole game played by clicking, its final scores the engine's, then a new
game."""
from __future__ import annotations

import os

import pytest
from web_helpers import request, serving

from tilora_zero import Game
from tilora_zero.web.opponent import Opponent
from tilora_zero.web.session import PlaySession

CHROMIUM = "/usr/bin/chromium"
sync_api = pytest.importorskip("playwright.sync_api")
pytestmark = pytest.mark.skipif(not os.path.exists(CHROMIUM), reason=f"no browser at {CHROMIUM}")
ARGS = ["--headless", "--no-sandbox", "--disable-gpu", "--disable-background-networking",
        "--disable-component-update", "--no-first-run"]
SEAT = 2  # two opponent seats play before the person's first click
READY = "(n) => ['yours', 'over'].includes(document.body.dataset.phase) && Number(document.body.dataset.moves) >= n"


@pytest.fixture
def page():
    with sync_api.sync_playwright() as playwright:
        browser = playwright.chromium.launch(executable_path=CHROMIUM, args=ARGS)
        try:
            yield browser.new_page()
        finally:
            browser.close()


def test_a_game_played_by_clicks_ends_with_the_engines_scores_on_the_page_then_a_new_one_starts(page):
    with serving(PlaySession(Opponent("greedy", 8), SEAT, seed=2)) as url:
        page.goto(url)
        page.wait_for_function(READY, arg=0)
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
        shown = [int(page.locator(f"#score-{seat}").text_content()) for seat in range(4)]
        status = page.locator("#status").text_content()
        page.locator("#new").click()
        page.wait_for_function("document.body.dataset.phase === 'yours'")
        fresh = request(url, "/api/state")[1]
    assert fresh["game"] == state["game"] + 1 and [p for p, _ in fresh["moves"]][-1] == SEAT - 1
    game = Game()
    for _, cell in state["moves"]:
        game.apply(cell)
    assert game.is_over and SEAT in {player for player, _ in state["moves"]}
    assert shown == game.score() and status == "Game over"
    assert page.locator("#error").text_content() == ""

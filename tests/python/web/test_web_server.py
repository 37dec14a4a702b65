"""The page's server: a whole game through its API, refused requests, undo, the viewer's games, and the
errors ``play`` and ``show --web`` give at start."""
from __future__ import annotations

import socket
import subprocess
import sys
import types

import pytest
from web_helpers import replayed, request, serving

from tilora_zero import Game
from tilora_zero._match import play_match
from tilora_zero.cli import main
from tilora_zero.data.records import GameRecord, write_records
from tilora_zero.learning.arena import arena_settings
from tilora_zero.selfplay.players import Player
from tilora_zero.web.opponent import Opponent
from tilora_zero.web.pieces import CATALOGUE_ROWS, piece_cells
from tilora_zero.web.session import PlaySession

SEAT = 1


@pytest.fixture
def url():
    with serving(PlaySession(Opponent("greedy", 8), SEAT, seed=5)) as address:
        yield address


def play_on(url: str, state: dict, stop=lambda state: False) -> dict:
    """Plays the person's seat by the last legal cell until the game ends or ``stop(state)``; checks after
    every request that whose turn it is and the legal cells are the engine's."""
    while not state["over"] and not stop(state):
        if state["to_move"] == SEAT:
            status, state = request(url, "/api/lay", {"cell": state["legal"][-1]})
        else:
            status, state = request(url, "/api/opponent", {})
        assert status == 200, state
        game = replayed(state["moves"])
        assert state["to_move"] == game.current_player and state["scores"] == game.score()
        assert state["legal"] == (game.legal_tiles().tolist() if game.current_player == SEAT else [])
    return state


def test_a_whole_game_against_greedy_ends_with_the_engines_scores_and_payoff(url):
    state = play_on(url, request(url, "/api/state")[1])
    game = replayed(state["moves"])
    assert game.is_over and state["payoff"] == game.payoff() and state["scores"] == game.score()
    assert {player for player, _ in state["moves"]} == {0, 1, 2, 3}
    assert state["remaining"] == game.remaining_pieces(SEAT)


@pytest.mark.parametrize("path, body, status, error", [
    ("/api/lay", {"cell": 5}, 400, "cell F1 is not legal now"),
    ("/api/lay", {"cell": 400}, 400, "a cell is a number from 0 to 399, got 400"),
    ("/api/lay", {"cell": "20"}, 400, "a cell is a number from 0 to 399, got '20'"),
    ("/api/lay", b"{not json", 400, "the request body is not JSON"),
    ("/api/undo", {}, 400, "nothing to undo: you have not played yet"),
    ("/api/opponent", {}, 400, "it is your turn (seat 1)"),
    ("/api/forfeit", {}, 404, "no such action: /api/forfeit"),
    ("/api/games", None, 404, "no such page: /api/games"),
])
def test_a_refused_request_says_why_and_changes_nothing(url, path, body, status, error):
    before = play_on(url, request(url, "/api/state")[1], lambda state: state["to_move"] == SEAT)
    assert request(url, path, body) == (status, {"error": error})
    assert request(url, "/api/state") == (200, before)


def test_a_finished_game_refuses_moves_until_a_new_game(url):
    finished = play_on(url, request(url, "/api/state")[1])
    for path, body in (("/api/lay", {"cell": 0}), ("/api/opponent", {})):
        assert request(url, path, body) == (400, {"error": "the game is over: start a new game"})
    assert request(url, "/api/state") == (200, finished)
    status, fresh = request(url, "/api/new", {})
    assert status == 200 and fresh["moves"] == [] and fresh["game"] == finished["game"] + 1


def test_undo_goes_back_to_the_turn_in_progress_then_to_the_previous_one(url):
    def mine(state):
        return state["to_move"] == SEAT and not state["turn_started"]

    first = play_on(url, request(url, "/api/state")[1], mine)
    status, state = request(url, "/api/lay", {"cell": first["legal"][-1]})
    second = play_on(url, state, mine)
    status, state = request(url, "/api/lay", {"cell": second["legal"][0]})
    assert status == 200 and len(state["moves"]) == len(second["moves"]) + 1
    assert unversioned(request(url, "/api/undo", {})) == (200, unversioned(second))
    assert unversioned(request(url, "/api/undo", {})) == (200, {**unversioned(first), "can_undo": False})


def unversioned(answer):
    """A state, or a (status, state) answer, without its version, which every change raises."""
    if isinstance(answer, tuple):
        return answer[0], unversioned(answer[1])
    return {key: value for key, value in answer.items() if key != "version"}


def rotations(cells):
    """The cells in each of the eight orientations, shifted to the origin."""
    forms = set()
    for flip in (False, True):
        shape = [(r, -c) if flip else (r, c) for r, c in cells]
        for _ in range(4):
            shape = [(c, -r) for r, c in shape]
            low_r, low_c = min(r for r, _ in shape), min(c for _, c in shape)
            forms.add(frozenset((r - low_r, c - low_c) for r, c in shape))
    return forms


def test_the_catalogue_draws_the_pieces_the_engine_lays():
    history, _, _ = play_match(0, [(types.SimpleNamespace(player="greedy"), None, None)] * 4, seed=11)
    game, laying, checked = Game(), {}, set()
    for player, cell in history:
        before = set(game.remaining_pieces(player))
        game.apply(cell)
        laying.setdefault(player, []).append(divmod(cell, 20))
        gone = before - set(game.remaining_pieces(player))
        if gone:
            (kind,) = gone
            assert rotations(laying.pop(player)) == rotations(piece_cells(kind)), CATALOGUE_ROWS[kind]
            checked.add(kind)
    assert len(checked) >= 15


@pytest.fixture
def records(tmp_path):
    seat = (Player("rollout", arena_settings(4)).seat_config(), None, None)
    made = []
    for number in range(2):
        history, policies, payoff = play_match(number, [seat] * 4, seed=number)
        game = replayed(history)
        made.append(GameRecord.from_result((history, policies, payoff), game.score(), {"game": number}))
    write_records(tmp_path, made)
    return tmp_path, made


def test_the_viewer_serves_each_recorded_game_with_its_scores_and_visit_shares(records):
    from tilora_zero.web.replays import RecordedGames

    directory, made = records
    with serving(RecordedGames(directory)) as url:
        status, listing = request(url, "/api/games")
        assert status == 200 and [game["number"] for game in listing["games"]] == [0, 1]
        status, shown = request(url, "/api/game?number=1")
        assert request(url, "/api/game?number=7") == (404, {"error": "no game '7' here"})
        assert request(url, "/api/lay", {"cell": 0})[0] == 404
    record = made[1]
    assert shown["moves"] == [[int(p), int(c)] for p, c in zip(record.players, record.cells)]
    game = Game()
    for move, (_, cell) in enumerate(shown["moves"]):
        assert shown["scores"][move] == game.score()
        cells, shares = shown["policies"][move]
        assert cells == record.policy(move)[0].tolist() and shares == pytest.approx(record.policy(move)[1], abs=1e-4)
        game.apply(cell)
    assert shown["scores"][-1] == record.scores.tolist() and shown["payoff"] == record.payoff.tolist()


def run_cli(capsys, *args) -> tuple[int, str]:
    try:
        status = main([str(a) for a in args])
    except SystemExit as stop:
        status = stop.code
    return status, capsys.readouterr().err.strip().splitlines()[-1]


@pytest.fixture
def busy_port():
    taken = socket.socket()
    taken.bind(("127.0.0.1", 0))
    taken.listen()
    yield taken.getsockname()[1]
    taken.close()


def test_play_and_show_web_fail_at_start_with_one_line(tmp_path, busy_port, records, capsys):
    broken = tmp_path / "broken.pt"
    broken.write_bytes(b"not a checkpoint")
    status, line = run_cli(capsys, "play", "--opponent", tmp_path / "missing.pt")
    assert status == 2 and line.startswith("tilora-zero play: error: --opponent: network checkpoint not found")
    status, line = run_cli(capsys, "play", "--opponent", broken)
    assert status == 2 and line.startswith("tilora-zero play: error: --opponent: ") and "broken.pt" in line
    status, line = run_cli(capsys, "play", "--port", busy_port)
    assert (status, line) == (2, f"tilora-zero play: error: --port {busy_port}: cannot listen on it: it is in use")
    status, line = run_cli(capsys, "show", records[0], "--web", "--port", busy_port)
    assert (status, line) == (2, f"tilora-zero show: error: --port {busy_port}: cannot listen on it: it is in use")
    status, line = run_cli(capsys, "show", tmp_path / "none", "--web")
    assert (status, line) == (2, f"tilora-zero show: error: {tmp_path / 'none'}: no such file or directory")


def test_playing_against_a_baseline_imports_no_torch():
    code = ("import sys; from tilora_zero.web.opponent import Opponent; from tilora_zero.web.session import "
            "PlaySession; s = PlaySession(Opponent('rollout', 2), 0); s.lay(0); print('torch' in sys.modules)")
    assert subprocess.run([sys.executable, "-c", code], capture_output=True, text=True, check=True).stdout == "False\n"


def test_a_checkpoint_plays_the_other_seats_through_its_network(tmp_path):
    pytest.importorskip("torch")
    from tilora_zero.networks.resnet import TiloraNet, save_checkpoint

    path = save_checkpoint(tmp_path / "net.pt", TiloraNet(1, 8))
    session = PlaySession(Opponent(str(path), 4), seat=3, seed=1)
    state = session.opponent_turn()
    game = replayed(state["moves"])
    assert [p for p, _ in state["moves"]] == [0] * len(state["moves"]) and game.current_player == 1
    from tilora_zero.networks import default_precision

    served = " int8" if default_precision(str(path)) == "int8" else ""  # the label names a quantised network
    assert session.opponent.label == f"{path}{served} (puct over placements, 4 sims)"

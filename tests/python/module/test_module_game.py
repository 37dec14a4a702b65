"""Whole games through the module: the requests, the replies it accepts, the
record it returns and what it prints."""

import array
import os
import re
import subprocess
import sys
import textwrap

import numpy as np
import pytest

import tilora_self_play
from module_fakes import BOARD_CELLS, FakePipe, FakeQueue, SearchConfig, legal_cells, returning

generate = tilora_self_play.generate_game_data
VALUES_4 = [0.1, 0.2, 0.3, 0.4]
SUMMARY = re.compile(r"^Game finished with payoff: \[(.*)\] and score: \[(.*)\]$")


def expected_planes(history, moves, mover):
    """Planes 0 to 3 after the first `moves` moves, seen from `mover`."""
    planes = np.zeros((4, BOARD_CELLS), dtype=np.float32)
    for player, cell in history[:moves]:
        planes[(player + 1 - mover) % 4, cell] = 1.0
    return planes


def play(config, respond=None, game_id=11):
    queue = FakeQueue()
    pipe = FakePipe(queue) if respond is None else FakePipe(queue, respond=respond)
    record = generate(game_id, config, queue, pipe)
    return record, queue


def test_requests_are_id_and_five_planes_of_400_floats(capfd):
    (history, _, _), queue = play(SearchConfig(sims_per_move=2), game_id=-12345)
    for request in queue.requests:
        assert type(request) is tuple and len(request) == 2
        assert request[0] == -12345
        planes = request[1]
        assert type(planes) is list and len(planes) == 5
        for plane in planes:
            assert type(plane) is list and len(plane) == BOARD_CELLS
            assert all(type(v) is float and v in (0.0, 1.0) for v in plane)
    first = queue.requests[0][1]
    assert not any(any(plane) for plane in first[:4])
    assert legal_cells(queue.requests[0]) == [0, 1, 2, 3, 4, 20, 21, 22, 23, 40, 41, 42, 60, 61, 80]
    capfd.readouterr()


def test_every_policy_lists_exactly_the_legal_tiles_of_its_position(capfd):
    (history, policies, payoff), queue = play(SearchConfig(sims_per_move=3, sample_moves=20))
    assert len(history) == len(policies) > 40
    # The root request of move i is the first request after move i - 1's root
    # showing the position after the first i moves (a leaf showing the same
    # position is the same game state).
    start = 0
    for i, (player, cell) in enumerate(history):
        expected = expected_planes(history, i, player)
        for index in range(start, len(queue.requests)):
            planes = np.asarray(queue.requests[index][1], dtype=np.float32)
            if np.array_equal(planes[:4], expected):
                break
        else:
            pytest.fail(f"no request shows the position of move {i}")
        start = index + 1
        legal = legal_cells(queue.requests[index])
        cells = [c for c, _ in policies[i]]
        assert sorted(cells) == legal, f"move {i}"
        assert len(set(cells)) == len(cells)
        assert cell in cells
        assert sum(share for _, share in policies[i]) == pytest.approx(1.0, abs=1e-5)
        assert all(type(c) is int and type(s) is float for c, s in policies[i])
    capfd.readouterr()


def test_record_shapes_and_summary_line(capfd):
    (history, policies, payoff), _ = play(SearchConfig(sims_per_move=2))
    out, err = capfd.readouterr()
    assert err == ""  # no progress bar when stderr is not a terminal
    assert all(type(p) is int and 0 <= p < 4 and type(c) is int and 0 <= c < 400 for p, c in history)
    assert len({c for _, c in history}) == len(history)
    assert type(payoff) is list and len(payoff) == 4 and all(type(v) is float for v in payoff)
    lines = out.splitlines()
    assert len(lines) == 1
    match = SUMMARY.match(lines[0])
    assert match, lines[0]
    # The summary prints each 32-bit share as the shortest text that reads back to it (a three-way tie's
    # 0.33333334), the record widens it to a Python float.
    printed_payoff = [np.float32(v) for v in match.group(1).split(", ")]
    scores = [int(v) for v in match.group(2).split(", ")]
    assert printed_payoff == [np.float32(v) for v in payoff]
    assert all("." in v for v in match.group(1).split(", "))
    best = max(scores)
    winners = [p for p in range(4) if scores[p] == best]
    assert payoff == [float(np.float32(1) / np.float32(len(winners))) if p in winners else 0.0 for p in range(4)]
    # A score counts the player's cells minus 89 (plus a bonus for laying all).
    for player in range(4):
        cells = sum(1 for p, _ in history if p == player)
        assert scores[player] in (cells - 89, cells - 89 + 15, cells - 89 + 20)


def test_single_legal_tile_root_gets_share_one(capfd):
    # Only cell 0 is covered by the policy: every root has one child.
    reply = [[0.0], [0.0, 0.0, 0.0, 0.0]]
    queue = FakeQueue()
    pipe = FakePipe(queue, respond=returning(reply), fail_on=2, failure=returning(["x", [0.0] * 4]))
    with pytest.raises(Exception, match='"Error running MCTS"'):
        generate(1, SearchConfig(sims_per_move=1), queue, pipe)
    # Move 1 was cell 0 alone, searched once; the root of move 2 failed.
    assert len(queue.requests) == 3
    out = capfd.readouterr().out
    assert out.count("\n") == 2


@pytest.mark.parametrize(
    "make_reply",
    [
        lambda: [[0.0] * 400, [0.1, 0.2, 0.3, 0.4]],
        lambda: ((0.0,) * 400, (0.1, 0.2, 0.3, 0.4, 9.0, 9.0)),
        lambda: (np.zeros(400, np.float32), np.array([0.1, 0.2, 0.3, 0.4], np.float32)),
        lambda: (np.zeros(400, np.float64), np.array([0.1, 0.2, 0.3, 0.4], np.float64)),
        lambda: (np.zeros(400, np.int64), [np.float32(0.1), 0.2, 1, 0.4]),
        lambda: (np.zeros((2, 400), np.float32)[0], np.zeros(8, np.float32)[::2]),
        lambda: (array.array("f", [0.0] * 400), array.array("d", [0.1, 0.2, 0.3, 0.4])),
        lambda: (memoryview(array.array("f", [0.0] * 400)), range(4)),
        lambda: {0: [0] * 400, 1: [False, True, 0.5, -1]},
        lambda: ([1e30] * 400, VALUES_4),  # e^logit overflows: priors from shifted logits
    ],
    ids=["lists", "tuples", "float32", "float64", "int64", "views", "array", "memoryview", "dict", "huge-logits"],
)
def test_accepted_reply_kinds(make_reply, capfd):
    reply = make_reply()
    (history, policies, _), queue = play(SearchConfig(sims_per_move=2), respond=returning(reply))
    assert len(history) == len(policies) > 40
    assert all(sum(s for _, s in entry) == pytest.approx(1.0, abs=1e-5) for entry in policies)
    capfd.readouterr()


def test_numpy_buffer_reads_the_same_values_as_the_sequence_protocol(capfd):
    # Logits that a float32 buffer and float() of its elements give alike;
    # with no noise and a deterministic search, the games must be identical.
    logits = np.linspace(-3, 3, 400).astype(np.float32)
    values = np.array([0.3, -0.2, 0.1, 0.05], np.float32)
    config = SearchConfig(sims_per_move=4, sample_moves=0, exploration_fraction=0.0)

    class Listy:
        """A sequence without a buffer, read element by element."""

        def __init__(self, a):
            self.a = a

        def __len__(self):
            return len(self.a)

        def __getitem__(self, i):
            return self.a[i]

    fast, _ = play(config, respond=returning((logits, values)))
    slow, _ = play(config, respond=returning((Listy(logits), Listy(values))))
    assert len(fast[0]) > 40
    # Children's order is random, so compare the visit shares per cell.
    assert [sorted(p) for p in fast[1][:1]] == [sorted(p) for p in slow[1][:1]]
    capfd.readouterr()


def test_progress_bar_is_drawn_on_a_terminal():
    import pty

    script = textwrap.dedent(
        """
        import sys
        sys.path[:0] = {paths!r}
        from module_fakes import FakePipe, FakeQueue, SearchConfig
        import tilora_self_play
        queue = FakeQueue()
        history, _, _ = tilora_self_play.generate_game_data(
            1, SearchConfig(sims_per_move=1), queue, FakePipe(queue))
        print(len(history))
        """
    ).format(paths=[os.path.dirname(os.path.abspath(__file__))] + sys.path)
    master, slave = pty.openpty()
    child = subprocess.Popen([sys.executable, "-c", script], stdout=subprocess.PIPE, stderr=slave, text=True)
    os.close(slave)
    chunks = []
    while True:
        try:
            chunk = os.read(master, 65536)
        except OSError:  # the child closed the terminal
            break
        if not chunk:
            break
        chunks.append(chunk)
    os.close(master)
    out, _ = child.communicate(timeout=120)
    assert child.returncode == 0
    lines = out.splitlines()
    assert lines[0].startswith("Game finished with payoff: ")
    moves = int(lines[1])
    drawn = b"".join(chunks).decode()
    assert drawn.startswith("\r")
    assert drawn.replace("\r\n", "\n").endswith(f" {moves}/400\n")
    assert " 0/400" in drawn

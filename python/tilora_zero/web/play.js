// `tilora-zero play`: the person's seat against the opponent's three. The server holds the one game every
// tab draws; each tab draws whatever the server answers, and asks for the opponent's placements at the pace
// the person chose, naming the version it drew so two tabs never play one turn twice.
"use strict";

import { $, call, ordinal, showError, sleep } from "./calls.js";
import { board, cellsNamed, clearOver, drawBoard, drawOver, lastPieces, seatName } from "./board.js";
import { drawTray, startTray } from "./tray.js";

const POLL_MS = 2000;  // how often an idle tab looks for changes made in another tab
let shown = null;  // the state drawn
let busy = false;  // a request of this tab's is in flight: the person's clicks wait
let stopping = false;  // New game was clicked while the opponent plays: its placements stop first
let next = null;  // resolves the wait for "Next placement" at the pace "when I click"

function setPhase(phase, text) {
  document.body.dataset.phase = phase;
  $("status").textContent = text;
}

// The cells of each piece, by piece number.
function pieceCells(state) {
  const cells = state.placed.map(() => []);
  state.moves.forEach(([, cell], i) => cells[state.pieces[i]].push(cell));
  return cells;
}

function swatch(seat) {
  const span = document.createElement("span");
  span.className = "swatch";
  span.style.background = board.colours[seat];
  return span;
}

function drawSeats(state) {
  const body = $("seats").tBodies[0];
  body.innerHTML = "";
  state.scores.forEach((score, seat) => {
    const row = body.insertRow();
    row.classList.toggle("you", seat === state.seat);
    row.classList.toggle("to-move", seat === state.to_move);
    const name = row.insertCell();
    name.append(swatch(seat), `${seatName(seat)}${seat === state.seat ? " — you" : ""}`);
    row.insertCell().textContent = state.covered[seat];
    row.insertCell().textContent = state.pieces_left[seat];
    const cell = row.insertCell();
    cell.id = `score-${seat}`;
    cell.textContent = score;
    row.insertCell().textContent = state.over ? `${ordinal(state.places[seat])}` :
      seat === state.to_move ? "to move" : state.out.includes(seat) ? "out" : "";
  });
}

function drawMoveList(state) {
  const list = $("movelist"), cells = pieceCells(state);
  list.innerHTML = "";
  state.placed.forEach(([seat, kind], number) => {
    const item = document.createElement("li");
    item.dataset.seat = seat;
    item.append(swatch(seat), `${seatName(seat)}: ${kind === null ? "laying " : ""}${cellsNamed(cells[number])}`);
    list.appendChild(item);
  });
  list.scrollTop = list.scrollHeight;
}

function drawRanking(state) {
  $("end").hidden = !state.over;
  if (!state.over) return;
  const list = $("ranking");
  list.innerHTML = "";
  const order = state.scores.map((_, seat) => seat).sort((a, b) => state.places[a] - state.places[b] || a - b);
  for (const seat of order) {
    const item = document.createElement("li");
    item.dataset.seat = seat;
    item.classList.toggle("you", seat === state.seat);
    item.append(`${ordinal(state.places[seat])}: `, swatch(seat),
      `${seatName(seat)}${seat === state.seat ? " (you)" : ""}, score ${state.scores[seat]}, payoff ${+state.payoff[seat].toFixed(3)}`);
    list.appendChild(item);
  }
}

function describeTurn(state) {
  const place = state.places && state.places[state.seat];
  const tied = place && state.places.filter((p) => p === place).length > 1;
  if (state.over) return ["over", `Game over: you finish ${ordinal(place)} of ${state.scores.length}${tied ? " (tied)" : ""}`];
  if (state.to_move === state.seat) {
    if (state.turn_started || $("by-cell").checked) return ["yours", "Your turn: click a shaded cell, and go on until your piece is complete"];
    return ["yours", "Your turn: pick a piece, turn it (R, F), click where its shadow is solid"];
  }
  return ["thinking", `${seatName(state.to_move)} is thinking…`];
}

function draw(state) {
  shown = state;
  const mine = state.to_move === state.seat, byCell = mine && (state.turn_started || $("by-cell").checked);
  document.body.dataset.moves = state.moves.length;
  document.body.dataset.version = state.version;
  drawBoard(state.moves, state.pieces, {
    legal: byCell ? state.legal : [], legalColour: board.colours[state.seat], laying: state.laid,
    marked: lastPieces(state.placed.map(([seat]) => seat)),
  });
  drawTray(state.remaining, byCell ? [] : state.placements, board.colours[state.seat], mine && !byCell);
  drawSeats(state);
  drawMoveList(state);
  drawRanking(state);
  $("opponent").textContent = `Opponent: ${state.opponent}`;
  $("undo").disabled = !state.can_undo;
  $("out").hidden = state.over || !state.out.includes(state.seat);
  $("hint-box").hidden = !state.hint;
  setPhase(...describeTurn(state));
  drawHint(state);
}

async function drawHint(state) {
  $("hint").innerHTML = "";
  clearOver("hint");
  if (!state.hint || !$("show-hint").checked || state.over || state.to_move !== state.seat) return;
  const hint = await call("GET", "/api/hint").catch(() => null);
  if (hint === null || shown !== state || hint.version !== state.version) return;
  const values = document.createElement("p");
  values.textContent = "Its value for each seat (expected share of the win): " +
    hint.values.map((v, seat) => `${seatName(seat)} ${(100 * v).toFixed(0)}%`).join(", ");
  const list = document.createElement("ol"), labelled = new Set();
  hint.placements.forEach(({ cells, weight }, i) => {
    const at = cells.find((cell) => !labelled.has(cell)) ?? cells[0];  // each number in a cell of its own
    labelled.add(at);
    const item = document.createElement("li");
    item.textContent = `${cellsNamed(cells)} (${(100 * weight).toFixed(0)}%)`;
    list.appendChild(item);
    drawOver("hint", [at, ...cells.filter((cell) => cell !== at)], { fill: "none", stroke: "#000", "stroke-width": 2, "stroke-dasharray": "2 2" }, i + 1);
  });
  $("hint").append(values, "The placements its policy favours for you:", list);
}

const paceMs = () => Number($("pace").value);

// Draws `state`, then has the opponent play its seats one placement at a time until the person's turn,
// each placement in view for the chosen pace.
async function follow(state) {
  draw(state);
  let first = true;
  while (!stopping && !state.over && state.to_move !== state.seat) {
    if (!first) {
      if (paceMs() < 0) {
        $("next").hidden = false;
        await new Promise((resolve) => { next = resolve; });
        $("next").hidden = true;
      } else {
        await sleep(paceMs());
      }
      if (stopping) break;
    }
    first = false;
    state = await call("POST", "/api/opponent", { version: state.version });
    draw(state);
  }
}

async function act(method, path, body) {
  if (busy) return;
  busy = true;
  try {
    showError(null);
    await follow(await call(method, path, body));
  } catch (error) {
    showError(error);
    await call("GET", "/api/state").then(draw).catch(() => {});
  } finally {
    busy = false;
  }
}

// Another tab may have played, or closed while the opponent was to move: an idle tab draws the server's game
// when it changed, and carries on with the opponent's turns.
async function poll() {
  if (busy || document.hidden) return;
  const state = await call("GET", "/api/state").catch(() => null);
  if (state === null || busy) return;
  if (shown === null || state.version !== shown.version || (!state.over && state.to_move !== state.seat)) act("GET", "/api/state");
}

export async function startPlay() {
  $("controls").hidden = false;
  $("pace").value = localStorage.getItem("pace") || $("pace").value;
  $("pace").addEventListener("change", () => localStorage.setItem("pace", $("pace").value));
  $("next").addEventListener("click", () => { if (next) next(); });
  $("undo").addEventListener("click", () => act("POST", "/api/undo"));
  $("new").addEventListener("click", async () => {
    stopping = true;
    if (next) next();
    while (busy) await sleep(50);
    stopping = false;
    act("POST", "/api/new");
  });
  $("by-cell").addEventListener("change", () => shown && draw(shown));
  $("show-hint").addEventListener("change", () => shown && drawHint(shown));
  $("board").addEventListener("click", (event) => {
    const cell = Number(event.target.dataset.cell);
    if (event.target.classList.contains("legal")) act("POST", "/api/lay", { cell });
  });
  startTray((cells) => act("POST", "/api/place", { cells }));
  setInterval(poll, POLL_MS);
  await act("GET", "/api/state");
}

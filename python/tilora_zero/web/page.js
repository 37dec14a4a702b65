// The page of `tilora-zero play` and `tilora-zero show DIR --web`: draws what the server says and sends
// the person's clicks; every rule is the engine's, on the server.
"use strict";

const SIZE = 26;  // pixels per cell
const SVG = "http://www.w3.org/2000/svg";
const $ = (id) => document.getElementById(id);
let board = null;  // /api/board: side, colours, start corners, pieces
let busy = false;  // a request of the person's is in flight: further clicks wait
let stopping = false;  // New game was clicked while the opponent plays: its placements stop first
const sleep = (ms) => new Promise((resolve) => setTimeout(resolve, ms));

async function call(method, path, body) {
  const options = { method, headers: { "Content-Type": "application/json" } };
  if (body !== undefined) options.body = JSON.stringify(body);
  let reply;
  try {
    reply = await fetch(path, options);
  } catch (error) {
    throw new Error("the server does not answer: is tilora-zero still running?");
  }
  const data = await reply.json().catch(() => ({ error: `the server answered ${reply.status}` }));
  if (!reply.ok) throw new Error(data.error || `the server answered ${reply.status}`);
  return data;
}

function showError(error) { $("error").textContent = error ? error.message : ""; }

function svgElement(name, attributes, parent) {
  const element = document.createElementNS(SVG, name);
  for (const [key, value] of Object.entries(attributes)) element.setAttribute(key, value);
  if (parent) parent.appendChild(element);
  return element;
}

// The board after `moves` ([player, cell]), each piece outlined (pieces[i]: move i's piece number).
function drawBoard(moves, pieces, legal, heat, ringed) {
  const side = board.side, svg = $("board");
  svg.innerHTML = "";
  svg.setAttribute("width", side * SIZE + 2);
  svg.setAttribute("height", side * SIZE + 2);
  const owner = new Array(side * side).fill(-1), piece = new Array(side * side).fill(-1);
  moves.forEach(([player, cell], i) => { owner[cell] = player; piece[cell] = pieces[i]; });
  const legalSet = new Set(legal);
  const most = heat ? Math.max(...heat[1], 1e-9) : 0;
  const shares = new Map(heat ? heat[0].map((cell, i) => [cell, heat[1][i]]) : []);
  for (let cell = 0; cell < side * side; cell++) {
    const x = 1 + (cell % side) * SIZE, y = 1 + Math.floor(cell / side) * SIZE;
    const fill = owner[cell] >= 0 ? board.colours[owner[cell]] : board.empty;
    const rect = svgElement("rect", { x, y, width: SIZE, height: SIZE, fill, class: "cell", "data-cell": cell }, svg);
    if (legalSet.has(cell)) {
      rect.classList.add("legal");
      rect.removeAttribute("fill");
      rect.addEventListener("click", () => lay(cell));
    }
    if (shares.has(cell)) {
      const share = shares.get(cell);
      svgElement("rect", { x, y, width: SIZE, height: SIZE, fill: "#7a00b8", "fill-opacity": 0.15 + 0.7 * share / most,
                           "pointer-events": "none", class: "heat" }, svg)
        .appendChild(svgElement("title", {})).textContent = `cell ${cell}: ${(100 * share).toFixed(1)}%`;
    }
  }
  board.start_corners.forEach((cell, player) => {
    if (owner[cell] >= 0) return;
    svgElement("circle", { cx: 1 + (cell % side + 0.5) * SIZE, cy: 1 + (Math.floor(cell / side) + 0.5) * SIZE,
                           r: SIZE / 4, fill: board.colours[player], stroke: "#000", "pointer-events": "none" }, svg);
  });
  const edge = (x1, y1, x2, y2) => svgElement("line", { x1, y1, x2, y2, stroke: "#000", "stroke-width": 1.5 }, svg);
  for (let cell = 0; cell < side * side; cell++) {
    if (piece[cell] < 0) continue;
    const r = Math.floor(cell / side), c = cell % side, x = 1 + c * SIZE, y = 1 + r * SIZE;
    const other = (rr, cc) => rr < 0 || cc < 0 || rr >= side || cc >= side || piece[rr * side + cc] !== piece[cell];
    if (other(r - 1, c)) edge(x, y, x + SIZE, y);
    if (other(r + 1, c)) edge(x, y + SIZE, x + SIZE, y + SIZE);
    if (other(r, c - 1)) edge(x, y, x, y + SIZE);
    if (other(r, c + 1)) edge(x + SIZE, y, x + SIZE, y + SIZE);
  }
  if (ringed !== undefined) {
    svgElement("rect", { x: 1 + (ringed % side) * SIZE, y: 1 + Math.floor(ringed / side) * SIZE, width: SIZE,
                         height: SIZE, fill: "none", stroke: "#000", "stroke-width": 3, "pointer-events": "none" }, svg);
  }
}

function drawScores(scores, payoff, seat) {
  const best = payoff ? Math.max(...payoff) : null;
  $("scores").innerHTML = "";
  scores.forEach((score, player) => {
    const row = $("scores").insertRow();
    if (player === seat) row.classList.add("you");
    if (payoff && best > 0 && payoff[player] === best) row.classList.add("winner");
    row.insertCell().innerHTML = `<span class="swatch" style="background:${board.colours[player]}"></span>` +
      `seat ${player} (${board.colour_names[player]})${player === seat ? " — you" : ""}`;
    const cell = row.insertCell();
    cell.id = `score-${player}`;
    cell.textContent = score;
    if (payoff) row.insertCell().textContent = `payoff ${payoff[player].toFixed(3)}`;
  });
}

function drawPieces(kinds, colour) {
  $("pieces").innerHTML = "";
  for (const kind of kinds) {
    const rows = board.pieces[kind].split("/"), unit = 9;
    const svg = svgElement("svg", { width: rows[0].length * unit + 2, height: rows.length * unit + 2 }, $("pieces"));
    rows.forEach((row, r) => [...row].forEach((ch, c) => {
      if (ch === "X") svgElement("rect", { x: 1 + c * unit, y: 1 + r * unit, width: unit - 1, height: unit - 1, fill: colour }, svg);
    }));
  }
}

// ---- play ----

function setPhase(phase, text) {
  document.body.dataset.phase = phase;
  $("status").textContent = text;
}

function drawPlay(state) {
  document.body.dataset.moves = state.moves.length;
  drawBoard(state.moves, state.pieces, state.legal);
  drawScores(state.scores, state.payoff, state.seat);
  drawPieces(state.remaining, board.colours[state.seat]);
  $("opponent").textContent = `Opponent: ${state.opponent}`;
  $("undo").disabled = !state.can_undo;
  $("payoff").hidden = !state.over;
  if (state.over) {
    const winners = state.payoff.map((p, i) => [p, i]).filter(([p]) => p > 0 && p === Math.max(...state.payoff));
    $("payoff").textContent = `Payoff: ${state.payoff.map((p) => p.toFixed(3)).join(", ")}; ` +
      (winners.length ? `won by seat ${winners.map(([, i]) => i).join(" and ")}` : "no winner");
    setPhase("over", "Game over");
  } else if (state.to_move === state.seat) {
    setPhase("yours", state.turn_started ? "Your turn: go on laying your piece" : "Your turn: click a highlighted cell");
  }
}

// Draws `state`, then lets the opponent play its seats one placement at a time until the person's turn.
async function follow(state) {
  drawPlay(state);
  while (!stopping && !state.over && state.to_move !== state.seat) {
    setPhase("thinking", `seat ${state.to_move} (${board.colour_names[state.to_move]}) thinking…`);
    await sleep(150);  // each placement stays in view a moment
    state = await call("POST", "/api/opponent");
    drawPlay(state);
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
    await call("GET", "/api/state").then(drawPlay).catch(() => {});
  } finally {
    busy = false;
  }
}

const lay = (cell) => act("POST", "/api/lay", { cell });

// ---- view ----

let recorded = null, position = 0;

function drawView() {
  const moves = recorded.moves.slice(0, position);
  const heat = position < recorded.moves.length ? recorded.policies[position] : null;
  const ringed = position < recorded.moves.length ? recorded.moves[position][1] : undefined;
  drawBoard(moves, recorded.pieces, [], heat && heat[0].length ? heat : null, ringed);
  const over = position === recorded.moves.length;
  drawScores(recorded.scores[position], over ? recorded.payoff : null, null);
  $("slider").value = position;
  $("move").textContent = over ? `end of game: ${recorded.moves.length} moves` :
    `move ${position + 1} of ${recorded.moves.length}: seat ${recorded.moves[position][0]} lays cell ${recorded.moves[position][1]}`;
  setPhase("view", `Game ${recorded.number}`);
}

async function showGame(number) {
  try {
    recorded = await call("GET", `/api/game?number=${number}`);
    position = 0;
    $("slider").max = recorded.moves.length;
    showError(null);
    drawView();
  } catch (error) { showError(error); }
}

function step(to) {
  if (!recorded) return;
  position = Math.max(0, Math.min(recorded.moves.length, to));
  drawView();
}

async function startViewer() {
  $("viewer").hidden = false;
  const listing = await call("GET", "/api/games");
  for (const game of listing.games) {
    const option = document.createElement("option");
    option.value = game.number;
    option.textContent = `game ${game.number} (${game.moves} moves, scores ${game.scores.join(" / ")})`;
    $("game").appendChild(option);
  }
  $("game").addEventListener("change", () => showGame($("game").value));
  $("first").addEventListener("click", () => step(0));
  $("back").addEventListener("click", () => step(position - 1));
  $("forward").addEventListener("click", () => step(position + 1));
  $("last").addEventListener("click", () => step(Infinity));
  $("slider").addEventListener("input", () => step(Number($("slider").value)));
  document.addEventListener("keydown", (event) => {
    if (event.key === "ArrowLeft") step(position - 1);
    if (event.key === "ArrowRight") step(position + 1);
  });
  await showGame(listing.games[0].number);
}

// ---- start ----

async function start() {
  try {
    board = await call("GET", "/api/board");
    const state = await call("GET", "/api/state").catch(() => null);
    if (state === null) return await startViewer();
    $("controls").hidden = false;
    $("undo").addEventListener("click", () => act("POST", "/api/undo"));
    $("new").addEventListener("click", async () => {
      stopping = true;
      while (busy) await sleep(50);
      stopping = false;
      act("POST", "/api/new");
    });
    busy = true;
    try { await follow(state); } finally { busy = false; }
  } catch (error) {
    showError(error);
  }
}

start();

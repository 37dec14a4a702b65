// `tilora-zero show DIR --web`: recorded games stepped through move by move, each move's visit shares shaded.
"use strict";

import { $, call, showError } from "./calls.js";
import { board, cellName, drawBoard, lastPieces, seatName } from "./board.js";

let recorded = null, position = 0;

function drawView() {
  const moves = recorded.moves.slice(0, position), over = position === recorded.moves.length;
  const heat = over ? null : recorded.policies[position];
  const seats = [];
  moves.forEach(([seat], i) => { seats[recorded.pieces[i]] = seat; });
  drawBoard(moves, recorded.pieces, {
    heat: heat && heat[0].length ? heat : null, ringed: over ? undefined : recorded.moves[position][1], marked: lastPieces(seats),
  });
  const scores = recorded.scores[position], body = $("view-scores").tBodies[0];
  body.innerHTML = "";
  scores.forEach((score, seat) => {
    const row = body.insertRow();
    row.insertCell().textContent = seatName(seat);
    row.insertCell().textContent = score;
    row.insertCell().textContent = over ? +recorded.payoff[seat].toFixed(3) : "";
  });
  $("slider").value = position;
  $("move").textContent = over ? `end of game: ${recorded.moves.length} moves` :
    `move ${position + 1} of ${recorded.moves.length}: ${seatName(recorded.moves[position][0])} lays ${cellName(recorded.moves[position][1])}`;
  document.body.dataset.position = position;
  document.body.dataset.phase = "view";
  $("status").textContent = `Game ${recorded.number}`;
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

export async function startViewer() {
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
    if (event.target.closest("input, select, textarea")) return;  // the slider and the list step by themselves
    if (event.key === "ArrowLeft") step(position - 1);
    if (event.key === "ArrowRight") step(position + 1);
  });
  await showGame(listing.games[0].number);
}

// The person's pieces: a tray to pick one from (those that fit somewhere now bright), turning and mirroring
// it, its shadow following the pointer over the board (solid where it fits, a red outline where it does
// not), spots where it fits as turned, and a click that lays it there.
"use strict";

import { $, svgElement } from "./calls.js";
import { board, cellAt, cellName, clearOver, drawOver } from "./board.js";

const UNIT = 12;  // pixels per cell in the tray
export const hand = { kind: null, turns: 0, flipped: false };  // the piece picked and how it is turned
let placements = new Map();  // the cells of each placement that ends the turn ("3,4,23") -> its kind
let colour = "#000";  // the person's
let pointed = -1;  // the board cell under the pointer
let place = null;  // lays a placement's cells

const key = (cells) => [...cells].sort((a, b) => a - b).join(",");

function catalogueShape(kind) {
  const cells = [];
  board.pieces[kind].split("/").forEach((row, r) => [...row].forEach((ch, c) => { if (ch === "X") cells.push([r, c]); }));
  return cells;
}

// The piece's cells turned clockwise `turns` quarter turns after mirroring when `flipped`, shifted to the top
// left and listed row by row.
export function oriented(kind, turns, flipped) {
  let cells = catalogueShape(kind).map(([r, c]) => (flipped ? [r, -c] : [r, c]));
  for (let i = 0; i < turns; i++) cells = cells.map(([r, c]) => [c, -r]);
  return shifted(cells);
}

function shifted(cells) {
  const top = Math.min(...cells.map(([r]) => r)), left = Math.min(...cells.map(([, c]) => c));
  return cells.map(([r, c]) => [r - top, c - left]).sort((a, b) => a[0] - b[0] || a[1] - b[1]);
}

// The cell of a shape that the pointer holds: the one nearest the middle of the shape.
function handle(shape) {
  const rows = Math.max(...shape.map(([r]) => r)), columns = Math.max(...shape.map(([, c]) => c));
  const distance = ([r, c]) => (2 * r - rows) ** 2 + (2 * c - columns) ** 2;
  return shape.reduce((best, cell) => (distance(cell) < distance(best) ? cell : best));
}

// The board cells the picked piece covers with its handle on `cell`, or null where it leaves the board.
function coveredFrom(cell) {
  const shape = oriented(hand.kind, hand.turns, hand.flipped), [hr, hc] = handle(shape), side = board.side;
  const r0 = Math.floor(cell / side) - hr, c0 = (cell % side) - hc;
  const cells = shape.map(([r, c]) => [r0 + r, c0 + c]);
  if (cells.some(([r, c]) => r < 0 || c < 0 || r >= side || c >= side)) return null;
  return cells.map(([r, c]) => r * side + c);
}

// The handle cells where the picked piece, as turned, fits.
function spots() {
  const shape = oriented(hand.kind, hand.turns, hand.flipped), [hr, hc] = handle(shape), side = board.side;
  const form = JSON.stringify(shape), found = [];
  for (const [cells, kind] of placements) {
    if (kind !== hand.kind) continue;
    const grid = cells.split(",").map(Number).map((cell) => [Math.floor(cell / side), cell % side]);
    const moved = shifted(grid);
    if (JSON.stringify(moved) !== form) continue;
    const top = Math.min(...grid.map(([r]) => r)), left = Math.min(...grid.map(([, c]) => c));
    found.push((top + hr) * side + left + hc);
  }
  return found;
}

function drawShadow() {
  clearOver("shadow");
  const svg = $("board");
  delete svg.dataset.shadow;
  if (hand.kind === null || pointed < 0) return;
  const cells = coveredFrom(pointed);
  const fits = cells !== null && placements.has(key(cells));
  svg.dataset.shadow = fits ? "fits" : "no";
  const shown = cells || [];
  drawOver("shadow", shown, fits ? { fill: colour, "fill-opacity": 0.55, stroke: "#000", "stroke-width": 2.5, "stroke-dasharray": "5 3" } :
    { fill: "#c00", "fill-opacity": 0.15, stroke: "#c00", "stroke-width": 2, "stroke-dasharray": "4 2" });
}

// Draws the spots and the shadow of the piece in hand afresh (after a turn, or a new board).
export function drawHand() {
  clearOver("spot");
  if (hand.kind !== null) drawOver("spot", spots(), { fill: "none", stroke: colour, "stroke-width": 3, rx: 6 });
  drawShadow();
  for (const button of $("tray").children) button.classList.toggle("picked", Number(button.dataset.kind) === hand.kind);
  const picked = $("tray").querySelector(".picked");
  if (picked) drawPiece(picked.firstChild, hand.kind, hand.turns, hand.flipped);
  $("rotate").disabled = $("flip").disabled = hand.kind === null;
}

function drawPiece(svg, kind, turns, flipped) {
  svg.innerHTML = "";
  const shape = oriented(kind, turns, flipped);
  const size = (1 + Math.max(...shape.flat())) * UNIT + 2;  // square, so a turn keeps the tray still
  svg.setAttribute("width", size);
  svg.setAttribute("height", size);
  for (const [r, c] of shape) svgElement("rect", { x: 1 + c * UNIT, y: 1 + r * UNIT, width: UNIT - 1, height: UNIT - 1, fill: colour }, svg);
}

// The tray of `remaining` kinds in the person's `seatColour`; `turnPlacements` ([kind, cells]) are those
// that end the person's turn now, when it is `yours`.
export function drawTray(remaining, turnPlacements, seatColour, yours) {
  colour = seatColour;
  placements = new Map(turnPlacements.map(([kind, cells]) => [key(cells), kind]));
  const fitting = new Set(turnPlacements.map(([kind]) => kind));
  if (!fitting.has(hand.kind)) hand.kind = null;
  $("tray").innerHTML = "";
  $("tray").classList.toggle("waiting", !yours);
  for (const kind of remaining) {
    const button = document.createElement("button");
    button.className = "piece";
    button.dataset.kind = kind;
    button.disabled = !fitting.has(kind);
    button.title = fitting.has(kind) ? `piece of ${catalogueShape(kind).length}` : "fits nowhere now";
    drawPiece(svgElement("svg", {}, button), kind, 0, false);
    button.addEventListener("click", () => pick(kind));
    $("tray").appendChild(button);
  }
  $("fitting").textContent = yours ? `${remaining.length} left, ${fitting.size} of them fit somewhere now` : `${remaining.length} left`;
  drawHand();
}

export function pick(kind) {
  if (hand.kind !== kind) Object.assign(hand, { kind, turns: 0, flipped: false });
  drawHand();
}

export function turn(quarters) {
  if (hand.kind === null) return;
  hand.turns = (hand.turns + quarters + 4) % 4;
  drawHand();
}

export function flip() {
  if (hand.kind === null) return;
  hand.flipped = !hand.flipped;
  drawHand();
}

// Wires the board's pointer, the buttons and the keys; `lay(cells)` lays a placement that fits.
export function startTray(lay) {
  place = lay;
  const svg = $("board");
  svg.addEventListener("pointermove", (event) => {
    const cell = cellAt(event);
    $("pointer").textContent = cell >= 0 ? cellName(cell) : "";
    if (cell !== pointed) { pointed = cell; drawShadow(); }
  });
  svg.addEventListener("pointerleave", () => { pointed = -1; $("pointer").textContent = ""; drawShadow(); });
  svg.addEventListener("click", (event) => {
    const cell = cellAt(event);
    if (hand.kind === null || cell < 0) return;
    const cells = coveredFrom(cell);
    if (cells !== null && placements.has(key(cells))) place(cells);
  });
  $("rotate").addEventListener("click", () => turn(1));
  $("flip").addEventListener("click", flip);
  document.addEventListener("keydown", (event) => {
    if (event.target.closest("input, select, textarea") || event.ctrlKey || event.metaKey || event.altKey) return;
    if (event.key === "r" || event.key === "R") turn(event.shiftKey ? -1 : 1);
    else if (event.key === "f" || event.key === "F") flip();
    else if (event.key === "Escape") pick(null);
  });
}

// The board: cells in the seats' colours, each piece outlined, the column letters and row numbers around it,
// each seat's last placement dotted; overlays (a piece's shadow, the hint) drawn over it by the other parts.
"use strict";

import { $, svgElement } from "./calls.js";

export const SIZE = 26;  // pixels per cell
const MARGIN = 20;  // room for the coordinates
export let board = null;  // /api/board: side, colours, start corners, pieces, column letters

export function setBoard(info) { board = info; }

export const cellName = (cell) => board.columns[cell % board.side] + (Math.floor(cell / board.side) + 1);
export const cellsNamed = (cells) => cells.map(cellName).join(" ");
const cellX = (cell) => MARGIN + (cell % board.side) * SIZE;
const cellY = (cell) => MARGIN + Math.floor(cell / board.side) * SIZE;
export const seatName = (seat) => `seat ${seat} (${board.colour_names[seat]})`;

// The cell under a pointer event, or -1 off the board.
export function cellAt(event) {
  const box = $("board").getBoundingClientRect();
  const c = Math.floor((event.clientX - box.left - MARGIN) / SIZE), r = Math.floor((event.clientY - box.top - MARGIN) / SIZE);
  return r >= 0 && c >= 0 && r < board.side && c < board.side ? r * board.side + c : -1;
}

// The piece numbers each seat laid last, from the seat of every piece (in the order laid).
export function lastPieces(seats) {
  const last = new Map();
  seats.forEach((seat, number) => last.set(seat, number));
  return new Set(last.values());
}

// Draws the board after `moves` ([seat, cell]); pieces[i] is move i's piece number. Options: legal (cells
// to click, in `legalColour`), laying (cells of a piece not finished), marked (piece numbers to dot),
// heat ([cells, shares]), ringed (a cell).
export function drawBoard(moves, pieces, options = {}) {
  const side = board.side, svg = $("board");
  svg.innerHTML = "";
  svg.setAttribute("width", MARGIN + side * SIZE + 2);
  svg.setAttribute("height", MARGIN + side * SIZE + 2);
  for (let i = 0; i < side; i++) {
    svgElement("text", { x: MARGIN + (i + 0.5) * SIZE, y: MARGIN - 6, class: "coordinate" }, svg).textContent = board.columns[i];
    svgElement("text", { x: MARGIN - 4, y: MARGIN + (i + 0.5) * SIZE + 4, class: "coordinate row" }, svg).textContent = i + 1;
  }
  const owner = new Array(side * side).fill(-1), piece = new Array(side * side).fill(-1);
  moves.forEach(([seat, cell], i) => { owner[cell] = seat; piece[cell] = pieces[i]; });
  const legal = new Set(options.legal || []), laying = new Set(options.laying || []);
  const heat = options.heat ? new Map(options.heat[0].map((cell, i) => [cell, options.heat[1][i]])) : new Map();
  const most = Math.max(...heat.values(), 1e-9);
  for (let cell = 0; cell < side * side; cell++) {
    const x = cellX(cell), y = cellY(cell);
    const fill = owner[cell] >= 0 ? board.colours[owner[cell]] : board.empty;
    const rect = svgElement("rect", { x, y, width: SIZE, height: SIZE, fill, class: "cell", "data-cell": cell }, svg);
    if (legal.has(cell)) {
      rect.classList.add("legal");
      rect.setAttribute("fill", options.legalColour);
    }
    if (laying.has(cell)) rect.classList.add("laying");
    if (heat.has(cell)) {
      const share = heat.get(cell);
      svgElement("rect", { x, y, width: SIZE, height: SIZE, fill: "#7a00b8", "fill-opacity": 0.15 + 0.7 * share / most, class: "heat" }, svg);
      // The title goes on the cell, which is what the pointer is over: the shading lets the pointer through.
      svgElement("title", {}, rect).textContent = `${cellName(cell)}: ${(100 * share).toFixed(1)}% of the visits`;
    }
  }
  board.start_corners.forEach((cell, seat) => {
    if (owner[cell] < 0) svgElement("circle", { cx: cellX(cell) + SIZE / 2, cy: cellY(cell) + SIZE / 2, r: SIZE / 4, fill: board.colours[seat], class: "corner" }, svg);
  });
  const edge = (x1, y1, x2, y2) => svgElement("line", { x1, y1, x2, y2, class: "edge" }, svg);
  const marked = options.marked || new Set();
  for (let cell = 0; cell < side * side; cell++) {
    if (piece[cell] < 0) continue;
    const r = Math.floor(cell / side), c = cell % side, x = cellX(cell), y = cellY(cell);
    const other = (rr, cc) => rr < 0 || cc < 0 || rr >= side || cc >= side || piece[rr * side + cc] !== piece[cell];
    if (other(r - 1, c)) edge(x, y, x + SIZE, y);
    if (other(r + 1, c)) edge(x, y + SIZE, x + SIZE, y + SIZE);
    if (other(r, c - 1)) edge(x, y, x, y + SIZE);
    if (other(r, c + 1)) edge(x + SIZE, y, x + SIZE, y + SIZE);
    if (marked.has(piece[cell])) svgElement("circle", { cx: x + SIZE / 2, cy: y + SIZE / 2, r: 3.5, class: "last", "data-cell": cell }, svg);
  }
  if (options.ringed !== undefined) {
    svgElement("rect", { x: cellX(options.ringed), y: cellY(options.ringed), width: SIZE, height: SIZE, class: "ringed" }, svg);
  }
  svgElement("g", { id: "overlay" }, svg);
}

// Draws `cells` over the board, each a rect of class `kind` (a piece's shadow, a hint, a spot where the
// chosen piece fits) with `attributes`, the first labelled with `label` if given.
export function drawOver(kind, cells, attributes = {}, label) {
  const overlay = $("overlay");
  for (const cell of cells) {
    svgElement("rect", { x: cellX(cell) + 1, y: cellY(cell) + 1, width: SIZE - 2, height: SIZE - 2, class: kind, "data-cell": cell, ...attributes }, overlay);
  }
  if (label !== undefined && cells.length) {
    svgElement("text", { x: cellX(cells[0]) + SIZE / 2, y: cellY(cells[0]) + SIZE / 2 + 5, class: `${kind} label` }, overlay).textContent = label;
  }
}

export function clearOver(kind) {
  for (const element of [...$("overlay").querySelectorAll(`.${kind}`)]) element.remove();
}

// The page of `tilora-zero play` and `tilora-zero show DIR --web`: draws what the server says and sends the
// person's choices; every rule is the engine's, on the server.
"use strict";

import { call, showError } from "./calls.js";
import { setBoard } from "./board.js";
import { startPlay } from "./play.js";
import { startViewer } from "./view.js";

async function start() {
  try {
    const info = await call("GET", "/api/board");
    setBoard(info);
    await (info.mode === "play" ? startPlay() : startViewer());
  } catch (error) {
    showError(error);
  }
}

start();

#!/usr/bin/env bash
# The training cycle of learn_vs_uniform.sh on a machine with no other jobs,
# with its sizes as settings. Defaults (the v2 run): four generations of 64
# self-play games at 8 simulations per move, 300 training steps of 64
# positions on the newest 256 games, 20-game matches after each generation;
# then the final network plays 100 games against three uniform seats, served
# as in training and as its policy alone.
#
#   experiments/learn_vs_uniform_v2.sh [RUN_DIR]
#   NAME=learn_vs_uniform_v3 GENERATIONS=4 GAMES=128 SIMS=16 STEPS=400 BATCH=128 WINDOW=384 \
#     experiments/learn_vs_uniform_v2.sh
set -euo pipefail
cd "$(dirname "$0")/.."
NAME="${NAME:-learn_vs_uniform_v2}"
GENERATIONS="${GENERATIONS:-4}" GAMES="${GAMES:-64}" SIMS="${SIMS:-8}"
STEPS="${STEPS:-300}" BATCH="${BATCH:-64}" WINDOW="${WINDOW:-256}"
RUN="${1:-runs/$NAME}"
OUT="experiments/$NAME"
PY="${PYTHON:-python3}"
start=$(date +%s)
"$PY" -m tilora_zero.cli loop --out "$RUN" --generations "$GENERATIONS" --games-per-generation "$GAMES" \
  --train-steps "$STEPS" --batch-size "$BATCH" --lr 0.002 --window "$WINDOW" --blocks 3 --channels 16 \
  --sims "$SIMS" --sample-moves 30 --arena-games 20 --arena-sims 8 --arena-layout 1v3 --workers 2 \
  --threads 1 --seed 1 --no-progress
final="$RUN/checkpoints/gen-$(printf %03d "$GENERATIONS").pt"
"$PY" -m tilora_zero.cli arena --a "$final" --b uniform --games 100 --layout 1v3 --sims 8 --workers 2 \
  --no-progress --json "$RUN/final_arena.json"
"$PY" -m tilora_zero.cli arena --a "$final" --b uniform --games 100 --layout 1v3 --sims 8 --workers 2 \
  --value-convention share --no-progress --json "$RUN/final_arena_share.json"
mkdir -p "$OUT"
cp "$RUN/loop.json" "$RUN/metrics.jsonl" "$RUN/arena.png" "$RUN/losses.png" "$RUN/final_arena.json" \
  "$RUN/final_arena_share.json" "$OUT/"
echo "wall time: $(( $(date +%s) - start )) s" | tee "$OUT/wall_time.txt"

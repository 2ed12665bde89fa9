#!/usr/bin/env bash
# Builds the seed corpora of the fuzz targets from the test fixtures.
#   fuzz/make-seeds.sh OUT_DIR
# OUT_DIR/models       Keras descriptions converted from the fixtures (the
#                      weights target loads weights into these)
# OUT_DIR/seeds/<t>    one seed directory per target
set -euo pipefail
cd "$(dirname "$0")/.."
out=$1
python=${PYTHON:-/usr/bin/python3}
rm -rf "$out/models" "$out/seeds"
mkdir -p "$out/models" "$out/seeds/keras" "$out/seeds/weights" "$out/seeds/tensor_file" "$out/seeds/onnx" \
  "$out/seeds/pipeline" "$out/seeds/flat"

index=0
for dir in $(ls -d tests/fixtures/keras/*/ | sort); do
  name=$(basename "$dir")
  [ -f "$dir/model.json" ] || continue
  "$python" tools/keras2corvus "$dir/model.json" "$out/models/$name.json" "$out/weights-$name.bin" >/dev/null
  cp "$out/models/$name.json" "$out/seeds/keras/$name.json"
  index=$((index + 1))
done

# Weights seeds: a byte choosing the model (sorted order), then its weights.
index=0
for model in $(ls "$out"/models/*.json | sort); do
  name=$(basename "$model" .json)
  { printf "\\$(printf '%03o' "$index")"; cat "$out/weights-$name.bin"; } > "$out/seeds/weights/$name.bin"
  rm -f "$out/weights-$name.bin"
  index=$((index + 1))
done

# Converted-ONNX descriptions: there are no fixtures of that format, so the
# seeds are small hand-written documents kept beside the targets.
cp fuzz/seeds/onnx/*.json "$out/seeds/onnx/"

# The flat interface loads the same documents, and the once-failing ones.
cp fuzz/seeds/onnx/*.json tests/fuzz/inputs/onnx/*.json "$out/seeds/flat/"

# The whole-pipeline target reads any bytes as a layer grammar: a few
# pseudo-random strings of several lengths, and its kept regression inputs.
"$python" - "$out/seeds/pipeline" <<'PY'
import random, sys
for i, n in enumerate([16, 64, 256, 1024, 4096, 512, 2048, 128]):
    rnd = random.Random(i)
    open(f"{sys.argv[1]}/random_{i}", "wb").write(bytes(rnd.randrange(256) for _ in range(n)))
PY
cp tests/fuzz/inputs/pipeline/* "$out/seeds/pipeline/" 2>/dev/null || true

# Tensor files: magic 66, type, layout, rank, shape, strides, data.
"$python" - "$out/seeds/tensor_file" <<'PY'
import struct, sys
out = sys.argv[1]
def tensor(name, dtype, layout, shape, stride, data, fmt):
    with open(f"{out}/{name}", "wb") as f:
        f.write(struct.pack("<4I", 66, dtype, layout, len(shape)))
        f.write(struct.pack(f"<{len(shape)}I", *shape))
        f.write(struct.pack(f"<{len(stride)}I", *stride))
        f.write(struct.pack(f"<{len(data)}{fmt}", *data))
tensor("f32_2x3", 0, 0x1FF0, [2, 3], [3, 1], [1, -2, 3.5, 0, 1e-3, 7], "f")
tensor("i8_vec", 5, 0xFFF0, [5], [1], [1, -1, 0, 127, -128], "b")
tensor("u8_padded_rows", 4, 0xF10F, [2, 2], [4, 1], list(range(8)), "B")
tensor("i32_nhwc", 2, 0x3210, [1, 2, 2, 2], [8, 4, 2, 1], list(range(8)), "i")
tensor("f16_vec", 1, 0xFFF0, [3], [1], [0x3C00, 0x4000, 0xC000], "H")
tensor("scalar", 0, 0xFFFF, [], [], [], "f")
PY

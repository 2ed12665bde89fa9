# Developer entry points. `make test` is what CI runs.
BUILD_DIR ?= build
SAN_BUILD_DIR ?= build-san
TSAN_BUILD_DIR ?= build-tsan
DEMO_DIR ?= build-demo
JOBS ?= $(shell nproc 2>/dev/null || echo 2)

.PHONY: all deps build test test-host test-tsan bench demo clean

all: build

deps:
	@bash scripts/install-deps.sh

build: deps
	cmake -S . -B $(BUILD_DIR) -DCMAKE_BUILD_TYPE=Release
	cmake --build $(BUILD_DIR) -j $(JOBS)

# CI: the sanitizer suite, the sources' format, the threaded tests under ThreadSanitizer, the
# machine-code check of the default build, a short fuzz of every reader,
# then the suite on aarch64 under qemu (both defined at the end of this
# file; the latter checks its machine code too).
test: test-host
	$(MAKE) format-check
	$(MAKE) test-tsan
	$(MAKE) codegen-check
	$(MAKE) fuzz-short
	$(MAKE) test-aarch64

# The hot kernels of the default Release build's best level (x86-64-v4 on
# x86-64) contain vector fused multiply-adds and never call fmaf.
.PHONY: codegen-check
codegen-check: build
	$(PYTHON) scripts/check-codegen.py $(BUILD_DIR)/libcorvus.so x86_64 2

# Tests run under AddressSanitizer, LeakSanitizer and UndefinedBehaviorSanitizer.
test-host: deps
	cmake -S . -B $(SAN_BUILD_DIR) -DCMAKE_BUILD_TYPE=Debug -DCORVUS_SANITIZE=ON
	cmake --build $(SAN_BUILD_DIR) -j $(JOBS)
	cd $(SAN_BUILD_DIR) && ctest --output-on-failure -j $(JOBS)

# The tests of models on several cores under ThreadSanitizer (its own build:
# it excludes AddressSanitizer).
TSAN_TESTS ?= Execution.*:CpuBackend.*Cores*
.PHONY: test-tsan
test-tsan: deps
	cmake -S . -B $(TSAN_BUILD_DIR) -DCMAKE_BUILD_TYPE=RelWithDebInfo -DCORVUS_TSAN=ON
	cmake --build $(TSAN_BUILD_DIR) -j $(JOBS) --target corvus_thread_tests
	cd $(TSAN_BUILD_DIR)/tests && TSAN_OPTIONS=halt_on_error=1 ./corvus_thread_tests --gtest_filter='$(TSAN_TESTS)'

bench: deps
	cmake -S . -B $(BUILD_DIR) -DCMAKE_BUILD_TYPE=Release -DCORVUS_BUILD_BENCH=ON
	cmake --build $(BUILD_DIR) -j $(JOBS)
	@for b in $(BUILD_DIR)/bench/bench_*; do [ -x "$$b" ] && "$$b"; done

# The release library, headers, pkg-config file, CMake package and the
# corvus tool under PREFIX (lib/, include/corvus/, bin/).
PREFIX ?= /usr/local
.PHONY: install
install: deps
	cmake -S . -B $(BUILD_DIR) -DCMAKE_BUILD_TYPE=Release
	cmake --build $(BUILD_DIR) -j $(JOBS) --target corvus corvus_cli
	cmake --install $(BUILD_DIR) --prefix $(PREFIX)

clean:
	rm -rf $(BUILD_DIR) $(SAN_BUILD_DIR) $(DEMO_DIR)

# Regenerates the Keras conformance fixtures with TensorFlow.js (needs Node
# and the npm registry; the tests themselves use the committed files).
.PHONY: fixtures
FIXTURES_DIR := tests/fixtures/keras
PYTHON ?= /usr/bin/python3
fixtures:
	cd scripts/keras-fixtures && npm install --ignore-scripts --no-audit --no-fund
	rm -rf $(FIXTURES_DIR) && mkdir -p $(FIXTURES_DIR)
	node scripts/keras-fixtures/generate.mjs $(FIXTURES_DIR)
	for m in conv_net lstm; do $(PYTHON) scripts/keras-fixtures/tfjs_to_h5.py $(FIXTURES_DIR)/$$m $(FIXTURES_DIR)/$$m/model.h5; done

# ONNX conformance: the ONNX backend node tests generated from the installed
# onnx package, and the real architectures of conformance/run_models.py
# exported from PyTorch and checked against ONNX Runtime (CPU). Heavy, so not
# part of `make test`; reports go to $(CONF_DIR)/node-tests.md and models.md.
.PHONY: conformance
CONF_DIR ?= build-conformance
CONF_PYTHON ?= /usr/bin/python3
conformance: deps
	@bash conformance/install-deps.sh
	cmake -S conformance/runner -B $(CONF_DIR)/runner -DCMAKE_BUILD_TYPE=Release
	cmake --build $(CONF_DIR)/runner -j $(JOBS)
	cd conformance/ort && npm install --ignore-scripts --no-audit --no-fund
	rm -rf $(CONF_DIR)/onnx-node-data && $(CONF_PYTHON) conformance/gen_node_tests.py $(CONF_DIR)/onnx-node-data
	status=0; \
	$(CONF_PYTHON) conformance/run_node_tests.py $(CONF_DIR)/onnx-node-data/node $(CONF_DIR)/node-runs \
	  $(CONF_DIR)/runner/onnx_conformance_runner --markdown $(CONF_DIR)/node-tests.md > $(CONF_DIR)/node-tests.log || status=1; \
	tail -n 3 $(CONF_DIR)/node-tests.md; grep FAILED $(CONF_DIR)/node-tests.md || true; \
	$(CONF_PYTHON) conformance/run_models.py $(CONF_DIR) $(CONF_DIR)/runner/onnx_conformance_runner \
	  --markdown $(CONF_DIR)/models.md || status=1; \
	$(CONF_PYTHON) conformance/make_report.py $(CONF_DIR)/node-tests.md $(CONF_DIR)/models.md docs/onnx-conformance.md; \
	exit $$status

# Real architectures converted and checked against ONNX Runtime, with their
# times: the conformance models, torchvision classifiers that export at
# opset 13, the MobileNetV3 segmentation models, ShuffleNetV2, a transformer
# encoder and decoder, a 1-D convolutional audio net and a small LSTM. The table goes
# into the "Real architectures" section of docs/onnx-conformance.md.
.PHONY: models
MODELS_DIR ?= build-models
MODEL_LIST ?= resnet18 resnet34 resnet50 resnext50_32x4d mobilenet_v2 mobilenet_v3_small mobilenet_v3_large \
  squeezenet1_0 squeezenet1_1 shufflenet_v2_x0_5 shufflenet_v2_x1_0 efficientnet_b0 efficientnet_b1 \
  mnasnet1_0 densenet121 googlenet inception_v3 alexnet regnet_x_400mf regnet_y_400mf efficientnet_v2_s \
  convnext_tiny swin_t lraspp_mobilenet_v3 deeplabv3_mobilenet_v3 transformer_encoder transformer_decoder \
  audio_conv1d small_lstm
models: deps
	@bash conformance/install-deps.sh
	cmake -S conformance/runner -B $(MODELS_DIR)/runner -DCMAKE_BUILD_TYPE=Release
	cmake --build $(MODELS_DIR)/runner -j $(JOBS)
	$(CC) -O2 -std=c99 -Iinclude bench/compare/corvus_time.c -o $(MODELS_DIR)/corvus_time \
	  -L$(MODELS_DIR)/runner/corvus -lcorvus -Wl,-rpath,$(abspath $(MODELS_DIR)/runner/corvus)
	cd conformance/ort && npm install --ignore-scripts --no-audit --no-fund
	status=0; $(CONF_PYTHON) conformance/run_models.py $(MODELS_DIR) $(MODELS_DIR)/runner/onnx_conformance_runner \
	  --models "$$(echo $(MODEL_LIST) | tr ' ' ',')" --time $(MODELS_DIR)/corvus_time \
	  --markdown $(MODELS_DIR)/models.md || status=1; \
	$(CONF_PYTHON) conformance/make_report.py --models $(MODELS_DIR)/models.md docs/onnx-conformance.md; \
	exit $$status

# Seeded faults (tests/mutants/*.txt): each is applied in a private copy of
# the tree, rebuilt and run against the suite with fail-fast; prints killed,
# survived and the score. Long (about an hour on two cores), so not part of
# `make test`. MUTANTS=id,id runs a few.
.PHONY: mutants coverage
MUT_DIR ?= build-mutants
MUTANTS ?=
mutants: deps
	$(PYTHON) scripts/mutants.py $(MUT_DIR) --jobs $(JOBS) --report $(MUT_DIR)/report.tsv \
	  $(if $(MUTANTS),--only $(MUTANTS))

# Line coverage of src/ and kernels/ by the suite (gcovr).
COV_DIR ?= build-coverage
coverage: deps
	@bash scripts/install-deps.sh gcovr
	cmake -S . -B $(COV_DIR) -DCMAKE_BUILD_TYPE=Debug -DCORVUS_COVERAGE=ON
	cmake --build $(COV_DIR) -j $(JOBS)
	find $(COV_DIR) -name '*.gcda' -delete
	cd $(COV_DIR) && ctest -j $(JOBS) --output-on-failure
	gcovr -r . --object-directory $(COV_DIR) --filter src/ --filter kernels/ --print-summary \
	  --txt $(COV_DIR)/coverage.txt

# Fuzzing with clang's libFuzzer (address and undefined-behaviour sanitizers):
# `make fuzz` runs every target FUZZ_SECONDS, `make fuzz-short` (CI)
# FUZZ_SHORT_SECONDS, two targets at a time; each then replays its corpus with
# the usual fatal exit and leak checks. Findings: $(FUZZ_BUILD_DIR)/artifacts.
FUZZ_BUILD_DIR ?= build-fuzz
FUZZ_SECONDS ?= 600
FUZZ_SHORT_SECONDS ?= 60
FUZZ_TARGETS ?= keras weights tensor_file onnx pipeline flat
.PHONY: fuzz fuzz-short fuzz-build
fuzz-build: deps
	cmake -S . -B $(FUZZ_BUILD_DIR) -DCMAKE_C_COMPILER=clang -DCMAKE_CXX_COMPILER=clang++ \
	  -DCMAKE_BUILD_TYPE=RelWithDebInfo -DCORVUS_FUZZ=ON -DCORVUS_BUILD_TESTS=OFF
	cmake --build $(FUZZ_BUILD_DIR) -j $(JOBS) --target fuzz_all
	fuzz/make-seeds.sh $(FUZZ_BUILD_DIR)
fuzz: fuzz-build
	fuzz/run.sh $(abspath $(FUZZ_BUILD_DIR)) $(FUZZ_SECONDS) $(FUZZ_TARGETS)
	$(MAKE) differential

# Random layer graphs run as built and optimised, under the sanitizers
# (fuzz/differential.cpp): SEEDS seeds from FIRST_SEED; the suite runs 60.
SEEDS ?= 2000
FIRST_SEED ?= 1000
.PHONY: differential soak
differential: deps
	cmake -S . -B $(SAN_BUILD_DIR) -DCMAKE_BUILD_TYPE=Debug -DCORVUS_SANITIZE=ON
	cmake --build $(SAN_BUILD_DIR) -j $(JOBS) --target corvus_differential
	$(SAN_BUILD_DIR)/tests/corvus_differential --seeds $(SEEDS) --first $(FIRST_SEED)

# Long runs of the bundled digits model through the flat interface: 10,000
# load-predict-release cycles, then 100,000 predictions of one model; fails
# when resident memory grows or descriptors stay open (fuzz/soak.cpp).
# Release build: a sanitizer's quarantine would mask the figures.
soak: deps
	cmake -S . -B $(BUILD_DIR) -DCMAKE_BUILD_TYPE=Release
	cmake --build $(BUILD_DIR) -j $(JOBS) --target corvus_soak
	$(BUILD_DIR)/tests/corvus_soak $(DIGITS_DIR)/model.json $(DIGITS_DIR)/weights.bin 10000 100000
fuzz-short: fuzz-build
	fuzz/run.sh $(abspath $(FUZZ_BUILD_DIR)) $(FUZZ_SHORT_SECONDS) $(FUZZ_TARGETS)

# The library, tests and tools cross-built for aarch64 (GoogleTest built from
# /usr/src/googletest with the cross compiler); ctest runs them under
# qemu-aarch64. No sanitizers here: the host suite covers those.
AARCH64_DIR ?= build-aarch64
.PHONY: test-aarch64
test-aarch64: deps
	scripts/aarch64-deps.sh $(AARCH64_DIR)/prefix $(AARCH64_DIR)/googletest
	cmake -S . -B $(AARCH64_DIR)/build -DCMAKE_BUILD_TYPE=Release \
	  -DCMAKE_TOOLCHAIN_FILE=$(CURDIR)/cmake/aarch64-linux-gnu.cmake \
	  -DCORVUS_AARCH64_PREFIX=$(abspath $(AARCH64_DIR))/prefix \
	  -DGTest_DIR=$(abspath $(AARCH64_DIR))/prefix/lib/cmake/GTest
	cmake --build $(AARCH64_DIR)/build -j $(JOBS)
	$(PYTHON) scripts/check-codegen.py $(AARCH64_DIR)/build/libcorvus.so aarch64 0 aarch64-linux-gnu-objdump
	cd $(AARCH64_DIR)/build && ctest --output-on-failure -j $(JOBS)


# The bundled example: a small convolutional digit classifier (committed in
# examples/digits) run through the corvus tool. `make digits-model` retrains
# it with TensorFlow.js on scikit-learn's 8x8 digits (needs Node, npm and
# python3-sklearn) and exports it as ONNX (model.onnx, needs python3-onnx).
.PHONY: demo digits-model
DIGITS_DIR := examples/digits
DIGITS_CSV ?= /usr/lib/python3/dist-packages/sklearn/datasets/data/digits.csv.gz
# Only the library, the tool and the C example: no test suite.
demo: deps
	cmake -S . -B $(DEMO_DIR) -DCMAKE_BUILD_TYPE=Release -DCORVUS_BUILD_TESTS=OFF
	cmake --build $(DEMO_DIR) -j $(JOBS) --target corvus_cli classify_digits
	$(PYTHON) $(DIGITS_DIR)/demo.py $(DEMO_DIR)/corvus $(DIGITS_DIR)
digits-model:
	cd scripts/keras-fixtures && npm install --ignore-scripts --no-audit --no-fund
	ln -sfn ../../scripts/keras-fixtures/node_modules $(DIGITS_DIR)/node_modules
	node $(DIGITS_DIR)/train.mjs $(DIGITS_CSV) $(DIGITS_DIR); s=$$?; rm -f $(DIGITS_DIR)/node_modules; exit $$s
	$(PYTHON) tools/keras2corvus $(DIGITS_DIR)/tfjs/model.json $(DIGITS_DIR)/model.json $(DIGITS_DIR)/weights.bin
	$(PYTHON) bench/compare/digits_onnx.py --nchw $(DIGITS_DIR) $(DIGITS_DIR)/model.onnx
	rm -rf $(DIGITS_DIR)/tfjs


# Corvus against ONNX Runtime (CPU, npm onnxruntime-node), side by side:
# ResNet-18, MobileNetV2, SqueezeNet 1.1, ResNet-50, EfficientNet-B0 and
# MobileNetV3-Small (exported and converted as for the conformance runs,
# reused when present) and the digit classifier, batch 1,
# one thread, timed alternately. The default Release build, its kernels at
# the level the processor runs (CMP_NATIVE=ON: built with -march=native).
.PHONY: bench-compare
CMP_DIR ?= build-cmp
CMP_RUNS ?= 20
CMP_NATIVE ?= OFF
CMP_PYTHON ?= /usr/bin/python3
CMP_MODELS := resnet18 mobilenet_v2 squeezenet1_1 resnet50 efficientnet_b0 mobilenet_v3_small
bench-compare: deps
	@bash conformance/install-deps.sh
	cmake -S . -B $(CMP_DIR)/corvus -DCMAKE_BUILD_TYPE=Release -DCORVUS_BUILD_TESTS=OFF -DCORVUS_NATIVE=$(CMP_NATIVE) \
	  -DCORVUS_BUILD_BENCH=ON
	cmake --build $(CMP_DIR)/corvus -j $(JOBS) --target corvus corvus_cli bench_fma_peak
	$(CC) -O2 -std=c99 -Iinclude bench/compare/corvus_time.c -o $(CMP_DIR)/corvus_time \
	  -L$(CMP_DIR)/corvus -lcorvus -Wl,-rpath,$(abspath $(CMP_DIR)/corvus)
	cd conformance/ort && npm install --ignore-scripts --no-audit --no-fund
	mkdir -p $(CMP_DIR)/models
	@for m in $(CMP_MODELS); do \
	  [ -f $(CMP_DIR)/models/$$m.onnx ] || { $(CONF_PYTHON) conformance/models/export.py $(CMP_DIR)/models $$m || exit 1; }; \
	  [ -f $(CMP_DIR)/models/$$m.weights ] || $(CMP_PYTHON) tools/onnx2corvus $(CMP_DIR)/models/$$m.onnx \
	    $(CMP_DIR)/models/$$m.json $(CMP_DIR)/models/$$m.weights || exit 1; \
	done
	$(CMP_PYTHON) bench/compare/digits_onnx.py examples/digits $(CMP_DIR)/models/digits.onnx
	$(CMP_PYTHON) bench/compare/compare.py $(CMP_DIR)/corvus_time $(CMP_DIR)/models --runs $(CMP_RUNS) \
	  --peak-bench $(CMP_DIR)/corvus/bench/bench_fma_peak --markdown $(CMP_DIR)/bench-compare.md --level "$$($(CMP_DIR)/corvus/corvus info $(DIGITS_DIR)/model.json \
	  $(DIGITS_DIR)/weights.bin | sed -n 's/^vector level: //p')"

# Formats the C and C++ sources with the committed .clang-format;
# format-check fails on any file that differs from it, or on a line over 120
# columns.
FORMAT_FILES = $(shell git ls-files '*.c' '*.cpp' '*.h' '*.hpp' | grep -v '^tests/fixtures/')
.PHONY: format format-check
format:
	clang-format -i $(FORMAT_FILES)
format-check:
	@clang-format --dry-run --Werror $(FORMAT_FILES) && echo "format: $(words $(FORMAT_FILES)) files as .clang-format has them"
	@! awk 'length > 120 { print FILENAME ":" FNR ": over 120 columns"; bad = 1 } END { exit !bad }' $(FORMAT_FILES)

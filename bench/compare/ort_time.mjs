// Times one ONNX model with ONNX Runtime (CPU) for the side-by-side
// comparison with Corvus (compare.py): batch 1, THREADS intra-op threads
// (default 1) and one inter-op thread, all graph optimisations on.
//
//   node ort_time.mjs MODEL.onnx RUNS WARMUP [THREADS]
//
// Prints one line per timed run ("run <ms>"), then "peak_rss_kb <n>".
import { createRequire } from "module";
// onnxruntime-node is installed once, beside the conformance reference.
const require = createRequire(new URL("../../conformance/ort/package.json", import.meta.url));
const ort = require("onnxruntime-node");

const [model, runsArg, warmupArg, threadsArg] = process.argv.slice(2);
const runs = Number(runsArg), warmup = Number(warmupArg), threads = Number(threadsArg ?? 1);
const session = await ort.InferenceSession.create(model, {
  executionProviders: ["cpu"],
  intraOpNumThreads: threads,
  interOpNumThreads: 1,
  graphOptimizationLevel: "all",
  executionMode: "sequential",
});
// Same fixed pseudo-random pattern as the Corvus side.
const feeds = {};
let seed = 12345;
for (const name of session.inputNames) {
  const meta = session.inputMetadata?.find?.((m) => m.name === name);
  const dims = (meta?.shape ?? []).map((d) => (typeof d === "number" ? d : 1));
  const n = dims.reduce((a, b) => a * b, 1);
  const data = new Float32Array(n);
  for (let k = 0; k < n; ++k) {
    seed = (Math.imul(seed, 1664525) + 1013904223) >>> 0;
    data[k] = (seed >>> 8) / 16777216 - 0.5;
  }
  feeds[name] = new ort.Tensor("float32", data, dims);
}
for (let r = 0; r < warmup; ++r) await session.run(feeds);
const lines = [];
for (let r = 0; r < runs; ++r) {
  const t0 = process.hrtime.bigint();
  await session.run(feeds);
  lines.push(`run ${(Number(process.hrtime.bigint() - t0) / 1e6).toFixed(4)}`);
}
lines.push(`peak_rss_kb ${process.resourceUsage().maxRSS}`);
console.log(lines.join("\n"));

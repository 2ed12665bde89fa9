// Runs an ONNX model with ONNX Runtime (CPU) on raw float32 inputs and writes
// each output as raw float32 plus a shape file, for the conformance scripts.
//
//   node reference.mjs MODEL.onnx OUT_PREFIX INPUT.bin [INPUT.bin ...]
//
// Inputs are given in the model's input order, each float32 in its ONNX shape;
// output k goes to OUT_PREFIX.<k>.bin and OUT_PREFIX.<k>.shape (JSON).
import { createRequire } from "module";
import fs from "fs";
const require = createRequire(import.meta.url);
const ort = require("onnxruntime-node");

const [model, prefix, ...inputs] = process.argv.slice(2);
const session = await ort.InferenceSession.create(model, { executionProviders: ["cpu"] });
const feeds = {};
session.inputNames.forEach((name, i) => {
  const buf = fs.readFileSync(inputs[i]);
  const data = new Float32Array(buf.buffer, buf.byteOffset, buf.byteLength / 4);
  const shape = JSON.parse(fs.readFileSync(inputs[i] + ".shape", "utf8"));
  feeds[name] = new ort.Tensor("float32", Float32Array.from(data), shape);
});
const results = await session.run(feeds);
session.outputNames.forEach((name, k) => {
  const t = results[name];
  fs.writeFileSync(`${prefix}.${k}.bin`, Buffer.from(Float32Array.from(t.data).buffer));
  fs.writeFileSync(`${prefix}.${k}.shape`, JSON.stringify({ name, dims: t.dims }));
});

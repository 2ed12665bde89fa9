// Trains the bundled digit classifier with TensorFlow.js on the 8x8 digits
// data shipped with scikit-learn (Debian: python3-sklearn), and writes into
// the output directory:
//   tfjs/model.json, tfjs/weights.bin   the trained model (TensorFlow.js layers format)
//   heldout_x.npy   float32 (N,8,8,1) held-out images scaled to [0,1]
//   heldout_y.npy   int32 (N) their labels
//   framework.json  the framework's predictions and accuracy on the held-out set
// tools/keras2corvus then turns tfjs/ into model.json and weights.bin.
// Usage: node train.mjs DIGITS.csv.gz OUTPUT_DIR
import * as tf from '@tensorflow/tfjs';
import fs from 'node:fs';
import path from 'node:path';
import zlib from 'node:zlib';

const [csvPath, outDir] = process.argv.slice(2);
if (!csvPath || !outDir) {
  console.error('usage: node train.mjs DIGITS.csv.gz OUTPUT_DIR');
  process.exit(2);
}

// 64 pixel values (0..16) then the label, one sample per line.
const rows = zlib.gunzipSync(fs.readFileSync(csvPath)).toString('utf8')
  .trim().split('\n').map((l) => l.split(',').map(Number));

// Deterministic shuffle (mulberry32) so retraining splits identically.
function rng(seed) {
  let a = seed >>> 0;
  return () => {
    a = (a + 0x6d2b79f5) >>> 0;
    let t = a;
    t = Math.imul(t ^ (t >>> 15), t | 1);
    t ^= t + Math.imul(t ^ (t >>> 7), t | 61);
    return ((t ^ (t >>> 14)) >>> 0) / 4294967296;
  };
}
const next = rng(19);
for (let i = rows.length - 1; i > 0; --i) {
  const j = Math.floor(next() * (i + 1));
  [rows[i], rows[j]] = [rows[j], rows[i]];
}
const HELD_OUT = 300;
const test = rows.slice(0, HELD_OUT);
const train = rows.slice(HELD_OUT);

const images = (set) => {
  const v = new Float32Array(set.length * 64);
  set.forEach((r, i) => { for (let k = 0; k < 64; ++k) v[i * 64 + k] = r[k] / 16; });
  return v;
};
const labels = (set) => Int32Array.from(set.map((r) => r[64]));

tf.setBackend('cpu');
const input = tf.input({shape: [8, 8, 1], name: 'image'});
let x = tf.layers.conv2d({filters: 8, kernelSize: 3, padding: 'same', activation: 'relu', name: 'conv1',
  kernelInitializer: tf.initializers.glorotUniform({seed: 1})}).apply(input);
x = tf.layers.maxPooling2d({poolSize: 2, name: 'pool1'}).apply(x);
x = tf.layers.conv2d({filters: 16, kernelSize: 3, padding: 'same', activation: 'relu', name: 'conv2',
  kernelInitializer: tf.initializers.glorotUniform({seed: 2})}).apply(x);
x = tf.layers.flatten({name: 'flatten'}).apply(x);
x = tf.layers.dense({units: 32, activation: 'relu', name: 'hidden',
  kernelInitializer: tf.initializers.glorotUniform({seed: 3})}).apply(x);
// Logits out: the class is their arg-max, so no softmax is needed at run time.
const logits = tf.layers.dense({units: 10, name: 'logits',
  kernelInitializer: tf.initializers.glorotUniform({seed: 4})}).apply(x);
const model = tf.model({inputs: input, outputs: logits, name: 'digits'});

model.compile({
  optimizer: tf.train.adam(0.003),
  loss: (yTrue, yPred) => tf.losses.softmaxCrossEntropy(yTrue, yPred),
});
const xTrain = tf.tensor4d(images(train), [train.length, 8, 8, 1]);
const yTrain = tf.oneHot(tf.tensor1d(labels(train), 'int32'), 10);
await model.fit(xTrain, yTrain, {epochs: 12, batchSize: 32, shuffle: false, verbose: 0});

const testImages = images(test);
const testLabels = labels(test);
const predicted = Array.from(model.predict(tf.tensor4d(testImages, [HELD_OUT, 8, 8, 1])).argMax(-1).dataSync());
const correct = predicted.filter((p, i) => p === testLabels[i]).length;

// Minimal .npy writer (format 1.0, little-endian, C order).
function npy(file, descr, shape, bytes) {
  let header = `{'descr': '${descr}', 'fortran_order': False, 'shape': (${shape.join(', ')}${shape.length === 1 ? ',' : ''}), }`;
  const total = 10 + header.length + 1;
  header += ' '.repeat((64 - (total % 64)) % 64) + '\n';
  const pre = Buffer.alloc(10);
  pre.write('\x93NUMPY', 0, 'latin1');
  pre[6] = 1; pre[7] = 0;
  pre.writeUInt16LE(header.length, 8);
  fs.writeFileSync(file, Buffer.concat([pre, Buffer.from(header, 'latin1'), Buffer.from(bytes.buffer)]));
}

fs.mkdirSync(path.join(outDir, 'tfjs'), {recursive: true});
await model.save(tf.io.withSaveHandler(async (artifacts) => {
  const manifest = {
    format: 'layers-model',
    generatedBy: `TensorFlow.js tfjs-layers v${tf.version.tfjs}`,
    modelTopology: artifacts.modelTopology,
    weightsManifest: [{paths: ['weights.bin'], weights: artifacts.weightSpecs}],
  };
  fs.writeFileSync(path.join(outDir, 'tfjs', 'model.json'), JSON.stringify(manifest));
  fs.writeFileSync(path.join(outDir, 'tfjs', 'weights.bin'), Buffer.from(artifacts.weightData));
  return {modelArtifactsInfo: {dateSaved: new Date(), modelTopologyType: 'JSON'}};
}));
npy(path.join(outDir, 'heldout_x.npy'), '<f4', [HELD_OUT, 8, 8, 1], testImages);
npy(path.join(outDir, 'heldout_y.npy'), '<i4', [HELD_OUT], testLabels);
fs.writeFileSync(path.join(outDir, 'framework.json'), JSON.stringify({
  framework: `TensorFlow.js ${tf.version.tfjs}`,
  samples: HELD_OUT, correct, accuracy: correct / HELD_OUT, predictions: predicted,
}) + '\n');
console.log(`held-out accuracy ${correct}/${HELD_OUT}`);

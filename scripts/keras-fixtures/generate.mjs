// Builds small Keras functional models with TensorFlow.js (an independent
// Keras implementation), gives them random non-trivial weights, and saves for
// each one, under <out>/<model>/:
//   model.json   the TensorFlow.js layers format (Keras topology + manifest)
//   weights.bin  the weight shard
//   cases.json   random inputs and the framework's outputs; an output that
//                ends in a softmax also carries the values just before it
//                ("softmax_input"), since the runtime's softmax is approximate.
// Usage: node generate.mjs <output directory>
import * as tf from '@tensorflow/tfjs';
import fs from 'node:fs';
import path from 'node:path';

const outRoot = process.argv[2];
if (!outRoot) {
  console.error('usage: node generate.mjs <output directory>');
  process.exit(2);
}

// Deterministic uniform numbers (mulberry32), so fixtures regenerate identically.
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

function uniform(next, shape, lo, hi) {
  const n = shape.reduce((a, b) => a * b, 1);
  const v = new Float32Array(n);
  for (let i = 0; i < n; ++i) v[i] = lo + (hi - lo) * next();
  return tf.tensor(v, shape, 'float32');
}

// Random weights of every layer; batch-normalisation statistics in ranges
// that keep the variance positive.
function randomize(model, seed) {
  const next = rng(seed);
  for (const layer of model.layers) {
    const weights = layer.weights;
    if (weights.length === 0) continue;
    const values = weights.map((w) => {
      const base = w.originalName.split('/').pop();
      if (base === 'gamma') return uniform(next, w.shape, 0.5, 1.5);
      if (base === 'moving_variance') return uniform(next, w.shape, 0.5, 2.0);
      if (base === 'beta' || base === 'moving_mean') return uniform(next, w.shape, -0.5, 0.5);
      if (base === 'bias') return uniform(next, w.shape, -0.3, 0.3);
      return uniform(next, w.shape, -0.6, 0.6);
    });
    layer.setWeights(values);
  }
}

const rounded = (t) => Array.from(t.dataSync());

// Values entering the softmax that ends `layer`: its inbound tensor for a
// Softmax or softmax Activation layer, the pre-activation sum for a Dense.
function softmaxInput(model, layer, inputs) {
  const inbound = layer.inboundNodes[0].inputTensors[0];
  const x = tf.model({inputs: model.inputs, outputs: inbound}).predict(inputs);
  if (layer.getClassName() === 'Dense') {
    const [kernel, bias] = layer.getWeights();
    return rounded(bias ? tf.add(tf.matMul(x, kernel), bias) : tf.matMul(x, kernel));
  }
  return rounded(x);
}

function endsInSoftmax(layer) {
  const cls = layer.getClassName();
  if (cls === 'Softmax') return true;
  const config = layer.getConfig();
  return (cls === 'Activation' || cls === 'Dense') && config.activation === 'softmax';
}

// float32 -> IEEE half bits (round to nearest even; tiny values flush to 0).
function toHalf(v) {
  const u = new Uint32Array(new Float32Array([v]).buffer)[0];
  const sign = (u >>> 16) & 0x8000, exp = ((u >>> 23) & 0xff) - 127 + 15, man = u & 0x7fffff;
  if (exp <= 0) return sign;
  let h = sign | (exp << 10) | (man >>> 13);
  const rest = man & 0x1fff;
  if (rest > 0x1000 || (rest === 0x1000 && (h & 1))) h += 1;
  return h;
}

// Weights stored as the TensorFlow.js converter quantizes them: the kinds of
// `kinds` in turn (uint8 or uint16 affine with min and scale, or float16).
function quantize(specs, data, kinds) {
  const values = new Float32Array(data);
  const parts = [];
  let offset = 0;
  const out = specs.map((entry, k) => {
    const n = entry.shape.reduce((a, b) => a * b, 1);
    const w = values.subarray(offset, offset + n);
    offset += n;
    const dtype = kinds[k % kinds.length];
    if (dtype === 'float16') {
      parts.push(new Uint16Array(Array.from(w, toHalf)));
      return {...entry, quantization: {dtype}};
    }
    const levels = dtype === 'uint8' ? 255 : 65535;
    const min = Math.min(...w), max = Math.max(...w);
    const scale = max > min ? (max - min) / levels : 1;
    const q = Array.from(w, (x) => Math.round((x - min) / scale));
    parts.push(dtype === 'uint8' ? new Uint8Array(q) : new Uint16Array(q));
    return {...entry, quantization: {dtype, min, scale}};
  });
  const bytes = Buffer.concat(parts.map((p) => Buffer.from(p.buffer, p.byteOffset, p.byteLength)));
  return {specs: out, data: bytes.buffer.slice(bytes.byteOffset, bytes.byteOffset + bytes.byteLength)};
}

async function save(name, model, seed, kinds) {
  randomize(model, seed);
  const next = rng(seed + 1);
  const inputs = model.inputs.map((t) => uniform(next, [1, ...t.shape.slice(1)], -1, 1));

  const dir = path.join(outRoot, name);
  fs.mkdirSync(dir, {recursive: true});
  await model.save(tf.io.withSaveHandler(async (artifacts) => {
    let specs = artifacts.weightSpecs, data = artifacts.weightData;
    if (kinds) {
      ({specs, data} = quantize(specs, data, kinds));
      // The expected outputs are those of the quantized model as TensorFlow.js loads it.
      model = await tf.loadLayersModel(tf.io.fromMemory({modelTopology: artifacts.modelTopology, weightSpecs: specs,
                                                             weightData: data}));
    }
    const manifest = {
      format: 'layers-model',
      generatedBy: `TensorFlow.js tfjs-layers v${tf.version.tfjs}`,
      modelTopology: artifacts.modelTopology,
      weightsManifest: [{paths: ['weights.bin'], weights: specs}],
    };
    fs.writeFileSync(path.join(dir, 'model.json'), JSON.stringify(manifest));
    fs.writeFileSync(path.join(dir, 'weights.bin'), Buffer.from(data));
    return {modelArtifactsInfo: {dateSaved: new Date(), modelTopologyType: 'JSON'}};
  }));
  let outputs = model.predict(inputs);
  if (!Array.isArray(outputs)) outputs = [outputs];

  const outputLayers = model.outputLayers;
  const cases = {
    inputs: model.inputLayers.map((l, i) => ({name: l.name, shape: inputs[i].shape, data: rounded(inputs[i])})),
    outputs: outputs.map((t, i) => {
      const entry = {name: outputLayers[i].name, shape: t.shape, data: rounded(t)};
      if (endsInSoftmax(outputLayers[i])) entry.softmax_input = softmaxInput(model, outputLayers[i], inputs);
      return entry;
    }),
  };
  fs.writeFileSync(path.join(dir, 'cases.json'), JSON.stringify(cases));
  console.log(`${name}: ${model.layers.length} layers`);
}

const L = tf.layers;

// Pooling, arithmetic, merging and reshaping layers, softmax and the
// element-wise activations.
function basicOps() {
  const x = tf.input({shape: [6, 6, 3], name: 'image'});
  const m = L.maxPooling2d({poolSize: 2, name: 'max_pool'}).apply(x);
  const a = L.averagePooling2d({poolSize: 3, strides: 2, padding: 'same', name: 'avg_pool'}).apply(x);
  const s = L.add({name: 'sum'}).apply([m, a]);
  const p = L.multiply({name: 'product'}).apply([s, m]);
  const r6 = L.reLU({maxValue: 6, name: 'relu6'}).apply(p);
  const r = L.reLU({name: 'relu'}).apply(a);
  const c = L.concatenate({name: 'channels'}).apply([r6, r]);
  const h = L.concatenate({axis: 1, name: 'rows'}).apply([m, a]);
  const g = L.globalAveragePooling2d({name: 'gap'}).apply(c);
  const probabilities = L.activation({activation: 'softmax', name: 'probabilities'}).apply(g);
  const f = L.flatten({name: 'flat'}).apply(c);
  const d = L.dropout({rate: 0.5, name: 'dropout'}).apply(f);
  const rs = L.reshape({targetShape: [6, -1], name: 'rows_of_nine'}).apply(d);
  const pm = L.permute({dims: [2, 1], name: 'swap'}).apply(rs);
  const ap = L.averagePooling1d({poolSize: 2, strides: 2, name: 'avg_pool_1d'}).apply(pm);
  const flat = L.reshape({targetShape: [-1], name: 'vector'}).apply(ap);
  const squashed = L.activation({activation: 'tanh', name: 'squashed'}).apply(flat);
  const hr = L.reshape({targetShape: [9, 6], name: 'h_rows'}).apply(h);
  const hs = L.softmax({axis: 2, name: 'h_softmax'}).apply(hr);
  const gate = L.activation({activation: 'sigmoid', name: 'gate'}).apply(h);
  const clipped = L.activation({activation: 'relu6', name: 'clipped'}).apply(h);
  const both = L.add({name: 'both'}).apply([gate, clipped]);
  return tf.model({inputs: x, outputs: [probabilities, squashed, hs, both], name: 'basic_ops'});
}

// Pooling layers that meet the model input first: their kernels need the
// channels-last tag the input itself does not carry.
function firstPool() {
  const a = tf.input({shape: [7, 7, 2], name: 'a'});
  const b = tf.input({shape: [6, 5, 3], name: 'b'});
  const pa = L.maxPooling2d({poolSize: 3, strides: 2, padding: 'same', name: 'pool_a'}).apply(a);
  const pb = L.averagePooling2d({poolSize: [2, 3], strides: [2, 1], name: 'pool_b'}).apply(b);
  const gb = L.globalAveragePooling2d({name: 'gap_b'}).apply(b);
  return tf.model({inputs: [a, b], outputs: [pb, pa, gb], name: 'first_pool'});
}

function denseMlp() {
  const x = tf.input({shape: [10], name: 'features'});
  let y = L.dense({units: 16, activation: 'relu', name: 'hidden1'}).apply(x);
  y = L.dropout({rate: 0.25, name: 'drop'}).apply(y);
  y = L.dense({units: 12, activation: 'tanh', name: 'hidden2'}).apply(y);
  y = L.dense({units: 8, activation: 'sigmoid', useBias: false, name: 'hidden3'}).apply(y);
  y = L.dense({units: 8, activation: 'relu6', name: 'hidden4'}).apply(y);
  const out = L.dense({units: 4, activation: 'softmax', name: 'classes'}).apply(y);
  return tf.model({inputs: x, outputs: out, name: 'dense_mlp'});
}

function convNet() {
  const x = tf.input({shape: [8, 8, 3], name: 'image'});
  let y = L.conv2d({filters: 6, kernelSize: 3, padding: 'same', activation: 'relu', name: 'conv1'}).apply(x);
  y = L.batchNormalization({name: 'bn1'}).apply(y);
  y = L.depthwiseConv2d({kernelSize: 3, depthMultiplier: 2, strides: 2, padding: 'same', name: 'dw2'}).apply(y);
  y = L.reLU({name: 'relu2'}).apply(y);
  y = L.conv2d({filters: 5, kernelSize: [2, 3], strides: [1, 2], name: 'conv3'}).apply(y);
  y = L.batchNormalization({scale: false, name: 'bn3'}).apply(y);
  y = L.conv2d({filters: 4, kernelSize: 3, dilationRate: 2, padding: 'same', useBias: false, name: 'conv4'}).apply(y);
  y = L.batchNormalization({center: false, epsilon: 0.01, name: 'bn4'}).apply(y);
  const features = L.globalAveragePooling2d({name: 'gap'}).apply(y);
  const out = L.dense({units: 3, activation: 'softmax', name: 'classes'}).apply(features);
  return tf.model({inputs: x, outputs: out, name: 'conv_net'});
}

function firstDepthwise() {
  const x = tf.input({shape: [5, 5, 3], name: 'image'});
  const y = L.depthwiseConv2d({kernelSize: 3, padding: 'same', activation: 'relu', name: 'dw'}).apply(x);
  return tf.model({inputs: x, outputs: y, name: 'first_depthwise'});
}

function firstResize() {
  const a = tf.input({shape: [3, 4, 2], name: 'a'});
  const b = tf.input({shape: [3, 3, 2], name: 'b'});
  const c = tf.input({shape: [4, 4, 3], name: 'c'});
  const up = L.upSampling2d({size: [2, 3], name: 'up'}).apply(a);
  let t = L.conv2dTranspose({filters: 3, kernelSize: 3, strides: 2, padding: 'same', name: 'deconv1'}).apply(b);
  t = L.conv2dTranspose({filters: 2, kernelSize: 2, strides: 2, activation: 'relu', name: 'deconv2'}).apply(t);
  const z = L.zeroPadding2d({padding: [[1, 0], [2, 1]], name: 'pad'}).apply(c);
  const up2 = L.upSampling2d({name: 'up_default'}).apply(z);
  return tf.model({inputs: [a, b, c], outputs: [up, t, up2], name: 'first_resize'});
}

function conv1d() {
  const x = tf.input({shape: [11, 3], name: 'signal'});
  let y = L.conv1d({filters: 4, kernelSize: 3, strides: 2, padding: 'same', activation: 'relu', name: 'conv_a'}).apply(x);
  y = L.averagePooling1d({poolSize: 2, padding: 'same', name: 'pool'}).apply(y);
  y = L.conv1d({filters: 5, kernelSize: 2, dilationRate: 2, name: 'conv_b'}).apply(y);
  return tf.model({inputs: x, outputs: y, name: 'conv1d'});
}

function lstm() {
  const x = tf.input({shape: [6, 3], name: 'sequence'});
  const s = L.lstm({units: 5, returnSequences: true, recurrentActivation: 'sigmoid', name: 'lstm_seq'}).apply(x);
  const last = L.lstm({units: 4, recurrentActivation: 'sigmoid', name: 'lstm_last'}).apply(s);
  const nobias = L.lstm({units: 3, useBias: false, recurrentActivation: 'sigmoid', name: 'lstm_nobias'}).apply(x);
  return tf.model({inputs: x, outputs: [last, nobias], name: 'lstm'});
}

// An LSTM that starts from given hidden and cell states.
function lstmState() {
  const x = tf.input({shape: [4, 3], name: 'sequence'});
  const h = tf.input({shape: [2], name: 'h0'});
  const c = tf.input({shape: [2], name: 'c0'});
  const y = L.lstm({units: 2, returnSequences: true, recurrentActivation: 'sigmoid', name: 'lstm'})
                .apply(x, {initialState: [h, c]});
  return tf.model({inputs: [x, h, c], outputs: y, name: 'lstm_state'});
}

function conv3d() {
  const x = tf.input({shape: [4, 5, 4, 2], name: 'volume'});
  const y = L.conv3d({filters: 3, kernelSize: [2, 3, 2], strides: [1, 2, 1], padding: 'same', activation: 'relu',
                      name: 'conv'}).apply(x);
  return tf.model({inputs: x, outputs: y, name: 'conv3d'});
}

// A Sequential model: the converter turns it into a functional description.
function sequential() {
  const model = tf.sequential({name: 'sequential'});
  model.add(L.dense({inputShape: [6], units: 5, activation: 'relu', name: 'seq_hidden'}));
  model.add(L.dense({units: 3, activation: 'tanh', name: 'seq_out'}));
  return model;
}

await tf.setBackend('cpu');
const builders = {basicOps, firstPool, denseMlp, convNet, firstDepthwise, firstResize, conv1d, lstm, conv3d,
                  sequential, lstmState};
const names = {basicOps: 'basic_ops', firstPool: 'first_pool', denseMlp: 'dense_mlp', convNet: 'conv_net',
               firstDepthwise: 'first_depthwise', firstResize: 'first_resize', conv1d: 'conv1d', lstm: 'lstm',
               lstmState: 'lstm_state',
               conv3d: 'conv3d', sequential: 'sequential'};
// Only the named fixtures when names follow the directory.
const only = process.argv.slice(3);
let seed = 1000;
for (const [key, build] of Object.entries(builders)) {
  seed += 17;
  if (only.length === 0 || only.includes(names[key])) await save(names[key], build(), seed);
}
// The MLP and the convolutional net again, with quantized weights.
if (only.length === 0 || only.includes('quantized_mlp'))
  await save('quantized_mlp', denseMlp(), 2000, ['uint8', 'uint16', 'float16']);
if (only.length === 0 || only.includes('quantized_conv'))
  await save('quantized_conv', convNet(), 2017, ['float16', 'uint8', 'uint16']);

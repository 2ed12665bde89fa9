#!/usr/bin/python3
"""Assembles docs/onnx-conformance.md from the reports of a conformance run.

    make_report.py NODE_TESTS.md MODELS.md OUT.md
    make_report.py --models MODELS.md OUT.md    (replaces only the model table)
"""
import sys

HEAD = """# ONNX conformance

Produced by `make conformance` (regenerate this page with
`conformance/make_report.py`). Two runs:

1. **ONNX backend node tests**, generated locally from the installed onnx
   package (Debian `python3-onnx` 1.12; `conformance/gen_node_tests.py`
   restores the numpy aliases its generators need). Every test whose
   operators `tools/onnx2corvus` maps is converted, run through the library
   (`conformance/runner`: ParseLayersFromONNXJSON, CreateModel,
   LoadModelWeights, InitModel, Predict) and compared with the expected
   outputs: |got - want| <= 1e-5 + 1e-4 |want| per element, NaN and infinities
   exactly. Node tests pass filters, slice bounds, scales and the like as graph
   inputs; when the converter refuses a test because such an operand is not
   constant, every input but the first is frozen to the test's values and the
   test is converted again (listed at the end). A test the converter still
   refuses is *skipped* with the converter's reason: it names an attribute or
   form the runtime does not compute as ONNX does. Tests of operators without
   any mapping are counted at the end.
2. **Real architectures** (`conformance/models/export.py`): torchvision
   classifiers (ResNet, ResNeXt, MobileNetV2/V3, SqueezeNet, ShuffleNetV2,
   EfficientNet, MnasNet, DenseNet, GoogLeNet, Inception v3, AlexNet, RegNet,
   ConvNeXt, Swin), the LR-ASPP and DeepLabV3 segmentation models on
   MobileNetV3-Large, a two-layer `nn.TransformerEncoder` (GELU, causal mask)
   and `nn.TransformerDecoder`, a 1-D convolutional audio net and a small LSTM (one layer, 12 inputs, 16 hidden, linear head),
   built with Debian's `python3-torch`/`python3-torchvision` (random weights,
   seed 0, BatchNorm statistics randomised, eval mode), exported with
   `torch.onnx` (opset 13), run with ONNX Runtime (npm `onnxruntime-node`,
   CPU) as the reference and through the converter and the library. A model
   passes when its largest error is within 1e-4 of the largest magnitude of
   the reference output. `make conformance` runs a shorter list, `make
   models` the whole one with the median time of one prediction (batch 1, one
   thread) of Corvus and ONNX Runtime. The `.onnx` files, inputs and reference
   outputs are regenerated in the build directory and not kept in git.

## Real architectures

"""

MID = """
The inputs are uniform random in [-1, 1) (seed 1); the image models take
1x3x224x224 (Inception v3 1x3x299x299; fed NHWC), the transformers 1x10x32
and 1x9x32,
the audio net 1x8x64, the LSTM a 7-step sequence of batch 1. Outputs: the
logits (the segmentation models their "out" map), and for the LSTM also the
last hidden state Y_h. Times are medians of 10 runs after 2 warm-up runs on
the 2-core build machine and vary with its load; `make bench-compare`
measures the speed properly.

## Note on pooling

The converted-ONNX reader passes 1 as the pooling layers' treatment of window
cells in the pads (0 counts them as zeros, 1 skips them): cells outside the
input take no part, as in ONNX's MaxPool and AveragePool with
count_include_pad 0. The converter writes MaxPool with its pads (a window
starts at the lowest float, so skipping the cells in the pads gives what
cells holding the lowest float would give, also for a window wholly in the
pads), but an average as an explicit Pad node of zeros before an unpadded
pooling (with a rescaling Mul when the pads do not count), 1-D pooling as
2-D pooling over a unit height and 3-D pooling as 2-D pooling over H x W per
depth slice followed by a pooling over depth; these forms are exact (the 3-D
mean up to the order of its additions), and the pooling tests pass that way.

## Backend node tests per operator

Rows named "(expanded)" are ONNX functions written out in primitive operators
(grouped by the function's name). Failing and skipped tests with their
reasons follow the table.

"""


def main(argv):
    if argv[1] == "--models":
        models, out = argv[2:4]
        old = open(out).read()
        end = old.index(MID.split("\n")[1])
        text = HEAD + open(models).read() + "\n" + old[end:]
    else:
        node, models, out = argv[1:4]
        text = HEAD + open(models).read() + MID + open(node).read()
    with open(out, "w") as f:
        f.write(text)


if __name__ == "__main__":
    main(sys.argv)
